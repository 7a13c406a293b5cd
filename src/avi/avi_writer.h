// The AVI writer: one file laid out by an AviLayout (see avi_layout.h),
// written front to back in one pass. The caller writes the headers, exactly
// frameCount frames, then calls Finish; the writer puts in each RIFF's
// boundaries and indexes as the frames reach them, computing every index
// entry when it is written, so its memory does not grow with the file. It
// owns no file; errors stay in the ByteWriter for the caller to see.
#ifndef STILLREEL_AVI_AVI_WRITER_H_
#define STILLREEL_AVI_AVI_WRITER_H_

#include <algorithm>
#include <cstdint>

#include "avi/avi_layout.h"
#include "avi/byte_writer.h"

namespace stillreel {

class AviWriter {
 public:
  AviWriter(const AviLayout& layout, ByteWriter& out) : layout_(layout), out_(out) {}

  // Everything before the first frame chunk.
  void WriteHeaders();

  // One frame chunk whose rows the caller makes: fill(rows, first, count)
  // writes `count` whole stored rows of rowBytes bytes each, padding
  // included, starting with stored row `first` (0 is the bottom row). The
  // writer's buffer must hold at least one row.
  template <class Fill>
  void WriteFrameRows(Fill&& fill) {
    BeginFrame();
    const std::uint64_t height = static_cast<std::uint64_t>(layout_.height);
    const std::uint64_t perClaim = out_.capacity() / layout_.rowBytes;
    for (std::uint64_t first = 0; first < height;) {
      const std::uint64_t count = std::min(perClaim, height - first);
      const auto bytes = static_cast<std::size_t>(count * layout_.rowBytes);
      fill(out_.Claim(bytes), static_cast<std::int64_t>(first), static_cast<std::int64_t>(count));
      out_.Advance(bytes);
      first += count;
    }
  }

  // One frame chunk from the frame's frameSize bytes.
  void WriteFrame(const std::uint8_t* bytes);

  // What follows the last frame: the last RIFF's indexes.
  void Finish();

  // The start of RIFF k > 0, its "movi" list header included: what a file
  // written before its frame count was known writes again once it is.
  void WriteRiffStart(std::uint64_t k);

 private:
  // Ends the RIFF that is full and starts the next one, then writes the
  // frame's chunk header.
  void BeginFrame();
  void WriteRiffEnd(std::uint64_t k);
  void WriteSuperIndex();
  void WriteStandardIndex(std::uint64_t k);
  void WriteLegacyIndex(std::uint64_t frames);

  const AviLayout& layout_;
  ByteWriter& out_;
  std::uint64_t riff_ = 0;          // the RIFF being written
  std::uint64_t framesInRiff_ = 0;  // frames written into it
};

}  // namespace stillreel

#endif  // STILLREEL_AVI_AVI_WRITER_H_
