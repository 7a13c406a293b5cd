#include "avi/byte_writer.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

namespace stillreel {

ByteWriter::ByteWriter(int fd, std::size_t blockBytes, std::size_t slackBytes)
    : fd_(fd), block_(std::max<std::size_t>(blockBytes, 1)) {
  if (slackBytes <= static_cast<std::size_t>(-1) - block_) {
    capacity_ = block_ + slackBytes;
    buffer_.reset(new (std::nothrow) std::uint8_t[capacity_]);
  }
  if (!buffer_) {
    capacity_ = 0;
    ok_ = false;
    error_ = ENOMEM;
  }
}

void ByteWriter::Write(const void* data, std::size_t size) {
  if (!ok_) return;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  if (size > capacity_ - used_ && size >= capacity_) {
    // A large block goes out with what is buffered, without a copy, up to
    // the last block boundary it reaches; only the rest is buffered.
    const auto direct = size - static_cast<std::size_t>((position_ + size) % block_);
    Drain(buffer_.get(), used_, bytes, direct);
    used_ = 0;
    position_ += direct;
    bytes += direct;
    size -= direct;
  }
  while (ok_ && size > 0) {
    const std::size_t part = std::min(size, capacity_ - used_);
    std::memcpy(buffer_.get() + used_, bytes, part);
    used_ += part;
    position_ += part;
    bytes += part;
    size -= part;
    if (size > 0) MakeRoom();  // the buffer is full
  }
}

std::uint8_t* ByteWriter::Claim(std::size_t size) {
  if (size > capacity_ - used_) MakeRoom();
  if (ok_ && size > capacity_ - used_) {
    // Larger than the buffer: take one that fits, keeping what is buffered.
    std::unique_ptr<std::uint8_t[]> larger(new (std::nothrow) std::uint8_t[used_ + size]);
    if (larger) {
      std::memcpy(larger.get(), buffer_.get(), used_);
      buffer_ = std::move(larger);
      capacity_ = used_ + size;
    } else {
      ok_ = false;
      error_ = ENOMEM;
    }
  }
  if (!ok_) used_ = 0;
  return buffer_.get() + used_;
}

void ByteWriter::Advance(std::size_t size) {
  if (!ok_) return;
  used_ += size;
  position_ += size;
}

void ByteWriter::MakeRoom() {
  if (!ok_) return;
  const std::uint64_t start = position_ - used_;
  const std::uint64_t boundary = position_ - position_ % block_;
  if (boundary > start) {
    const auto aligned = static_cast<std::size_t>(boundary - start);
    Drain(buffer_.get(), aligned);
    std::memmove(buffer_.get(), buffer_.get() + aligned, used_ - aligned);
    used_ -= aligned;
  }
}

bool ByteWriter::Flush() {
  if (ok_ && used_ > 0) Drain(buffer_.get(), used_);
  used_ = 0;
  return ok_;
}

void ByteWriter::Drain(const std::uint8_t* head, std::size_t headSize, const std::uint8_t* tail,
                       std::size_t tailSize) {
  iovec parts[2];
  int count = 0;
  if (headSize > 0) parts[count++] = {const_cast<std::uint8_t*>(head), headSize};
  if (tailSize > 0) parts[count++] = {const_cast<std::uint8_t*>(tail), tailSize};
  iovec* next = parts;
  while (ok_ && count > 0) {
    const ssize_t written = ::writev(fd_, next, count);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      ok_ = false;
      error_ = written < 0 ? errno : EIO;
      return;
    }
    auto done = static_cast<std::size_t>(written);
    while (count > 0 && done >= next->iov_len) {
      done -= next->iov_len;
      ++next;
      --count;
    }
    if (count > 0) {
      next->iov_base = static_cast<std::uint8_t*>(next->iov_base) + done;
      next->iov_len -= done;
    }
  }
}

void WriteLe32(std::uint32_t value, ByteWriter& out) {
  const std::uint8_t bytes[4] = {
      static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
      static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
  out.Write(bytes, 4);
}

void WriteLe16(std::uint16_t value, ByteWriter& out) {
  const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(value),
                                 static_cast<std::uint8_t>(value >> 8)};
  out.Write(bytes, 2);
}

void WriteTag(const char (&tag)[5], ByteWriter& out) {
  out.Write(tag, 4);
}

}  // namespace stillreel
