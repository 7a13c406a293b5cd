// The conversion as a host sees it: frame lists, wide paths, the cross-fade,
// and whole AVI files compared byte for byte with files built here from the
// pictures (headers by offset, frames pixel by pixel).
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "convert/wide_path.h"
#include "fade/cross_fade.h"
#include "gtest/gtest.h"
#include "image/bmp_reader.h"
#include "image/image.h"
#include "simd/simd.h"
#include "stillreel/stillreel.hpp"
#include "stillreel/vod2eri.h"
#include "support/avi_model.h"
#include "support/bmp_builder.h"
#include "support/riffs.h"
#include "support/test_os.h"

namespace stillreel {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using test::BmpFields;
using test::FramesOf;
using test::Picture;
using test::Rgba;
using test::TempDir;
using test::White;

// ---------------------------------------------------------------------------
// The expected file, built from the pictures by the model.

// Colours that differ from picture to picture and from pixel to pixel.
Picture Pattern(std::int32_t width, std::int32_t height, int seed) {
  Picture p{width, height, {}};
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      p.pixels.push_back(Rgba{static_cast<std::uint8_t>(seed * 71 + x * 23 + y * 5 + 1),
                              static_cast<std::uint8_t>(seed * 29 + x * y * 7 + 90),
                              static_cast<std::uint8_t>(250 - seed * 41 - y * 19 + x), 0});
    }
  }
  return p;
}

::testing::AssertionResult SameFile(const fs::path& path, const test::AviModel& want) {
  std::error_code ec;
  if (!fs::exists(path, ec)) return ::testing::AssertionFailure() << path << " does not exist";
  const std::string difference = test::Difference(test::ReadFile(path), want);
  if (difference.empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << path.filename() << " " << difference;
}

// ---------------------------------------------------------------------------
// Inputs on disk.

std::vector<std::uint8_t> BmpOf(const Picture& p) {
  BmpFields fields;
  fields.width = p.width;
  fields.height = p.height;
  fields.pixels = p.pixels;
  return test::BuildBmp(fields);
}

void PatchLe32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i)
    b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void WriteText(const fs::path& path, const std::string& text) {
  test::WriteFile(path, std::vector<std::uint8_t>(text.begin(), text.end()));
}

// The wide form of an ASCII path, one character per byte.
std::wstring Wide(const fs::path& path) {
  std::wstring w;
  for (const unsigned char c : path.string()) {
    EXPECT_LT(c, 0x80) << "the scratch folder " << path << " is not ASCII";
    w.push_back(static_cast<wchar_t>(c));
  }
  return w;
}

std::vector<std::string> Entries(const TempDir& dir) {
  return test::Entries(dir.path());
}

class ConvertTest : public ::testing::Test {
 protected:
  // Writes picture p as `name` in the scratch folder; returns its path.
  std::string Put(const std::string& name, const Picture& p) {
    test::WriteFile(dir_ / name, BmpOf(p));
    return (dir_ / name).string();
  }
  std::string List(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& n : names)
      text += n + "\n";
    return text;
  }

  TempDir dir_;
};

// ---------------------------------------------------------------------------
// Frame lists.

TEST(FrameListTest, OneEntryPerLineOnlyTheLineEndRemoved) {
  struct Case {
    std::string text;
    std::vector<std::string> want;
  };
  const std::string longLine(5000, 'x');
  const Case cases[] = {
      {"a.bmp\nb.bmp\nc.bmp\n", {"a.bmp", "b.bmp", "c.bmp"}},
      {"a.bmp\nb.bmp\nc.bmp", {"a.bmp", "b.bmp", "c.bmp"}},  // no final newline: kept whole
      {"a.bmp\r\nb.bmp\r\n", {"a.bmp", "b.bmp"}},
      {"a.bmp\r\nb.bmp\r", {"a.bmp", "b.bmp"}},  // a "\r" ends the last line
      {"a.bmp\nb.bmp\r", {"a.bmp", "b.bmp"}},
      {"a\r\r\n", {"a\r"}},  // only one "\r" belongs to the line end
      {"a\rb\n", {"a\rb"}},
      {"a\n\nb\n", {"a", "", "b"}},  // blank lines are entries
      {"\n", {""}},
      {"\r\n\r\n", {"", ""}},
      {" a b \t\n", {" a b \t"}},
      {"a\0b\n"s, {"a\0b"s}},
      {std::string(998, 'y') + "\n" + std::string(999, 'z') + "\n" + std::string(1000, 'w'),
       {std::string(998, 'y'), std::string(999, 'z'), std::string(1000, 'w')}},
      {longLine + "\n" + longLine + "\r\n", {longLine, longLine}},
      {"", {}},
  };
  for (const Case& c : cases) {
    const std::vector<std::string> have = ParseFrameList(c.text);
    EXPECT_EQ(have, c.want) << "list text of " << c.text.size() << " bytes: \""
                            << c.text.substr(0, 40) << "\"";
  }
}

TEST(FrameListTest, ReadFromFile) {
  TempDir dir;
  const std::string text = "first.bmp\r\n\r\n" + std::string(4000, 'n') + "\nlast.bmp";
  WriteText(dir / "list.txt", text);
  std::vector<std::string> names;
  ASSERT_EQ(ReadFrameList(dir / "list.txt", names), Result::kOk);
  EXPECT_EQ(names, (std::vector<std::string>{"first.bmp", "", std::string(4000, 'n'), "last.bmp"}));

  WriteText(dir / "blank.txt", "\n");
  names.clear();
  EXPECT_EQ(ReadFrameList(dir / "blank.txt", names), Result::kOk) << "one blank line is one entry";
  EXPECT_EQ(names, std::vector<std::string>{""});

  WriteText(dir / "empty.txt", "");
  fs::create_directory(dir / "folder");
  for (const char* bad : {"empty.txt", "folder", "missing.txt"}) {
    names.clear();
    EXPECT_EQ(ReadFrameList(dir / bad, names), Result::kListUnreadable) << "list " << bad;
  }
}

// ---------------------------------------------------------------------------
// Wide paths.

