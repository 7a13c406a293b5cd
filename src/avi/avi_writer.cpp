#include "avi/avi_writer.h"

#include <initializer_list>

namespace stillreel {
namespace {

constexpr std::uint32_t kHasIndex = 0x10;  // avih flag: the file carries "idx1"
constexpr std::uint32_t kKeyFrame = 0x10;  // idx1 flag: every frame stands alone
constexpr std::uint32_t kPixelsPerMetre = 3780;
constexpr std::uint32_t kMicrosPerSecond = 1000000;
// bIndexType of "indx" and "ix00": an index of indexes, an index of chunks.
constexpr std::uint8_t kIndexOfIndexes = 0;
constexpr std::uint8_t kIndexOfChunks = 1;

std::uint32_t U32(std::uint64_t value) {
  return static_cast<std::uint32_t>(value);
}

void WriteLe32s(std::initializer_list<std::uint32_t> values, ByteWriter& out) {
  for (const std::uint32_t value : values)
    WriteLe32(value, out);
}

void WriteLe64(std::uint64_t value, ByteWriter& out) {
  WriteLe32(U32(value), out);
  WriteLe32(U32(value >> 32), out);
}

void WriteList(const char (&type)[5], std::uint64_t size, ByteWriter& out) {
  WriteTag("LIST", out);
  WriteLe32(U32(size), out);
  WriteTag(type, out);
}

// The header of "indx" and "ix00": entry size in 32-bit words, sub-type,
// type, entries in use, the chunk id indexed.
void WriteIndexHeader(const char (&tag)[5], std::uint64_t size, std::uint16_t longsPerEntry,
                      std::uint8_t type, std::uint64_t entries, ByteWriter& out) {
  WriteTag(tag, out);
  WriteLe32(U32(size), out);
  WriteLe16(longsPerEntry, out);
  const std::uint8_t subTypeAndType[2] = {0, type};
  out.Write(subTypeAndType, 2);
  WriteLe32(U32(entries), out);
  WriteTag("00db", out);
}

void WriteMainHeader(const AviLayout& layout, ByteWriter& out) {
  WriteTag("avih", out);
  // Total frames counts the first RIFF's: AVI 1.0 readers see no further.
  WriteLe32s({U32(kMainHeaderBytes), layout.microsPerFrame, 0 /* maximum bytes per second */,
              0 /* padding granularity */, kHasIndex, U32(layout.firstRiffFrames),
              0 /* initial frames */, 1 /* streams */, U32(layout.frameSize), U32(layout.width),
              U32(layout.height), 0, 0, 0, 0 /* reserved */},
             out);
}

void WriteStreamHeader(const AviLayout& layout, ByteWriter& out) {
  WriteTag("strh", out);
  WriteLe32(U32(kStreamHeaderBytes), out);
  WriteTag("vids", out);
  WriteTag("DIB ", out);
  // The rate is rate / scale frames a second: scale is the frame time.
  WriteLe32s({0 /* flags */, 0 /* priority and language */, 0 /* initial frames */,
              layout.microsPerFrame /* scale */, kMicrosPerSecond /* rate */, 0 /* start */,
              U32(layout.frameCount) /* length */, U32(layout.frameSize), 0 /* quality */,
              0 /* sample size */, 0 /* frame rectangle left and top */},
             out);
  // The rectangle's right and bottom are 16-bit: wider frames keep the low bits.
  WriteLe16(static_cast<std::uint16_t>(layout.width), out);
  WriteLe16(static_cast<std::uint16_t>(layout.height), out);
}

void WriteStreamFormat(const AviLayout& layout, ByteWriter& out) {
  WriteTag("strf", out);
  // A bitmap info header of its own size; a positive height: bottom-up rows.
  const std::uint64_t entries = (layout.formatBytes - kStreamFormatBytes) / kColourEntryBytes;
  WriteLe32s(
      {U32(layout.formatBytes), U32(kStreamFormatBytes), U32(layout.width), U32(layout.height)},
      out);
  WriteLe16(1, out);  // planes
  WriteLe16(static_cast<std::uint16_t>(layout.bitCount), out);
  WriteLe32s({0 /* no compression */, U32(layout.frameSize), kPixelsPerMetre, kPixelsPerMetre,
              U32(entries) /* colours used */, 0 /* colours important */},
             out);
  // Grey frames: entry i is the grey of value i. Some readers open 8-bit
  // frames only with a colour table.
  for (std::uint64_t i = 0; i < entries; ++i) {
    const auto v = static_cast<std::uint8_t>(i);
    const std::uint8_t entry[4] = {v, v, v, 0};
    out.Write(entry, 4);
  }
}

}  // namespace

void AviWriter::WriteHeaders() {
  const bool openDml = layout_.kind == AviKind::kOpenDml;
  WriteTag("RIFF", out_);
  WriteLe32(U32(layout_.riffSize), out_);
  WriteTag("AVI ", out_);
  WriteList("hdrl", layout_.headerListSize, out_);
  WriteMainHeader(layout_, out_);
  const std::uint64_t superIndex =
      kChunkHeaderBytes + kIndexHeaderBytes + layout_.riffCount * kSuperIndexEntryBytes;
  WriteList("strl", StreamListSize(layout_) + (openDml ? superIndex : 0), out_);
  WriteStreamHeader(layout_, out_);
  WriteStreamFormat(layout_, out_);
  if (openDml) {
    WriteSuperIndex();
    WriteList("odml", kOdmlListSize, out_);
    WriteTag("dmlh", out_);
    WriteLe32(U32(kExtendedHeaderBytes), out_);
    WriteLe32(U32(layout_.frameCount), out_);
    for (std::uint64_t i = 4; i < kExtendedHeaderBytes; i += 4)
      WriteLe32(0, out_);  // reserved
  }
  if (layout_.roomBytes >= kChunkHeaderBytes) {
    WriteTag("JUNK", out_);
    WriteLe32(U32(layout_.roomBytes - kChunkHeaderBytes), out_);
    for (std::uint64_t i = kChunkHeaderBytes; i < layout_.roomBytes; i += 4)
      WriteLe32(0, out_);
  }
  WriteList("movi", layout_.moviSize, out_);
}

void AviWriter::BeginFrame() {
  if (framesInRiff_ == RiffFrames(layout_, riff_)) {
    WriteRiffEnd(riff_);
    WriteRiffStart(++riff_);
    framesInRiff_ = 0;
  }
  ++framesInRiff_;
  WriteTag("00db", out_);
  WriteLe32(U32(layout_.frameSize), out_);
}

void AviWriter::WriteFrame(const std::uint8_t* bytes) {
  BeginFrame();
  out_.Write(bytes, static_cast<std::size_t>(layout_.frameSize));
}

void AviWriter::Finish() {
  WriteRiffEnd(riff_);
}

void AviWriter::WriteRiffStart(std::uint64_t k) {
  WriteTag("RIFF", out_);
  WriteLe32(U32(RiffSize(layout_, k)), out_);
  WriteTag("AVIX", out_);
  WriteList("movi", RiffSize(layout_, k) - 4 - kChunkHeaderBytes, out_);
}

void AviWriter::WriteRiffEnd(std::uint64_t k) {
  if (layout_.kind == AviKind::kOpenDml) WriteStandardIndex(k);
  if (k == 0) WriteLegacyIndex(layout_.firstRiffFrames);
}

void AviWriter::WriteSuperIndex() {
  const std::uint64_t entries = layout_.riffCount;
  WriteIndexHeader("indx", kIndexHeaderBytes + entries * kSuperIndexEntryBytes, 4, kIndexOfIndexes,
                   entries, out_);
  WriteLe32s({0, 0, 0}, out_);  // reserved
  const std::uint64_t chunk = kChunkHeaderBytes + layout_.frameSize;
  for (std::uint64_t k = 0; k < entries; ++k) {
    // Where the RIFF's "ix00" chunk starts, its whole size, its frames.
    const std::uint64_t frames = RiffFrames(layout_, k);
    WriteLe64(MoviOffset(layout_, k) + 4 + frames * chunk, out_);
    WriteLe32(U32(kChunkHeaderBytes + kIndexHeaderBytes + frames * kStandardIndexEntryBytes), out_);
    WriteLe32(U32(frames), out_);
  }
}

void AviWriter::WriteStandardIndex(std::uint64_t k) {
  const std::uint64_t frames = RiffFrames(layout_, k);
  WriteIndexHeader("ix00", kIndexHeaderBytes + frames * kStandardIndexEntryBytes, 2, kIndexOfChunks,
                   frames, out_);
  // Base + offset is the first byte of a frame's data, past its chunk header.
  WriteLe64(MoviOffset(layout_, k), out_);
  WriteLe32(0, out_);  // reserved
  const std::uint64_t chunk = kChunkHeaderBytes + layout_.frameSize;
  for (std::uint64_t i = 0; i < frames; ++i) {
    WriteLe32(U32(4 + i * chunk + kChunkHeaderBytes), out_);
    WriteLe32(U32(layout_.frameSize), out_);  // top bit clear: a key frame
  }
}

void AviWriter::WriteLegacyIndex(std::uint64_t frames) {
  WriteTag("idx1", out_);
  WriteLe32(U32(frames * kIndexEntryBytes), out_);
  const std::uint64_t chunk = kChunkHeaderBytes + layout_.frameSize;
  for (std::uint64_t i = 0; i < frames; ++i) {
    WriteTag("00db", out_);
    WriteLe32(kKeyFrame, out_);
    WriteLe32(U32(4 + i * chunk), out_);  // from the "movi" tag to the frame's chunk
    WriteLe32(U32(layout_.frameSize), out_);
  }
}

}  // namespace stillreel
