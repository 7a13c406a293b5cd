#include "image/dib24.h"

#include <cstdint>
#include <new>

namespace stillreel {

bool Resize(Dib24& dib, std::int32_t width, std::int32_t height) {
  if (width < 1 || height < 1) return false;
  const std::uint64_t stride = Dib24Stride(width);
  const std::uint64_t size = stride * static_cast<std::uint64_t>(height);
  if (size > static_cast<std::uint64_t>(PTRDIFF_MAX)) return false;
  if (size > dib.capacity) {
    std::unique_ptr<std::uint8_t[]> bytes(new (std::nothrow) std::uint8_t[size]);
    if (!bytes) return false;
    dib.bytes = std::move(bytes);
    dib.capacity = size;
  }
  dib.width = width;
  dib.height = height;
  dib.stride = stride;
  dib.size = size;
  return true;
}

}  // namespace stillreel
