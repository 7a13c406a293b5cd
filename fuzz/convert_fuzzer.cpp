// A whole conversion of fuzzer-made pictures. The input is split into one
// to three BMP files; a missing file and a blank entry may join the list.
// Each input is converted twice, without smoothing and with it, into a file
// that already exists, and the result must be the whole file predicted here
// from the pictures as ReadBmpBytes decodes them: headers, every frame
// anchored at the bottom-left corner, every in-between frame blended, the
// index, the length that Summary announced, the notices, and nothing else
// left in the folder. A dry run must announce the same and write nothing.
//
// Input layout: byte 0 chooses the list and the run (bits 0-1: pictures - 1,
// 3 counting as 2; bit 2: a missing file second; bit 3: a blank entry last;
// bits 4-5: smoothing count - 2; bits 6-7: the rate), then a 16-bit length
// for each picture but the last, then the pictures.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "fuzz_support.h"
#include "image/bmp_reader.h"
#include "image/image.h"
#include "stillreel/stillreel.hpp"

namespace stillreel {
namespace {

namespace fs = std::filesystem;
using fuzz::Le;

// Pictures are decoded twice per run and written several times: inputs
// claiming more than 1 MiB of pixels are skipped to keep runs fast.
constexpr std::uint64_t kMaxPixelBytes = std::uint64_t{1} << 20;
constexpr std::int32_t kRates[4] = {2500, 2997, 100, 1000000};
const std::vector<std::uint8_t> kPrevious = {'p', 'r', 'e', 'v', 'i', 'o', 'u', 's'};

struct Entry {
  std::string name;
  Image image = CreateImage();
  bool read = false;
  PictureIssue why = PictureIssue::kCannotOpen;
};

struct Geometry {
  std::int32_t width = 1, height = 1;
  std::uint64_t row = 4, frame = 4, frames = 1, riff = 0;
};

void Put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint64_t v) {
  for (int i = 0; i < 4; ++i)
    b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void Put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint64_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void PutTag(std::vector<std::uint8_t>& b, std::size_t at, const char* tag) {
  std::copy(tag, tag + 4, b.begin() + static_cast<std::ptrdiff_t>(at));
}

// One frame's pixel data: the image at the bottom-left corner, cropped, zero elsewhere.
FUZZ_NO_COVERAGE void PutFrame(std::vector<std::uint8_t>& b, std::size_t at, const Geometry& g,
                               const Image& image) {
  for (std::int64_t r = 0; r < g.height && r < image.height; ++r) {
    const std::int64_t y = image.height - 1 - r;
    for (std::int64_t x = 0; x < g.width && x < image.width; ++x) {
      const Pixel& p = Column(image, static_cast<std::int32_t>(x))[y];
      const std::size_t to = at + static_cast<std::size_t>(r) * g.row + 3 * x;
      b[to] = p.blue, b[to + 1] = p.green, b[to + 2] = p.red;
    }
  }
}

// Step l of n from a towards b, at a's size; b is sampled at the clamped position.
FUZZ_NO_COVERAGE Image Blend(const Image& a, const Image& b, int l, int n) {
  Image c = CreateImage();
  Resize(c, a.width, a.height);
  const double t = static_cast<double>(l) / static_cast<double>(n);
  const double s = 1.0 - t;
  // Two products rounded apart: the build forbids fused multiply-adds.
  const auto mix = [&](std::uint8_t u, std::uint8_t v) {
    return static_cast<std::uint8_t>(u * s + v * t);
  };
  for (std::int32_t x = 0; x < a.width; ++x) {
    for (std::int32_t y = 0; y < a.height; ++y) {
      const Pixel& p = Column(a, x)[y];
      const Pixel& q = PixelAt(b, x, y);
      Column(c, x)[y] = Pixel{mix(p.blue, q.blue), mix(p.green, q.green), mix(p.red, q.red), 0};
    }
  }
  return c;
}

FUZZ_NO_COVERAGE std::vector<std::uint8_t> ExpectedFile(const Geometry& g, std::uint32_t micros,
                                                        const std::vector<Entry>& entries, int n) {
  std::vector<std::uint8_t> b(g.riff + 8, 0);
  const std::uint64_t s = g.frame, f = g.frames, movi = 4 + f * (s + 8);
  PutTag(b, 0, "RIFF"), Put32(b, 4, g.riff), PutTag(b, 8, "AVI ");
  PutTag(b, 12, "LIST"), Put32(b, 16, 192), PutTag(b, 20, "hdrl");
  PutTag(b, 24, "avih"), Put32(b, 28, 56), Put32(b, 32, micros), Put32(b, 44, 0x10);
  Put32(b, 48, f), Put32(b, 56, 1), Put32(b, 60, s), Put32(b, 64, g.width), Put32(b, 68, g.height);
  PutTag(b, 88, "LIST"), Put32(b, 92, 116), PutTag(b, 96, "strl");
  PutTag(b, 100, "strh"), Put32(b, 104, 56), PutTag(b, 108, "vids"), PutTag(b, 112, "DIB ");
  Put32(b, 128, micros), Put32(b, 132, 1000000), Put32(b, 140, f), Put32(b, 144, s);
  Put16(b, 160, g.width & 0xFFFF), Put16(b, 162, g.height & 0xFFFF);
  PutTag(b, 164, "strf"), Put32(b, 168, 40), Put32(b, 172, 40), Put32(b, 176, g.width);
  Put32(b, 180, g.height), Put16(b, 184, 1), Put16(b, 186, 24), Put32(b, 192, s);
  Put32(b, 196, 3780), Put32(b, 200, 3780);
  PutTag(b, 212, "LIST"), Put32(b, 216, movi), PutTag(b, 220, "movi");
  std::size_t at = 224;
  const auto chunk = [&](const Image& image) {
    PutTag(b, at, "00db"), Put32(b, at + 4, s);
    PutFrame(b, at + 8, g, image);
    at += static_cast<std::size_t>(s + 8);
  };
  for (std::size_t k = 0; k < entries.size(); ++k) {
    chunk(entries[k].image);
    if (k + 1 == entries.size()) break;
    for (int l = 1; l < n; ++l)
      chunk(Blend(entries[k].image, entries[k + 1].image, l, n));
  }
  PutTag(b, at, "idx1"), Put32(b, at + 4, 16 * f);
  for (std::uint64_t i = 0; i < f; ++i) {
    const std::size_t e = at + 8 + 16 * i;
    PutTag(b, e, "00db"), Put32(b, e + 4, 0x10), Put32(b, e + 8, 4 + i * (s + 8));
    Put32(b, e + 12, s);
  }
  return b;
}

FUZZ_NO_COVERAGE std::string Locate(const Geometry& g, std::size_t at) {
  if (at < 224) return "header offset " + std::to_string(at);
  const std::uint64_t rel = at - 224, chunk = g.frame + 8;
  if (rel >= g.frames * chunk) return "index byte " + std::to_string(rel - g.frames * chunk);
  const std::uint64_t in = rel % chunk;
  std::string where = "frame " + std::to_string(rel / chunk);
  if (in < 8) return where + " chunk header byte " + std::to_string(in);
  return where + " stored row " + std::to_string((in - 8) / g.row) + " byte " +
         std::to_string((in - 8) % g.row);
}

FUZZ_NO_COVERAGE std::vector<std::string> Listing(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

struct Heard {
  std::int64_t entry;
  PictureIssue issue;
  std::int32_t width, height;
  bool operator==(const Heard&) const = default;
};

FUZZ_NO_COVERAGE void Run(const fs::path& dir, std::vector<Entry>& entries, const Geometry& first,
                          std::int32_t rate, int n) {
  const std::vector<std::string> before = Listing(dir);
  Geometry g = first;
  g.frames = (entries.size() - 1) * static_cast<std::uint64_t>(n) + 1;
  g.riff = 224 + g.frames * (g.frame + 24);
  const bool tooLarge = g.frame > kMaxRiffSize || g.riff > kMaxRiffSize;
  const auto micros = static_cast<std::uint32_t>(1000000.0 / (rate * 0.01 * n));

  std::vector<std::string> names;
  std::vector<Heard> want;
  std::int64_t unreadable = 0;
  for (std::size_t k = 0; k < entries.size(); ++k) {
    const Entry& e = entries[k];
    names.push_back(e.name);
    if (!e.read) ++unreadable;
    if (!e.read || e.image.width != g.width || e.image.height != g.height) {
      want.push_back(Heard{static_cast<std::int64_t>(k),
                           e.read ? PictureIssue::kSizeDiffers : e.why, e.image.width,
                           e.image.height});
    }
  }

  const fs::path out = dir / "out.avi";
  for (const bool dry : {false, true}) {
    const char* how = dry ? "dry run" : "conversion";
    std::vector<Heard> heard;
    Summary summary;
    Options options;
    options.summary = &summary;
    options.dryRun = dry;
    options.onPicture = [&](const PictureNotice& notice) {
      heard.push_back(Heard{notice.entry, notice.issue, notice.width, notice.height});
    };
    const Result result = Convert(out, names, rate, n, options);
    const Result expected = tooLarge ? Result::kTooLarge : Result::kOk;
    FUZZ_CHECK(result == expected, how << " of " << names.size() << " entries, N " << n
                                       << ", frame " << g.width << " x " << g.height
                                       << ": have result " << static_cast<int>(result) << ", want "
                                       << static_cast<int>(expected));
    FUZZ_CHECK(Listing(dir) == before, how << " left the folder with other files");
    FUZZ_CHECK(summary.frameWidth == g.width && summary.frameHeight == g.height,
               how << ": Summary frame have " << summary.frameWidth << " x " << summary.frameHeight
                   << ", want " << g.width << " x " << g.height);
    if (tooLarge) {
      FUZZ_CHECK(fuzz::ReadBytes(out) == kPrevious, "a refused conversion changed the old file");
      return;
    }
    FUZZ_CHECK(summary.fileSize == g.riff + 8,
               how << ": Summary file size have " << summary.fileSize << ", want " << g.riff + 8);
    FUZZ_CHECK(summary.frameCount == static_cast<std::int64_t>(g.frames),
               how << ": Summary frames have " << summary.frameCount << ", want " << g.frames);
    FUZZ_CHECK(summary.microsPerFrame == micros,
               how << ": Summary micros have " << summary.microsPerFrame << ", want " << micros);
    FUZZ_CHECK(summary.unreadablePictures == unreadable, how << ": Summary unreadable have "
                                                             << summary.unreadablePictures
                                                             << ", want " << unreadable);
    FUZZ_CHECK(heard == want,
               how << ": heard " << heard.size() << " notices, want " << want.size());
    if (dry) {
      FUZZ_CHECK(fuzz::ReadBytes(out) == kPrevious, "a dry run changed the file");
      continue;
    }
    const std::vector<std::uint8_t> have = fuzz::ReadBytes(out);
    FUZZ_CHECK(have.size() == summary.fileSize,
               "file length have " << have.size() << ", Summary said " << summary.fileSize);
    const std::vector<std::uint8_t> wantFile = ExpectedFile(g, micros, entries, n);
    if (have.size() != wantFile.size() ||
        std::memcmp(have.data(), wantFile.data(), have.size()) != 0) {
      const auto at = static_cast<std::size_t>(
          std::mismatch(have.begin(), have.end(), wantFile.begin(), wantFile.end()).first -
          have.begin());
      FUZZ_CHECK(false, "N " << n << ", " << entries.size() << " entries, frame " << g.width
                             << " x " << g.height << ": file offset " << at << " (" << Locate(g, at)
                             << "): have " << (at < have.size() ? int{have[at]} : -1) << ", want "
                             << (at < wantFile.size() ? int{wantFile[at]} : -1));
    }
    fuzz::WriteBytes(out, kPrevious);
  }
}

}  // namespace
}  // namespace stillreel

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace stillreel;
  if (size < 1) return 0;
  const std::uint8_t control = data[0];
  const std::size_t pictures = 1 + (control & 3) % 3;
  std::size_t at = std::min(size, 1 + 2 * (pictures - 1));
  std::vector<std::span<const std::uint8_t>> parts;
  for (std::size_t i = 0; i + 1 < pictures; ++i) {
    const std::size_t take = std::min<std::size_t>(Le({data, size}, 1 + 2 * i, 2), size - at);
    parts.emplace_back(data + at, take);
    at += take;
  }
  parts.emplace_back(data + at, size - at);
  for (const auto& part : parts) {
    if (fuzz::ClaimsMoreThan(part, kMaxPixelBytes)) return 0;
  }