TEST(WidePathTest, ConvertsToUtf8WithoutTheLocale) {
  EXPECT_EQ(WideToUtf8(L"/tmp/frames/0001.bmp"), "/tmp/frames/0001.bmp");
  EXPECT_EQ(WideToUtf8(L""), "");
  EXPECT_EQ(WideToUtf8(L"caf\u00e9"), "caf\xc3\xa9");
  EXPECT_EQ(WideToUtf8(L"\u07ff\u0800\u20ac\uffff"),
            "\xdf\xbf\xe0\xa0\x80\xe2\x82\xac\xef\xbf\xbf");
  EXPECT_EQ(WideToUtf8(L"\U00010000\U0001F600\U0010FFFF"),
            "\xf0\x90\x80\x80\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf");
}

TEST(WidePathTest, InvalidCodePointGivesNothing) {
  // Surrogates alone or out of order, at the end too; beyond U+10FFFF where
  // a wchar_t holds 32 bits (a 16-bit one holds UTF-16).
  std::vector<std::vector<std::uint32_t>> cases = {{0xD800}, {0xDBFF},         {0xDC00},
                                                   {0xDFFF}, {0xDC00, 0xD800}, {0xD800, 0xD800}};
  if constexpr (sizeof(wchar_t) == 4)
    cases.insert(cases.end(), {{0x110000}, {0x7FFFFFFF}, {0xFFFFFFFF}});
  for (const std::vector<std::uint32_t>& bad : cases) {
    for (const bool atEnd : {false, true}) {
      std::wstring text = L"a";
      for (const std::uint32_t unit : bad)
        text += static_cast<wchar_t>(unit);
      if (!atEnd) text += L'b';
      std::ostringstream units;
      for (const std::uint32_t unit : bad)
        units << " 0x" << std::hex << unit;
      EXPECT_EQ(WideToUtf8(text.c_str()), std::nullopt)
          << "\"a\" and" << units.str() << (atEnd ? " at the end" : " before \"b\"");
    }
  }
}

// ---------------------------------------------------------------------------
// The cross-fade.

TEST(CrossFadeTest, BlendSteps) {
  EXPECT_EQ(BlendChannel(0, 255, 0, 2), 0);
  EXPECT_EQ(BlendChannel(0, 255, 1, 2), 127);
  EXPECT_EQ(BlendChannel(255, 0, 1, 2), 127);
  const int want[] = {200, 150, 100, 50};
  for (int l = 0; l < 4; ++l)
    EXPECT_EQ(BlendChannel(200, 0, l, 4), want[l]) << "step " << l;
}

TEST(CrossFadeTest, EqualsDoubleFormulaWithTwoRoundings) {
  for (const int n : {2, 3, 4, 5, 7}) {
    for (int l = 0; l < n; ++l) {
      const double t = static_cast<double>(l) / static_cast<double>(n);
      const double s = 1.0 - t;
      int mismatches = 0;
      for (int a = 0; a < 256; ++a) {
        for (int b = 0; b < 256; ++b) {
          const auto want = static_cast<std::uint8_t>(a * s + b * t);
          const std::uint8_t have =
              BlendChannel(static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b), l, n);
          if (have != want && ++mismatches <= 3) {
            ADD_FAILURE() << "a=" << a << " b=" << b << " step " << l << " of " << n << ": have "
                          << int{have} << ", want " << int{want};
          }
        }
      }
      EXPECT_EQ(mismatches, 0) << "step " << l << " of " << n;
    }
  }
}

// The whole-frame blend gives what BlendChannel gives, for every pair of
// channel values and every step of each count: integer blends with and
// without lower pairs (one set or several), powers of two, counts past the
// integer blend, with each kernel the processor can run, from unaligned
// starts and for lengths that are not whole vectors.
TEST(CrossFadeTest, BlendBytesEqualsBlendChannel) {
  // Pair i is (i >> 8, i & 0xFF); past 65,535 the bytes are zero.
  constexpr std::size_t kPairs = 65536;
  std::vector<std::uint8_t> a(kPairs + 64, 0), b(kPairs + 64, 0);
  for (std::size_t i = 0; i < kPairs; ++i) {
    a[i] = static_cast<std::uint8_t>(i >> 8);
    b[i] = static_cast<std::uint8_t>(i & 0xFF);
  }
  const struct { std::size_t from, size; } spans[] = {{0, kPairs + 4}, {1, kPairs - 2}, {45, 100}};
  const SimdLevel inUse = SimdInUse();
  std::string missing;
  std::vector<const BlendKernel*> tried;
  BlendStep step;
  std::vector<std::uint8_t> want(kPairs + 64), have, expected;
  for (const SimdLevel level : SimdFamily()) {
    const char* name = ToString(level);
    if (LimitSimd(level) != level) {
      missing += std::string(missing.empty() ? "" : ", ") + name;
      continue;
    }
    // A level without a blend of its own runs the one below it.
    if (std::find(tried.begin(), tried.end(), Kernels().blend) != tried.end()) continue;
    tried.push_back(Kernels().blend);
    for (const int n : {2, 3, 4, 5, 6, 7, 9, 10, 12, 14, 100, 127, kMaxIntegerBlendCount,
                        kMaxIntegerBlendCount + 1, 255, 1000}) {
      for (int l = 1; l < n; l += n < 1000 ? 1 : 141) {
        SetBlendStep(step, l, n);
        for (std::size_t i = 0; i < want.size(); ++i)
          want[i] = BlendChannel(a[i], b[i], l, n);
        for (const auto& span : spans) {
          // The span's blends, then bytes left alone.
          expected.assign(want.begin() + static_cast<std::ptrdiff_t>(span.from),
                          want.begin() + static_cast<std::ptrdiff_t>(span.from + span.size));
          expected.resize(span.size + 32, 77);
          have.assign(expected.size(), 77);
          BlendBytes(a.data() + span.from, b.data() + span.from, span.size, step, have.data());
          if (have == expected) continue;
          int mismatches = 0;
          for (std::size_t j = 0; j < have.size(); ++j) {
            if (have[j] != expected[j] && ++mismatches <= 3) {
              ADD_FAILURE() << name << ", bytes from " << span.from << ", byte " << j
                            << " (a=" << int{a[span.from + j]} << " b=" << int{b[span.from + j]}
                            << ") step " << l << " of " << n << ": have " << int{have[j]}
                            << ", want " << int{expected[j]};
            }
          }
          EXPECT_EQ(mismatches, 0) << name << " step " << l << " of " << n;
        }
      }
    }
  }
  LimitSimd(inUse);
  if (!missing.empty()) {
    const char* ci = std::getenv("CI");
    if (ci && std::string(ci) == "true") FAIL() << "this processor cannot run " << missing;
    GTEST_SKIP() << "this processor cannot run " << missing;
  }
}

