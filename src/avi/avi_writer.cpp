#include "avi/avi_writer.h"

#include <initializer_list>

namespace stillreel {
namespace {

constexpr std::uint32_t kHasIndex = 0x10;  // avih flag: the file carries "idx1"
constexpr std::uint32_t kKeyFrame = 0x10;  // idx1 flag: every frame stands alone
constexpr std::uint32_t kPixelsPerMetre = 3780;
constexpr std::uint32_t kMicrosPerSecond = 1000000;

std::uint32_t U32(std::uint64_t value) {
  return static_cast<std::uint32_t>(value);
}

void WriteLe32s(std::initializer_list<std::uint32_t> values, ByteWriter& out) {
  for (const std::uint32_t value : values)
    WriteLe32(value, out);
}

void WriteMainHeader(const AviLayout& layout, ByteWriter& out) {
  WriteTag("avih", out);
  WriteLe32s({U32(kMainHeaderBytes), layout.microsPerFrame, 0 /* maximum bytes per second */,
              0 /* padding granularity */, kHasIndex, U32(layout.frameCount),
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
  WriteLe32s(
      {U32(kStreamFormatBytes), U32(kStreamFormatBytes), U32(layout.width), U32(layout.height)},
      out);
  WriteLe16(1, out);   // planes
  WriteLe16(24, out);  // bit count
  WriteLe32s({0 /* no compression */, U32(layout.frameSize), kPixelsPerMetre, kPixelsPerMetre,
              0 /* colours used */, 0 /* colours important */},
             out);
}

}  // namespace

void AviWriter::WriteHeaders() {
  WriteTag("RIFF", out_);
  WriteLe32(U32(layout_.riffSize), out_);
  WriteTag("AVI ", out_);
  WriteTag("LIST", out_);
  WriteLe32(U32(kHeaderListSize), out_);
  WriteTag("hdrl", out_);
  WriteMainHeader(layout_, out_);
  WriteTag("LIST", out_);
  WriteLe32(U32(kStreamListSize), out_);
  WriteTag("strl", out_);
  WriteStreamHeader(layout_, out_);
  WriteStreamFormat(layout_, out_);
  WriteTag("LIST", out_);
  WriteLe32(U32(layout_.moviSize), out_);
  WriteTag("movi", out_);
}

void AviWriter::WriteFrameHeader() {
  WriteTag("00db", out_);
  WriteLe32(U32(layout_.frameSize), out_);
}

void AviWriter::WriteFrame(const std::uint8_t* bytes) {
  WriteFrameHeader();
  out_.Write(bytes, static_cast<std::size_t>(layout_.frameSize));
}

void AviWriter::WriteIndex() {
  WriteTag("idx1", out_);
  WriteLe32(U32(layout_.indexSize), out_);
  const std::uint64_t chunk = kChunkHeaderBytes + layout_.frameSize;
  for (std::uint64_t i = 0; i < layout_.frameCount; ++i) {
    WriteTag("00db", out_);
    WriteLe32(kKeyFrame, out_);
    WriteLe32(U32(4 + i * chunk), out_);  // from the "movi" tag to the frame's chunk
    WriteLe32(U32(layout_.frameSize), out_);
  }
}

}  // namespace stillreel
