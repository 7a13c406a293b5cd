// Windows: no peer can start under Wine. ImageMagick's decodings of the BMP
// suite's reference pictures are made on the build machine before the tests
// run (decode_references.cmake) and read here; nothing else is offered.
#include <filesystem>
#include <fstream>

#include "support/bmp_builder.h"
#include "support/peers.h"

namespace stillreel::test {
namespace {

namespace fs = std::filesystem;

const fs::path kSuite = STILLREEL_BMPSUITE_DIR;
const fs::path kDecoded = STILLREEL_DECODED_REFERENCES;

}  // namespace

std::string MissingPeer(Peer peer) {
  if (peer != Peer::kImageMagick) {
    return "no peer runs on Windows; only ImageMagick's decodings of the BMP suite are at hand";
  }
  if (std::ifstream why(kDecoded / "missing"); why) {
    std::string text;
    std::getline(why, text);
    return text;
  }
  if (!fs::exists(kDecoded / "complete")) {
    return "ImageMagick's decodings of the BMP suite's references are not in " + kDecoded.string() +
           " (ctest's image_test.references makes them)";
  }
  return {};
}

::testing::AssertionResult DecodeWithImageMagick(const std::string& path, RgbaPicture& picture) {
  const fs::path relative = fs::path(path).lexically_relative(kSuite);
  if (relative.empty() || *relative.begin() == "..") {
    return ::testing::AssertionFailure()
           << path << " is not in " << kSuite << ", the only pictures decoded beforehand";
  }
  const fs::path base = kDecoded / relative;
  picture = RgbaPicture{};
  std::ifstream size(base.string() + ".size");
  if (!(size >> picture.width >> picture.height) || picture.width < 1 || picture.height < 1) {
    return ::testing::AssertionFailure() << "no size of " << path << " in " << base << ".size";
  }
  const std::vector<std::uint8_t> rgba = ReadFile(base.string() + ".rgba");
  const std::size_t want = static_cast<std::size_t>(picture.width) * picture.height * 4;
  if (rgba.size() != want) {
    return ::testing::AssertionFailure()
           << "ImageMagick decoded " << path << " to " << rgba.size() << " bytes, want " << want
           << " (" << picture.width << " x " << picture.height << " RGBA)";
  }
  picture.rgba = rgba;
  return ::testing::AssertionSuccess();
}

}  // namespace stillreel::test
