// The BMP reader on arbitrary bytes. Each input is read from memory in
// classic reading and compared with a reference decoder written here from
// its rules, byte position by byte position: the same refusal and reason, or
// the same size and every pixel. The same bytes are then read from a file (a
// buffered stream instead of a memory block, with a picture already in the
// image) and must give exactly the same, and opening the file, which checks
// only the headers, must agree with both. Full reading has no reference
// here: it must refuse with a reason or give the header's size, read from a
// file exactly as from memory, and agree with classic reading on the plain
// 24- and 32-bit layouts.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <span>
#include <vector>

#include "fuzz_support.h"
#include "image/bmp_reader.h"
#include "image/image.h"
#include "stillreel/stillreel.hpp"

namespace stillreel {
namespace {

using fuzz::Le;

// Pictures of up to 4 MiB of pixels (1 Mi pixels) are decoded; see ClaimsMoreThan.
// Larger claims cost a fuzzer run hundreds of megabytes and a sixth of its speed.
constexpr std::uint64_t kMaxPixelBytes = std::uint64_t{4} << 20;

constexpr Pixel kBlack{0, 0, 0};

std::uint32_t Packed(const Pixel& p) {
  return p.blue | (std::uint32_t{p.green} << 8) | (std::uint32_t{p.red} << 16);
}

struct Decoded {
  bool ok = false;
  PictureIssue why = PictureIssue::kSizeDiffers;
  bool eitherSizeIssue = false;  // a negative height with a bad width: either reason will do
  BmpHeader header;
  std::int32_t width = 1, height = 1;
  std::vector<Pixel> pixels{kWhite};  // row-major, top row first
  std::vector<Pixel> table;           // the entries wholly in the file
};

Decoded Refused(Decoded d, PictureIssue why) {
  d.ok = false;
  d.why = why;
  return d;
}

// The reader's rules: the sixteen header reads count unless an earlier one
// met the end (so 50 bytes hold a header); a 12-byte info header refused
// before anything else in it; compression before bit count
// before size; the colour table at 14 + the info header size (at least 40),
// one entry per 4 bytes up to the pixel data offset, at most 2^bits; rows
// bottom-up from the offset (or the end of what precedes them), each padded
// to 4 bytes; a pixel the file does not wholly hold stays white, except that
// 24- and 32-bit pixels take whatever bytes of theirs the file holds; an
// index beyond the table read is black.
Decoded Reference(std::span<const std::uint8_t> b) {
  Decoded d;
  const std::size_t size = b.size();
  if (size < 2)
    return Refused(d,
                   size == 1 && b[0] != 'B' ? PictureIssue::kNotBmp : PictureIssue::kShortHeader);
  if (b[0] != 'B' || b[1] != 'M') return Refused(d, PictureIssue::kNotBmp);
  if (size < 50) return Refused(d, PictureIssue::kShortHeader);
  BmpHeader& h = d.header;
  if (Le(b, 14, 4) == 12) return Refused(d, PictureIssue::kOs2CoreHeader);
  h.pixelDataOffset = Le(b, 10, 4);
  h.infoHeaderSize = Le(b, 14, 4);
  h.width = static_cast<std::int32_t>(Le(b, 18, 4));
  h.height = static_cast<std::int32_t>(Le(b, 22, 4));
  h.bitCount = static_cast<std::int32_t>(Le(b, 28, 2));
  const std::uint32_t compression = Le(b, 30, 4);
  h.compression = static_cast<BmpCompression>(compression);
  const std::int32_t bits = h.bitCount;
  if (compression == 1 || compression == 2) return Refused(d, PictureIssue::kRunLengthEncoded);
  if (compression == 3 && bits != 16) return Refused(d, PictureIssue::kBitFieldsNot16);
  if (compression != 0 && compression != 3) {
    return Refused(d, PictureIssue::kUnsupportedCompression);
  }
  if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) {
    return Refused(d, PictureIssue::kUnsupportedBitCount);
  }
  if (h.height < 0 && h.width > 0) return Refused(d, PictureIssue::kTopDown);
  if (h.width <= 0 || h.height <= 0) {
    d.eitherSizeIssue = h.height < 0;
    return Refused(d, PictureIssue::kBadSize);
  }
  if (fuzz::FrameBytes24(h.width, h.height) > kMaxPictureFrameBytes) {
    return Refused(d, PictureIssue::kTooLarge);
  }

