#include "image/bmp_rle.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>

#include "image/pixel_stores.h"
#include "simd/simd.h"

namespace stillreel {

RleRows::RleRows(ByteSource& source, const RowTables& tables, std::int32_t width,
                 std::int32_t height, int bitCount)
    : source_(source), tables_(tables), width_(width), height_(height), bitCount_(bitCount) {}

// Each row's indices are decoded into the last third of its 3 x `shown`
// bytes, then turned into colours from the left: the colour of pixel x ends
// at byte 3x + 2, before index x + 1 at byte 2 x shown + x + 1, and PutPixels
// reads the indices of up to four pixels before it stores them.
void RleRows::ReadRows(std::uint8_t* out, std::size_t stride, std::int32_t columns,
                       std::int64_t rows) {
  const std::int64_t shown = std::min<std::int64_t>(columns, width_);
  const Colour* palette = tables_.palette.data();
  for (std::int64_t i = 0; i < rows; ++i, out += stride, ++row_) {
    std::uint8_t* indices = out + 2 * shown;
    std::int64_t filled = 0;
    if (state_ == State::kDecoding && y_ == row_) filled = DecodeRow(indices, shown);
    // The rest is entry 0 up to where the bytes ran out, white after it.
    std::int64_t white = shown;
    if (state_ == State::kCut && y_ == row_) white = std::clamp(x_, filled, shown);
    if (state_ == State::kCut && y_ < row_) white = filled;
    if (white > filled) std::memset(indices + filled, 0, static_cast<std::size_t>(white - filled));
    PutPixels(out, 0, white, [indices, palette](std::int64_t x) { return palette[indices[x]]; });
    std::memset(out + 3 * white, 255, static_cast<std::size_t>(3 * (shown - white)));
  }
}

namespace {

// Short runs are stored as a whole block of 32 indices where the row has
// room for one (and for copies, the input has the bytes): what lies past the
// run is overwritten later. Fixed-size stores keep the lengths of runs, which
// follow no pattern, from costing a mispredicted branch each.
constexpr std::size_t kBlock = 32;

// n indices of `pattern`, 8 bytes repeated, its low byte first.
void FillIndices(std::uint8_t* to, std::size_t n, std::size_t room, std::uint64_t pattern) {
  std::size_t j = 0;
  if (n <= kBlock && room >= kBlock) n = kBlock;
  // The pattern's bytes in memory order whatever the host's: one store on a
  // little-endian one.
  std::uint8_t bytes[8];
  for (std::size_t k = 0; k < 8; ++k)
    bytes[k] = static_cast<std::uint8_t>(pattern >> (8 * k));
  for (; j + 8 <= n; j += 8)
    std::memcpy(to + j, bytes, 8);
  for (; j < n; ++j)
    to[j] = static_cast<std::uint8_t>(pattern >> (8 * (j & 7)));
}

void CopyIndices(std::uint8_t* to, const std::uint8_t* in, std::size_t n, std::size_t room,
                 std::size_t readable) {
  if (n <= kBlock && room >= kBlock && readable >= kBlock) {
    std::memcpy(to, in, kBlock);
  } else {
    std::memcpy(to, in, n);
  }
}

// The two indices of each byte of RLE4 codes.
constexpr auto kNibbles = [] {
  std::array<std::array<std::uint8_t, 2>, 256> pairs{};
  for (std::size_t b = 0; b < 256; ++b)
    pairs[b] = {static_cast<std::uint8_t>(b >> 4), static_cast<std::uint8_t>(b & 0x0F)};
  return pairs;
}();

// `nibbles`, where the level in use has one, unpacks whole blocks.
void UnpackIndices(std::uint8_t* to, const std::uint8_t* in, std::size_t n, std::size_t room,
                   std::size_t readable, NibblesKernel nibbles) {
  if (n <= kBlock && room >= kBlock && readable >= kBlock / 2) n = kBlock;
  if (n == kBlock && nibbles != nullptr) return nibbles(to, in);
  for (std::size_t j = 0; j < n / 2; ++j)
    std::memcpy(to + 2 * j, kNibbles[in[j]].data(), 2);
  if (n & 1) to[n - 1] = in[n / 2] >> 4;
}

// The decoding of one row, held in locals of DecodeRow: stores to the row
// may alias the decoder's members, which would reload them for every code.
struct RowCursor {
  std::uint8_t* indices;
  std::int64_t shown;
  std::int64_t x;  // where the next code puts its pixels
  std::int64_t filled;
  const std::uint8_t* at;
  const std::uint8_t* end;
  const std::uint8_t* readableEnd;  // of the buffer the last bytes taken lie in
  bool eight;
  NibblesKernel nibbles;
};

// The two indices of a run of one index or of two taking turns, 8 bytes.
inline std::uint64_t RunPattern(bool eight, unsigned value) {
  const std::uint64_t pair = eight ? value * 0x0101u : (value >> 4) | (value & 0x0Fu) << 8;
  return pair * 0x0001000100010001u;
}

// Indices from x on: `count` of them, put(to, n, room) setting the first n
// that are shown, with room for `room` from `to` on.
template <class Put>
inline void Run(RowCursor& c, std::int64_t count, Put put) {
  const std::int64_t from = std::min(c.x, c.shown);
  const std::int64_t to = std::min(c.x + count, c.shown);
  if (from > c.filled) {  // skipped by a delta
    std::memset(c.indices + c.filled, 0, static_cast<std::size_t>(from - c.filled));
  }
  if (to > from) {
    put(c.indices + from, static_cast<std::size_t>(to - from),
        static_cast<std::size_t>(c.shown - from));
  }
  c.filled = std::max(c.filled, to);
  c.x += count;
}

// The bulk of most pictures, without a branch on the kind of code: runs of
// at most one block, of one index (or two taking turns) or absolute, inside
// the row, right after the pixels set, with their bytes in hand. Each is
// stored as a whole block, taken from the run's pattern or from its indices
// as they come.
inline void DecodeBlocks(RowCursor& c) {
  while (c.end - c.at >= static_cast<std::ptrdiff_t>(2 + kBlock) && c.x == c.filled &&
         c.x + static_cast<std::int64_t>(kBlock) <= c.shown) {
    const unsigned count = c.at[0];
    const unsigned value = c.at[1];
    const bool encoded = count != 0;
    const unsigned pixels = encoded ? count : value;
    if (pixels > kBlock || pixels < (encoded ? 1u : 3u)) break;
    alignas(8) std::uint8_t pattern[kBlock];
    FillIndices(pattern, kBlock, kBlock, RunPattern(c.eight, value));
    const std::uint8_t* in = c.at + 2;
    if (c.eight) {
      std::memcpy(c.indices + c.x, encoded ? pattern : in, kBlock);
    } else if (encoded) {
      std::memcpy(c.indices + c.x, pattern, kBlock);
    } else {
      UnpackIndices(c.indices + c.x, in, kBlock, kBlock, kBlock / 2, c.nibbles);
    }
    const unsigned bytes = c.eight ? value : (value + 1) / 2;
    c.at += encoded ? 2 : 2 + bytes + (bytes & 1);
    c.filled = c.x += pixels;
  }
}

// An absolute run of `value` indices of which `data` holds the bytes taken.
inline void Absolute(RowCursor& c, unsigned value, std::span<const std::uint8_t> data) {
  const std::int64_t held =
      std::min<std::int64_t>(value, static_cast<std::int64_t>(data.size()) << (c.eight ? 0 : 1));
  const std::uint8_t* in = data.data();
  const auto readable = static_cast<std::size_t>(c.readableEnd - in);
  if (c.eight) {
    Run(c, held, [in, readable](std::uint8_t* to, std::size_t n, std::size_t room) {
      CopyIndices(to, in, n, room, readable);
    });
  } else {
    const NibblesKernel nibbles = c.nibbles;
    Run(c, held, [in, readable, nibbles](std::uint8_t* to, std::size_t n, std::size_t room) {
      UnpackIndices(to, in, n, room, readable, nibbles);
    });
  }
}

}  // namespace

std::int64_t RleRows::DecodeRow(std::uint8_t* indices, std::int64_t shown) {
  RowCursor c{indices, shown, x_, 0, at_, end_, end_, bitCount_ == 8, Kernels().nibbles};
  const auto take = [&](std::size_t n) -> std::span<const std::uint8_t> {
    if (static_cast<std::size_t>(c.end - c.at) >= n) {
      c.at += n;
      c.readableEnd = c.end;
      return {c.at - n, n};
    }
    at_ = c.at;
    const std::span<const std::uint8_t> bytes = TakeAcross(n);
    c.at = at_, c.end = end_;
    c.readableEnd = carry_ + sizeof carry_;
    return bytes;
  };
  State next = State::kCut;
  for (;;) {
    DecodeBlocks(c);
    const std::span<const std::uint8_t> code = take(2);
    if (code.size() < 2) break;
    const std::uint8_t count = code[0];
    const std::uint8_t value = code[1];
    if (count > 0) {  // `count` pixels of one index, or of two taking turns
      const std::uint64_t pattern = RunPattern(c.eight, value);
      Run(c, count, [pattern](std::uint8_t* to, std::size_t n, std::size_t room) {
        FillIndices(to, n, room, pattern);
      });
      continue;
    }
    if (value == 0 || value == 1) {  // end of line, end of picture
      ++y_;
      c.x = 0;
      next = value == 1 || y_ >= height_ ? State::kEnded : State::kDecoding;
      break;
    }
    if (value == 2) {  // delta: right and up
      const std::span<const std::uint8_t> delta = take(2);
      if (delta.size() < 2) break;
      c.x += delta[0];
      if (delta[1] == 0) continue;
      y_ += delta[1];
      next = y_ >= height_ ? State::kEnded : State::kDecoding;
      break;
    }
    // An absolute run of `value` indices, padded to a whole number of words.
    const std::size_t bytes = c.eight ? value : (value + 1u) / 2;
    const std::span<const std::uint8_t> data = take(bytes + (bytes & 1));
    Absolute(c, value, data);
    if (data.size() < bytes + (bytes & 1)) break;
  }
  x_ = c.x;
  at_ = c.at, end_ = c.end;
  state_ = next;
  return c.filled;
}

std::span<const std::uint8_t> RleRows::TakeAcross(std::size_t n) {
  std::size_t have = static_cast<std::size_t>(end_ - at_);
  if (have > 0) std::memcpy(carry_, at_, have);
  at_ = end_;
  while (have < n && !sourceEnded_) {
    const std::span<const std::uint8_t> more = source_.Take(ByteSource::kChunkBytes);
    // Take gives fewer bytes than asked only at the end of the input.
    sourceEnded_ = more.size() < ByteSource::kChunkBytes;
    const std::size_t use = std::min(n - have, more.size());
    if (use > 0) std::memcpy(carry_ + have, more.data(), use);
    have += use;
    at_ = more.data() + use;
    end_ = more.data() + more.size();
  }
  return {carry_, have};
}

}  // namespace stillreel
