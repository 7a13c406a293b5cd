// Builds BMP files for tests, header fields as named members, so each test
// states the one thing that differs from an ordinary picture.
#ifndef STILLREEL_TESTS_SUPPORT_BMP_BUILDER_H_
#define STILLREEL_TESTS_SUPPORT_BMP_BUILDER_H_

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace stillreel::test {

struct Rgba {
  std::uint8_t blue = 0, green = 0, red = 0, alpha = 0;
  friend bool operator==(const Rgba&, const Rgba&) = default;
};

struct BmpFields {
  std::int32_t width = 2;
  std::int32_t height = 2;
  std::int32_t bitCount = 24;
  std::uint32_t compression = 0;
  // 12 lays the header out as OS/2 1.x has it: 16-bit width and height,
  // 3-byte colour table entries.
  std::uint32_t infoHeaderSize = 40;
  // Pixel data offset; by default right after the headers, masks and palette.
  std::optional<std::uint32_t> pixelDataOffset;
  // Colour table for 1-, 4- and 8-bit pictures (written as blue, green, red, reserved).
  std::vector<Rgba> palette;
  // Bit-field masks, written after a 40-byte header when compression is 3
  // (inside the header for larger ones, as the V4/V5 layout has them).
  std::uint32_t redMask = 0xF800, greenMask = 0x07E0, blueMask = 0x001F;
  // Written after them in headers of 56 bytes or more.
  std::uint32_t alphaMask = 0;
  // Row-major, top row first: for 24/32-bit pictures the colours, for
  // palette pictures the indices (in .blue), for 16-bit the words (in .blue
  // and .green as low and high byte). Missing pixels are zero.
  std::vector<Rgba> pixels;
  // When not empty, the pixel data as stored (run-length codes), in place of
  // the rows made from `pixels`.
  std::vector<std::uint8_t> data;
  // Cut the finished file to this many bytes.
  std::optional<std::size_t> truncateTo;
  char signature[2] = {'B', 'M'};
};

// The bytes of the file described by fields.
std::vector<std::uint8_t> BuildBmp(const BmpFields& fields);

// Index or 16-bit word helpers for BmpFields::pixels.
inline Rgba Index(std::uint8_t i) {
  return Rgba{i, 0, 0, 0};
}
inline Rgba Word(std::uint16_t w) {
  return Rgba{static_cast<std::uint8_t>(w & 0xFF), static_cast<std::uint8_t>(w >> 8), 0, 0};
}

void WriteFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);
// The names in a folder, sorted, as UTF-8: to see that nothing was left behind.
std::vector<std::string> Entries(const std::filesystem::path& dir);
inline std::vector<std::uint8_t> Bytes(const std::string& text) {
  return std::vector<std::uint8_t>(text.begin(), text.end());
}
std::vector<std::uint8_t> ReadFile(const std::filesystem::path& path);

// A fresh folder under the system's temporary folder (or `parent`), removed
// with the object.
class TempDir {
 public:
  explicit TempDir(const std::filesystem::path& parent = std::filesystem::temp_directory_path());
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

}  // namespace stillreel::test

#endif  // STILLREEL_TESTS_SUPPORT_BMP_BUILDER_H_
