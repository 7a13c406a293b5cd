// A C++ program built against stillreel::stillreel, from an installed package
// (find_package) or from the sources (add_subdirectory). In the folder given
// as its argument it converts a 3 x 2 picture, a missing one and the first
// again through the C++ API, and checks the callbacks, the summary and the
// file's bytes.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <stillreel/stillreel.hpp>

// The C++ header brings the version macros with it.
#ifndef STILLREEL_VERSION_STRING
#error "stillreel/stillreel.hpp gives no STILLREEL_VERSION_STRING"
#endif
static_assert(STILLREEL_VERSION == STILLREEL_VERSION_MAJOR * 10000 + STILLREEL_VERSION_MINOR * 100 +
                                       STILLREEL_VERSION_PATCH);

namespace {

int failures = 0;

void CheckEq(long long have, long long want, const std::string& what) {
  if (have != want) {
    ++failures;
    std::fprintf(stderr, "consumer.cpp: %s: have %lld, want %lld\n", what.c_str(), have, want);
  }
}

void PutLe32(std::vector<unsigned char>& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i)
    bytes[at + i] = static_cast<unsigned char>(value >> (8 * i));
}

std::uint32_t Le32(const std::vector<unsigned char>& bytes, std::size_t at) {
  return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
         static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

// A 3 x 2 24-bit picture: rows of 9 bytes padded to 12, bottom row first.
// Pixel (x, row) has blue 10 x + row, green 100 + x, red 200 + row.
std::vector<unsigned char> Picture() {
  std::vector<unsigned char> bmp(54 + 24, 0);
  bmp[0] = 'B';
  bmp[1] = 'M';
  PutLe32(bmp, 2, static_cast<std::uint32_t>(bmp.size()));
  PutLe32(bmp, 10, 54);
  PutLe32(bmp, 14, 40);
  PutLe32(bmp, 18, 3);
  PutLe32(bmp, 22, 2);
  bmp[26] = 1;
  bmp[28] = 24;
  PutLe32(bmp, 34, 24);
  for (int row = 0; row < 2; ++row) {
    for (int x = 0; x < 3; ++x) {
      std::size_t at = 54 + 12 * row + 3 * x;
      bmp[at] = static_cast<unsigned char>(10 * x + row);
      bmp[at + 1] = static_cast<unsigned char>(100 + x);
      bmp[at + 2] = static_cast<unsigned char>(200 + row);
    }
  }
  return bmp;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: consumer FOLDER\n");
    return 2;
  }
  const std::filesystem::path folder = argv[1];
  std::filesystem::create_directories(folder);
  const std::vector<unsigned char> picture = Picture();
  const std::string pictureName = (folder / "picture.bmp").string();
  {
    std::ofstream out(pictureName, std::ios::binary);
    out.write(reinterpret_cast<const char*>(picture.data()),
              static_cast<std::streamsize>(picture.size()));
    if (!out.flush()) {
      std::fprintf(stderr, "consumer.cpp: cannot write %s\n", pictureName.c_str());
      return 2;
    }
  }
  const std::string missingName = (folder / "missing.bmp").string();

  std::vector<stillreel::PictureNotice> notices;
  std::vector<std::string> noticeNames;
  double lastPercent = -1;
  stillreel::Summary summary;
  stillreel::Options options;
  options.onPicture = [&](const stillreel::PictureNotice& notice) {
    notices.push_back(notice);
    noticeNames.emplace_back(notice.name);
  };
  options.onProgress = [&](const stillreel::Progress& progress) { lastPercent = progress.percent; };
  options.summary = &summary;
  const std::filesystem::path output = folder / "clip.avi";
  const stillreel::Result result =
      stillreel::Convert(output, {pictureName, missingName, pictureName}, 1000, 1, options);
  CheckEq(static_cast<long long>(result), static_cast<long long>(stillreel::Result::kOk),
          std::string("result (") + stillreel::ToString(result) + ")");

  CheckEq(static_cast<long long>(notices.size()), 1, "picture notices");
  if (notices.size() == 1) {
    CheckEq(notices[0].entry, 1, "entry of the notice");
    CheckEq(static_cast<long long>(notices[0].issue),
            static_cast<long long>(stillreel::PictureIssue::kCannotOpen), "issue of the notice");
    CheckEq(noticeNames[0] == missingName, 1, "name of the notice is " + noticeNames[0]);
  }
  CheckEq(static_cast<long long>(lastPercent), 100, "last progress percent");
  CheckEq(summary.frameWidth, 3, "summary frame width");
  CheckEq(summary.frameHeight, 2, "summary frame height");
  CheckEq(summary.frameCount, 3, "summary frame count");
  CheckEq(summary.unreadablePictures, 1, "summary unreadable pictures");
  CheckEq(static_cast<long long>(summary.fileSize), 376, "summary file size");

  std::ifstream in(output, std::ios::binary);
  const std::vector<unsigned char> avi{std::istreambuf_iterator<char>(in),
                                       std::istreambuf_iterator<char>()};
  // 3 frames of 24 bytes at 10 frames per second.
  CheckEq(static_cast<long long>(avi.size()), 376, "file length");
  if (avi.size() == 376) {
    CheckEq(Le32(avi, 4), 368, "RIFF size");
    CheckEq(Le32(avi, 32), 100000, "microseconds per frame");
    CheckEq(Le32(avi, 48), 3, "total frames");
    for (int frame = 0; frame < 3; ++frame) {
      const std::size_t pixels = 224 + 32 * static_cast<std::size_t>(frame) + 8;
      for (std::size_t i = 0; i < 24; ++i) {
        // Frames 0 and 2 hold the picture's rows as stored; frame 1, the
        // missing picture, is one white pixel at the bottom-left, then zeros.
        const int want = frame == 1 ? (i < 3 ? 255 : 0) : picture[54 + i];
        CheckEq(avi[pixels + i], want,
                "frame " + std::to_string(frame) + " byte " + std::to_string(i));
      }
    }
  }

  const std::vector<std::string> entries = stillreel::ParseFrameList("a.bmp\r\n\nb.bmp");
  CheckEq(entries == std::vector<std::string>{"a.bmp", "", "b.bmp"}, 1, "ParseFrameList");

  if (failures == 0) std::printf("consumer.cpp: clip.avi checked\n");
  return failures == 0 ? 0 : 1;
}