Image ImageOf(const Picture& p) {
  Image image = CreateImage();
  EXPECT_TRUE(Resize(image, p.width, p.height));
  for (int y = 0; y < p.height; ++y) {
    for (int x = 0; x < p.width; ++x) {
      const Rgba c = p.At(x, y);
      std::uint8_t* at = Row(image, p.height - 1 - y) + 3 * x;
      at[0] = c.blue, at[1] = c.green, at[2] = c.red;
    }
  }
  return image;
}

TEST(CrossFadeTest, FillsTheRowsAskedForAtTheCurrentPicturesSize) {
  // Rows written one block at a time into a frame-sized buffer, all columns
  // or all but the last; what is not asked for keeps its 77.
  const Picture a = Pattern(4, 3, 1);
  const struct {
    Picture b;
    const char* what;
  } nexts[] = {{Pattern(4, 3, 2), "same size"},
               {Pattern(2, 5, 3), "next picture of another size"},
               {White(), "next picture 1 x 1 white"}};
  const Image ia = ImageOf(a);
  const std::size_t stride = 12;
  for (const auto& next : nexts) {
    const Image ib = ImageOf(next.b);
    for (const int l : {0, 1, 2}) {
      BlendStep step;
      SetBlendStep(step, l, 3);
      const Picture want = test::Blend(a, next.b, l, 3);
      for (const std::int32_t columns : {4, 3}) {
        std::vector<std::uint8_t> out(stride * 3, 77);
        CrossFade(ia, ib, step, 0, 2, columns, out.data(), stride);
        CrossFade(ia, ib, step, 2, 1, columns, out.data() + 2 * stride, stride);
        for (int r = 0; r < 3; ++r) {
          for (std::size_t i = 0; i < stride; ++i) {
            const std::size_t x = i / 3;
            const Rgba w = want.At(static_cast<std::int64_t>(x), 2 - r);
            const std::uint8_t expected = x >= static_cast<std::size_t>(columns) ? 77
                                          : i % 3 == 0                           ? w.blue
                                          : i % 3 == 1                           ? w.green
                                                                                 : w.red;
            EXPECT_EQ(int{out[r * stride + i]}, int{expected})
                << next.what << " step " << l << " of 3, " << columns << " columns: stored row "
                << r << " byte " << i;
          }
        }
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Whole conversions.

TEST_F(ConvertTest, TwoByTwoExample) {
  const Picture p = Pattern(2, 2, 0);
  WriteText(dir_ / "list.txt", List({Put("a.bmp", p)}));
  const fs::path out = dir_ / "out.avi";
  ASSERT_EQ(VOD2ERI(Wide(out).c_str(), Wide(dir_ / "list.txt").c_str(), 2500, 1), VOD2ERI_OK);
  EXPECT_EQ(fs::file_size(out), 272u);
  EXPECT_TRUE(SameFile(out, test::ModelAvi(2, 2, 40000, {p})));
}

TEST_F(ConvertTest, ChecksInOrderAndCreatesNothingWhenRefused) {
  const std::string small = Put("small.bmp", Pattern(2, 2, 0));
  // A first picture whose frame alone is over the limit: only its headers exist.
  std::vector<std::uint8_t> huge = BmpOf(Pattern(1, 1, 0));
  PatchLe32(huge, 18, 30000), PatchLe32(huge, 22, 30000);
  test::WriteFile(dir_ / "huge.bmp", huge);
  const std::string big = Put("big.bmp", Pattern(1000, 1000, 0));
  WriteText(dir_ / "small.txt", List({small}));
  WriteText(dir_ / "huge.txt", List({(dir_ / "huge.bmp").string()}));
  WriteText(dir_ / "big.txt", List({big, big}));
  WriteText(dir_ / "empty.txt", "");
  fs::create_directory(dir_ / "folder");
  const std::vector<std::string> inputs = Entries(dir_);

  const std::wstring out = Wide(dir_ / "out.avi");
  const std::wstring nowhere = Wide(dir_ / "missing" / "out.avi");
  const std::wstring missingList = Wide(dir_ / "missing.txt");
  const struct {
    const wchar_t* output;
    std::wstring list;
    std::int32_t rate, smooth, want;
    const char* what;
  } cases[] = {
      {out.c_str(), missingList, 0, 1, 4, "rate 0 before the missing list"},
      {out.c_str(), missingList, -2500, 1, 4, "negative rate"},
      {out.c_str(), missingList, 2500, -1, 4, "negative smoothing count"},
      {nullptr, Wide(dir_ / "small.txt"), 2500, 1, 4, "null output path"},
      {out.c_str(), Wide(dir_ / "small.txt"), 100000001, 1, 4, "under 1 us per frame"},
      {out.c_str(), Wide(dir_ / "small.txt"), 50000000, 3, 4, "under 1 us per frame smoothed"},
      {nowhere.c_str(), missingList, 2500, 1, 3, "missing list before the output"},
      {nowhere.c_str(), Wide(dir_ / "empty.txt"), 2500, 1, 3, "empty list"},
      {nowhere.c_str(), Wide(dir_ / "folder"), 2500, 1, 3, "a folder as list"},
      {nowhere.c_str(), Wide(dir_ / "huge.txt"), 2500, 1, 1, "first frame over the limit"},
      {nowhere.c_str(), Wide(dir_ / "big.txt"), 2500, 1000, 1, "1001 frames of 3 MB"},
      {nowhere.c_str(), Wide(dir_ / "small.txt"), 2500, 1, 2, "missing output folder"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(VOD2ERI(c.output, c.list.c_str(), c.rate, c.smooth), c.want) << c.what;
    EXPECT_EQ(Entries(dir_), inputs) << "files after: " << c.what;
  }
  EXPECT_EQ(VOD2ERI(out.c_str(), nullptr, 2500, 1), 4) << "null list path";
  EXPECT_EQ(Entries(dir_), inputs);

  const std::vector<std::string> noNames;
  EXPECT_EQ(Convert(dir_ / "out.avi", noNames, 2500, 1), Result::kListUnreadable);
  EXPECT_EQ(Convert("", {small}, 2500, 1), Result::kBadArgument);
  Options negative;
  negative.threads = -1;
  EXPECT_EQ(Convert(dir_ / "out.avi", noNames, 2500, 1, negative), Result::kBadArgument)
      << "a negative thread count, checked before the list";
  EXPECT_EQ(Entries(dir_), inputs);
}

TEST_F(ConvertTest, WidePathsAreUtf8AndInvalidOnesCannotBeOpened) {
  const Picture p = Pattern(2, 2, 4);
  WriteText(dir_.path() / u8"list \u00e9t\u00e9.txt", List({Put("a.bmp", p)}));
  const std::wstring list = Wide(dir_.path()) + L"/list \u00e9t\u00e9.txt";
  const std::wstring out = Wide(dir_.path()) + L"/\u30d5\u30a3\u30eb\u30e0 \U0001F3AC.avi";
  ASSERT_EQ(VOD2ERI(out.c_str(), list.c_str(), 2500, 1), VOD2ERI_OK);
  EXPECT_TRUE(SameFile(dir_.path() / u8"\u30d5\u30a3\u30eb\u30e0 \U0001F3AC.avi",
                       test::ModelAvi(2, 2, 40000, {p})));

  const std::vector<std::string> before = Entries(dir_);
  std::wstring badList = Wide(dir_.path()) + L"/list ";
  badList += static_cast<wchar_t>(0xDC00);
  std::wstring badOut = Wide(dir_.path()) + L"/out";
  // Beyond U+10FFFF; in UTF-16 a high surrogate with nothing after it.
  badOut += static_cast<wchar_t>(sizeof(wchar_t) == 4 ? 0x110000 : 0xD800);
  EXPECT_EQ(VOD2ERI(badOut.c_str(), badList.c_str(), 2500, 1), 3) << "invalid list path";
  EXPECT_EQ(VOD2ERI(badOut.c_str(), list.c_str(), 2500, 1), 2) << "invalid output path";
  EXPECT_EQ(Entries(dir_), before);
}

TEST_F(ConvertTest, OpenDmlFilesInRiffsOfEverySize) {
  // 5 x 3 frames of 48 bytes. A later RIFF of f frames is 48 + 64 f bytes;
  // the first, in a file of 2 RIFFs, 588 + 80 f: RIFF sizes at, below and
  // above those boundaries, RIFFs smaller than one frame, and one RIFF.
  const Picture a = Pattern(5, 3, 1), b = Pattern(4, 4, 2), d = Pattern(5, 3, 3);
  const std::vector<std::string> names = {Put("a.bmp", a), Put("b.bmp", b),
                                          (dir_ / "missing.bmp").string(), Put("d.bmp", d)};
  const fs::path out = dir_ / "out.avi";
  for (const std::uint64_t riffBytes : {100u, 239u, 240u, 241u, 987u, 988u, 100000u}) {
    for (const std::int32_t n : {1, 3}) {
      const std::string how =
          "RIFFs of at most " + std::to_string(riffBytes) + " bytes, N " + std::to_string(n);
      Summary summary;
      ASSERT_EQ(test::ConvertInRiffs(out, names, 2500, n, riffBytes, summary), Result::kOk) << how;
      const test::AviModel want = test::ModelOpenDml(5, 3, static_cast<std::uint32_t>(40000 / n),
                                                     FramesOf({a, b, White(), d}, n), riffBytes);
      EXPECT_TRUE(SameFile(out, want)) << how;
      EXPECT_EQ(summary.container, Container::kOpenDml) << how;
      EXPECT_EQ(summary.riffCount, static_cast<std::int64_t>(want.riffFrames.size())) << how;
      EXPECT_EQ(summary.fileSize, fs::file_size(out)) << how;
      EXPECT_EQ(summary.fileSize, test::ModelOpenDmlSize(48, want.frameCount, riffBytes)) << how;
      // Every RIFF within its bound, but one that holds a single frame.
      const std::vector<std::uint8_t> file = test::ReadFile(out);
      for (std::size_t k = 0; k < want.riffStarts.size(); ++k) {
        const std::uint64_t size = test::Le32At(file, want.riffStarts[k] + 4);
        EXPECT_TRUE(size <= riffBytes || want.riffFrames[k] == 1)
            << how << ": RIFF " << k << " of " << size << " bytes holds " << want.riffFrames[k]
            << " frames";
      }
    }
  }
  // Asked for AVI 1.0, or left to choose for a file that fits in it: the
  // file VOD2ERI writes.
  for (const Container container : {Container::kAvi1, Container::kAuto}) {
    Options options;
    options.container = container;
    ASSERT_EQ(Convert(out, names, 2500, 2, options), Result::kOk);
    EXPECT_TRUE(SameFile(out, test::ModelAvi(5, 3, 20000, FramesOf({a, b, White(), d}, 2))));
  }
}

TEST_F(ConvertTest, FrameTimeAndSmoothing) {
  const Picture a = Pattern(3, 2, 1), b = Pattern(3, 2, 2);
  const std::string pa = Put("a.bmp", a), pb = Put("b.bmp", b);
  WriteText(dir_ / "two.txt", List({pa, pb}));
  WriteText(dir_ / "one.txt", List({pa}));
  const struct {
    const char* list;
    std::int32_t rate, smooth;
    std::uint32_t micros;
    std::vector<Picture> frames;
  } cases[] = {
      {"two.txt", 2500, 4, 10000, FramesOf({a, b}, 4)},
      {"two.txt", 2500, 1, 40000, {a, b}},
      {"two.txt", 2500, 0, 40000, {a, b}},  // 0 means one frame per picture
      {"two.txt", 3000, 1, 33333, {a, b}},
      {"two.txt", 2997, 1, 33366, {a, b}},
      {"two.txt", 1500, 3, 22222, FramesOf({a, b}, 3)},
      {"two.txt", 100000000, 1, 1, {a, b}},
      {"two.txt", 1, 1, 100000000, {a, b}},
      {"one.txt", 2500, 5, 8000, {a}},  // one picture: no transition, one frame
  };
  for (const auto& c : cases) {
    const fs::path out = dir_ / "out.avi";
    ASSERT_EQ(VOD2ERI(Wide(out).c_str(), Wide(dir_ / c.list).c_str(), c.rate, c.smooth),
              VOD2ERI_OK);
    EXPECT_TRUE(SameFile(out, test::ModelAvi(3, 2, c.micros, c.frames)))
        << c.list << " at rate " << c.rate << " smoothed " << c.smooth;
  }
}

TEST_F(ConvertTest, ListLinesReachThePictures) {
  const Picture a = Pattern(2, 2, 1), b = Pattern(2, 2, 2);
  const std::string pa = Put("a.bmp", a), pb = Put("b.bmp", b);
  const struct {
    std::string text;
    std::vector<Picture> frames;
  } cases[] = {
      {pa + "\n" + pb, {a, b}},  // last line without newline read whole
      {pa + "\r\n" + pb + "\r\n", {a, b}},
      {pa + "\n\n" + pb + "\n", {a, White(), b}},  // blank line: white 1 x 1 at the bottom-left
      {"\n" + pa + "\n", {White(), a}},            // blank first line: 1 x 1 frames
  };
  for (const auto& c : cases) {
    WriteText(dir_ / "list.txt", c.text);
    const fs::path out = dir_ / "out.avi";
    ASSERT_EQ(VOD2ERI(Wide(out).c_str(), Wide(dir_ / "list.txt").c_str(), 2500, 1), VOD2ERI_OK);
    const std::int32_t side = c.frames[0].width;
    EXPECT_TRUE(SameFile(out, test::ModelAvi(side, side, 40000, c.frames)))
        << "list of " << c.frames.size() << " entries starting with " << c.text.substr(0, 1);
  }
  // The white frame spelled out: its pixel first, then zeros.
  WriteText(dir_ / "list.txt", pa + "\n\n");
  ASSERT_EQ(VOD2ERI(Wide(dir_ / "out.avi").c_str(), Wide(dir_ / "list.txt").c_str(), 2500, 1),
            VOD2ERI_OK);
  const std::vector<std::uint8_t> file = test::ReadFile(dir_ / "out.avi");
  ASSERT_EQ(file.size(), 224u + 2 * 24 + 8 + 32);
  const std::vector<std::uint8_t> white(file.begin() + 224 + 24 + 8, file.begin() + 224 + 48);
  EXPECT_EQ(white,
            (std::vector<std::uint8_t>{255, 255, 255, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(ConvertTest, OtherSizesAnchoredBottomLeftAndCropped) {
  const std::vector<Picture> pictures = {Pattern(3, 2, 1), Pattern(2, 3, 2), Pattern(5, 1, 3),
                                         Pattern(1, 1, 4), Pattern(3, 2, 5)};
  std::vector<std::string> names;
  for (std::size_t i = 0; i < pictures.size(); ++i) {
    names.push_back(Put("p" + std::to_string(i) + ".bmp", pictures[i]));
  }
  for (const int n : {1, 3}) {
    std::vector<PictureNotice> notices;
    Options options;
    options.onPicture = [&](const PictureNotice& notice) { notices.push_back(notice); };
    const fs::path out = dir_ / "out.avi";
    ASSERT_EQ(Convert(out, names, 1000, n, options), Result::kOk);
    EXPECT_TRUE(SameFile(
        out, test::ModelAvi(3, 2, static_cast<std::uint32_t>(100000 / n), FramesOf(pictures, n))))
        << "smoothed " << n;
    ASSERT_EQ(notices.size(), 3u) << "smoothed " << n;
    for (std::size_t i = 0; i < notices.size(); ++i) {
      const Picture& p = pictures[i + 1];
      EXPECT_EQ(notices[i].entry, static_cast<std::int64_t>(i + 1));
      EXPECT_EQ(notices[i].name, names[i + 1]);
      EXPECT_EQ(notices[i].issue, PictureIssue::kSizeDiffers) << "entry " << i + 1;
      EXPECT_EQ(notices[i].width, p.width) << "entry " << i + 1;
      EXPECT_EQ(notices[i].height, p.height) << "entry " << i + 1;
    }
  }
}

TEST_F(ConvertTest, EveryPlacementInFramesOfEverySize) {
  // A picture of one size in a frame of another: cropped on the right, on
  // the top or both, or padded with zeros, decoded straight into its frame
  // (N = 1) or held for a fade (N = 2).
  struct Case {
    std::int32_t pictureWidth, pictureHeight, frameWidth, frameHeight;
  };
  for (const Case& c : {Case{3, 2, 3, 2}, Case{5, 1, 5, 1}, Case{4, 4, 4, 4}, Case{2, 1, 5, 3},
                        Case{7, 4, 3, 2}, Case{1, 1, 4, 3}, Case{2, 5, 6, 2}, Case{6, 1, 2, 4}}) {
    const Picture frame = Pattern(c.frameWidth, c.frameHeight, 1);
    const Picture picture = Pattern(c.pictureWidth, c.pictureHeight, 2);
    const std::vector<std::string> names = {Put("frame.bmp", frame), Put("picture.bmp", picture),
                                            (dir_ / "frame.bmp").string()};
    for (const int n : {1, 2}) {
      ASSERT_EQ(Convert(dir_ / "out.avi", names, 2500, n), Result::kOk);
      EXPECT_TRUE(SameFile(dir_ / "out.avi", test::ModelAvi(c.frameWidth, c.frameHeight,
                                                            static_cast<std::uint32_t>(40000 / n),
                                                            FramesOf({frame, picture, frame}, n))))
          << c.pictureWidth << " x " << c.pictureHeight << " in a " << c.frameWidth << " x "
          << c.frameHeight << " frame, N " << n;
    }
  }
  // Spelled out: a 5 x 1 row ends with one zero byte.
  const Picture five{5,
                     1,
                     {Rgba{1, 100, 200, 0}, Rgba{2, 100, 201, 0}, Rgba{3, 100, 202, 0},
                      Rgba{4, 100, 203, 0}, Rgba{5, 100, 204, 0}}};
  ASSERT_EQ(Convert(dir_ / "out.avi", {Put("five.bmp", five)}, 2500, 1), Result::kOk);
  const std::vector<std::uint8_t> file = test::ReadFile(dir_ / "out.avi");
  ASSERT_EQ(file.size(), 224u + 24 + 8 + 16);
  EXPECT_EQ(std::vector<std::uint8_t>(file.begin() + 224, file.begin() + 248),
            (std::vector<std::uint8_t>{'0', '0', 'd', 'b', 16,  0, 0,   0,   1, 100, 200, 2,
                                       100, 201, 3,   100, 202, 4, 100, 203, 5, 100, 204, 0}));
}

TEST_F(ConvertTest, UnreadablePicturesAreNamedWithTheirReason) {
  const Picture first = Pattern(2, 2, 1);
  const std::vector<std::uint8_t> good = BmpOf(first);
  std::vector<std::string> names = {Put("first.bmp", first)};
  std::vector<PictureIssue> want;
  const auto add = [&](const std::string& name, std::vector<std::uint8_t> bytes,
                       PictureIssue issue) {
    test::WriteFile(dir_ / name, bytes);
    names.push_back((dir_ / name).string());
    want.push_back(issue);
  };
  const auto patched = [&](std::size_t at, std::uint32_t value, int size = 4) {
    std::vector<std::uint8_t> b = good;
    for (int i = 0; i < size; ++i)
      b[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    return b;
  };
  names.push_back((dir_ / "missing.bmp").string()), want.push_back(PictureIssue::kCannotOpen);
  names.push_back(""), want.push_back(PictureIssue::kCannotOpen);
  names.push_back((dir_ / "first.bmp").string() + "\0x"s),
      want.push_back(PictureIssue::kCannotOpen);
  fs::create_directory(dir_ / "folder.bmp");
  names.push_back((dir_ / "folder.bmp").string()), want.push_back(PictureIssue::kNotAFile);
  names.push_back(test::kNullDevice), want.push_back(PictureIssue::kNotAFile);
  add("sig.bmp", patched(0, 'X' | ('Y' << 8), 2), PictureIssue::kNotBmp);
  add("short.bmp", std::vector<std::uint8_t>(good.begin(), good.begin() + 30),
      PictureIssue::kShortHeader);
  add("rle8.bmp", patched(30, 1), PictureIssue::kRunLengthEncoded);
  add("rle4.bmp", patched(30, 2), PictureIssue::kRunLengthEncoded);
  add("jpeg.bmp", patched(30, 4), PictureIssue::kUnsupportedCompression);
  add("fields24.bmp", patched(30, 3), PictureIssue::kBitFieldsNot16);
  add("os2.bmp", patched(14, 12), PictureIssue::kOs2CoreHeader);
  add("bits2.bmp", patched(28, 2, 2), PictureIssue::kUnsupportedBitCount);
  add("topdown.bmp", patched(22, static_cast<std::uint32_t>(-2)), PictureIssue::kTopDown);
  add("width0.bmp", patched(18, 0), PictureIssue::kBadSize);
  add("height0.bmp", patched(22, 0), PictureIssue::kBadSize);
  std::vector<std::uint8_t> huge = patched(18, 30000);
  PatchLe32(huge, 22, 30000);
  add("huge.bmp", huge, PictureIssue::kTooLarge);
  names.push_back(names[0]);

  std::vector<PictureNotice> notices;
  std::vector<std::string> noticeNames;
  Summary summary;
  Options options;
  options.onPicture = [&](const PictureNotice& notice) {
    notices.push_back(notice);
    noticeNames.emplace_back(notice.name);
  };
  options.summary = &summary;
  const fs::path out = dir_ / "out.avi";
  ASSERT_EQ(Convert(out, names, 2500, 1, options), Result::kOk);

  std::vector<Picture> frames = {first};
  for (std::size_t i = 0; i < want.size(); ++i)
    frames.push_back(White());
  frames.push_back(first);
  EXPECT_TRUE(SameFile(out, test::ModelAvi(2, 2, 40000, frames)));
  EXPECT_EQ(summary.unreadablePictures, static_cast<std::int64_t>(want.size()));
  ASSERT_EQ(notices.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(notices[i].entry, static_cast<std::int64_t>(i + 1)) << names[i + 1];
    EXPECT_EQ(noticeNames[i], names[i + 1]) << "entry " << i + 1;
    EXPECT_EQ(notices[i].issue, want[i]) << names[i + 1] << ": have " << ToString(notices[i].issue)
                                         << ", want " << ToString(want[i]);
    EXPECT_EQ(notices[i].width, 1) << names[i + 1];
    EXPECT_EQ(notices[i].height, 1) << names[i + 1];
  }
}

// An OS/2 1.x first picture: classic reading refuses it, so the frame is its
// 1 x 1 white picture (its 16-bit sizes once read as 32-bit fields made the
// file far too large); full reading gives the picture's own frame.
TEST_F(ConvertTest, FirstPictureWithA12ByteHeader) {
  const Picture picture = Pattern(5, 3, 2);
  BmpFields fields;
  fields.infoHeaderSize = 12;
  fields.width = 5;
  fields.height = 3;
  fields.pixels = picture.pixels;
  test::WriteFile(dir_ / "os2.bmp", test::BuildBmp(fields));
  for (Reading reading : {Reading::kClassic, Reading::kFull}) {
    std::vector<PictureIssue> issues;
    Options options;
    options.reading = reading;
    options.onPicture = [&](const PictureNotice& notice) { issues.push_back(notice.issue); };
    ASSERT_EQ(Convert(dir_ / "out.avi", {(dir_ / "os2.bmp").string()}, 2500, 1, options),
              Result::kOk);
    if (reading == Reading::kClassic) {
      EXPECT_TRUE(SameFile(dir_ / "out.avi", test::ModelAvi(1, 1, 40000, {White()})));
      EXPECT_EQ(issues, std::vector<PictureIssue>{PictureIssue::kOs2CoreHeader});
    } else {
      EXPECT_TRUE(SameFile(dir_ / "out.avi", test::ModelAvi(5, 3, 40000, {picture})));
      EXPECT_TRUE(issues.empty());
    }
  }
}

TEST_F(ConvertTest, UnreadablePictureWhileSmoothing) {
  // The fade runs towards white into the failed picture, and out of it at 1 x 1.
  const Picture a = Pattern(3, 2, 1), c = Pattern(3, 2, 3);
  const std::vector<std::string> names = {Put("a.bmp", a), (dir_ / "gone.bmp").string(),
                                          Put("c.bmp", c)};
  std::vector<PictureNotice> notices;
  Summary summary;
  Options options;
  options.onPicture = [&](const PictureNotice& notice) { notices.push_back(notice); };
  options.summary = &summary;
  ASSERT_EQ(Convert(dir_ / "out.avi", names, 2500, 4, options), Result::kOk);
  EXPECT_TRUE(
      SameFile(dir_ / "out.avi", test::ModelAvi(3, 2, 10000, FramesOf({a, White(), c}, 4))));
  ASSERT_EQ(notices.size(), 1u) << "one notice for the one unreadable entry";
  EXPECT_EQ(notices[0].entry, 1);
  EXPECT_EQ(notices[0].issue, PictureIssue::kCannotOpen);
  EXPECT_EQ(summary.unreadablePictures, 1);
}

TEST_F(ConvertTest, ProgressBeforeEachEntryAndAtTheIndex) {
  const std::string p = Put("a.bmp", Pattern(2, 2, 1));
  struct Step {
    double percent;
    std::int64_t entry, framesWritten, frameCount;
  };
  const struct {
    std::size_t n;
    std::int32_t smooth;
    std::vector<Step> want;
  } cases[] = {
      {1, 4, {{0, 0, 0, 1}, {100, 1, 1, 1}}},
      {3, 2, {{0, 0, 0, 5}, {50, 1, 2, 5}, {100, 2, 4, 5}, {100, 3, 5, 5}}},
      // Within a fade, after each in-between frame but the last.
      {2, 4, {{0, 0, 0, 5}, {50, 0, 2, 5}, {75, 0, 3, 5}, {100, 1, 4, 5}, {100, 2, 5, 5}}},
      {5,
       1,
       {{0, 0, 0, 5}, {25, 1, 1, 5}, {50, 2, 2, 5}, {75, 3, 3, 5}, {100, 4, 4, 5}, {100, 5, 5, 5}}},
  };
  for (const auto& c : cases) {
    std::vector<Progress> have;
    Options options;
    options.onProgress = [&](const Progress& progress) { have.push_back(progress); };
    ASSERT_EQ(Convert(dir_ / "out.avi", std::vector<std::string>(c.n, p), 2500, c.smooth, options),
              Result::kOk);
    ASSERT_EQ(have.size(), c.want.size()) << c.n << " entries";
    for (std::size_t i = 0; i < have.size(); ++i) {
      EXPECT_DOUBLE_EQ(have[i].percent, c.want[i].percent) << c.n << " entries, call " << i;
      EXPECT_EQ(have[i].entry, c.want[i].entry) << c.n << " entries, call " << i;
      EXPECT_EQ(have[i].framesWritten, c.want[i].framesWritten) << c.n << " entries, call " << i;
      EXPECT_EQ(have[i].frameCount, c.want[i].frameCount) << c.n << " entries, call " << i;
    }
  }
}

TEST_F(ConvertTest, SummaryAndDryRun) {
  const Picture a = Pattern(3, 2, 1), c = Pattern(3, 2, 2);
  const std::vector<std::string> names = {Put("a.bmp", a), "", Put("c.bmp", c)};
  const fs::path out = dir_ / "out.avi";
  Summary real;
  Options options;
  options.summary = &real;
  ASSERT_EQ(Convert(out, names, 1500, 2, options), Result::kOk);
  EXPECT_TRUE(SameFile(out, test::ModelAvi(3, 2, 33333, FramesOf({a, White(), c}, 2))));
  EXPECT_EQ(real.frameWidth, 3);
  EXPECT_EQ(real.frameHeight, 2);
  EXPECT_EQ(real.pictureCount, 3);
  EXPECT_EQ(real.frameCount, 5);
  EXPECT_NEAR(real.frameRate, 30.0, 1e-9);
  EXPECT_EQ(real.microsPerFrame, 33333u);
  EXPECT_EQ(real.fileSize, fs::file_size(out));
  EXPECT_EQ(real.unreadablePictures, 1);

  // A dry run reports the same and leaves the old file alone.
  WriteText(out, "old");
  const std::vector<std::string> before = Entries(dir_);
  Summary dry;
  int notices = 0;
  options.summary = &dry;
  options.dryRun = true;
  options.onPicture = [&](const PictureNotice&) { ++notices; };
  ASSERT_EQ(Convert(out, names, 1500, 2, options), Result::kOk);
  EXPECT_EQ(notices, 1);
  EXPECT_EQ(test::ReadFile(out), (std::vector<std::uint8_t>{'o', 'l', 'd'}));
  EXPECT_EQ(Entries(dir_), before);
  EXPECT_EQ(dry.frameWidth, real.frameWidth);
  EXPECT_EQ(dry.frameHeight, real.frameHeight);
  EXPECT_EQ(dry.frameCount, real.frameCount);
  EXPECT_EQ(dry.microsPerFrame, real.microsPerFrame);
  EXPECT_EQ(dry.fileSize, real.fileSize);
  EXPECT_EQ(dry.unreadablePictures, real.unreadablePictures);
  const fs::path fresh = dir_ / "fresh.avi";
  ASSERT_EQ(Convert(fresh, names, 1500, 2, options), Result::kOk);
  EXPECT_FALSE(fs::exists(fresh));
}

TEST_F(ConvertTest, OutputTakesNoMoreDiskThanItsLength) {
  // Room is set aside for the whole file before it is written; none may be
  // left beyond its end.
  const std::vector<std::string> names = {Put("a.bmp", Pattern(300, 200, 1)),
                                          Put("b.bmp", Pattern(300, 200, 2))};
  const fs::path out = dir_ / "out.avi";
  ASSERT_EQ(Convert(out, names, 2500, 20, Options()), Result::kOk);
  const std::uint64_t size = fs::file_size(out);
  EXPECT_EQ(size, 224 + 21 * (8 + 180000) + 16 * 21 + 8);
  EXPECT_LT(test::AllocatedBytes(out), size + (1u << 20))
      << "blocks allocated beyond the end of the file";
}

TEST_F(ConvertTest, CancelLeavesNoFile) {
  const std::string p = Put("a.bmp", Pattern(2, 2, 1));
  const std::vector<std::string> names(4, p);
  const std::vector<std::string> before = Entries(dir_);
  std::atomic<bool> cancel{false};
  Options options;
  options.cancel = &cancel;
  options.onProgress = [&](const Progress& progress) {
    if (progress.entry == 2) cancel = true;
  };
  EXPECT_EQ(Convert(dir_ / "out.avi", names, 2500, 2, options), Result::kCancelled);
  EXPECT_EQ(Entries(dir_), before) << "nothing is left behind";

  WriteText(dir_ / "old.avi", "old");
  cancel = false;
  EXPECT_EQ(Convert(dir_ / "old.avi", names, 2500, 2, options), Result::kCancelled);
  EXPECT_EQ(test::ReadFile(dir_ / "old.avi"), (std::vector<std::uint8_t>{'o', 'l', 'd'}));

  cancel = true;
  options.onProgress = nullptr;
  EXPECT_EQ(Convert(dir_ / "new.avi", names, 2500, 1, options), Result::kCancelled);
  EXPECT_FALSE(fs::exists(dir_ / "new.avi"));
}

// ---------------------------------------------------------------------------
// Whatever the bit depth, the mix of sizes and where a file is cut short, a
// conversion gives the frames the model makes of the pictures as ReadBmp
// reads them: decoded straight into a frame or held for a fade alike.

test::AviModel ModelOfConversion(const std::vector<std::string>& names, std::int32_t N) {
  std::vector<Picture> pictures;
  for (const std::string& name : names) {
    Image image = CreateImage();
    ReadBmp(image, name);
    pictures.push_back(test::PictureOf(image));
  }
  const auto micros = static_cast<std::uint32_t>(1000000.0 / (2500 * 0.01 * N));
  return test::ModelAvi(pictures[0].width, pictures[0].height, micros, FramesOf(pictures, N));
}

TEST(ConvertPathsTest, EveryBitDepthCutAnywhereGivesTheModelFrames) {
  TempDir dir;
  for (const int bits : {1, 4, 8, 16, 24, 32}) {
    const auto make = [&](std::int32_t width, std::int32_t height) {
      BmpFields fields;
      fields.width = width;
      fields.height = height;
      fields.bitCount = bits;
      if (bits <= 8) {
        for (int i = 0; i < (1 << bits); ++i) {
          fields.palette.push_back(Rgba{static_cast<std::uint8_t>(i * 37),
                                        static_cast<std::uint8_t>(200 - i),
                                        static_cast<std::uint8_t>(i * 11 + 3), 0});
        }
      }
      for (int i = 0; i < width * height; ++i) {
        const auto v = static_cast<std::uint8_t>(i * 53 + width);
        fields.pixels.push_back(bits <= 8 ? test::Index(static_cast<std::uint8_t>(v % (1 << bits)))
                                : bits == 16 ? test::Word(static_cast<std::uint16_t>(v * 257 + i))
                                             : Rgba{v, static_cast<std::uint8_t>(v ^ 0x5A),
                                                    static_cast<std::uint8_t>(255 - v), v});
      }
      return test::BuildBmp(fields);
    };
    const std::vector<std::uint8_t> full = make(7, 5);
    test::WriteFile(dir / "full.bmp", full);
    test::WriteFile(dir / "wide.bmp", make(9, 3));
    test::WriteFile(dir / "tall.bmp", make(3, 8));
    const std::size_t pixelsAt =
        full.size() - static_cast<std::size_t>(5 * ((7 * bits + 31) / 32 * 4));
    for (const std::size_t cut :
         {full.size() - 1, full.size() - 5, pixelsAt + 9, pixelsAt + 1, pixelsAt}) {
      test::WriteFile(dir / "cut.bmp", std::vector<std::uint8_t>(full.begin(), full.begin() + cut));
      const std::vector<std::vector<std::string>> lists = {
          {"full.bmp", "cut.bmp", "full.bmp"},
          {"full.bmp", "wide.bmp", "cut.bmp", "tall.bmp", "missing.bmp", "full.bmp"},
          {"cut.bmp", "full.bmp"},
      };
      for (const auto& list : lists) {
        std::vector<std::string> names;
        for (const std::string& name : list)
          names.push_back((dir / name).string());
        for (const std::int32_t N : {1, 3, 4}) {
          ASSERT_EQ(Convert(dir / "have.avi", names, 2500, N), Result::kOk);
          EXPECT_TRUE(SameFile(dir / "have.avi", ModelOfConversion(names, N)))
              << bits << "-bit, cut at " << cut << " of " << full.size() << ", N = " << N << ", "
              << list.size() << " pictures";
        }
      }
    }
  }
}

}  // namespace
}  // namespace stillreel
