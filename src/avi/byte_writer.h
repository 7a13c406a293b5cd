// ByteWriter: buffered little-endian output to a file that it does not own.
// Errors are sticky: after the first failed write every later call does
// nothing and ok() stays false.
#ifndef STILLREEL_AVI_BYTE_WRITER_H_
#define STILLREEL_AVI_BYTE_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/file.h"

namespace stillreel {

class ByteWriter {
 public:
  static constexpr std::size_t kDefaultBufferBytes = std::size_t{1} << 20;

  // A buffer that cannot be allocated leaves the writer failed.
  explicit ByteWriter(platform::File file, std::size_t bufferBytes = kDefaultBufferBytes);
  ByteWriter(const ByteWriter&) = delete;
  ByteWriter& operator=(const ByteWriter&) = delete;

  void Write(const void* data, std::size_t size);
  // Room for `size` <= capacity() bytes in the buffer, to be filled by the
  // caller and then taken with Advance(size). After a failure the room is
  // still there, and what is put in it is dropped.
  std::uint8_t* Claim(std::size_t size);
  void Advance(std::size_t size);
  std::size_t capacity() const { return capacity_; }
  // Writes out what is buffered. Returns ok().
  bool Flush();
  bool ok() const { return ok_; }
  // Bytes accepted so far (written or buffered).
  std::uint64_t position() const { return position_; }
  int error() const { return error_; }  // errno of the failure, 0 if none

 private:
  void Drain(const std::uint8_t* data, std::size_t size);

  platform::File file_;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::size_t capacity_ = 0;
  std::size_t used_ = 0;
  std::uint64_t position_ = 0;
  bool ok_ = true;
  int error_ = 0;
};

void WriteLe32(std::uint32_t value, ByteWriter& out);
void WriteLe16(std::uint16_t value, ByteWriter& out);
// Writes the four characters of a tag, without a terminator.
void WriteTag(const char (&tag)[5], ByteWriter& out);

}  // namespace stillreel

#endif  // STILLREEL_AVI_BYTE_WRITER_H_
