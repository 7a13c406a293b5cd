// ByteSource: a forward-only byte stream over an open regular file (which it
// closes) or over a block of memory (which must outlive it). It keeps the
// end-of-file indicator of a C stream: set by the first read that finds fewer
// bytes than it asked for. Apart from the stream, ReadAt reads at any place.
// It knows nothing of the format it reads.
#ifndef STILLREEL_IMAGE_BYTE_SOURCE_H_
#define STILLREEL_IMAGE_BYTE_SOURCE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "platform/file.h"

namespace stillreel {

class ByteSource {
 public:
  static constexpr std::size_t kChunkBytes = std::size_t{1} << 18;

  explicit ByteSource(platform::File file) : file_(file) {}
  explicit ByteSource(std::span<const std::uint8_t> bytes)
      : data_(bytes.data()), size_(bytes.size()), ended_(true) {}
  ~ByteSource();
  ByteSource(const ByteSource&) = delete;
  ByteSource& operator=(const ByteSource&) = delete;

  bool eof() const { return eof_; }

  // The next n bytes, contiguous; fewer only at the end of the input, which
  // then sets the end-of-file indicator. Valid until the next call.
  std::span<const std::uint8_t> Take(std::size_t n);

  // Copies up to n bytes; returns how many there were.
  std::size_t Read(void* destination, std::size_t n);

  // Reads n bytes into `destination`, straight from the file once the
  // buffered bytes are used up; a short count sets the end-of-file indicator.
  std::size_t ReadInto(std::uint8_t* destination, std::size_t n);

  // Reads n bytes as Read does, but reads nothing and returns false once the
  // end-of-file indicator is set.
  bool GuardedRead(void* destination, std::size_t n);

  // Reads and discards n bytes.
  void Skip(std::uint64_t n);

  // The n bytes at `offset` from the start of the input, fewer at its end
  // (none when they cannot be had). Valid until the next ReadAt; the stream
  // and its end-of-file indicator are left as they are.
  std::span<const std::uint8_t> ReadAt(std::uint64_t offset, std::size_t n);

 private:
  // Makes at least n bytes available when the file still holds them.
  // Returns false when nothing more could be had.
  bool Fill(std::size_t n);

  platform::File file_;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::size_t capacity_ = 0;
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t position_ = 0;
  bool eof_ = false;
  bool ended_ = false;                        // nothing more can come from the file
  std::unique_ptr<std::uint8_t[]> atBuffer_;  // ReadAt's bytes of a file
  std::size_t atCapacity_ = 0;
};

}  // namespace stillreel

#endif  // STILLREEL_IMAGE_BYTE_SOURCE_H_