  d.ok = true;
  d.width = h.width;
  d.height = h.height;
  const std::int64_t w = h.width;
  d.pixels.assign(static_cast<std::size_t>(w * h.height), kWhite);
  const std::int64_t offset = h.pixelDataOffset;
  const std::int64_t stride = ((bits * w + 7) / 8 + 3) / 4 * 4;
  std::int64_t rowsStart = std::max<std::int64_t>(offset, 54);
  std::uint32_t masks[3] = {0x7C00, 0x03E0, 0x001F};
  if (bits <= 8) {
    const std::int64_t tableStart = 14 + std::max<std::int64_t>(40, h.infoHeaderSize);
    const std::int64_t entries =
        offset > tableStart ? std::min<std::int64_t>((offset - tableStart) / 4, 1 << bits) : 0;
    for (std::int64_t i = 0; i < entries; ++i) {
      const std::int64_t at = tableStart + 4 * i;
      if (at + 4 > static_cast<std::int64_t>(size)) break;
      d.table.push_back(Pixel{b[at], b[at + 1], b[at + 2]});
    }
    rowsStart = std::max(offset, tableStart + 4 * entries);
  } else if (bits == 16 && compression == 3) {
    for (int i = 0; i < 3; ++i)
      masks[i] = Le(b, 54 + 4 * static_cast<std::size_t>(i), 2);
    rowsStart = std::max<std::int64_t>(offset, 66);
  }
  int shifts[3] = {0, 0, 0};
  for (int i = 0; i < 3; ++i) {
    while ((masks[i] >> shifts[i]) > 31)
      ++shifts[i];
  }

