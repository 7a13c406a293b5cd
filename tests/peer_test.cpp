// Pictures written by real tools, read by the BMP reader and compared with
// the tools' own decoding; AVI files written by Convert and read back by
// ffprobe, ffmpeg, GStreamer and MediaInfo, frame by frame.
#include <sys/statvfs.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "image/bmp_reader.h"
#include "image/image.h"
#include "stillreel/stillreel.hpp"
#include "support/avi_model.h"
#include "support/bmp_builder.h"
#include "support/peers.h"
#include "support/riffs.h"

namespace stillreel {
namespace {

namespace fs = std::filesystem;
using test::Peer;
using test::Picture;
using test::Rgba;
using test::RgbaPicture;

// One kind of BMP file and how a peer writes it.
struct Kind {
  const char* label;
  bool pillow;                       // written by Pillow instead of ImageMagick
  const char* prefix;                // ImageMagick's output format prefix
  std::vector<std::string> options;  // ImageMagick options before the output name
  std::int32_t bitCount;
  std::uint32_t headerSize;
  std::uint32_t compression;
  std::array<std::uint32_t, 3> masks;  // red, green, blue, for compression 3
  std::optional<PictureIssue> refusal;
  Reading reading = Reading::kClassic;  // how the reader reads it
};

const std::vector<std::string> kTwoColours = {"-colors", "2", "-compress", "none"};
const std::vector<std::string> kSixteenColours = {"-colors", "16", "-compress", "none"};
const std::vector<std::string> kManyColours = {"-type", "Palette",   "-colors",
                                               "200",   "-compress", "none"};

const Kind kPal1{"pal1", false, "", kTwoColours, 1, 124, 0, {}, {}};
const Kind kPal1Bmp3{"pal1_bmp3", false, "BMP3:", kTwoColours, 1, 40, 0, {}, {}};
const Kind kPal4{"pal4", false, "", kSixteenColours, 4, 124, 0, {}, {}};
const Kind kPal4Bmp3{"pal4_bmp3", false, "BMP3:", kSixteenColours, 4, 40, 0, {}, {}};
const Kind kPal8{"pal8", false, "", kManyColours, 8, 124, 0, {}, {}};
const Kind kPal8Bmp3{"pal8_bmp3", false, "BMP3:", kManyColours, 8, 40, 0, {}, {}};
const Kind kRgb555{"rgb555", false, "", {"-define", "bmp:subtype=RGB555"},
                   16,       124,   3,  {0x7C00, 0x03E0, 0x001F},
                   {}};
const Kind kRgb565{"rgb565", false, "", {"-define", "bmp:subtype=RGB565"},
                   16,       124,   3,  {0xF800, 0x07E0, 0x001F},
                   {}};
const Kind kRgb24{"rgb24", false, "", {"-type", "TrueColor"}, 24, 124, 0, {}, {}};
const Kind kRgb24Bmp3{"rgb24_bmp3", false, "BMP3:", {"-type", "TrueColor"}, 24, 40, 0, {}, {}};
const Kind kPillow32{"pillow32", true, "", {}, 32, 40, 0, {}, {}};
// ImageMagick writes every 32-bit picture with bit fields, which the reader refuses.
const Kind kMagick32{"magick32",
                     false,
                     "",
                     {"-alpha", "on", "-type", "TrueColorAlpha"},
                     32,
                     124,
                     3,
                     {0x00FF0000, 0x0000FF00, 0x000000FF},
                     PictureIssue::kBitFieldsNot16};
// Full reading reads them, and the run-length encoded palettes and OS/2 1.x
// headers that other programs write by default.
const std::vector<std::string> kRunLength = {"-type", "Palette",   "-colors",
                                             "200",   "-compress", "RLE"};
const Kind kMagick32Full{
    "magick32_full", false, "", kMagick32.options, 32, 124, 3, kMagick32.masks, {}, Reading::kFull};
const Kind kRle8{"rle8", false, "", kRunLength, 8, 124, 1, {}, {}, Reading::kFull};
const Kind kOs2{"os2", false, "BMP2:", kManyColours, 8, 12, 0, {}, {}, Reading::kFull};

// Writes a picture of the given kind; seed makes pictures of one test differ.
::testing::AssertionResult MakePicture(const Kind& kind, int width, int height, int seed,
                                       const std::string& path) {
  if (kind.pillow) {
    // Varied alpha, so that a reader dropping or moving the fourth byte shows.
    static const char* const kScript = R"py(
import sys
from PIL import Image
w, h, s = int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
im = Image.new("RGBA", (w, h))
im.putdata([((x * 19 + y * 7 + s * 40) % 256, (x * 5 + y * 31 + s * 90) % 256,
             (255 - x * 11 - y * 3 - s * 20) % 256, (x * 37 + y * 53 + s) % 256)
            for y in range(h) for x in range(w)])
im.save(sys.argv[1], "BMP")
)py";
    return test::RunOk({test::kPython, "-c", kScript, path, std::to_string(width),
                        std::to_string(height), std::to_string(seed)});
  }
  std::vector<std::string> argv = {test::kMagickConvert,
                                   "-size",
                                   std::to_string(width) + "x" + std::to_string(height),
                                   "-seed",
                                   std::to_string(seed),
                                   "plasma:fractal"};
  argv.insert(argv.end(), kind.options.begin(), kind.options.end());
  argv.push_back(kind.prefix + path);
  return test::RunOk(argv);
}

std::uint32_t Le(const std::vector<std::uint8_t>& bytes, std::size_t at, int size) {
  std::uint32_t value = 0;
  for (int i = size - 1; i >= 0; --i)
    value = value << 8 | bytes[at + i];
  return value;
}

// The file really is the kind the test means: its header fields, its masks,
// and for palettes a table whose reserved bytes (the pixels' alpha) are 0.
::testing::AssertionResult IsKind(const Kind& kind, const std::string& path, int width,
                                  int height) {
  const std::vector<std::uint8_t> bytes = test::ReadFile(path);
  auto fail = [&]() {
    return ::testing::AssertionFailure() << kind.label << " file " << path << ": ";
  };
  if (bytes.size() < 54 || bytes[0] != 'B' || bytes[1] != 'M') return fail() << "not a BMP";
  const std::uint32_t offset = Le(bytes, 10, 4);
  const std::uint32_t headerSize = Le(bytes, 14, 4);
  const bool core = headerSize == 12;  // OS/2 1.x: 16-bit sizes, 3-byte table entries
  const std::int32_t fileWidth = static_cast<std::int32_t>(Le(bytes, 18, core ? 2 : 4));
  const std::int32_t fileHeight =
      static_cast<std::int32_t>(Le(bytes, core ? 20 : 22, core ? 2 : 4));
  const std::uint32_t bitCount = Le(bytes, core ? 24 : 28, 2);
  const std::uint32_t compression = core ? 0 : Le(bytes, 30, 4);
  if (headerSize != kind.headerSize || fileWidth != width || fileHeight != height ||
      bitCount != static_cast<std::uint32_t>(kind.bitCount) || compression != kind.compression) {
    return fail() << "have header size " << headerSize << ", " << fileWidth << " x " << fileHeight
                  << ", bit count " << bitCount << ", compression " << compression
                  << "; want header size " << kind.headerSize << ", " << width << " x " << height
                  << ", bit count " << kind.bitCount << ", compression " << kind.compression;
  }
  if (kind.compression == 3) {
    for (int i = 0; i < 3; ++i) {
      const std::uint32_t mask = Le(bytes, 54 + 4 * i, 4);
      if (mask != kind.masks[i]) {
        return fail() << "mask " << i << ": have 0x" << std::hex << mask << ", want 0x"
                      << kind.masks[i];
      }
    }
  }
  if (kind.bitCount <= 8) {
    const std::size_t tableStart = 14 + headerSize;
    if (offset < tableStart + 4 || offset > bytes.size()) {
      return fail() << "pixel data offset " << offset << " leaves no colour table after "
                    << tableStart;
    }
    for (std::size_t at = tableStart + 3; !core && at < offset; at += 4) {
      if (bytes[at] != 0) return fail() << "colour table reserved byte at " << at << " is not 0";
    }
  }
  if (kind.compression == 1) {
    test::CommandResult verbose;
    if (auto ok = test::RunOk({test::kMagickIdentify, "-verbose", path}, &verbose); !ok) return ok;
    if (verbose.out.find("Compression: RLE") == std::string::npos) {
      return fail() << "identify -verbose does not say \"Compression: RLE\"";
    }
  }
  return ::testing::AssertionSuccess();
}

// The pixel the reader should give where the peer decoded rgba (alpha never
// reaches a picture in memory). 16-bit channels in classic reading keep 5
// bits scaled by 8 (a 6-bit green drops its lowest bit); ImageMagick widens
// n bits by repeating the top bits, so the stored value comes back exactly
// from its 8-bit one.
::testing::AssertionResult ReaderPixel(const Kind& kind, const std::uint8_t* rgba, Rgba& want) {
  want = Rgba{rgba[2], rgba[1], rgba[0], 0};
  if (kind.bitCount != 16 || kind.reading == Reading::kFull) return ::testing::AssertionSuccess();
  auto stored = [](std::uint8_t value, int bits, int& level) {
    level = value >> (8 - bits);
    return value == ((level << (8 - bits)) | (level >> (2 * bits - 8)));
  };
  const int greenBits = kind.masks[1] == 0x07E0 ? 6 : 5;
  int red = 0, green = 0, blue = 0;
  if (!stored(rgba[0], 5, red) || !stored(rgba[1], greenBits, green) || !stored(rgba[2], 5, blue)) {
    return ::testing::AssertionFailure()
           << "ImageMagick's " << int{rgba[0]} << ", " << int{rgba[1]} << ", " << int{rgba[2]}
           << " is not a widened " << 5 << "-" << greenBits << "-5 value";
  }
  if (greenBits == 6) green >>= 1;
  want = Rgba{static_cast<std::uint8_t>(blue * 8), static_cast<std::uint8_t>(green * 8),
              static_cast<std::uint8_t>(red * 8), 0};
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult ExpectedPicture(const Kind& kind, const std::string& path,
                                           Picture& picture) {
  picture = Picture{};
  if (kind.refusal) return ::testing::AssertionSuccess();  // a refused picture is 1 x 1 white
  RgbaPicture peer;
  if (auto ok = test::DecodeWithImageMagick(path, peer); !ok) return ok;
  picture.width = peer.width;
  picture.height = peer.height;
  picture.pixels.resize(static_cast<std::size_t>(peer.width) * peer.height);
  for (int y = 0; y < peer.height; ++y) {
    for (int x = 0; x < peer.width; ++x) {
      if (auto ok = ReaderPixel(kind, peer.At(x, y), picture.pixels[y * peer.width + x]); !ok) {
        return ok << " at (" << x << ", " << y << ") of " << path;
      }
    }
  }
  return ::testing::AssertionSuccess();
}

std::string Describe(const Pixel& p) {
  std::ostringstream text;
  text << "(b " << int{p.blue} << ", g " << int{p.green} << ", r " << int{p.red} << ")";
  return text.str();
}

// ---------------------------------------------------------------------------
// Pictures written by ImageMagick and Pillow, read by ReadBmp.

struct ReadCase {
  const Kind* kind;
  int width;
  int height;
};

void PrintTo(const ReadCase& c, std::ostream* out) {
  *out << c.kind->label << " " << c.width << " x " << c.height;
}

class PeerBmp : public ::testing::TestWithParam<ReadCase> {};

TEST_P(PeerBmp, ReadsAsImageMagickDecodes) {
  const auto& [kind, width, height] = GetParam();
  STILLREEL_REQUIRE_PEER(Peer::kImageMagick);
  if (kind->pillow) STILLREEL_REQUIRE_PEER(Peer::kPillow);
  test::TempDir dir;
  const std::string path = (dir / "picture.bmp").string();
  ASSERT_TRUE(MakePicture(*kind, width, height, 1, path));
  ASSERT_TRUE(IsKind(*kind, path, width, height));
  Picture want;
  ASSERT_TRUE(ExpectedPicture(*kind, path, want));

  Image image = CreateImage();
  PictureIssue why{};
  ASSERT_TRUE(ReadBmp(image, path, &why, kind->reading)) << "refused: " << ToString(why);
  ASSERT_EQ(image.width, width);
  ASSERT_EQ(image.height, height);
  int wrong = 0;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const Pixel have = PixelAt(image, x, y);
      const Rgba expected = want.At(x, y);
      if (have.blue == expected.blue && have.green == expected.green && have.red == expected.red) {
        continue;
      }
      if (++wrong <= 8) {
        ADD_FAILURE() << kind->label << " pixel (" << x << ", " << y << "): have " << Describe(have)
                      << ", want " << Describe(Pixel{expected.blue, expected.green, expected.red});
      }
    }
  }
  EXPECT_EQ(wrong, 0) << "pixels that differ from the peer's decoding";
}

