// Unit tests of the in-memory picture and the BMP reader.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <span>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "image/bmp_reader.h"
#include "image/image.h"
#include "simd/simd.h"
#include "support/bmp_builder.h"
#include "support/peers.h"
#include "support/sanitized.h"
#include "support/test_os.h"

namespace stillreel {
namespace {

using test::BmpFields;
using test::BuildBmp;
using test::Index;
using test::Rgba;
using test::Word;
using Pixels = std::vector<Pixel>;  // row-major, top row first

constexpr Pixel kBlack{0, 0, 0};

std::string Show(const Pixel& p) {
  std::ostringstream s;
  s << "(b " << int{p.blue} << ", g " << int{p.green} << ", r " << int{p.red} << ")";
  return s.str();
}
bool Same(const Pixel& a, const Pixel& b) {
  return a.blue == b.blue && a.green == b.green && a.red == b.red;
}
// Alpha never reaches a picture in memory.
Pixel P(const Rgba& c) {
  return Pixel{c.blue, c.green, c.red};
}
std::string Name(PictureIssue issue) {
  return std::string("\"") + ToString(issue) + "\"";
}

void ExpectPixels(const Image& image, std::int32_t w, std::int32_t h, const Pixels& want,
                  const std::string& what) {
  ASSERT_EQ(image.width, w) << what;
  ASSERT_EQ(image.height, h) << what;
  int reported = 0;
  for (std::int32_t y = 0; y < h; ++y) {
    for (std::int32_t x = 0; x < w; ++x) {
      const Pixel have = PixelAt(image, x, y);
      const Pixel& expected = want.at(static_cast<std::size_t>(y) * w + x);
      if (!Same(have, expected) && reported++ < 8) {
        ADD_FAILURE() << what << ": pixel (" << x << ", " << y << ") have " << Show(have)
                      << ", want " << Show(expected);
      }
    }
  }
}

// A refused read leaves a 1 x 1 white picture and says why.
void ExpectRefused(bool ok, const Image& image, PictureIssue have, PictureIssue want,
                   const std::string& what) {
  EXPECT_FALSE(ok) << what;
  EXPECT_EQ(have, want) << what << ": have " << Name(have) << ", want " << Name(want);
  ExpectPixels(image, 1, 1, {kWhite}, what);
}

// Distinct colours for a w x h picture, top row first.
std::vector<Rgba> Distinct(std::int32_t w, std::int32_t h, bool alpha = false) {
  std::vector<Rgba> out;
  for (int i = 0; i < w * h; ++i) {
    out.push_back(Rgba{static_cast<std::uint8_t>(10 + i), static_cast<std::uint8_t>(100 + i),
                       static_cast<std::uint8_t>(200 - i),
                       static_cast<std::uint8_t>(alpha ? 50 + i : 0)});
  }
  return out;
}
// A w x h picture of `bits` bits; every other field as BmpFields has it.
BmpFields Fields(std::int32_t w, std::int32_t h, std::int32_t bits, std::vector<Rgba> pixels = {},
                 std::vector<Rgba> palette = {}) {
  BmpFields fields;
  fields.width = w;
  fields.height = h;
  fields.bitCount = bits;
  fields.pixels = std::move(pixels);
  fields.palette = std::move(palette);
  return fields;
}
Pixels AsPixels(const std::vector<Rgba>& colours) {
  Pixels out;
  for (const Rgba& c : colours)
    out.push_back(P(c));
  return out;
}
// The colours that the indices of a palette picture select; black beyond the table.
Pixels Looked(const BmpFields& fields, std::size_t entries) {
  Pixels out;
  for (const Rgba& i : fields.pixels)
    out.push_back(i.blue < entries ? P(fields.palette[i.blue]) : kBlack);
  return out;
}

// Runs body(level) at every instruction-set level of this processor family,
// best first, so that each level's row kernels read the pictures; then the
// level in use is restored. A level the processor lacks fails under CI=true.
void OnEveryLevel(const std::function<void(const std::string&)>& body) {
  const SimdLevel inUse = SimdInUse();
  std::string missing;
  for (const SimdLevel level : SimdFamily()) {
    if (LimitSimd(level) == level) {
      body(std::string(ToString(level)) + ": ");
    } else {
      missing += std::string(missing.empty() ? "" : ", ") + ToString(level);
    }
  }
  LimitSimd(inUse);
  if (missing.empty()) return;
  if (test::InCi()) FAIL() << "this processor cannot run " << missing << " (CI=true)";
  GTEST_SKIP() << "this processor cannot run " << missing;
}

class BmpReaderTest : public ::testing::Test {
 protected:
  // Reads the built picture from a file and from memory, checks that both
  // agree, and gives the file's result.
  bool Read(const BmpFields& fields, Image& image, PictureIssue* why = nullptr,
            Reading reading = Reading::kClassic) {
    const std::vector<std::uint8_t> bytes = BuildBmp(fields);
    const auto path = dir_ / ("p" + std::to_string(count_++) + ".bmp");
    test::WriteFile(path, bytes);
    Image copy = CreateImage();
    PictureIssue copyWhy = PictureIssue::kSizeDiffers, fileWhy = PictureIssue::kSizeDiffers;
    const bool copyOk = ReadBmp(copy, std::span<const std::uint8_t>(bytes), &copyWhy, reading);
    const bool fileOk = ReadBmp(image, path.string(), &fileWhy, reading);
    EXPECT_EQ(copyOk, fileOk) << "reads from memory and from the file disagree";
    if (!fileOk) {
      EXPECT_EQ(copyWhy, fileWhy) << Name(copyWhy) << " from memory";
    }
    Pixels fromFile;
    for (std::int32_t y = 0; y < image.height; ++y) {
      for (std::int32_t x = 0; x < image.width; ++x)
        fromFile.push_back(PixelAt(image, x, y));
    }
    ExpectPixels(copy, image.width, image.height, fromFile, "from memory, against the file");
    if (why) *why = fileWhy;
    return fileOk;
  }

  void SixteenBitWords(const std::string& level);
  void RunLengthAcrossChunks(const std::string& level);

