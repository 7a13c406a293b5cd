#include "avi/avi_writer.h"

namespace stillreel {
namespace {

constexpr std::uint32_t kHasIndex = 0x10;  // avih flag: the file carries "idx1"
constexpr std::uint32_t kKeyFrame = 0x10;  // idx1 flag: every frame stands alone
constexpr std::uint32_t kPixelsPerMetre = 3780;
constexpr std::uint32_t kMicrosPerSecond = 1000000;

std::uint32_t U32(std::uint64_t value) {
  return static_cast<std::uint32_t>(value);
}

void WriteMainHeader(const AviLayout& layout, ByteWriter& out) {
  WriteTag("avih", out);
  WriteLe32(U32(kMainHeaderBytes), out);
  WriteLe32(layout.microsPerFrame, out);
  WriteLe32(0, out);  // maximum bytes per second
  WriteLe32(0, out);  // padding granularity
  WriteLe32(kHasIndex, out);
  WriteLe32(U32(layout.frameCount), out);
  WriteLe32(0, out);  // initial frames
  WriteLe32(1, out);  // streams
  WriteLe32(U32(layout.frameSize), out);
  WriteLe32(U32(layout.width), out);
  WriteLe32(U32(layout.height), out);
  for (int i = 0; i < 4; ++i)
    WriteLe32(0, out);  // reserved
}

void WriteStreamHeader(const AviLayout& layout, ByteWriter& out) {
  WriteTag("strh", out);
  WriteLe32(U32(kStreamHeaderBytes), out);
  WriteTag("vids", out);
  WriteTag("DIB ", out);
  WriteLe32(0, out);                      // flags
  WriteLe32(0, out);                      // priority and language
  WriteLe32(0, out);                      // initial frames
  WriteLe32(layout.microsPerFrame, out);  // scale: the rate is rate / scale frames a second
  WriteLe32(kMicrosPerSecond, out);
  WriteLe32(0, out);  // start
  WriteLe32(U32(layout.frameCount), out);
  WriteLe32(U32(layout.frameSize), out);
  WriteLe32(0, out);  // quality
  WriteLe32(0, out);  // sample size
  WriteLe32(0, out);  // frame rectangle left and top
  // The rectangle's right and bottom are 16-bit: wider frames keep the low bits.
  WriteLe16(static_cast<std::uint16_t>(layout.width), out);
  WriteLe16(static_cast<std::uint16_t>(layout.height), out);
}

void WriteStreamFormat(const AviLayout& layout, ByteWriter& out) {
  WriteTag("strf", out);
  WriteLe32(U32(kStreamFormatBytes), out);
  WriteLe32(U32(kStreamFormatBytes), out);  // the bitmap info header's own size
  WriteLe32(U32(layout.width), out);
  WriteLe32(U32(layout.height), out);  // positive: bottom-up rows
  WriteLe16(1, out);                   // planes
  WriteLe16(24, out);                  // bit count
  WriteLe32(0, out);                   // no compression
  WriteLe32(U32(layout.frameSize), out);
  WriteLe32(kPixelsPerMetre, out);
  WriteLe32(kPixelsPerMetre, out);
  WriteLe32(0, out);  // colours used
  WriteLe32(0, out);  // colours important
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
