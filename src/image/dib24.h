// Dib24: a picture as stored 24-bit rows, bottom row first, each row blue,
// green, red triples padded with zeros to a multiple of 4 bytes. A Dib24 owns
// its bytes and keeps them across Resize calls that need no more room.
#ifndef STILLREEL_IMAGE_DIB24_H_
#define STILLREEL_IMAGE_DIB24_H_

#include <cstddef>
#include <cstdint>
#include <memory>

namespace stillreel {

struct Dib24 {
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::size_t stride = 0;  // bytes of one row: 3 x width rounded up to 4
  std::size_t size = 0;    // stride x height
  std::unique_ptr<std::uint8_t[]> bytes;
  std::size_t capacity = 0;
};

// Bytes of one stored 24-bit row of `width` pixels.
inline std::uint64_t Dib24Stride(std::int64_t width) {
  return (static_cast<std::uint64_t>(width) * 3 + 3) & ~std::uint64_t{3};
}

// Makes `dib` width x height with unspecified contents, reusing its bytes
// when they are enough. False (and unchanged) when they cannot be allocated.
bool Resize(Dib24& dib, std::int32_t width, std::int32_t height);

// Stored row r, counted from the bottom row.
inline std::uint8_t* Row(Dib24& dib, std::int64_t r) {
  return dib.bytes.get() + static_cast<std::size_t>(r) * dib.stride;
}
inline const std::uint8_t* Row(const Dib24& dib, std::int64_t r) {
  return dib.bytes.get() + static_cast<std::size_t>(r) * dib.stride;
}

}  // namespace stillreel

#endif  // STILLREEL_IMAGE_DIB24_H_