  const fs::path& scratch = fuzz::ScratchDir::Get();
  const fs::path dir = scratch / "convert";
  std::error_code ec;
  fs::remove_all(dir, ec);
  fs::create_directory(dir);
  std::vector<Entry> entries(parts.size());
  for (std::size_t i = 0; i < parts.size(); ++i) {
    Entry& e = entries[i];
    e.name = (dir / ("p" + std::to_string(i) + ".bmp")).string();
    fuzz::WriteBytes(e.name, parts[i]);
    e.read = ReadBmpBytes(e.image, parts[i], &e.why);
  }
  if (control & 4) {
    entries.insert(entries.begin() + 1, Entry{});
    entries[1].name = (dir / "missing.bmp").string();
    ReadBmpBytes(entries[1].image, {}, nullptr);  // a 1 x 1 white picture
  }
  if (control & 8) {
    entries.emplace_back();
    ReadBmpBytes(entries.back().image, {}, nullptr);
  }

  // The frame geometry is the first picture's header, readable or too large.
  Geometry first;
  if (entries[0].read || entries[0].why == PictureIssue::kTooLarge) {
    first.width = static_cast<std::int32_t>(Le(parts[0], 18, 4));
    first.height = static_cast<std::int32_t>(Le(parts[0], 22, 4));
  }
  first.row = (3 * static_cast<std::uint64_t>(first.width) + 3) / 4 * 4;
  first.frame = first.row * static_cast<std::uint64_t>(first.height);

  fuzz::WriteBytes(dir / "out.avi", kPrevious);
  const std::int32_t rate = kRates[control >> 6];
  Run(dir, entries, first, rate, 1);
  Run(dir, entries, first, rate, 2 + ((control >> 4) & 3));
  return 0;
}