std::vector<ReadCase> ReadCases() {
  std::vector<ReadCase> cases;
  for (const Kind* kind :
       {&kPal1, &kPal1Bmp3, &kPal4, &kPal4Bmp3, &kPal8, &kPal8Bmp3, &kRgb555, &kRgb565, &kRgb24,
        &kRgb24Bmp3, &kPillow32, &kMagick32Full, &kRle8, &kOs2}) {
    // Odd widths: every kind needs row padding at one of the two sizes.
    cases.push_back({kind, 13, 9});
    cases.push_back({kind, 7, 5});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Kinds, PeerBmp, ::testing::ValuesIn(ReadCases()),
                         [](const ::testing::TestParamInfo<ReadCase>& info) {
                           return std::string(info.param.kind->label) + "_" +
                                  std::to_string(info.param.width) + "x" +
                                  std::to_string(info.param.height);
                         });

TEST(PeerBmp, ImageMagickThirtyTwoBitBitFieldsAreRefused) {
  STILLREEL_REQUIRE_PEER(Peer::kImageMagick);
  test::TempDir dir;
  const std::string path = (dir / "argb.bmp").string();
  ASSERT_TRUE(MakePicture(kMagick32, 7, 5, 1, path));
  ASSERT_TRUE(IsKind(kMagick32, path, 7, 5));

  PictureIssue probed{};
  EXPECT_FALSE(BmpFile().Open(path, &probed));
  EXPECT_EQ(probed, PictureIssue::kBitFieldsNot16) << "have " << ToString(probed);

  Image image = CreateImage();
  PictureIssue why{};
  EXPECT_FALSE(ReadBmp(image, path, &why));
  EXPECT_EQ(why, PictureIssue::kBitFieldsNot16) << "have " << ToString(why);
  ASSERT_EQ(image.width, 1);
  ASSERT_EQ(image.height, 1);
  const Pixel only = PixelAt(image, 0, 0);
  EXPECT_TRUE(only.blue == 255 && only.green == 255 && only.red == 255)
      << "have " << Describe(only) << ", want white";
}

// ---------------------------------------------------------------------------
// AVI files written by Convert, read back by ffprobe, ffmpeg, GStreamer and
// MediaInfo.

// Each kind of frame as its readers name it, and the picture a frame of it
// shows for a picture; fades blend what the frames show.
struct FrameKind {
  const char* label;
  Pixels pixels;
  std::int32_t bitCount;
  const char* pixFmt;         // ffprobe's pix_fmt
  const char* format;         // MediaInfo's Format
  Picture (*shown)(Picture);  // the picture as the frame holds it
};

Picture AsIs(Picture picture) {
  return picture;
}
// Grey frames show each pixel's grey through the grey colour table.
Picture Greyed(Picture picture) {
  for (Rgba& c : picture.pixels) {
    const auto grey = static_cast<std::uint8_t>(
        (19595u * c.red + 38470u * c.green + 7471u * c.blue + 32768u) >> 16);
    c = Rgba{grey, grey, grey, 0};
  }
  return picture;
}

const FrameKind kBgr24Frames{"bgr24", Pixels::kBgr24, 24, "bgr24", "RGB", AsIs};
const FrameKind kGray8Frames{"gray8", Pixels::kGray8, 8, "pal8", "RGB", Greyed};
// Both readers' bgr24 drops the alpha, which the Python tests check through ffmpeg's bgra.
const FrameKind kBgra32Frames{"bgra32", Pixels::kBgra32, 32, "bgra", "RGBA", AsIs};

struct Entry {
  const Kind* kind;
  int width;
  int height;
};

struct AviCase {
  const char* label;
  std::int32_t rateX100;
  std::int32_t smooth;
  std::vector<Entry> entries;
  Reading reading = Reading::kClassic;
  const FrameKind* frames = &kBgr24Frames;
  Container container = Container::kAvi1;
};

struct Notice {
  std::int64_t entry;
  PictureIssue issue;
  std::int32_t width;
  std::int32_t height;
  friend bool operator<(const Notice& a, const Notice& b) {
    return std::tie(a.entry, a.issue) < std::tie(b.entry, b.issue);
  }
  friend bool operator==(const Notice& a, const Notice& b) {
    return a.entry == b.entry && a.issue == b.issue && a.width == b.width && a.height == b.height;
  }
};

std::ostream& operator<<(std::ostream& out, const Notice& n) {
  return out << "{entry " << n.entry << ", " << ToString(n.issue) << ", " << n.width << " x "
             << n.height << "}";
}

// "a/b" equals numerator / denominator.
bool SameRate(const std::string& text, std::uint64_t numerator, std::uint64_t denominator) {
  std::uint64_t a = 0, b = 0;
  char slash = 0;
  std::istringstream in(text);
  if (!(in >> a >> slash >> b) || slash != '/' || b == 0) return false;
  return a * denominator == b * numerator;
}

void PrintTo(const AviCase& c, std::ostream* out) {
  *out << c.label << ": " << c.frames->label << " frames, rate " << c.rateX100 << " / 100, N "
       << c.smooth << ",";
  for (const Entry& e : c.entries)
    *out << " " << e.kind->label << " " << e.width << "x" << e.height;
}

class PeerAvi : public ::testing::TestWithParam<AviCase> {};

TEST_P(PeerAvi, ReadersDecodeTheExpectedFrames) {
  const AviCase& param = GetParam();
  STILLREEL_REQUIRE_PEER(Peer::kImageMagick);
  STILLREEL_REQUIRE_PEER(Peer::kFfmpeg);
  STILLREEL_REQUIRE_PEER(Peer::kGStreamer);
  STILLREEL_REQUIRE_PEER(Peer::kMediaInfo);
  if (std::any_of(param.entries.begin(), param.entries.end(),
                  [](const Entry& e) { return e.kind->pillow; })) {
    STILLREEL_REQUIRE_PEER(Peer::kPillow);
  }
  test::TempDir dir;
  std::vector<std::string> names;
  std::vector<Picture> pictures;
  std::vector<Picture> shown;  // as the frames hold them
  std::vector<Notice> wantNotices;
  for (std::size_t k = 0; k < param.entries.size(); ++k) {
    const Entry& entry = param.entries[k];
    names.push_back((dir / ("entry" + std::to_string(k) + ".bmp")).string());
    ASSERT_TRUE(
        MakePicture(*entry.kind, entry.width, entry.height, static_cast<int>(k) + 1, names.back()));
    ASSERT_TRUE(IsKind(*entry.kind, names.back(), entry.width, entry.height));
    pictures.emplace_back();
    ASSERT_TRUE(ExpectedPicture(*entry.kind, names.back(), pictures.back()));
    const Picture& p = pictures.back();
    shown.push_back(param.frames->shown(p));
    if (entry.kind->refusal) {
      wantNotices.push_back({static_cast<std::int64_t>(k), *entry.kind->refusal, 1, 1});
    } else if (k > 0 && (p.width != pictures[0].width || p.height != pictures[0].height)) {
      wantNotices.push_back(
          {static_cast<std::int64_t>(k), PictureIssue::kSizeDiffers, p.width, p.height});
    }
  }
  const int frameWidth = pictures[0].width;
  const int frameHeight = pictures[0].height;
  const int n = static_cast<int>(pictures.size());
  const int smooth = param.smooth;

  std::vector<std::vector<std::uint8_t>> wantFrames;
  std::vector<std::string> frameNames;  // where each frame comes from, for messages
  for (int k = 0; k < n; ++k) {
    if (smooth > 1 && k < n - 1) {
      for (int l = 0; l < smooth; ++l) {
        wantFrames.push_back(test::Bgr24Frame(test::Blend(shown[k], shown[k + 1], l, smooth),
                                              frameWidth, frameHeight));
        frameNames.push_back("entry " + std::to_string(k) + " (" + param.entries[k].kind->label +
                             ") step " + std::to_string(l) + " of " + std::to_string(smooth));
      }
    } else {
      wantFrames.push_back(test::Bgr24Frame(shown[k], frameWidth, frameHeight));
      frameNames.push_back("entry " + std::to_string(k) + " (" + param.entries[k].kind->label +
                           ")");
    }
  }

  std::vector<Notice> notices;
  Options options;
  options.reading = param.reading;
  options.pixels = param.frames->pixels;
  options.container = param.container;
  options.onPicture = [&](const PictureNotice& notice) {
    notices.push_back({notice.entry, notice.issue, notice.width, notice.height});
  };
  const std::string avi = (dir / "out.avi").string();
  ASSERT_EQ(Convert(avi, names, param.rateX100, smooth, options), Result::kOk);
  std::sort(notices.begin(), notices.end());
  EXPECT_EQ(notices, wantNotices);

  // The file's rate is the rate times N, as whole microseconds per frame.
  double frameRate = param.rateX100 * 0.01;
  frameRate *= smooth;
  const auto micros = static_cast<std::uint32_t>(1000000.0 / frameRate);
  const std::size_t frameCount = wantFrames.size();

  std::map<std::string, std::string> stream;
  ASSERT_TRUE(test::ProbeVideoStream(avi, stream));
  EXPECT_EQ(stream["codec_name"], "rawvideo");
  EXPECT_EQ(stream["pix_fmt"], param.frames->pixFmt);
  EXPECT_EQ(stream["width"], std::to_string(frameWidth));
  EXPECT_EQ(stream["height"], std::to_string(frameHeight));
  EXPECT_EQ(stream["nb_frames"], std::to_string(frameCount));
  EXPECT_EQ(stream["nb_read_frames"], std::to_string(frameCount));
  EXPECT_TRUE(SameRate(stream["r_frame_rate"], 1000000, micros))
      << "have r_frame_rate " << stream["r_frame_rate"] << ", want 1000000/" << micros;
  EXPECT_TRUE(SameRate(stream["avg_frame_rate"], 1000000, micros))
      << "have avg_frame_rate " << stream["avg_frame_rate"] << ", want 1000000/" << micros;

  std::map<std::string, std::string> info;
  ASSERT_TRUE(test::MediaInfoVideo(avi, info));
  EXPECT_EQ(info["Format"], param.frames->format);
  EXPECT_EQ(info["FrameCount"], std::to_string(frameCount));
  EXPECT_EQ(info["Width"], std::to_string(frameWidth));
  EXPECT_EQ(info["Height"], std::to_string(frameHeight));
  // The frames' bytes: MediaInfo's own size of each frame of the kind.
  EXPECT_EQ(
      info["StreamSize"],
      std::to_string(frameCount * RowBytes(param.frames->bitCount, frameWidth) * frameHeight));

  // Both readers' frames as bgr24, every byte against the expected frames.
  const std::size_t frameBytes = static_cast<std::size_t>(frameWidth) * frameHeight * 3;
  auto expectFrames = [&](const std::vector<std::uint8_t>& decoded, const char* reader) {
    ASSERT_EQ(decoded.size(), frameCount * frameBytes)
        << reader << "'s bytes for " << frameCount << " frames of " << frameWidth << " x "
        << frameHeight;
    int wrong = 0;
    static const char* const kChannels[] = {"blue", "green", "red"};
    for (std::size_t f = 0; f < frameCount; ++f) {
      for (std::size_t i = 0; i < frameBytes; ++i) {
        const std::uint8_t have = decoded[f * frameBytes + i];
        const std::uint8_t want = wantFrames[f][i];
        if (have == want) continue;
        if (++wrong <= 8) {
          const std::size_t pixel = i / 3;
          ADD_FAILURE() << reader << ": frame " << f << " (" << frameNames[f] << ") row "
                        << pixel / frameWidth << " from the top, column " << pixel % frameWidth
                        << ", " << kChannels[i % 3] << ": have " << int{have} << ", want "
                        << int{want};
        }
      }
    }
    EXPECT_EQ(wrong, 0) << reader << ": bytes that differ from the expected frames";
  };
  std::vector<std::uint8_t> decoded;
  ASSERT_TRUE(test::DecodeAviWithFfmpeg(avi, decoded));
  expectFrames(decoded, "ffmpeg");
  ASSERT_TRUE(test::DecodeAviWithGStreamer(avi, frameWidth, frameHeight, decoded));
  expectFrames(decoded, "GStreamer");
}

const std::vector<AviCase> kAviCases = {
    // One frame per picture; a smaller and a larger picture sit at the
    // bottom-left corner, a refused one gives a white pixel there.
    {"mixed_n1",
     2500,
     1,
     {{&kRgb24, 13, 9},
      {&kPal8Bmp3, 13, 9},
      {&kRgb565, 13, 9},
      {&kPal4, 7, 5},
      {&kPal1, 13, 9},
      {&kPillow32, 15, 11},
      {&kMagick32, 13, 9},
      {&kRgb555, 13, 9}}},
    // Cross-fades between kinds, into and out of a picture of another size.
    {"mixed_n3",
     2997,
     3,
     {{&kRgb555, 7, 5},
      {&kRgb24Bmp3, 7, 5},
      {&kPal8, 7, 5},
      {&kPillow32, 7, 5},
      {&kPal1Bmp3, 9, 3},
      {&kPal4Bmp3, 7, 5}}},
    {"one_picture_n3", 1000, 3, {{&kRgb24, 7, 5}}},
    {"ntsc_n1", 2997, 1, {{&kRgb24Bmp3, 5, 3}, {&kPal4Bmp3, 5, 3}}},
    // Full reading, each picture decoded straight into the frames, then faded.
    {"full_n1",
     2500,
     1,
     {{&kRle8, 13, 9}, {&kOs2, 13, 9}, {&kMagick32Full, 13, 9}, {&kRle8, 7, 5}, {&kPal8, 13, 9}},
     Reading::kFull},
    {"full_n2", 2500, 2, {{&kOs2, 7, 5}, {&kRle8, 7, 5}, {&kMagick32Full, 9, 3}}, Reading::kFull},
    // Grey frames of colour, palette, refused and differently sized pictures,
    // and their fades; rows of 13 bytes are padded.
    {"gray8_mixed_n3",
     2997,
     3,
     {{&kRgb24, 13, 9},
      {&kPal8, 13, 9},
      {&kPillow32, 7, 5},
      {&kMagick32, 13, 9},
      {&kRgb565, 15, 11},
      {&kPal1Bmp3, 13, 9}},
     Reading::kClassic,
     &kGray8Frames},
    // Full reading's pictures made grey as they are decoded, in AVI 2.0.
    {"gray8_full_n1_opendml",
     2500,
     1,
     {{&kRle8, 13, 9}, {&kMagick32Full, 13, 9}, {&kOs2, 7, 5}, {&kRgb24Bmp3, 15, 11}},
     Reading::kFull,
     &kGray8Frames,
     Container::kOpenDml},
    // Pictures with alpha and without, and where a smaller one leaves room.
    {"bgra32_full_n2",
     2500,
     2,
     {{&kMagick32Full, 13, 9}, {&kPillow32, 7, 5}, {&kRgb24, 15, 11}, {&kPal4, 13, 9}},
     Reading::kFull,
     &kBgra32Frames},
};

INSTANTIATE_TEST_SUITE_P(Lists, PeerAvi, ::testing::ValuesIn(kAviCases),
                         [](const ::testing::TestParamInfo<AviCase>& info) {
                           return std::string(info.param.label);
                         });

// ---------------------------------------------------------------------------
// AVI 2.0 files, cut into small RIFFs, read back by ffmpeg and GStreamer:
// every frame, the frame count, the duration, and a seek to the last frame.

TEST(PeerOpenDml, EveryRiffReadSeekedAndTimed) {
  STILLREEL_REQUIRE_PEER(Peer::kImageMagick);
  STILLREEL_REQUIRE_PEER(Peer::kFfmpeg);
  STILLREEL_REQUIRE_PEER(Peer::kGStreamer);
  test::TempDir dir;
  std::vector<std::string> names;
  std::vector<Picture> pictures;
  for (int k = 0; k < 4; ++k) {
    // 40 x 30: rows need no padding, which GStreamer's frames after a seek keep.
    names.push_back((dir / ("p" + std::to_string(k) + ".bmp")).string());
    ASSERT_TRUE(MakePicture(kRgb24, 40, 30, k + 1, names.back()));
    pictures.emplace_back();
    ASSERT_TRUE(ExpectedPicture(kRgb24, names.back(), pictures.back()));
  }
  const struct {
    std::uint64_t riffBytes;
    std::int32_t smooth;
    const char* what;
  } cases[] = {{12000, 3, "RIFFs of three frames"},
               {3000, 1, "RIFFs of one frame, each larger than asked"},
               {std::uint64_t{1} << 30, 2, "one RIFF"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string avi = (dir / "out.avi").string();
    Summary summary;
    ASSERT_EQ(test::ConvertInRiffs(avi, names, 2500, c.smooth, c.riffBytes, summary), Result::kOk);
    const std::vector<Picture> frames = test::FramesOf(pictures, c.smooth);
    const std::uint64_t micros = 40000 / static_cast<std::uint64_t>(c.smooth);
    std::vector<std::uint8_t> want;
    for (const Picture& frame : frames) {
      const std::vector<std::uint8_t> bytes = test::Bgr24Frame(frame, 40, 30);
      want.insert(want.end(), bytes.begin(), bytes.end());
    }
    const std::size_t frameBytes = 40 * 30 * 3;
    const test::AviModel model =
        test::ModelOpenDml(40, 30, static_cast<std::uint32_t>(micros), frames, c.riffBytes);
    EXPECT_EQ(summary.riffCount, static_cast<std::int64_t>(model.riffFrames.size()));
    EXPECT_EQ(test::Difference(test::ReadFile(avi), model), "");

    std::map<std::string, std::string> stream;
    ASSERT_TRUE(test::ProbeVideoStream(avi, stream));
    EXPECT_EQ(stream["nb_frames"], std::to_string(frames.size()));
    EXPECT_EQ(stream["nb_read_frames"], std::to_string(frames.size()));
    char duration[32];
    std::snprintf(duration, sizeof duration, "%.6f", frames.size() * micros / 1e6);
    EXPECT_EQ(stream["duration"], duration);

    std::vector<std::uint8_t> decoded;
    ASSERT_TRUE(test::DecodeAviWithFfmpeg(avi, decoded));
    EXPECT_TRUE(decoded == want)
        << "ffmpeg: " << decoded.size() / frameBytes << " frames, want " << frames.size()
        << " (first difference at byte "
        << (std::mismatch(decoded.begin(), decoded.end(), want.begin(), want.end()).first -
            decoded.begin())
        << ")";
    ASSERT_TRUE(test::DecodeAviWithGStreamer(avi, 40, 30, decoded));
    EXPECT_TRUE(decoded == want) << "GStreamer: " << decoded.size() / frameBytes << " frames, want "
                                 << frames.size();

    const std::vector<std::uint8_t> last(want.end() - frameBytes, want.end());
    std::vector<std::uint8_t> seen;
    std::uint64_t nanoseconds = 0;
    ASSERT_TRUE(
        test::SeekWithGStreamer(avi, (frames.size() - 1) * micros * 1000, seen, nanoseconds));
    EXPECT_TRUE(seen == last) << "GStreamer's frame after a seek to the last";
    EXPECT_EQ(nanoseconds, frames.size() * micros * 1000) << "GStreamer's duration";
    char at[32];
    std::snprintf(at, sizeof at, "%.6f", (frames.size() - 1) * micros / 1e6);
    ASSERT_TRUE(test::SeekWithFfmpeg(avi, at, seen));
    EXPECT_TRUE(seen == last) << "ffmpeg's frame after a seek to the last";
  }
}

TEST(PeerOpenDmlSlow, DISABLED_FileBeyond4GiB) {
  // 700 frames of 1920 x 1080, 4.35 GB: an AVI 2.0 file of five RIFFs of at
  // most 1 GiB, chosen by the conversion itself. The readers must see every
  // frame; the first and last frame of each RIFF are compared pixel by pixel
  // as ffmpeg decodes them and as GStreamer shows them after a seek.
  STILLREEL_REQUIRE_PEER(Peer::kImageMagick);
  STILLREEL_REQUIRE_PEER(Peer::kFfmpeg);
  STILLREEL_REQUIRE_PEER(Peer::kGStreamer);
  test::TempDir dir;
  struct statvfs room {};
  ASSERT_EQ(::statvfs(dir.path().c_str(), &room), 0);
  if (static_cast<std::uint64_t>(room.f_bavail) * room.f_frsize < (std::uint64_t{5} << 30)) {
    if (test::InCi()) FAIL() << "less than 5 GiB free in " << dir.path() << " (CI=true)";
    GTEST_SKIP() << "less than 5 GiB free in " << dir.path();
  }
  std::vector<std::string> names;
  std::vector<Picture> pictures;
  for (int k = 0; k < 4; ++k) {
    names.push_back((dir / ("p" + std::to_string(k) + ".bmp")).string());
    ASSERT_TRUE(MakePicture(kRgb24Bmp3, 1920, 1080, k + 1, names.back()));
    pictures.emplace_back();
    ASSERT_TRUE(ExpectedPicture(kRgb24Bmp3, names.back(), pictures.back()));
  }
  const std::string avi = (dir / "long.avi").string();
  Options options;
  options.container = Container::kAuto;
  Summary summary;
  options.summary = &summary;
  ASSERT_EQ(Convert(avi, names, 2500, 233, options), Result::kOk);
  const std::uint64_t frameSize = 1920 * 1080 * 3, frames = 700, micros = 171;
  const std::vector<std::uint64_t> riffs =
      test::ModelRiffFrames(frameSize, frames, std::uint64_t{1} << 30);
  ASSERT_EQ(riffs.size(), 5u);
  EXPECT_EQ(summary.container, Container::kOpenDml);
  EXPECT_EQ(summary.riffCount, 5);
  EXPECT_EQ(summary.fileSize, test::ModelOpenDmlSize(frameSize, frames, std::uint64_t{1} << 30));
  EXPECT_EQ(fs::file_size(avi), summary.fileSize);

  std::map<std::string, std::string> stream;
  ASSERT_TRUE(test::ProbeVideoStream(avi, stream));
  EXPECT_EQ(stream["nb_frames"], "700");
  EXPECT_EQ(stream["nb_read_frames"], "700");
  EXPECT_EQ(stream["duration"], "0.119700");

  // The first and last frame of every RIFF, and where each comes from.
  std::vector<std::uint64_t> sample;
  for (std::uint64_t k = 0, first = 0; k < riffs.size(); first += riffs[k++])
    sample.insert(sample.end(), {first, first + riffs[k] - 1});
  std::string select;
  for (const std::uint64_t i : sample)
    select += (select.empty() ? "eq(n\\," : "+eq(n\\,") + std::to_string(i) + ")";
  test::CommandResult run;
  ASSERT_TRUE(
      test::RunOk({test::kFfmpeg, "-nostdin", "-v", "error", "-i", avi, "-vf", "select=" + select,
                   "-fps_mode", "passthrough", "-f", "rawvideo", "-pix_fmt", "bgr24", "-"},
                  &run));
  ASSERT_EQ(run.out.size(), sample.size() * frameSize) << "ffmpeg's sampled frames";
  for (std::size_t j = 0; j < sample.size(); ++j) {
    const std::uint64_t i = sample[j];
    const std::uint64_t k = i / 233, l = i % 233;
    const std::vector<std::uint8_t> want =
        test::Bgr24Frame(k + 1 < pictures.size()
                             ? test::Blend(pictures[k], pictures[k + 1], static_cast<int>(l), 233)
                             : pictures[k],
                         1920, 1080);
    const auto* decoded = reinterpret_cast<const std::uint8_t*>(run.out.data()) + j * frameSize;
    EXPECT_TRUE(std::equal(want.begin(), want.end(), decoded)) << "ffmpeg's frame " << i;
    std::vector<std::uint8_t> seen;
    std::uint64_t duration = 0;
    ASSERT_TRUE(test::SeekWithGStreamer(avi, i * micros * 1000, seen, duration));
    EXPECT_TRUE(seen == want) << "GStreamer's frame " << i << " after a seek";
    EXPECT_EQ(duration, frames * micros * 1000) << "GStreamer's duration";
  }
  std::vector<std::uint8_t> last;
  ASSERT_TRUE(test::SeekWithFfmpeg(avi, "0.119529", last));
  EXPECT_TRUE(last == test::Bgr24Frame(pictures.back(), 1920, 1080)) << "ffmpeg's last frame";
}

}  // namespace
}  // namespace stillreel
