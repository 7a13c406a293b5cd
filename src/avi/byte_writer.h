// ByteWriter: buffered little-endian output to a file descriptor that it does
// not own. Errors are sticky: after the first failed write every later call
// does nothing and ok() stays false.
//
// Every write but the last ends on a multiple of the block size, counted from
// where the writer started, so the file's pages are each filled by one write
// (the page cache takes whole aligned blocks markedly faster than the same
// bytes shifted). The buffer holds one block plus some slack, which lets a
// caller fill it a whole row at a time up to a little past a block's end.
#ifndef STILLREEL_AVI_BYTE_WRITER_H_
#define STILLREEL_AVI_BYTE_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <memory>

namespace stillreel {

class ByteWriter {
 public:
  static constexpr std::size_t kDefaultBlockBytes = std::size_t{1} << 20;

  // A buffer that cannot be allocated leaves the writer failed. Block sizes
  // below 1 count as 1.
  explicit ByteWriter(int fd, std::size_t blockBytes = kDefaultBlockBytes,
                      std::size_t slackBytes = 0);
  ByteWriter(const ByteWriter&) = delete;
  ByteWriter& operator=(const ByteWriter&) = delete;

  void Write(const void* data, std::size_t size);
  // Room for `size` bytes in the buffer (which grows past capacity() if it
  // must), to be filled by the caller and then taken with Advance(size).
  // After a failure the room is only there if `size` <= capacity(), and what
  // is put in it is dropped: check ok() first.
  std::uint8_t* Claim(std::size_t size);
  void Advance(std::size_t size);
  std::size_t capacity() const { return capacity_; }
  // Bytes still to come before the output reaches the end of a block
  // (1 to the block size).
  std::size_t ToBlockEnd() const { return block_ - static_cast<std::size_t>(position_ % block_); }
  // Writes out what is buffered. Returns ok().
  bool Flush();
  bool ok() const { return ok_; }
  // Bytes accepted so far (written or buffered).
  std::uint64_t position() const { return position_; }
  int error() const { return error_; }  // errno of the failure, 0 if none

 private:
  // Writes out the buffered bytes up to the last block boundary and keeps
  // the rest.
  void MakeRoom();
  // Writes `head` then `tail` bytes of the two blocks, as one request.
  void Drain(const std::uint8_t* head, std::size_t headSize, const std::uint8_t* tail = nullptr,
             std::size_t tailSize = 0);

  int fd_;
  std::size_t block_;
  std::size_t capacity_ = 0;
  std::unique_ptr<std::uint8_t[]> buffer_;
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
