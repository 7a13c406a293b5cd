#include "image/byte_source.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

namespace stillreel {

ByteSource::~ByteSource() {
  platform::Close(file_);
}

std::span<const std::uint8_t> ByteSource::Take(std::size_t n) {
  if (size_ - position_ < n) Fill(n);
  const std::size_t take = std::min(n, size_ - position_);
  const std::uint8_t* start = data_ + position_;
  position_ += take;
  if (take < n) eof_ = true;
  return {start, take};
}

std::size_t ByteSource::Read(void* destination, std::size_t n) {
  const std::span<const std::uint8_t> bytes = Take(n);
  if (!bytes.empty()) std::memcpy(destination, bytes.data(), bytes.size());
  return bytes.size();
}

std::size_t ByteSource::ReadInto(std::uint8_t* destination, std::size_t n) {
  std::size_t done = std::min(n, size_ - position_);
  if (done > 0) std::memcpy(destination, data_ + position_, done);
  position_ += done;
  while (done < n && !ended_) {
    const std::ptrdiff_t got = platform::Read(file_, destination + done, n - done);
    if (got <= 0) {
      ended_ = true;
      break;
    }
    done += static_cast<std::size_t>(got);
  }
  if (done < n) eof_ = true;
  return done;
}

bool ByteSource::GuardedRead(void* destination, std::size_t n) {
  if (eof_) return false;
  Read(destination, n);
  return true;
}

void ByteSource::Skip(std::uint64_t n) {
  while (n > 0) {
    if (position_ == size_ && !Fill(1)) {
      eof_ = true;
      return;
    }
    const std::uint64_t take = std::min<std::uint64_t>(n, size_ - position_);
    position_ += static_cast<std::size_t>(take);
    n -= take;
  }
}

std::span<const std::uint8_t> ByteSource::ReadAt(std::uint64_t offset, std::size_t n) {
  if (!file_.valid()) {  // memory: data_ holds the whole input
    if (offset >= size_) return {};
    return {data_ + offset, static_cast<std::size_t>(std::min<std::uint64_t>(n, size_ - offset))};
  }
  if (offset > static_cast<std::uint64_t>(INT64_MAX) - n) return {};
  if (atCapacity_ < n) {
    atBuffer_.reset(new (std::nothrow) std::uint8_t[n]);
    atCapacity_ = atBuffer_ ? n : 0;
    if (!atBuffer_) return {};  // taken as the end of the file: the rest stays white
  }
  std::size_t done = 0;
  while (done < n) {
    const std::ptrdiff_t got =
        platform::ReadAt(file_, atBuffer_.get() + done, n - done, offset + done);
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
  }
  return {atBuffer_.get(), done};
}

bool ByteSource::Fill(std::size_t n) {
  if (ended_) return position_ < size_;
  const std::size_t have = size_ - position_;
  const std::size_t need = std::max(n, kChunkBytes);
  if (capacity_ < need) {
    std::unique_ptr<std::uint8_t[]> bigger(new (std::nothrow) std::uint8_t[need]);
    if (!bigger) {  // taken as the end of the file: the rest stays white
      ended_ = true;
      return have > 0;
    }
    if (have > 0) std::memcpy(bigger.get(), data_ + position_, have);
    buffer_ = std::move(bigger);
    capacity_ = need;
  } else if (have > 0 && position_ > 0) {
    std::memmove(buffer_.get(), data_ + position_, have);
  }
  data_ = buffer_.get();
  position_ = 0;
  size_ = have;
  while (size_ < n && !ended_) {
    const std::ptrdiff_t got = platform::Read(file_, buffer_.get() + size_, capacity_ - size_);
    if (got <= 0) {  // the end, or a read error: what is missing stays white
      ended_ = true;
      break;
    }
    size_ += static_cast<std::size_t>(got);
  }
  return size_ > 0;
}

}  // namespace stillreel
