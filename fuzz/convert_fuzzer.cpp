// A whole conversion of fuzzer-made pictures. The input is split into one
// to three BMP files; a missing file and a blank entry may join the list.
// Each input is converted twice, without smoothing and with it, into a file
// that already exists, and the result must be the whole file the test model
// predicts from the pictures as ReadBmp decodes them from memory: headers,
// every frame anchored at the bottom-left corner, every in-between frame
// blended, the index, the length that Summary announced, the notices, and
// nothing else left in the folder. A dry run must announce the same and
// write nothing.
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
#include "support/avi_model.h"

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
    std::vector<test::Picture> pictures;
    for (const Entry& e : entries)
      pictures.push_back(test::PictureOf(e.image));
    const std::string difference = test::Difference(
        have, test::ModelAvi(g.width, g.height, micros, test::FramesOf(pictures, n)));
    FUZZ_CHECK(difference.empty(), "N " << n << ", " << entries.size() << " entries, frame "
                                        << g.width << " x " << g.height << ": " << difference);
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
    e.read = ReadBmp(e.image, parts[i], &e.why);
  }
  if (control & 4) {
    entries.insert(entries.begin() + 1, Entry{});
    entries[1].name = (dir / "missing.bmp").string();
    MakeUnreadable(entries[1].image);
  }
  if (control & 8) {
    entries.emplace_back();
    MakeUnreadable(entries.back().image);
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