  test::TempDir dir_;
  int count_ = 0;
};

TEST(ImageTest, CreateAndResize) {
  Image image = CreateImage();
  ExpectPixels(image, 1, 1, {kWhite}, "a new image");

  ASSERT_TRUE(Resize(image, 3, 2));
  ExpectPixels(image, 3, 2, Pixels(6, kWhite), "after Resize(3, 2)");
  EXPECT_EQ(image.stride, 12u);
  for (std::int64_t r = 0; r < 2; ++r) {
    for (std::size_t i = 9; i < 12; ++i)
      EXPECT_EQ(Row(image, r)[i], 0) << "padding byte " << i << " of stored row " << r;
  }
  const std::uint8_t* before = image.bytes.get();
  EXPECT_FALSE(Resize(image, 0, 10));
  EXPECT_FALSE(Resize(image, 10, 0));
  EXPECT_FALSE(Resize(image, -1, 5));
#if !STILLREEL_TEST_SANITIZED
  // More pixels than any allocator can give: refused, not thrown.
  bool huge = false;
  EXPECT_NO_THROW(huge = Resize(image, INT32_MAX, INT32_MAX)) << "Resize(2^31 - 1, 2^31 - 1)";
  EXPECT_FALSE(huge) << "Resize(2^31 - 1, 2^31 - 1)";
#endif
  EXPECT_EQ(image.bytes.get(), before) << "a refused Resize changed the pixels";
  ExpectPixels(image, 3, 2, Pixels(6, kWhite), "after refused Resizes");
  ReleaseImage(image);
  EXPECT_EQ(image.bytes, nullptr);
  ASSERT_TRUE(Resize(image, 1, 1));
  ExpectPixels(image, 1, 1, {kWhite}, "resized after its release");
}

TEST(ImageTest, PixelAtClampsBothCoordinates) {
  Image image = CreateImage();
  ASSERT_TRUE(Resize(image, 4, 3));
  for (std::int32_t x = 0; x < 4; ++x) {
    for (std::int32_t y = 0; y < 3; ++y) {
      std::uint8_t* p = Row(image, 2 - y) + 3 * x;  // rows are stored bottom-up
      p[0] = std::uint8_t(x), p[1] = std::uint8_t(y);
    }
  }
  struct Case {
    std::int64_t x, y;
    int wantX, wantY;
  };
  for (const Case& c : {Case{-3, 3 + 7, 0, 2}, Case{2, 1, 2, 1}, Case{4, -1, 3, 0},
                        Case{INT64_MAX, INT64_MIN, 3, 0}, Case{INT64_MIN, INT64_MAX, 0, 2}}) {
    const Pixel p = PixelAt(image, c.x, c.y);
    EXPECT_TRUE(p.blue == c.wantX && p.green == c.wantY)
        << "PixelAt(" << c.x << ", " << c.y << "): have (" << int{p.blue} << ", " << int{p.green}
        << "), want (" << c.wantX << ", " << c.wantY << ")";
  }
}

// Colours as 0xRRGGBB for the grey conversion: every 61st of the 2^24, every
// grey, the cube's corners and their neighbours, and every colour whose
// weighted sum ends just below or exactly on a rounding step.
std::vector<std::uint32_t> GreySample() {
  std::vector<std::uint32_t> colours;
  for (std::uint32_t c = 0; c < 1u << 24; c += 61)
    colours.push_back(c);
  for (std::uint32_t i = 0; i < 256; ++i)
    colours.push_back(i * 0x010101u);
  const std::uint32_t edges[] = {0, 1, 2, 127, 128, 129, 253, 254, 255};
  for (const std::uint32_t r : edges) {
    for (const std::uint32_t g : edges) {
      for (const std::uint32_t b : edges)
        colours.push_back(r << 16 | g << 8 | b);
    }
  }
  std::uint32_t inverse = 7471;  // of 7471 modulo 2^16, by Newton's steps
  for (int i = 0; i < 4; ++i)
    inverse *= 2 - 7471 * inverse;
  for (std::uint32_t r = 0; r < 256; ++r) {
    for (std::uint32_t g = 0; g < 256; ++g) {
      for (const std::uint32_t low : {32767u, 32768u}) {
        const std::uint32_t b = ((low - 19595 * r - 38470 * g) * inverse) & 0xFFFF;
        if (b < 256) colours.push_back(r << 16 | g << 8 | b);
      }
    }
  }
  return colours;
}

std::uint8_t WantGrey(std::uint32_t c) {
  return static_cast<std::uint8_t>(
      (19595 * (c >> 16) + 38470 * (c >> 8 & 255) + 7471 * (c & 255) + 32768) >> 16);
}

// Each level's grey rows give the formula's value for every sampled colour:
// rows of every length up to past two vector steps, from every offset, and
// whole images made grey in place; its rows of four bytes a pixel are the
// colours and the alphas given.
TEST(ImageTest, GreyAndBgraRowsAreExactAtEveryLevel) {
  const std::vector<std::uint32_t> colours = GreySample();
  std::vector<std::uint8_t> bgr;
  for (const std::uint32_t c : colours)
    bgr.insert(bgr.end(), {std::uint8_t(c), std::uint8_t(c >> 8), std::uint8_t(c >> 16)});
  auto expect = [&](const std::uint8_t* have, std::size_t first, std::size_t count,
                    const std::string& what) {
    int wrong = 0;
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint32_t c = colours[first + i];
      if (have[i] != WantGrey(c) && wrong++ < 8) {
        ADD_FAILURE() << what << ": pixel " << i << ", colour 0x" << std::hex << c << std::dec
                      << ": have " << int{have[i]} << ", want " << int{WantGrey(c)};
      }
    }
    return wrong == 0;
  };
  struct Shape {
    std::int32_t width, height;
  };
  // Widths below, at and past the vector steps; heights with rows of every padding.
  const Shape shapes[] = {{1, 3}, {15, 4}, {16, 3}, {31, 2}, {33, 5}, {66, 3}, {1920, 4}};
  OnEveryLevel([&](const std::string& level) {
    std::vector<std::uint8_t> grey(colours.size());
    GreyRow(bgr.data(), colours.size(), grey.data());
    if (!expect(grey.data(), 0, colours.size(), level + "all sampled colours")) return;
    for (std::size_t first = 0; first < 4; ++first) {
      for (std::size_t count = 0; count <= 70; ++count) {
        std::vector<std::uint8_t> row(count + 1, 0xA5);
        GreyRow(bgr.data() + 3 * first, count, row.data());
        const std::string what =
            level + std::to_string(count) + " pixels from " + std::to_string(first);
        if (!expect(row.data(), first, count, what)) return;
        EXPECT_EQ(row[count], 0xA5) << what << ": a byte past the row was written";
      }
    }
    // Four bytes a pixel: the colour, then its alpha or 255.
    for (std::size_t start = 0; start < 4; ++start) {
      for (std::size_t count = 0; count <= 70; ++count) {
        for (const bool withAlpha : {false, true}) {
          std::vector<std::uint8_t> row(4 * count + 1, 0xA5);
          const std::uint8_t* alphas = bgr.data() + 7;  // any bytes will do
          BgraRow(bgr.data() + 3 * start, withAlpha ? alphas : nullptr, count, row.data());
          std::vector<std::uint8_t> want;
          for (std::size_t i = 0; i < count; ++i) {
            const std::uint8_t* p = bgr.data() + 3 * (start + i);
            want.insert(want.end(), {p[0], p[1], p[2], withAlpha ? alphas[i] : std::uint8_t{255}});
          }
          want.push_back(0xA5);
          ASSERT_EQ(row, want) << level << "bgra, " << count << " pixels from " << start
                               << (withAlpha ? ", with alpha" : "");
        }
      }
    }
    std::size_t first = 0;
    for (const Shape& s : shapes) {
      Image image = CreateImage();
      ASSERT_TRUE(Resize(image, s.width, s.height));
      const std::size_t start = first;
      for (std::int64_t r = 0; r < s.height; ++r, first += static_cast<std::size_t>(s.width))
        std::memcpy(Row(image, r), bgr.data() + 3 * first, 3 * static_cast<std::size_t>(s.width));
      MakeGrey(image);
      ASSERT_EQ(image.pixelBytes, 1);
      ASSERT_EQ(image.stride, RowBytes(8, s.width));
      const std::string what =
          level + "in place, " + std::to_string(s.width) + " x " + std::to_string(s.height);
      for (std::int64_t r = 0; r < s.height; ++r) {
        const std::size_t width = static_cast<std::size_t>(s.width);
        if (!expect(Row(image, r), start + static_cast<std::size_t>(r) * width, width,
                    what + ", stored row " + std::to_string(r)))
          return;
        for (std::size_t i = width; i < image.stride; ++i)
          EXPECT_EQ(Row(image, r)[i], 0) << what << ": padding byte " << i << " of row " << r;
      }
    }
  });
}

TEST_F(BmpReaderTest, TrueColourRowsHeadersAndOffsets) {
  // Widths 1 to 5 give 24-bit row padding of 1, 2, 3, 0 and 1 bytes; 32-bit
  // rows have none and their fourth byte is alpha.
  for (int bits : {24, 32}) {
    for (std::int32_t w = 1; w <= 5; ++w) {
      const BmpFields fields = Fields(w, 3, bits, Distinct(w, 3, bits == 32));
      Image image = CreateImage();
      const std::string what = std::to_string(bits) + "-bit, width " + std::to_string(w);
      ASSERT_TRUE(Read(fields, image)) << what;
      ExpectPixels(image, w, 3, AsPixels(fields.pixels), what);
    }
  }
  // Larger info headers and gaps are skipped; an offset below 54 means no gap.
  struct Case {
    std::uint32_t headerSize;
    std::optional<std::uint32_t> offset;  // nothing: right after the header
    const char* what;
  };
  for (const Case& c :
       {Case{108, {}, "108-byte header"}, Case{124, {}, "124-byte header"},
        Case{40, 20, "offset 20"}, Case{40, 0, "offset 0"}, Case{40, 63, "9-byte gap"}}) {
    BmpFields fields = Fields(3, 2, 24, Distinct(3, 2));
    fields.infoHeaderSize = c.headerSize;
    fields.pixelDataOffset = c.offset;
    Image image = CreateImage();
    ASSERT_TRUE(Read(fields, image)) << c.what;
    ExpectPixels(image, 3, 2, AsPixels(fields.pixels), c.what);
  }
}

TEST_F(BmpReaderTest, RefusalsSayWhy) {
  using Change = std::function<void(BmpFields&)>;
  struct Case {
    const char* what;
    PictureIssue want;
    Change change;
    Reading reading = Reading::kClassic;
  };
  constexpr Reading kFull = Reading::kFull;
  const Case cases[] = {
      {"signature BA", PictureIssue::kNotBmp, [](BmpFields& s) { s.signature[1] = 'A'; }},
      {"signature MB", PictureIssue::kNotBmp,
       [](BmpFields& s) { s.signature[0] = 'M', s.signature[1] = 'B'; }},
      {"20-byte file", PictureIssue::kShortHeader, [](BmpFields& s) { s.truncateTo = 20; }},
      {"49-byte file", PictureIssue::kShortHeader, [](BmpFields& s) { s.truncateTo = 49; }},
      {"compression 1", PictureIssue::kRunLengthEncoded,
       [](BmpFields& s) { s.bitCount = 8, s.compression = 1; }},
      {"compression 2", PictureIssue::kRunLengthEncoded,
       [](BmpFields& s) { s.bitCount = 4, s.compression = 2; }},
      {"compression 4", PictureIssue::kUnsupportedCompression,
       [](BmpFields& s) { s.compression = 4; }},
      {"bit fields, 24-bit", PictureIssue::kBitFieldsNot16,
       [](BmpFields& s) { s.compression = 3; }},
      {"bit fields, 32-bit V5", PictureIssue::kBitFieldsNot16,
       [](BmpFields& s) { s.bitCount = 32, s.compression = 3, s.infoHeaderSize = 124; }},
      {"bit count 2", PictureIssue::kUnsupportedBitCount, [](BmpFields& s) { s.bitCount = 2; }},
      {"bit count 0", PictureIssue::kUnsupportedBitCount, [](BmpFields& s) { s.bitCount = 0; }},
      {"bit count 48", PictureIssue::kUnsupportedBitCount, [](BmpFields& s) { s.bitCount = 48; }},
      {"height -2", PictureIssue::kTopDown, [](BmpFields& s) { s.height = -2; }},
      {"width 0", PictureIssue::kBadSize, [](BmpFields& s) { s.width = 0; }},
      {"width -2", PictureIssue::kBadSize, [](BmpFields& s) { s.width = -2; }},
      {"height 0", PictureIssue::kBadSize, [](BmpFields& s) { s.height = 0; }},
      // Pixels that could never be allocated: refused by size, not for want of memory.
      {"2^31 - 1 square", PictureIssue::kTooLarge,
       [](BmpFields& s) { s.width = s.height = INT32_MAX, s.bitCount = 1, s.truncateTo = 200; }},
      // Its 16-bit width and height must not be read as 32-bit fields.
      {"12-byte header", PictureIssue::kOs2CoreHeader,
       [](BmpFields& s) { s.infoHeaderSize = 12, s.width = 5, s.height = 3; }},
      // Full reading; the public BMP suite has the other kinds it refuses.
      {"full, 53-byte file", PictureIssue::kShortHeader, [](BmpFields& s) { s.truncateTo = 53; },
       kFull},
      {"full, masks cut short", PictureIssue::kShortHeader,
       [](BmpFields& s) { s.bitCount = 16, s.compression = 3, s.truncateTo = 62; }, kFull},
      {"full, compression 7", PictureIssue::kUnsupportedCompression,
       [](BmpFields& s) { s.compression = 7; }, kFull},
      {"full, green mask with a gap", PictureIssue::kMasksNotContiguous,
       [](BmpFields& s) { s.bitCount = 32, s.compression = 3, s.greenMask = 0xF0F0; }, kFull},
      {"full, RLE8 at 4 bits", PictureIssue::kRunLengthBitCount,
       [](BmpFields& s) { s.bitCount = 4, s.compression = 1; }, kFull},
      {"full, bit fields at 24 bits", PictureIssue::kBitFieldsBitCount,
       [](BmpFields& s) { s.compression = 3; }, kFull},
      {"full, height -2^31", PictureIssue::kTooLarge,
       [](BmpFields& s) { s.height = INT32_MIN, s.truncateTo = 200; }, kFull},
  };
  for (const Case& c : cases) {
    // Start from a picture already read, to see that a refusal resets it.
    Image image = CreateImage();
    BmpFields fields = Fields(2, 2, 24, Distinct(2, 2));
    ASSERT_TRUE(Read(fields, image));
    c.change(fields);
    PictureIssue why = PictureIssue::kSizeDiffers;
    const bool ok = Read(fields, image, &why, c.reading);
    ExpectRefused(ok, image, why, c.want, c.what);
  }
}

#if STILLREEL_TEST_CAPS_ADDRESS_SPACE
// In a child process: reads with 256 MiB of address space to spare, where
// an attempt to allocate a large picture fails. 0: refused as too large;
// 2: refused otherwise (the reader tried to allocate); 3: accepted.
int ReadWithLittleAddressSpace(const std::vector<std::uint8_t>& bytes) {
  if (!test::CapAddressSpace(std::uint64_t{256} << 20)) return 4;
  Image image = CreateImage();
  PictureIssue why = PictureIssue::kSizeDiffers;
  if (ReadBmp(image, std::span<const std::uint8_t>(bytes), &why)) return 3;
  return why == PictureIssue::kTooLarge ? 0 : 2;
}
#endif

TEST(BmpReaderLimitTest, TooLargeIsRefusedBeforeAllocating) {
  // 32768 x 21846 needs 2,147,549,184 bytes as a 24-bit frame: 65,536 over the limit.
  BmpFields fields = Fields(32768, 21846, 24);
  fields.truncateTo = 200;
  const std::vector<std::uint8_t> bytes = BuildBmp(fields);
#if STILLREEL_TEST_CAPS_ADDRESS_SPACE
  EXPECT_EXIT(std::_Exit(ReadWithLittleAddressSpace(bytes)), ::testing::ExitedWithCode(0), "");
#endif
  Image image = CreateImage();
  PictureIssue why = PictureIssue::kSizeDiffers;
  const bool ok = ReadBmp(image, std::span<const std::uint8_t>(bytes), &why);
  ExpectRefused(ok, image, why, PictureIssue::kTooLarge, "32768 x 21846");
}

TEST_F(BmpReaderTest, FilesThatCannotBeOpened) {
  test::WriteFile(dir_ / "a", BuildBmp(BmpFields{}));
  struct Case {
    std::string name;
    PictureIssue want;
    const char* what;
  };
  for (const Case& c :
       {Case{(dir_ / "missing.bmp").string(), PictureIssue::kCannotOpen, "missing file"},
        Case{(dir_ / "a").string() + std::string("\0b", 2), PictureIssue::kCannotOpen,
             "name with a NUL"},
        Case{dir_.path().string(), PictureIssue::kNotAFile, "a folder"}}) {
    Image image = CreateImage();
    PictureIssue why = PictureIssue::kSizeDiffers;
    const bool ok = ReadBmp(image, c.name, &why);
    ExpectRefused(ok, image, why, c.want, c.what);
    EXPECT_FALSE(ReadBmp(image, c.name)) << c.what << ", without a reason";
  }
}

TEST_F(BmpReaderTest, OpenChecksHeadersWithoutSizeCap) {
  BmpFields fields = Fields(32768, 21846, 24);
  fields.infoHeaderSize = 124;
  fields.truncateTo = 200;
  test::WriteFile(dir_ / "big.bmp", BuildBmp(fields));
  PictureIssue why = PictureIssue::kSizeDiffers;
  {
    BmpFile file;
    ASSERT_TRUE(file.Open((dir_ / "big.bmp").string(), &why)) << Name(why);
    const BmpHeader& header = file.header();
    EXPECT_EQ(header.width, 32768);
    EXPECT_EQ(header.height, 21846);
    EXPECT_EQ(header.bitCount, 24);
    EXPECT_EQ(header.infoHeaderSize, 124u);
    EXPECT_EQ(header.pixelDataOffset, 14u + 124u);
    EXPECT_EQ(header.compression, BmpCompression::kNone);
    EXPECT_FALSE(file.Prepare(&why));
    EXPECT_EQ(why, PictureIssue::kTooLarge) << "have " << Name(why);
  }
  fields = Fields(2, 2, 8);
  fields.compression = 1;
  test::WriteFile(dir_ / "rle.bmp", BuildBmp(fields));
  EXPECT_FALSE(BmpFile().Open((dir_ / "rle.bmp").string(), &why));
  EXPECT_EQ(why, PictureIssue::kRunLengthEncoded) << "have " << Name(why);
  EXPECT_FALSE(BmpFile().Open((dir_ / "missing.bmp").string(), &why));
  EXPECT_EQ(why, PictureIssue::kCannotOpen) << "have " << Name(why);
  fields = Fields(2, 2, 24);
  fields.truncateTo = 50;
  test::WriteFile(dir_ / "fifty.bmp", BuildBmp(fields));
  EXPECT_TRUE(BmpFile().Open((dir_ / "fifty.bmp").string(), &why)) << Name(why);
}

TEST_F(BmpReaderTest, HeaderReadsFailOnlyAfterTheEndWasHit) {
  // The last header read starts at byte 50 and still succeeds when no earlier
  // read met the end: 50 to 53 bytes pass the checks and leave the pixels
  // white. (At 49 bytes the read before it meets the end: a short header.)
  for (std::size_t size : {50, 51, 53, 54}) {
    Image image = CreateImage();
    const std::string what = std::to_string(size) + "-byte file";
    BmpFields fields = Fields(2, 2, 24, Distinct(2, 2));
    fields.truncateTo = size;
    ASSERT_TRUE(Read(fields, image)) << what;
    ExpectPixels(image, 2, 2, Pixels(4, kWhite), what);
  }
}

TEST_F(BmpReaderTest, PaletteRows) {
  // 236 entries, the pixel data right after them; a 3-pixel 8-bit row has 1 byte of padding.
  BmpFields eight = Fields(3, 2, 8);
  for (int i = 0; i < 236; ++i) {
    eight.palette.push_back(
        Rgba{std::uint8_t(i), std::uint8_t(255 - i), std::uint8_t(i / 2), std::uint8_t(i % 7)});
  }
  eight.pixels = {Index(0), Index(235), Index(17), Index(100), Index(1), Index(234)};
  Image image = CreateImage();
  ASSERT_TRUE(Read(eight, image));
  ExpectPixels(image, 3, 2, Looked(eight, 236), "8-bit, 236 entries");

  // The 4-bit byte 0x12 gives entries 1 and 2; a 3-pixel row has 2 data bytes and 2 of padding.
  BmpFields four = Fields(3, 2, 4);
  for (int i = 0; i < 16; ++i)
    four.palette.push_back(Rgba{std::uint8_t(16 * i), 7, std::uint8_t(i), 0});
  four.pixels = {Index(1), Index(2), Index(15), Index(0), Index(9), Index(4)};
  ASSERT_EQ(BuildBmp(four)[54 + 64 + 4], 0x12);
  ASSERT_TRUE(Read(four, image));
  ExpectPixels(image, 3, 2, Looked(four, 16), "4-bit");

  // The 1-bit byte 0x80 gives entry 1 to pixel 0 and entry 0 to pixels 1 to 7.
  BmpFields one =
      Fields(9, 2, 1, std::vector<Rgba>(18, Index(0)), {Rgba{1, 2, 3, 4}, Rgba{200, 150, 100, 9}});
  one.pixels[0] = one.pixels[17] = Index(1);  // rows 0x80 0x00 and 0x00 0x80
  ASSERT_TRUE(Read(one, image));
  ExpectPixels(image, 9, 2, Looked(one, 2), "1-bit, 9 wide");
  one.width = 3;  // 1 data byte and 3 of padding
  one.pixels = {Index(1), Index(0), Index(1), Index(0), Index(1), Index(1)};
  ASSERT_TRUE(Read(one, image));
  ExpectPixels(image, 3, 2, Looked(one, 2), "1-bit, 3 wide");
}

TEST_F(BmpReaderTest, ColourTableFollowsTheInfoHeader) {
  for (int bits : {1, 4, 8}) {
    for (std::uint32_t headerSize : {40u, 108u, 124u}) {
      BmpFields fields =
          Fields(3, 2, bits, {Index(1), Index(0), Index(1), Index(0), Index(0), Index(1)},
                 {Rgba{10, 20, 30, 0}, Rgba{40, 50, 60, 0}});
      fields.infoHeaderSize = headerSize;
      Image image = CreateImage();
      const std::string what =
          std::to_string(bits) + "-bit, " + std::to_string(headerSize) + "-byte header";
      ASSERT_TRUE(Read(fields, image)) << what;
      ExpectPixels(image, 3, 2, Looked(fields, 2), what);
    }
  }
  // A 1-bit table holds at most 2 entries; the rows start at the offset.
  BmpFields fields =
      Fields(2, 1, 1, {Index(1), Index(0)},
             {Rgba{1, 1, 1, 0}, Rgba{2, 2, 2, 0}, Rgba{3, 3, 3, 0}, Rgba{4, 4, 4, 0}});
  fields.infoHeaderSize = 124;
  Image image = CreateImage();
  ASSERT_TRUE(Read(fields, image));
  ExpectPixels(image, 2, 1, Looked(fields, 2), "1-bit, 4 entries in the file");

  // An offset before the end of the info header leaves no table (and
  // allocates none); every index then gives black.
  for (std::uint32_t headerSize : {124u, 40u}) {
    fields = Fields(4, 2, 8);
    fields.infoHeaderSize = headerSize;
    fields.pixelDataOffset = headerSize == 40 ? 30u : 54u;
    for (std::uint8_t i = 0; i < 8; ++i)
      fields.pixels.push_back(Index(i));
    ASSERT_TRUE(Read(fields, image));
    ExpectPixels(image, 4, 2, Pixels(8, kBlack),
                 "offset inside a " + std::to_string(headerSize) + "-byte header");
  }
}

TEST_F(BmpReaderTest, IndexBeyondTheTableIsBlack) {
  BmpFields fields =
      Fields(3, 1, 8, {Index(1), Index(2), Index(255)}, {Rgba{9, 8, 7, 6}, Rgba{5, 4, 3, 2}});
  Image image = CreateImage();
  ASSERT_TRUE(Read(fields, image));
  ExpectPixels(image, 3, 1, {Pixel{5, 4, 3}, kBlack, kBlack}, "8-bit, 2 entries");
  fields.bitCount = 4;
  fields.pixels = {Index(15), Index(0), Index(3)};
  ASSERT_TRUE(Read(fields, image));
  ExpectPixels(image, 3, 1, {kBlack, Pixel{9, 8, 7}, kBlack}, "4-bit, 2 entries");
}

TEST_F(BmpReaderTest, SixteenBitRows) {
  // Default 5-5-5 masks, none in the file, offset 54; 3-pixel rows have 2 bytes of padding.
  BmpFields fields =
      Fields(3, 2, 16,
             {Word(0x7FFF), Word(0x7C00), Word(0x03E0), Word(0x001F), Word(0x0421), Word(0x8000)});
  Image image = CreateImage();
  ASSERT_TRUE(Read(fields, image));
  ExpectPixels(image, 3, 2,
               {Pixel{248, 248, 248}, Pixel{0, 0, 248}, Pixel{0, 248, 0}, Pixel{248, 0, 0},
                Pixel{8, 8, 8}, Pixel{0, 0, 0}},
               "5-5-5");
  // 5-6-5 bit fields after a 40-byte header or inside a V4/V5 one: the lowest green bit is dropped.
  for (std::uint32_t headerSize : {40u, 108u, 124u}) {
    fields.compression = 3;
    fields.infoHeaderSize = headerSize;
    fields.pixels = {Word(0xFFFF), Word(0xF800), Word(0x07E0),
                     Word(0x0020), Word(0x0040), Word(0x001F)};
    const std::string what = "5-6-5, " + std::to_string(headerSize) + "-byte header";
    ASSERT_TRUE(Read(fields, image)) << what;
    ExpectPixels(image, 3, 2,
                 {Pixel{248, 248, 248}, Pixel{0, 0, 248}, Pixel{0, 248, 0}, Pixel{0, 0, 0},
                  Pixel{0, 8, 0}, Pixel{248, 0, 0}},
                 what);
  }
}

// round(v x 255 / (2^w - 1)) for the value v under a w-bit mask; 0 for none.
std::uint8_t Scaled(std::uint32_t pixel, std::uint32_t mask) {
  if (mask == 0) return 0;
  const std::uint64_t v = (pixel & mask) >> std::countr_zero(mask);
  const std::uint64_t d = (std::uint64_t{1} << std::popcount(mask)) - 1;
  return static_cast<std::uint8_t>((2 * 255 * v + d) / (2 * d));
}

// Large 16-bit pictures are decoded through a table of every word, or in
// full reading by the vector kernel where the level has one; either must
// give what the masks give, into an Image and cropped into the caller's rows:
// in classic reading 5 bits at most, scaled by 8; in full reading any mask,
// scaled to 255.
TEST_F(BmpReaderTest, SixteenBitWordsOfALargePicture) {
  OnEveryLevel([&](const std::string& level) { SixteenBitWords(level); });
}

void BmpReaderTest::SixteenBitWords(const std::string& level) {
  struct Set {
    Reading reading;
    std::uint32_t compression;
    std::uint32_t masks[3];
  };
  const Set sets[] = {
      {Reading::kClassic, 0, {0x7C00, 0x03E0, 0x001F}},
      {Reading::kClassic, 3, {0xF800, 0x07E0, 0x001F}},
      {Reading::kFull, 0, {0x7C00, 0x03E0, 0x001F}},  // no masks: 5-5-5
      {Reading::kFull, 3, {0xF800, 0x07E0, 0x001F}},
      {Reading::kFull, 3, {0x0800, 0x01FF, 0x0600}},
      {Reading::kFull, 3, {0xFF00, 0x00FF, 0}},
  };
  for (int set = 0; set < 6; ++set) {
    const std::uint32_t* masks = sets[set].masks;
    const Reading reading = sets[set].reading;
    BmpFields fields = Fields(512, 256, 16);  // 131,072 pixels: every word twice
    fields.compression = sets[set].compression;
    fields.redMask = masks[0], fields.greenMask = masks[1], fields.blueMask = masks[2];
    fields.pixels.clear();
    for (std::uint32_t i = 0; i < 512 * 256; ++i)
      fields.pixels.push_back(Word(i & 0xFFFF));
    const std::vector<std::uint8_t> bytes = test::BuildBmp(fields);
    Image image = CreateImage();
    ASSERT_TRUE(ReadBmp(image, std::span<const std::uint8_t>(bytes), nullptr, reading));
    BmpFile file(reading);
    ASSERT_TRUE(file.Open(bytes) && file.Prepare());
    std::vector<std::uint8_t> rows(512 * 3 * 256);
    file.ReadRows(rows.data(), 512 * 3, 300, 256);
    const auto channel = [&](std::uint32_t w, int c) {
      if (reading == Reading::kFull) return Scaled(w, masks[c]);
      int shift = 0;
      while ((masks[c] >> shift) > 31)
        ++shift;
      return static_cast<std::uint8_t>(((w & masks[c]) >> shift) * 8);
    };
    int bad = 0;
    for (std::uint32_t i = 0; i < 512 * 256 && bad < 3; ++i) {
      const std::int32_t x = static_cast<std::int32_t>(i % 512),
                         y = static_cast<std::int32_t>(i / 512);
      const Pixel want{channel(i & 0xFFFF, 2), channel(i & 0xFFFF, 1), channel(i & 0xFFFF, 0)};
      const Pixel have = PixelAt(image, x, y);
      const std::uint8_t* row =
          &rows[(255 - static_cast<std::size_t>(y)) * 512 * 3 + 3 * static_cast<std::size_t>(x)];
      const bool rowOk =
          x >= 300 || (row[0] == want.blue && row[1] == want.green && row[2] == want.red);
      if (!Same(have, want) || !rowOk) {
        ++bad;
        ADD_FAILURE() << level << "mask set " << set << ", word " << std::hex << (i & 0xFFFF)
                      << std::dec << ": have " << Show(have) << " and rows " << int{row[0]} << "/"
                      << int{row[1]} << "/" << int{row[2]} << ", want " << Show(want);
      }
    }
  }
}

TEST_F(BmpReaderTest, ShortFilesKeepWhiteWhereBytesAreMissing) {
  Image image = CreateImage();
  // 24-bit 2 x 2: the bottom row is whole, the top one ends after 4 bytes.
  BmpFields fields = Fields(2, 2, 24, Distinct(2, 2));
  fields.truncateTo = 54 + 8 + 4;
  const auto& c = fields.pixels;
  ASSERT_TRUE(Read(fields, image));
  ExpectPixels(image, 2, 2, {P(c[0]), Pixel{c[1].blue, 255, 255}, P(c[2]), P(c[3])}, "24-bit");
  // 32-bit: a pixel cut after two bytes takes blue and green from the file.
  fields = Fields(2, 1, 32, Distinct(2, 1, true));
  fields.truncateTo = 54 + 4 + 2;
  ASSERT_TRUE(Read(fields, image));
  ExpectPixels(image, 2, 1, {P(c[0]), Pixel{c[1].blue, c[1].green, 255}}, "32-bit");
  // 16-bit: a word with only its low byte in the file stays white.
  fields = Fields(2, 1, 16, {Word(0x001F), Word(0x7C00)});
  fields.truncateTo = 54 + 2 + 1;
  ASSERT_TRUE(Read(fields, image));
  ExpectPixels(image, 2, 1, {Pixel{248, 0, 0}, kWhite}, "16-bit");
  // 8-, 4- and 1-bit: pixels whose index byte is missing stay white.
  const Pixel one{5, 6, 7}, zero{1, 2, 3};
  fields = Fields(3, 1, 8, {Index(1), Index(0), Index(1)}, {Rgba{1, 2, 3, 4}, Rgba{5, 6, 7, 8}});
  fields.truncateTo = 54 + 8 + 2;
  ASSERT_TRUE(Read(fields, image));
  ExpectPixels(image, 3, 1, {one, zero, kWhite}, "8-bit cut at pixel 2");
  fields.bitCount = 4;
  fields.truncateTo = 54 + 8 + 1;
  ASSERT_TRUE(Read(fields, image));
  ExpectPixels(image, 3, 1, {one, zero, kWhite}, "4-bit cut after byte 0");
  fields.bitCount = 1;
  fields.width = 9;
  fields.pixels.assign(9, Index(1));
  ASSERT_TRUE(Read(fields, image));
  Pixels want(8, one);
  want.push_back(kWhite);
  ExpectPixels(image, 9, 1, want, "1-bit cut after byte 0");
  fields.truncateTo = 54 + 8;
  ASSERT_TRUE(Read(fields, image));
  ExpectPixels(image, 9, 1, Pixels(9, kWhite), "1-bit cut after the table");
}

// Every mask width from 1 to 32 bits (16 in 16-bit pixels), at its ends and
// in between; red in the top bits and green in the low ones (overlapping from
// half the pixel on). 27 pixels: rows long enough for the decoder's vector
// path and its tail, on every level.
TEST_F(BmpReaderTest, FullReadingScalesEveryMaskWidth) {
  OnEveryLevel([&](const std::string& level) {
    for (const int bits : {32, 16}) {
      for (int w = 1; w <= bits; ++w) {
        const std::uint32_t max = w == 32 ? 0xFFFFFFFFu : (1u << w) - 1;
        const std::uint32_t values[8] = {0,       1,   max / 2, max / 2 + 1,
                                         max - 1, max, max / 3, 0x9E3779B9u & max};
        BmpFields fields = Fields(27, 1, bits);
        fields.compression = 3, fields.infoHeaderSize = 124;
        fields.redMask = max << (bits - w), fields.greenMask = max, fields.blueMask = 0;
        Pixels want;
        for (int i = 0; i < 27; ++i) {
          const std::uint32_t p = values[i % 8] << (bits - w) | values[(i * 3 + 7) % 8];
          fields.pixels.push_back(Rgba{std::uint8_t(p), std::uint8_t(p >> 8), std::uint8_t(p >> 16),
                                       std::uint8_t(p >> 24)});
          want.push_back(Pixel{0, Scaled(p, fields.greenMask), Scaled(p, fields.redMask)});
        }
        const std::string what =
            level + std::to_string(w) + "-bit masks in " + std::to_string(bits) + "-bit pixels";
        Image image = CreateImage();
        ASSERT_TRUE(Read(fields, image, nullptr, Reading::kFull)) << what;
        ExpectPixels(image, 27, 1, want, what);
      }
    }
  });
}

// Rows of a picture that is run-length encoded or stored top-down, read
// whole and as the conversion reads them: a few rows at a time, cropped.
void ExpectRowsInBlocks(const BmpFields& fields, const Image& whole, std::int64_t block,
                        const std::string& what) {
  BmpFile file(Reading::kFull);
  const std::vector<std::uint8_t> bytes = BuildBmp(fields);
  ASSERT_TRUE(file.Open(bytes) && file.Prepare()) << what;
  const std::int32_t columns = whole.width - 1;
  std::vector<std::uint8_t> rows(whole.stride * whole.height, 0xAB);
  for (std::int64_t r = 0; r < whole.height; r += block)
    file.ReadRows(&rows[r * whole.stride], whole.stride, columns,
                  std::min(block, whole.height - r));
  for (std::int64_t r = 0; r < whole.height; ++r) {
    const std::uint8_t* row = &rows[r * whole.stride];
    ASSERT_EQ(std::memcmp(row, Row(whole, r), 3 * columns), 0) << what << ": stored row " << r;
    ASSERT_EQ(row[3 * columns], 0xAB) << what << ": a cropped pixel was set in stored row " << r;
  }
}

// Expected indices are top row first; -1 is white.
TEST_F(BmpReaderTest, RunLengthCodes) {
  struct Case {
    const char* what;
    std::int32_t bits, width;
    std::vector<std::uint8_t> codes;
    std::vector<int> want;  // 3 rows
  };
  const Case cases[] = {
      {"RLE8: run, odd absolute run, end of line, delta up, end of picture",
       8,
       6,
       {3, 1, 0, 3, 2, 3, 4, 0, 0, 0, 0, 2, 2, 1, 2, 5, 0, 1},
       {0, 0, 5, 5, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 2, 3, 4}},
      {"RLE8: a run past the row is cut; delta along the row; the codes end",
       8,
       6,
       {8, 7, 0, 0, 0, 2, 3, 0, 1, 6},
       {-1, -1, -1, -1, -1, -1, 0, 0, 0, 6, -1, -1, 7, 7, 7, 7, 7, 7}},
      {"RLE4: two indices taking turns, odd absolute run, one cut short",
       4,
       8,
       {5, 0x12, 0, 3, 0x34, 0x50, 0, 0, 0, 7, 0x98},
       {-1, -1, -1, -1, -1, -1, -1, -1, 9, 8, -1, -1, -1, -1, -1, -1, 1, 2, 1, 2, 1, 3, 4, 5}},
  };
  for (const Case& c : cases) {
    BmpFields fields = Fields(c.width, 3, c.bits);
    fields.compression = c.bits == 8 ? 1 : 2;
    for (int i = 0; i < 10; ++i)
      fields.palette.push_back(Rgba{std::uint8_t(10 + i), std::uint8_t(20 * i), 200, 0});
    fields.data = c.codes;
    Pixels want;
    for (int index : c.want)
      want.push_back(index < 0 ? kWhite : P(fields.palette[static_cast<std::size_t>(index)]));
    Image image = CreateImage();
    ASSERT_TRUE(Read(fields, image, nullptr, Reading::kFull)) << c.what;
    ExpectPixels(image, c.width, 3, want, c.what);
    ExpectRowsInBlocks(fields, image, 1, c.what);
  }
}

// Random codes of every kind over codes longer than one chunk read, against
// a plain model of what they set, on every level.
TEST_F(BmpReaderTest, RunLengthCodesAcrossChunks) {
  OnEveryLevel([&](const std::string& level) { RunLengthAcrossChunks(level); });
}

void BmpReaderTest::RunLengthAcrossChunks(const std::string& level) {
  for (int bits : {8, 4}) {
    const std::int32_t w = 2000, h = 800;
    const unsigned indices = 1u << bits;
    std::mt19937 rng(static_cast<unsigned>(bits));
    std::vector<unsigned> model(static_cast<std::size_t>(w) * h, 0);  // bottom row first
    BmpFields fields = Fields(w, h, bits);
    fields.compression = bits == 8 ? 1 : 2;
    for (unsigned i = 0; i < indices; ++i)
      fields.palette.push_back(Rgba{std::uint8_t(i), std::uint8_t(7 * i), std::uint8_t(255 - i)});
    std::vector<std::uint8_t>& codes = fields.data;
    const auto put = [&](std::int32_t x, std::int32_t y, unsigned index) {
      if (x < w) model[static_cast<std::size_t>(y) * w + x] = index;
    };
    for (std::int32_t y = 0, x = 0; y < h; ++y, x = 0) {
      while (x < w) {
        const unsigned r = rng(), n = 3 + (r >> 8) % 125, a = r >> 16 & 0xFF;
        if (r % 256 == 0 && y + 2 < h) {  // delta up and right
          codes.insert(codes.end(), {0, 2, 5, 2});
          x += 5, y += 2;
        } else if (r % 2) {  // one index, or two taking turns
          codes.insert(codes.end(), {std::uint8_t(n), std::uint8_t(a)});
          for (unsigned i = 0; i < n; ++i)
            put(x++, y, bits == 8 ? a : (i & 1) ? a & 0x0F : a >> 4);
        } else {  // absolute
          codes.insert(codes.end(), {0, std::uint8_t(n)});
          const std::size_t bytes = bits == 8 ? n : (n + 1) / 2;
          for (std::size_t i = 0; i < bytes + (bytes & 1); ++i)
            codes.push_back(std::uint8_t(rng()));
          const std::uint8_t* data = &codes[codes.size() - bytes - (bytes & 1)];
          for (unsigned i = 0; i < n; ++i)
            put(x++, y, bits == 8 ? data[i] : (i & 1) ? data[i / 2] & 0x0F : data[i / 2] >> 4);
        }
      }
      codes.insert(codes.end(), {0, 0});
    }
    ASSERT_GT(codes.size(), ByteSource::kChunkBytes);
    Pixels want;
    for (std::int32_t y = h - 1; y >= 0; --y) {
      for (std::int32_t x = 0; x < w; ++x)
        want.push_back(P(fields.palette[model[static_cast<std::size_t>(y) * w + x]]));
    }
    Image image = CreateImage();
    const std::string what = level + "RLE" + std::to_string(bits);
    ASSERT_TRUE(Read(fields, image, nullptr, Reading::kFull)) << what;
    ExpectPixels(image, w, h, want, what);
    ExpectRowsInBlocks(fields, image, 7, what);
  }
}

// A top-down picture larger than one chunk read: the same frame as the
// bottom-up one; cut short, its bottom rows stay white.
TEST_F(BmpReaderTest, TopDownRows) {
  BmpFields fields = Fields(300, 400, 24);  // 360,000 bytes of rows
  for (int i = 0; i < 300 * 400; ++i)
    fields.pixels.push_back(Rgba{std::uint8_t(i), std::uint8_t(i >> 8), std::uint8_t(i >> 16), 0});
  Image bottomUp = CreateImage(), topDown = CreateImage();
  ASSERT_TRUE(Read(fields, bottomUp, nullptr, Reading::kFull));
  fields.height = -400;
  ASSERT_TRUE(Read(fields, topDown, nullptr, Reading::kFull));
  Pixels want;
  for (std::int32_t y = 0; y < 400; ++y) {
    for (std::int32_t x = 0; x < 300; ++x)
      want.push_back(PixelAt(bottomUp, x, y));
  }
  ExpectPixels(topDown, 300, 400, want, "top-down");
  ExpectRowsInBlocks(fields, topDown, 7, "top-down");
  fields.truncateTo = BuildBmp(fields).size() - 10 * 900 - 6;  // 2 pixels before row 389 ends
  ASSERT_TRUE(Read(fields, topDown, nullptr, Reading::kFull));
  for (std::size_t i = 389 * 300 + 298; i < want.size(); ++i)
    want[i] = kWhite;
  ExpectPixels(topDown, 300, 400, want, "top-down, cut short");
}

// ---------------------------------------------------------------------------
// The public BMP suite, read in full, against its reference renderings.

// How a picture may differ from its references.
struct Allowance {
  bool alpha = false;         // the picture has an alpha mask: see Differs
  int tolerance = 0;          // in every channel
  bool swapRedGreen = false;  // the reference shows red where the file stores green
};

// Empty when `image` shows the red, green and blue of `reference` at every
// pixel; otherwise the first difference. Alpha is never shown, so a pixel
// that the reference shows partly transparent must have its colour; where
// a picture with an alpha mask is wholly transparent, the reference holds
// no colour of the picture's (black, or grey under a stored white) and the
// pixel is not compared. Wholly transparent pixels of other pictures are
// those that no run sets: one of the other references must match them.
std::string Differs(const Image& image, const test::RgbaPicture& reference,
                    const Allowance& allowance) {
  if (image.width != reference.width || image.height != reference.height) return "its size";
  for (int y = 0; y < reference.height; ++y) {
    for (int x = 0; x < reference.width; ++x) {
      const std::uint8_t* rgba = reference.At(x, y);
      if (allowance.alpha && rgba[3] == 0) continue;
      Pixel want{rgba[2], rgba[1], rgba[0]};
      if (allowance.swapRedGreen) std::swap(want.red, want.green);
      const Pixel have = PixelAt(image, x, y);
      if (std::abs(have.red - want.red) > allowance.tolerance ||
          std::abs(have.green - want.green) > allowance.tolerance ||
          std::abs(have.blue - want.blue) > allowance.tolerance) {
        return "pixel (" + std::to_string(x) + ", " + std::to_string(y) + ") have " + Show(have) +
               ", reference " + Show(want);
      }
    }
  }
  return {};
}

// Every g/ picture reads as one of its references (references.tsv); every
// q/ one does too, or is refused for a reason of its own (the list below,
// and no other); every b/ one is refused with a reason or read, and read as
// its reference shows where it has one.
TEST(BmpSuiteTest, FullReadingShowsThePicturesAsTheirReferences) {
  const std::filesystem::path dir = STILLREEL_BMPSUITE_DIR;
  if (!std::filesystem::is_regular_file(dir / "references.tsv")) {
    const std::string missing = "the public BMP suite is not at " + dir.string();
    if (test::InCi()) FAIL() << missing << " (CI=true: the suite must be there)";
    GTEST_SKIP() << missing;
  }
  STILLREEL_REQUIRE_PEER(test::Peer::kImageMagick);
  const std::map<std::string, PictureIssue> refused = {
      {"q/pal1huffmsb.bmp", PictureIssue::kHuffman},
      {"q/rgb24jpeg.bmp", PictureIssue::kEmbeddedJpeg},
      {"q/rgb24png.bmp", PictureIssue::kEmbeddedPng},
      {"q/rgb24rle24.bmp", PictureIssue::kRle24},
      {"q/rgba64.bmp", PictureIssue::kSixtyFourBits},
      {"x/ba-bm.bmp", PictureIssue::kNotBmp},
      {"b/badbitcount.bmp", PictureIssue::kUnsupportedBitCount},
      {"b/badheadersize.bmp", PictureIssue::kUnknownHeaderSize},
      {"b/badwidth.bmp", PictureIssue::kBadSize},
      {"b/reallybig.bmp", PictureIssue::kTooLarge},
      {"b/rletopdown.bmp", PictureIssue::kTopDownRunLength},
  };
  const std::map<std::string, Allowance> allowances = {
      // Its colour profile, which swaps red and green back, is not applied.
      {"q/rgb24prof2.bmp", Allowance{false, 0, true}},
      // The references of these were rendered from the suite's own colours,
      // not from the samples stored, whose scaled values can round to the
      // next level.
      {"q/rgb32-111110.bmp", Allowance{false, 1, false}},
      {"q/rgb32-7187.bmp", Allowance{false, 1, false}},
      {"q/rgba32-61754.bmp", Allowance{true, 1, false}},
      {"q/rgba32-81284.bmp", Allowance{true, 1, false}},
  };
  std::map<std::string, std::vector<std::string>> references;
  std::ifstream tsv(dir / "references.tsv");
  for (std::string line, word; std::getline(tsv, line);) {
    std::istringstream fields(line);
    std::string picture;
    fields >> picture;
    while (fields >> word) {
      if (word != "none") references[picture].push_back(word);
    }
  }
  std::map<std::string, test::RgbaPicture> decoded;
  int read = 0;
  for (const char* folder : {"g", "q", "b", "x"}) {
    for (const auto& entry : std::filesystem::directory_iterator(dir / folder)) {
      const std::string name = std::string(folder) + "/" + entry.path().filename().string();
      Image image = CreateImage();
      PictureIssue why = PictureIssue::kSizeDiffers;
      const bool ok = ReadBmp(image, entry.path().string(), &why, Reading::kFull);
      if (const auto want = refused.find(name); want != refused.end() || !ok) {
        // Bad files may be refused for any reason but one that means a fault.
        const bool bad = folder == std::string("b") && why != PictureIssue::kOutOfMemory;
        ExpectRefused(ok, image, why, want != refused.end() ? want->second : why, name);
        EXPECT_TRUE(want != refused.end() || bad) << name << " refused: " << Name(why);
        continue;
      }
      ++read;
      const std::vector<std::string>& listed = references[name];
      EXPECT_TRUE(!listed.empty() || folder == std::string("b")) << name << ": no reference";
      Allowance allowance;
      if (const auto special = allowances.find(name); special != allowances.end()) {
        allowance = special->second;
      }
      BmpFile probe(Reading::kFull);
      ASSERT_TRUE(probe.Open(entry.path().string())) << name;
      const BmpCompression compression = probe.header().compression;
      allowance.alpha =
          probe.header().masks[3] != 0 && (compression == BmpCompression::kBitFields ||
                                           compression == BmpCompression::kAlphaBitFields);
      std::string differences;
      const test::RgbaPicture* matched = nullptr;
      for (const std::string& reference : listed) {
        auto [it, fresh] = decoded.try_emplace(reference);
        if (fresh) {
          ASSERT_TRUE(test::DecodeWithImageMagick((dir / reference).string(), it->second));
        }
        const std::string differs = Differs(image, it->second, allowance);
        if (differs.empty()) {
          differences.clear();
          matched = &it->second;
          break;
        }
        differences += "\n  against " + reference + ": " + differs;
      }
      EXPECT_TRUE(differences.empty()) << name << " matches none of its references:" << differences;
      // Read with alpha: the same colours, and the reference's alpha where
      // the picture has an alpha mask, else opaque.
      if (allowance.alpha && !matched) continue;
      Image rgba = CreateImage();
      ASSERT_TRUE(ReadBmp(rgba, entry.path().string(), nullptr, Reading::kFull, 4)) << name;
      ASSERT_EQ(rgba.width, image.width) << name;
      std::string alphaDiffers;
      for (std::int64_t r = 0; r < image.height && alphaDiffers.empty(); ++r) {
        for (std::int64_t x = 0; x < image.width; ++x) {
          const std::uint8_t* have = Row(rgba, r) + 4 * x;
          const std::uint8_t* colour = Row(image, r) + 3 * x;
          const int want = allowance.alpha ? matched->At(static_cast<int>(x),
                                                         static_cast<int>(image.height - 1 - r))[3]
                                           : 255;
          if (std::memcmp(have, colour, 3) != 0 || std::abs(have[3] - want) > allowance.tolerance) {
            alphaDiffers = "stored row " + std::to_string(r) + " pixel " + std::to_string(x) +
                           ": alpha " + std::to_string(have[3]) + ", want " + std::to_string(want);
            break;
          }
        }
      }
      EXPECT_EQ(alphaDiffers, "") << name << " read with alpha";
    }
  }
  EXPECT_GE(read, 75) << "pictures read";
}

}  // namespace
}  // namespace stillreel
