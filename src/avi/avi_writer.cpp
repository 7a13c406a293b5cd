#include "avi/avi_writer.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "size_limits.h"

namespace stillreel {
namespace {

constexpr std::uint32_t kHasIndex = 0x10;  // avih flag: the file carries "idx1"
constexpr std::uint32_t kKeyFrame = 0x10;  // idx1 flag: every frame stands alone
constexpr std::uint32_t kPixelsPerMetre = 3780;

void WriteMainHeader(const AviLayout& layout, ByteWriter& out) {
  WriteTag("avih", out);
  WriteLe32(56, out);
  WriteLe32(layout.microsPerFrame, out);
  WriteLe32(0, out);  // maximum bytes per second
  WriteLe32(0, out);  // padding granularity
  WriteLe32(kHasIndex, out);
  WriteLe32(static_cast<std::uint32_t>(layout.frameCount), out);
  WriteLe32(0, out);  // initial frames
  WriteLe32(1, out);  // streams
  WriteLe32(static_cast<std::uint32_t>(layout.frameSize), out);
  WriteLe32(static_cast<std::uint32_t>(layout.frameWidth), out);
  WriteLe32(static_cast<std::uint32_t>(layout.frameHeight), out);
  for (int i = 0; i < 4; ++i)
    WriteLe32(0, out);  // reserved
}

void WriteStreamHeader(const AviLayout& layout, ByteWriter& out) {
  WriteTag("strh", out);
  WriteLe32(56, out);
  WriteTag("vids", out);
  WriteTag("DIB ", out);
  WriteLe32(0, out);                      // flags
  WriteLe32(0, out);                      // priority and language
  WriteLe32(0, out);                      // initial frames
  WriteLe32(layout.microsPerFrame, out);  // scale: the rate is rate / scale frames a second
  WriteLe32(1000000, out);
  WriteLe32(0, out);  // start
  WriteLe32(static_cast<std::uint32_t>(layout.frameCount), out);
  WriteLe32(static_cast<std::uint32_t>(layout.frameSize), out);
  WriteLe32(0, out);  // quality
  WriteLe32(0, out);  // sample size
  WriteLe32(0, out);  // frame rectangle left and top
  // The rectangle's right and bottom are 16-bit: wider frames keep the low bits.
  WriteLe16(static_cast<std::uint16_t>(layout.frameWidth), out);
  WriteLe16(static_cast<std::uint16_t>(layout.frameHeight), out);
}

void WriteStreamFormat(const AviLayout& layout, ByteWriter& out) {
  WriteTag("strf", out);
  WriteLe32(40, out);
  WriteLe32(40, out);
  WriteLe32(static_cast<std::uint32_t>(layout.frameWidth), out);
  WriteLe32(static_cast<std::uint32_t>(layout.frameHeight), out);  // positive: bottom-up rows
  WriteLe16(1, out);                                               // planes
  WriteLe16(24, out);                                              // bit count
  WriteLe32(0, out);                                               // no compression
  WriteLe32(static_cast<std::uint32_t>(layout.frameSize), out);
  WriteLe32(kPixelsPerMetre, out);
  WriteLe32(kPixelsPerMetre, out);
  WriteLe32(0, out);  // colours used
  WriteLe32(0, out);  // colours important
}

}  // namespace

std::uint64_t RowBytes(std::int64_t width) {
  return (static_cast<std::uint64_t>(width) * 3 + 3) & ~std::uint64_t{3};
}

std::optional<std::uint64_t> RiffSize(std::uint64_t n, std::uint64_t N, std::uint64_t S) {
  if (n == 0 || N == 0) return std::nullopt;
  std::uint64_t frames, chunk, movi, index, riff;
  if (__builtin_mul_overflow(n - 1, N, &frames) || __builtin_add_overflow(frames, 1, &frames) ||
      __builtin_add_overflow(S, 8, &chunk) || __builtin_mul_overflow(frames, chunk, &movi) ||
      __builtin_add_overflow(movi, 4, &movi) || __builtin_mul_overflow(frames, 16, &index) ||
      __builtin_add_overflow(movi, index, &riff) || __builtin_add_overflow(riff, 220, &riff)) {
    return std::nullopt;
  }
  return riff;
}

AviLayout LayoutFor(std::int32_t width, std::int32_t height, std::uint64_t n, std::uint64_t N,
                    std::uint32_t microsPerFrame) {
  constexpr std::uint64_t kHuge = ~std::uint64_t{0};
  AviLayout layout;
  layout.frameWidth = std::max(width, 1);
  layout.frameHeight = std::max(height, 1);
  layout.microsPerFrame = microsPerFrame;
  layout.rowBytes = RowBytes(layout.frameWidth);
  layout.frameSize = layout.rowBytes * static_cast<std::uint64_t>(layout.frameHeight);
  if (n == 0 || N == 0 || __builtin_mul_overflow(n - 1, N, &layout.frameCount) ||
      __builtin_add_overflow(layout.frameCount, 1, &layout.frameCount)) {
    layout.frameCount = kHuge;
  }
  const std::optional<std::uint64_t> riff = RiffSize(n, N, layout.frameSize);
  if (!riff) {
    layout.moviSize = layout.indexSize = layout.riffSize = kHuge;
    return layout;
  }
  layout.moviSize = 4 + layout.frameCount * (layout.frameSize + 8);
  layout.indexSize = 16 * layout.frameCount;
  layout.riffSize = *riff;
  return layout;
}

std::optional<AviLayout> PlanAvi(std::int32_t width, std::int32_t height, std::uint64_t n,
                                 std::uint64_t N, std::uint32_t microsPerFrame) {
  if (width < 1 || height < 1) return std::nullopt;
  const AviLayout layout = LayoutFor(width, height, n, N, microsPerFrame);
  if (layout.riffSize > kMaxRiffSize) return std::nullopt;
  return layout;
}

void WriteHeaders(const AviLayout& layout, ByteWriter& out) {
  WriteTag("RIFF", out);
  WriteLe32(static_cast<std::uint32_t>(layout.riffSize), out);
  WriteTag("AVI ", out);
  WriteTag("LIST", out);
  WriteLe32(192, out);
  WriteTag("hdrl", out);
  WriteMainHeader(layout, out);
  WriteTag("LIST", out);
  WriteLe32(116, out);
  WriteTag("strl", out);
  WriteStreamHeader(layout, out);
  WriteStreamFormat(layout, out);
  WriteTag("LIST", out);
  WriteLe32(static_cast<std::uint32_t>(layout.moviSize), out);
  WriteTag("movi", out);
}

void WriteFrameChunk(const Image& image, const AviLayout& layout, ByteWriter& out) {
  WriteTag("00db", out);
  WriteLe32(static_cast<std::uint32_t>(layout.frameSize), out);
  std::vector<std::uint8_t> row(layout.rowBytes);
  const std::int32_t columns = std::min(image.width, layout.frameWidth);
  // Rows are stored bottom-up, and the picture sits at the frame's
  // bottom-left corner: stored row r is the picture's row height - 1 - r.
  for (std::int32_t r = 0; r < layout.frameHeight; ++r) {
    const std::int64_t y = static_cast<std::int64_t>(image.height) - 1 - r;
    if (y < 0) {
      std::fill(row.begin(), row.end(), 0);
    } else {
      std::uint8_t* p = row.data();
      for (std::int32_t x = 0; x < columns; ++x, p += 3) {
        const Pixel& pixel = Column(image, x)[y];
        p[0] = pixel.blue;
        p[1] = pixel.green;
        p[2] = pixel.red;
      }
      std::fill(p, row.data() + row.size(), 0);
    }
    out.Write(row.data(), row.size());
  }
}

void WriteFrameChunk(const Dib24& picture, const AviLayout& layout, ByteWriter& out) {
  if (picture.width == layout.frameWidth && picture.height == layout.frameHeight) {
    WriteTag("00db", out);
    WriteLe32(static_cast<std::uint32_t>(layout.frameSize), out);
    out.Write(picture.bytes.get(), picture.size);
    return;
  }
  // Stored row r of the picture is stored row r of the frame: both are
  // bottom-up and the picture sits at the bottom-left corner.
  const std::size_t used = 3 * static_cast<std::size_t>(std::min(picture.width, layout.frameWidth));
  const auto rowBytes = static_cast<std::size_t>(layout.rowBytes);
  WriteFrameRows(layout, out, [&](std::uint8_t* rows, std::int64_t first, std::int64_t count) {
    for (std::int64_t r = first; r < first + count; ++r, rows += rowBytes) {
      if (r < picture.height) {
        std::memcpy(rows, Row(picture, r), used);
        std::memset(rows + used, 0, rowBytes - used);
      } else {
        std::memset(rows, 0, rowBytes);
      }
    }
  });
}

void WriteIndex(const AviLayout& layout, ByteWriter& out) {
  WriteTag("idx1", out);
  WriteLe32(static_cast<std::uint32_t>(layout.indexSize), out);
  for (std::uint64_t i = 0; i < layout.frameCount; ++i) {
    WriteTag("00db", out);
    WriteLe32(kKeyFrame, out);
    WriteLe32(static_cast<std::uint32_t>(4 + i * (layout.frameSize + 8)), out);
    WriteLe32(static_cast<std::uint32_t>(layout.frameSize), out);
  }
}

}  // namespace stillreel