  const auto end = static_cast<std::int64_t>(size);
  for (std::int64_t r = 0; r < h.height; ++r) {
    const std::int64_t row = rowsStart + r * stride;
    if (row >= end) break;
    Pixel* out = &d.pixels[static_cast<std::size_t>((h.height - 1 - r) * w)];
    for (std::int64_t x = 0; x < w; ++x) {
      Pixel& p = out[x];
      if (bits >= 24) {
        const std::int64_t at = row + x * (bits / 8);
        if (at >= end) break;
        std::uint8_t* channel[3] = {&p.blue, &p.green, &p.red};  // a fourth byte is not shown
        for (std::int64_t i = 0; i < 3 && at + i < end; ++i)
          *channel[i] = b[at + i];
      } else if (bits == 16) {
        const std::int64_t at = row + 2 * x;
        if (at + 2 > end) break;
        const std::uint32_t word = b[at] | (std::uint32_t{b[at + 1]} << 8);
        p.red = static_cast<std::uint8_t>(((word & masks[0]) >> shifts[0]) * 8);
        p.green = static_cast<std::uint8_t>(((word & masks[1]) >> shifts[1]) * 8);
        p.blue = static_cast<std::uint8_t>(((word & masks[2]) >> shifts[2]) * 8);
      } else {
        const std::int64_t at = row + x * bits / 8;
        if (at >= end) break;
        const int shift = 8 - bits - static_cast<int>(x * bits % 8);
        const std::size_t index = (b[at] >> shift) & ((1u << bits) - 1);
        p = index < d.table.size() ? d.table[index] : kBlack;
      }
    }
  }
  return d;
}

const char* Name(PictureIssue issue) {
  return ToString(issue);
}

// `image`, read with result `ok` and reason `why`, against the reference.
FUZZ_NO_COVERAGE void Expect(const char* how, bool ok, PictureIssue why, const Image& image,
                             const Decoded& want) {
  FUZZ_CHECK(ok == want.ok, how << ": have " << (ok ? "accepted" : "refused") << " ("
                                << (ok ? "" : Name(why)) << "), want "
                                << (want.ok ? "accepted" : "refused") << " ("
                                << (want.ok ? "" : Name(want.why)) << ")");
  if (!ok) {
    const bool sizeIssue = why == PictureIssue::kBadSize || why == PictureIssue::kTopDown;
    FUZZ_CHECK(why == want.why || (want.eitherSizeIssue && sizeIssue),
               how << ": reason have \"" << Name(why) << "\", want \"" << Name(want.why) << "\"");
  }
  FUZZ_CHECK(image.width == want.width && image.height == want.height,
             how << ": size have " << image.width << " x " << image.height << ", want "
                 << want.width << " x " << want.height);
  for (std::int32_t y = 0; y < want.height; ++y) {
    for (std::int32_t x = 0; x < want.width; ++x) {
      const std::uint32_t have = Packed(PixelAt(image, x, y));
      const std::uint32_t expected =
          Packed(want.pixels[static_cast<std::size_t>(y) * want.width + x]);
      FUZZ_CHECK(have == expected, how << ": pixel (" << x << ", " << y << ") of " << want.width
                                       << " x " << want.height << " " << want.header.bitCount
                                       << "-bit: have 0x" << std::hex << have << ", want 0x"
                                       << expected << " (red green blue)");
    }
  }
  // Every row's padding is zero: a picture's bytes are its frame's.
  for (std::int32_t r = 0; r < image.height; ++r) {
    for (std::size_t i = 3 * static_cast<std::size_t>(image.width); i < image.stride; ++i)
      FUZZ_CHECK(Row(image, r)[i] == 0, how << ": padding byte " << i << " of stored row " << r);
  }
}

// Full reading of the input: refused with a reason as a 1 x 1 white picture,
// or the size the header gives with zero row padding; from a file exactly as
// from memory. `classic` is the input as classic reading gave it.
FUZZ_NO_COVERAGE void CheckFullReading(std::span<const std::uint8_t> bytes,
                                       const std::filesystem::path& path, const Image& classic) {
  Image fromMemory = CreateImage();
  PictureIssue memoryWhy = PictureIssue::kSizeDiffers;
  const bool memoryOk = ReadBmp(fromMemory, bytes, &memoryWhy, Reading::kFull);
  BmpFile probe(Reading::kFull);
  PictureIssue probeWhy = PictureIssue::kSizeDiffers;
  const bool probed = probe.Open(bytes, &probeWhy);
  if (!memoryOk) {
    FUZZ_CHECK(memoryWhy != PictureIssue::kSizeDiffers, "full: refused without a reason");
    FUZZ_CHECK(fromMemory.width == 1 && fromMemory.height == 1 &&
                   Packed(PixelAt(fromMemory, 0, 0)) == Packed(kWhite),
               "full: refused (" << Name(memoryWhy) << ") but not 1 x 1 white");
    // Opening refuses all but pictures too large to allocate; and a height
    // of -2^31, which no positive height holds, as too large itself.
    FUZZ_CHECK(probed == (memoryWhy == PictureIssue::kTooLarge ||
                          memoryWhy == PictureIssue::kOutOfMemory) ||
                   (!probed && memoryWhy == PictureIssue::kTooLarge),
               "full: probe " << (probed ? "accepted" : "refused") << ", read refused ("
                              << Name(memoryWhy) << ")");
    if (!probed) {
      FUZZ_CHECK(probeWhy == memoryWhy, "full: probe reason \"" << Name(probeWhy)
                                                                << "\", the reader's \""
                                                                << Name(memoryWhy) << "\"");
    }
  } else {
    FUZZ_CHECK(probed && probe.layout().width == fromMemory.width &&
                   probe.layout().height == fromMemory.height,
               "full: read " << fromMemory.width << " x " << fromMemory.height
                             << ", the probed header " << probe.layout().width << " x "
                             << probe.layout().height);
  }
  Decoded same;
  same.ok = memoryOk;
  same.why = memoryWhy;
  same.width = fromMemory.width;
  same.height = fromMemory.height;
  same.header.bitCount = probe.header().bitCount;
  same.pixels.clear();
  for (std::int32_t y = 0; y < fromMemory.height; ++y) {
    for (std::int32_t x = 0; x < fromMemory.width; ++x)
      same.pixels.push_back(PixelAt(fromMemory, x, y));
  }
  Image fromFile = CreateImage();
  Resize(fromFile, 3, 2);
  PictureIssue fileWhy = PictureIssue::kSizeDiffers;
  const bool fileOk = ReadBmp(fromFile, path.string(), &fileWhy, Reading::kFull);
  Expect("full, from a file against from memory", fileOk, fileWhy, fromFile, same);
  Expect("full, from memory", memoryOk, memoryWhy, fromMemory, same);  // the padding

  // Read as grey: the grey of every colour, zero padding.
  Image grey = CreateImage();
  FUZZ_CHECK(ReadBmp(grey, bytes, nullptr, Reading::kFull, 1) == memoryOk,
             "full as grey: another outcome");
  std::vector<std::uint8_t> want(static_cast<std::size_t>(grey.width));
  for (std::int32_t r = 0; r < grey.height; ++r) {
    GreyRow(Row(fromMemory, r), want.size(), want.data());
    FUZZ_CHECK(std::memcmp(Row(grey, r), want.data(), want.size()) == 0,
               "full as grey: stored row " << r);
    for (std::size_t i = want.size(); i < grey.stride; ++i)
      FUZZ_CHECK(Row(grey, r)[i] == 0,
                 "full as grey: padding byte " << i << " of stored row " << r);
  }

  // Read with alpha: the same colours, and opaque unless the bit fields
  // have an alpha mask; zero padding.
  Image withAlpha = CreateImage();
  FUZZ_CHECK(ReadBmp(withAlpha, bytes, nullptr, Reading::kFull, 4) == memoryOk,
             "full with alpha: another outcome");
  const bool masked = memoryOk && probe.layout().alpha.factor != 0;
  for (std::int32_t r = 0; r < withAlpha.height; ++r) {
    const std::uint8_t* four = Row(withAlpha, r);
    const std::uint8_t* three = Row(fromMemory, r);
    for (std::int32_t x = 0; x < withAlpha.width; ++x) {
      FUZZ_CHECK(
          std::memcmp(four + 4 * x, three + 3 * x, 3) == 0 && (masked || four[4 * x + 3] == 255),
          "full with alpha: pixel " << x << " of stored row " << r);
    }
    for (std::size_t i = 4 * static_cast<std::size_t>(withAlpha.width); i < withAlpha.stride; ++i)
      FUZZ_CHECK(four[i] == 0, "full with alpha: padding byte " << i << " of stored row " << r);
  }

  // Uncompressed bottom-up 24- and 32-bit rows after a 40-byte header are
  // read alike by both readings.
  const std::uint32_t bits = fuzz::Le(bytes, 28, 2);
  if (memoryOk && bytes.size() >= 54 && fuzz::Le(bytes, 14, 4) == 40 &&
      fuzz::Le(bytes, 30, 4) == 0 && fuzz::Le(bytes, 10, 4) >= 54 && !probe.layout().topDown &&
      (bits == 24 || bits == 32)) {
    FUZZ_CHECK(classic.width == same.width && classic.height == same.height,
               "full " << same.width << " x " << same.height << ", classic " << classic.width
                       << " x " << classic.height);
    Decoded classicPicture = same;
    for (std::int32_t y = 0; y < classic.height; ++y) {
      for (std::int32_t x = 0; x < classic.width; ++x)
        classicPicture.pixels[static_cast<std::size_t>(y) * classic.width + x] =
            PixelAt(classic, x, y);
    }
    Expect("full against classic", memoryOk, memoryWhy, fromMemory, classicPicture);
  }
}

}  // namespace
}  // namespace stillreel

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace stillreel;
  const std::span<const std::uint8_t> bytes(data, size);
  if (fuzz::ClaimsMoreThan(bytes, kMaxPixelBytes)) return 0;
  const Decoded want = Reference(bytes);

  Image fromMemory = CreateImage();
  PictureIssue memoryWhy = PictureIssue::kSizeDiffers;
  const bool memoryOk = ReadBmp(fromMemory, bytes, &memoryWhy);
  Expect("from memory", memoryOk, memoryWhy, fromMemory, want);

  // From a file, into an image that already holds a picture.
  const auto path = fuzz::ScratchDir::Get() / "picture.bmp";
  fuzz::WriteBytes(path, bytes);
  Image fromFile = CreateImage();
  Resize(fromFile, 3, 2);
  PictureIssue fileWhy = PictureIssue::kSizeDiffers;
  const bool fileOk = ReadBmp(fromFile, path.string(), &fileWhy);
  Expect("from a file", fileOk, fileWhy, fromFile, want);

  // Opening checks the headers only: it fails exactly for header refusals.
  BmpFile file;
  PictureIssue probeWhy = PictureIssue::kSizeDiffers;
  const bool probed = file.Open(path.string(), &probeWhy);
  const BmpHeader& header = file.header();
  const bool headerOk = want.ok || want.why == PictureIssue::kTooLarge;
  FUZZ_CHECK(probed == headerOk, "probe: have " << (probed ? "accepted" : "refused") << " ("
                                                << (probed ? "" : ToString(probeWhy)) << "), want "
                                                << (headerOk ? "accepted" : "refused"));
  if (!probed) {
    FUZZ_CHECK(probeWhy == memoryWhy, "probe: reason have \"" << ToString(probeWhy)
                                                              << "\", the reader's \""
                                                              << ToString(memoryWhy) << "\"");
  } else {
    const BmpHeader& h = want.header;
    FUZZ_CHECK(
        header.pixelDataOffset == h.pixelDataOffset && header.infoHeaderSize == h.infoHeaderSize &&
            header.width == h.width && header.height == h.height && header.bitCount == h.bitCount &&
            header.compression == h.compression,
        "probe: header have offset "
            << header.pixelDataOffset << ", info size " << header.infoHeaderSize << ", "
            << header.width << " x " << header.height << ", " << header.bitCount
            << " bits, compression " << static_cast<std::uint32_t>(header.compression) << "; want "
            << h.pixelDataOffset << ", " << h.infoHeaderSize << ", " << h.width << " x " << h.height
            << ", " << h.bitCount << ", " << static_cast<std::uint32_t>(h.compression));
  }
  CheckFullReading(bytes, path, fromMemory);
  return 0;
}
