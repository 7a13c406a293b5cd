#include "avi/byte_writer.h"

#include <cerrno>
#include <cstring>
#include <new>

namespace stillreel {

ByteWriter::ByteWriter(platform::File file, std::size_t bufferBytes)
    : file_(file), buffer_(new (std::nothrow) std::uint8_t[bufferBytes]), capacity_(bufferBytes) {
  if (!buffer_) {
    ok_ = false;
    error_ = ENOMEM;
  }
}

void ByteWriter::Write(const void* data, std::size_t size) {
  if (!ok_) return;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  position_ += size;
  if (used_ + size <= capacity_) {
    std::memcpy(buffer_.get() + used_, bytes, size);
    used_ += size;
    return;
  }
  Flush();
  if (size >= capacity_) {
    Drain(bytes, size);  // large blocks go out without a copy
  } else if (ok_) {
    std::memcpy(buffer_.get(), bytes, size);
    used_ = size;
  }
}

std::uint8_t* ByteWriter::Claim(std::size_t size) {
  if (used_ + size > capacity_) Flush();
  if (!ok_) used_ = 0;
  return buffer_.get() + used_;
}

void ByteWriter::Advance(std::size_t size) {
  if (!ok_) return;
  used_ += size;
  position_ += size;
}

bool ByteWriter::Flush() {
  if (ok_ && used_ > 0) Drain(buffer_.get(), used_);
  used_ = 0;
  return ok_;
}

void ByteWriter::Drain(const std::uint8_t* data, std::size_t size) {
  if (!ok_) return;
  error_ = platform::WriteAll(file_, data, size);
  ok_ = error_ == 0;
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
