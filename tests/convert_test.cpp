// The conversion as a host sees it: frame lists, wide paths, the cross-fade,
// and whole AVI files compared byte for byte with files built here from the
// pictures (headers by offset, frames pixel by pixel).
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "avi/avi_writer.h"
#include "convert/cross_fade.h"
#include "convert/wide_path.h"
#include "gtest/gtest.h"
#include "image/bmp_reader.h"
#include "image/dib24.h"
#include "image/image.h"
#include "stillreel/stillreel.hpp"
#include "stillreel/vod2eri.h"
#include "support/bmp_builder.h"

namespace stillreel {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using test::BmpFields;
using test::Rgba;
using test::TempDir;

// ---------------------------------------------------------------------------
// The expected file, built from the pictures.

// A picture as the test sees it: row-major, row 0 on top.
struct Picture {
  std::int32_t width = 1;
  std::int32_t height = 1;
  std::vector<Rgba> pixels;

  // Clamped, as the cross-fade samples its next picture.
  Rgba At(std::int64_t x, std::int64_t y) const {
    x = std::clamp<std::int64_t>(x, 0, width - 1);
    y = std::clamp<std::int64_t>(y, 0, height - 1);
    return pixels[static_cast<std::size_t>(y * width + x)];
  }
};

// What a picture that cannot be read becomes.
Picture White() {
  return Picture{1, 1, {Rgba{255, 255, 255, 0}}};
}

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

// Step l of n from a towards b: a's size, b sampled at the clamped position.
Picture Blend(const Picture& a, const Picture& b, int l, int n) {
  const double t = static_cast<double>(l) / static_cast<double>(n);
  const double s = 1.0 - t;
  const auto mix = [&](std::uint8_t u, std::uint8_t v) {
    return static_cast<std::uint8_t>(static_cast<double>(u) * s + static_cast<double>(v) * t);
  };
  Picture c{a.width, a.height, {}};
  for (int y = 0; y < a.height; ++y) {
    for (int x = 0; x < a.width; ++x) {
      const Rgba p = a.At(x, y);
      const Rgba q = b.At(x, y);
      c.pixels.push_back(Rgba{mix(p.blue, q.blue), mix(p.green, q.green), mix(p.red, q.red), 0});
    }
  }
  return c;
}

// The frames of a file: N per picture but the last, blended towards the next.
std::vector<Picture> FramesOf(const std::vector<Picture>& pictures, int n) {
  std::vector<Picture> frames;
  for (std::size_t k = 0; k + 1 < pictures.size(); ++k) {
    for (int l = 0; l < n; ++l)
      frames.push_back(n > 1 ? Blend(pictures[k], pictures[k + 1], l, n) : pictures[k]);
  }
  frames.push_back(pictures.back());
  return frames;
}

struct Avi {
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::uint64_t frameCount = 0;
  std::uint64_t frameSize = 0;
  std::vector<std::uint8_t> bytes;
};

void Put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint64_t v) {
  for (int i = 0; i < 4; ++i)
    b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void Put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void PutTag(std::vector<std::uint8_t>& b, std::size_t at, const char* tag) {
  for (int i = 0; i < 4; ++i)
    b[at + i] = static_cast<std::uint8_t>(tag[i]);
}

// The AVI holding `frames` in a width x height geometry: each picture sits at
// the frame's bottom-left corner, the first stored row is its bottom row, and
// whatever it does not cover is zero.
Avi ExpectedAvi(std::int32_t width, std::int32_t height, std::uint32_t micros,
                const std::vector<Picture>& frames) {
  Avi avi{width, height, frames.size(), 0, {}};
  const std::uint64_t row = (3 * static_cast<std::uint64_t>(width) + 3) / 4 * 4;
  const std::uint64_t s = row * static_cast<std::uint64_t>(height);
  const std::uint64_t f = frames.size();
  avi.frameSize = s;
  const std::uint64_t movi = 4 + f * (s + 8);
  const std::uint64_t riff = 220 + movi + 16 * f;
  std::vector<std::uint8_t>& b = avi.bytes;
  b.assign(riff + 8, 0);
  PutTag(b, 0, "RIFF"), Put32(b, 4, riff), PutTag(b, 8, "AVI ");
  PutTag(b, 12, "LIST"), Put32(b, 16, 192), PutTag(b, 20, "hdrl");
  PutTag(b, 24, "avih"), Put32(b, 28, 56);
  Put32(b, 32, micros), Put32(b, 44, 0x10), Put32(b, 48, f), Put32(b, 56, 1);
  Put32(b, 60, s), Put32(b, 64, static_cast<std::uint32_t>(width));
  Put32(b, 68, static_cast<std::uint32_t>(height));
  PutTag(b, 88, "LIST"), Put32(b, 92, 116), PutTag(b, 96, "strl");
  PutTag(b, 100, "strh"), Put32(b, 104, 56);
  PutTag(b, 108, "vids"), PutTag(b, 112, "DIB "), Put32(b, 128, micros);
  Put32(b, 132, 1000000), Put32(b, 140, f), Put32(b, 144, s);
  Put16(b, 160, static_cast<std::uint32_t>(width) & 0xFFFF);
  Put16(b, 162, static_cast<std::uint32_t>(height) & 0xFFFF);
  PutTag(b, 164, "strf"), Put32(b, 168, 40);
  Put32(b, 172, 40), Put32(b, 176, static_cast<std::uint32_t>(width));
  Put32(b, 180, static_cast<std::uint32_t>(height)), Put16(b, 184, 1), Put16(b, 186, 24);
  Put32(b, 192, s), Put32(b, 196, 3780), Put32(b, 200, 3780);
  PutTag(b, 212, "LIST"), Put32(b, 216, movi), PutTag(b, 220, "movi");
  for (std::uint64_t i = 0; i < f; ++i) {
    const std::size_t chunk = 224 + i * (s + 8);
    PutTag(b, chunk, "00db"), Put32(b, chunk + 4, s);
    const Picture& p = frames[i];
    for (std::int64_t r = 0; r < height && r < p.height; ++r) {
      for (std::int64_t x = 0; x < width && x < p.width; ++x) {
        const Rgba c = p.At(x, p.height - 1 - r);
        const std::size_t at = chunk + 8 + r * row + 3 * x;
        b[at] = c.blue, b[at + 1] = c.green, b[at + 2] = c.red;
      }
    }
  }
  const std::size_t index = 224 + f * (s + 8);
  PutTag(b, index, "idx1"), Put32(b, index + 4, 16 * f);
  for (std::uint64_t i = 0; i < f; ++i) {
    const std::size_t e = index + 8 + 16 * i;
    PutTag(b, e, "00db"), Put32(b, e + 4, 0x10), Put32(b, e + 8, 4 + i * (s + 8));
    Put32(b, e + 12, s);
  }
  return avi;
}

// Where byte `at` of the expected file lies, in the file's own terms.
std::string Locate(const Avi& avi, std::size_t at) {
  const std::uint64_t s = avi.frameSize;
  const std::uint64_t row = avi.height > 0 ? s / static_cast<std::uint64_t>(avi.height) : 1;
  if (at < 224) return "header offset " + std::to_string(at);
  const std::uint64_t rel = at - 224;
  if (rel < avi.frameCount * (s + 8)) {
    const std::uint64_t frame = rel / (s + 8), in = rel % (s + 8);
    if (in < 8)
      return "frame " + std::to_string(frame) + " chunk header byte " + std::to_string(in);
    const std::uint64_t r = (in - 8) / row, c = (in - 8) % row;
    return "frame " + std::to_string(frame) + " stored row " + std::to_string(r) +
           " (frame row y=" + std::to_string(avi.height - 1 - static_cast<std::int64_t>(r)) +
           ") byte " + std::to_string(c) + " (pixel x=" + std::to_string(c / 3) + ", " +
           (c % 3 == 0   ? "blue"
            : c % 3 == 1 ? "green"
                         : "red") +
           ")";
  }
  return "index byte " + std::to_string(rel - avi.frameCount * (s + 8));
}

::testing::AssertionResult SameFile(const fs::path& path, const Avi& want) {
  std::error_code ec;
  if (!fs::exists(path, ec)) return ::testing::AssertionFailure() << path << " does not exist";
  const std::vector<std::uint8_t> have = test::ReadFile(path);
  const std::size_t n = std::min(have.size(), want.bytes.size());
  for (std::size_t i = 0; i < n; ++i) {
    if (have[i] != want.bytes[i]) {
      return ::testing::AssertionFailure()
             << path.filename() << " offset " << i << " (" << Locate(want, i) << "): have "
             << int{have[i]} << ", want " << int{want.bytes[i]};
    }
  }
  if (have.size() != want.bytes.size()) {
    return ::testing::AssertionFailure()
           << path.filename() << " length: have " << have.size() << ", want " << want.bytes.size();
  }
  return ::testing::AssertionSuccess();
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
  for (const std::uint32_t bad :
       {0xD800u, 0xDBFFu, 0xDC00u, 0xDFFFu, 0x110000u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    const wchar_t text[] = {L'a', static_cast<wchar_t>(bad), L'b', 0};
    EXPECT_EQ(WideToUtf8(text), std::nullopt) << "code point 0x" << std::hex << bad;
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

// The whole-frame blend (vector code and its scalar tail) gives what
// BlendChannel gives, for every pair of channel values.
TEST(CrossFadeTest, BlendBytesEqualsBlendChannel) {
  Dib24 a, b, c;
  ASSERT_TRUE(Resize(a, 21846, 1));  // 65,540 bytes: every pair once, then 4 zero bytes
  ASSERT_TRUE(Resize(b, 21846, 1));
  ASSERT_TRUE(Resize(c, 21846, 1));
  for (std::size_t i = 0; i < a.size; ++i) {
    a.bytes[i] = i < 65536 ? static_cast<std::uint8_t>(i >> 8) : 0;
    b.bytes[i] = i < 65536 ? static_cast<std::uint8_t>(i & 0xFF) : 0;
  }
  BlendStep step;
  for (const int n : {2, 3, 4, 7, 64, 128, 256, 1000}) {
    for (const int l : {1, n / 2, n - 1}) {
      SetBlendStep(step, l, n);
      BlendBytes(a.bytes.get(), b.bytes.get(), a.size, step, c.bytes.get());
      int mismatches = 0;
      for (std::size_t i = 0; i < c.size; ++i) {
        const std::uint8_t want = BlendChannel(a.bytes[i], b.bytes[i], l, n);
        if (c.bytes[i] != want && ++mismatches <= 3) {
          ADD_FAILURE() << "byte " << i << " (a=" << int{a.bytes[i]} << " b=" << int{b.bytes[i]}
                        << ") step " << l << " of " << n << ": have " << int{c.bytes[i]}
                        << ", want " << int{want};
        }
      }
      EXPECT_EQ(mismatches, 0) << "step " << l << " of " << n;
    }
  }
}

Image ImageOf(const Picture& p) {
  Image image = CreateImage();
  EXPECT_TRUE(Resize(image, p.width, p.height));
  for (int x = 0; x < p.width; ++x) {
    for (int y = 0; y < p.height; ++y) {
      const Rgba c = p.At(x, y);
      Column(image, x)[y] = Pixel{c.blue, c.green, c.red, c.alpha};
    }
  }
  return image;
}

// Every pixel of c against the blend of a and b at step l of n; alpha keeps `alpha`.
void ExpectBlend(const Image& c, const Picture& a, const Picture& b, int l, int n,
                 std::uint8_t alpha, const char* what) {
  ASSERT_EQ(Width(c), a.width) << what;
  ASSERT_EQ(Height(c), a.height) << what;
  const Picture want = Blend(a, b, l, n);
  for (int x = 0; x < a.width; ++x) {
    for (int y = 0; y < a.height; ++y) {
      const Pixel have = Column(c, x)[y];
      const Rgba w = want.At(x, y);
      EXPECT_TRUE(have.blue == w.blue && have.green == w.green && have.red == w.red &&
                  have.alpha == alpha)
          << what << " step " << l << " of " << n << " pixel (" << x << ", " << y << "): have "
          << int{have.blue} << "/" << int{have.green} << "/" << int{have.red} << "/"
          << int{have.alpha} << ", want " << int{w.blue} << "/" << int{w.green} << "/" << int{w.red}
          << "/" << int{alpha};
    }
  }
}

TEST(CrossFadeTest, FillsTheOutputAtItsOwnSize) {
  const Picture a = Pattern(4, 3, 1);
  const struct {
    Picture b;
    const char* what;
  } nexts[] = {{Pattern(4, 3, 2), "same size"},
               {Pattern(2, 5, 3), "next picture of another size"},
               {White(), "next picture 1 x 1 white"}};
  const Image ia = ImageOf(a);
  for (const auto& next : nexts) {
    const Image ib = ImageOf(next.b);
    for (const int l : {0, 1, 2}) {
      Image c = CreateImage();
      ASSERT_TRUE(Resize(c, a.width, a.height));
      for (int x = 0; x < a.width; ++x) {
        for (int y = 0; y < a.height; ++y)
          Column(c, x)[y].alpha = 77;
      }
      EXPECT_EQ(CrossFade(ia, ib, l, 3, c), 1) << next.what;
      ExpectBlend(c, a, next.b, l, 3, 77, next.what);
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
  EXPECT_TRUE(SameFile(out, ExpectedAvi(2, 2, 40000, {p})));
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
  EXPECT_EQ(Entries(dir_), inputs);
}

TEST_F(ConvertTest, WidePathsAreUtf8AndInvalidOnesCannotBeOpened) {
  const Picture p = Pattern(2, 2, 4);
  WriteText(dir_ / "list \xc3\xa9t\xc3\xa9.txt", List({Put("a.bmp", p)}));
  const std::wstring list = Wide(dir_.path()) + L"/list \u00e9t\u00e9.txt";
  const std::wstring out = Wide(dir_.path()) + L"/\u30d5\u30a3\u30eb\u30e0 \U0001F3AC.avi";
  ASSERT_EQ(VOD2ERI(out.c_str(), list.c_str(), 2500, 1), VOD2ERI_OK);
  EXPECT_TRUE(
      SameFile(dir_ / "\xe3\x83\x95\xe3\x82\xa3\xe3\x83\xab\xe3\x83\xa0 \xf0\x9f\x8e\xac.avi",
               ExpectedAvi(2, 2, 40000, {p})));

  const std::vector<std::string> before = Entries(dir_);
  std::wstring badList = Wide(dir_.path()) + L"/list ";
  badList += static_cast<wchar_t>(0xDC00);
  std::wstring badOut = Wide(dir_.path()) + L"/out";
  badOut += static_cast<wchar_t>(0x110000);
  EXPECT_EQ(VOD2ERI(badOut.c_str(), badList.c_str(), 2500, 1), 3) << "invalid list path";
  EXPECT_EQ(VOD2ERI(badOut.c_str(), list.c_str(), 2500, 1), 2) << "invalid output path";
  EXPECT_EQ(Entries(dir_), before);
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
    EXPECT_TRUE(SameFile(out, ExpectedAvi(3, 2, c.micros, c.frames)))
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
    EXPECT_TRUE(SameFile(out, ExpectedAvi(side, side, 40000, c.frames)))
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
        out, ExpectedAvi(3, 2, static_cast<std::uint32_t>(100000 / n), FramesOf(pictures, n))))
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
  names.push_back("/dev/null"), want.push_back(PictureIssue::kNotAFile);
  add("sig.bmp", patched(0, 'X' | ('Y' << 8), 2), PictureIssue::kNotBmp);
  add("short.bmp", std::vector<std::uint8_t>(good.begin(), good.begin() + 30),
      PictureIssue::kShortHeader);
  add("rle8.bmp", patched(30, 1), PictureIssue::kRunLengthEncoded);
  add("rle4.bmp", patched(30, 2), PictureIssue::kRunLengthEncoded);
  add("jpeg.bmp", patched(30, 4), PictureIssue::kUnsupportedCompression);
  add("fields24.bmp", patched(30, 3), PictureIssue::kBitFieldsNot16);
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
  EXPECT_TRUE(SameFile(out, ExpectedAvi(2, 2, 40000, frames)));
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
  EXPECT_TRUE(SameFile(dir_ / "out.avi", ExpectedAvi(3, 2, 10000, FramesOf({a, White(), c}, 4))));
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
  EXPECT_TRUE(SameFile(out, ExpectedAvi(3, 2, 33333, FramesOf({a, White(), c}, 2))));
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
  struct stat info;
  ASSERT_EQ(::stat(out.c_str(), &info), 0);
  EXPECT_EQ(static_cast<std::uint64_t>(info.st_size), 224 + 21 * (8 + 180000) + 16 * 21 + 8);
  EXPECT_LT(static_cast<std::uint64_t>(info.st_blocks) * 512, info.st_size + (1u << 20))
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
// A picture reaches its frames by one of three ways: decoded straight into
// the output, held as 24-bit rows, or held as an Image. All of them must give
// the frames that the Image functions give, for every bit depth, for every
// kind of picture list, and for files cut short anywhere.

std::vector<std::uint8_t> FramesThroughImages(const std::vector<std::string>& names, std::int32_t N,
                                              const fs::path& scratch) {
  Image first = CreateImage();
  ReadBmp(first, names.front());
  const auto micros = static_cast<std::uint32_t>(1000000.0 / (2500 * 0.01 * N));
  const std::optional<AviLayout> layout =
      PlanAvi(first.width, first.height, names.size(), static_cast<std::uint64_t>(N), micros);
  EXPECT_TRUE(layout);
  if (!layout) return {};
  const int fd = ::open(scratch.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  {
    ByteWriter out(fd);
    WriteHeaders(*layout, out);
    Image a = CreateImage(), b = CreateImage(), c = CreateImage();
    for (std::size_t k = 0; k < names.size(); ++k) {
      ReadBmp(a, names[k]);
      WriteFrameChunk(a, *layout, out);
      if (N == 1 || k + 1 == names.size()) continue;
      ReadBmp(b, names[k + 1]);
      EXPECT_TRUE(Resize(c, a.width, a.height));
      for (int l = 1; l < N; ++l) {
        CrossFade(a, b, l, N, c);
        WriteFrameChunk(c, *layout, out);
      }
    }
    WriteIndex(*layout, out);
    EXPECT_TRUE(out.Flush());
  }
  ::close(fd);
  return test::ReadFile(scratch);
}

TEST(ConvertPathsTest, EveryWayGivesTheImageFrames) {
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
          const std::vector<std::uint8_t> have = test::ReadFile(dir / "have.avi");
          const std::vector<std::uint8_t> want = FramesThroughImages(names, N, dir / "want.avi");
          const auto diff = std::mismatch(have.begin(), have.end(), want.begin(), want.end());
          EXPECT_TRUE(diff.first == have.end() && diff.second == want.end())
              << bits << "-bit, cut at " << cut << " of " << full.size() << ", N = " << N << ", "
              << list.size() << " pictures: first difference at byte "
              << (diff.first - have.begin()) << " (have " << have.size() << " bytes, want "
              << want.size() << ")";
        }
      }
    }
  }
}

}  // namespace
}  // namespace stillreel
