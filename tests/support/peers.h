// Real peer tools for tests: ImageMagick writes and decodes pictures, Pillow
// writes the 32-bit kind ImageMagick does not, ffmpeg, ffprobe, GStreamer and
// MediaInfo read the AVI files back. Each helper runs the tool as a child
// process and says in its failure message what it ran and what the tool
// printed. On Windows (peers_win.cpp) only MissingPeer and
// DecodeWithImageMagick exist, for the BMP suite's references, decoded on the
// build machine beforehand.
#ifndef STILLREEL_TESTS_SUPPORT_PEERS_H_
#define STILLREEL_TESTS_SUPPORT_PEERS_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "support/test_os.h"  // InCi

namespace stillreel::test {

// The peers by absolute path: /usr/local/bin may hold stand-ins.
inline constexpr const char* kMagickConvert = "/usr/bin/convert";
inline constexpr const char* kMagickIdentify = "/usr/bin/identify";
inline constexpr const char* kFfmpeg = "/usr/bin/ffmpeg";
inline constexpr const char* kFfprobe = "/usr/bin/ffprobe";
inline constexpr const char* kPython = "/usr/bin/python3";
inline constexpr const char* kGstLaunch = "/usr/bin/gst-launch-1.0";
inline constexpr const char* kMediaInfo = "/usr/bin/mediainfo";

// GStreamer: gst-launch-1.0 with avidemux, and Python's bindings for seeks.
enum class Peer { kImageMagick, kFfmpeg, kPillow, kGStreamer, kMediaInfo };

struct CommandResult {
  int status = -1;  // exit status, or -1 when the command could not run or was killed
  std::string out;  // standard output, as bytes
  std::string err;  // standard error
};

// Runs argv[0] (an absolute path) with the given arguments, standard input
// empty, and collects both output streams.
CommandResult RunCommand(const std::vector<std::string>& argv);

// The same, as an assertion that the command exits with status 0.
::testing::AssertionResult RunOk(const std::vector<std::string>& argv,
                                 CommandResult* result = nullptr);

// Empty when the peer can be used, otherwise what is missing.
std::string MissingPeer(Peer peer);

// A picture as a peer decoded it: 8-bit red, green, blue, alpha, row-major,
// top row first.
struct RgbaPicture {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgba;
  const std::uint8_t* At(int x, int y) const {
    return rgba.data() + (static_cast<std::size_t>(y) * width + x) * 4;
  }
};

// ImageMagick's own decoding of the picture at path (`convert path -depth 8 rgba:-`).
::testing::AssertionResult DecodeWithImageMagick(const std::string& path, RgbaPicture& picture);

// Every frame of the AVI at path as ffmpeg decodes it to packed bgr24, top
// row first, frames one after another.
::testing::AssertionResult DecodeAviWithFfmpeg(const std::string& path,
                                               std::vector<std::uint8_t>& frames);

// Every frame of the width x height AVI at path as GStreamer's avidemux and
// videoconvert hand them out as BGR (an 8-bit paletted frame through its
// colour table), top row first, frames one after another, packed like
// ffmpeg's bgr24: the padding GStreamer gives each row to 4 bytes is dropped.
::testing::AssertionResult DecodeAviWithGStreamer(const std::string& path, int width, int height,
                                                  std::vector<std::uint8_t>& frames);

// The frame shown at `nanoseconds` after GStreamer seeks there (accurately,
// through the file's index), as BGR with GStreamer's padding (tests use
// widths that need none), and the duration GStreamer reports.
::testing::AssertionResult SeekWithGStreamer(const std::string& path, std::uint64_t nanoseconds,
                                             std::vector<std::uint8_t>& frame,
                                             std::uint64_t& durationNanoseconds);

// The frame ffmpeg decodes first after seeking its input to `seconds`, as
// packed bgr24.
::testing::AssertionResult SeekWithFfmpeg(const std::string& path, const std::string& seconds,
                                          std::vector<std::uint8_t>& frame);

// The fields of the first video stream as ffprobe reports them in JSON
// (counting the frames it reads), numbers and strings alike as text.
::testing::AssertionResult ProbeVideoStream(const std::string& path,
                                            std::map<std::string, std::string>& fields);

// The video stream as MediaInfo reports it: its Format, FrameCount, Width,
// Height and StreamSize (bytes of its frames), by those names.
::testing::AssertionResult MediaInfoVideo(const std::string& path,
                                          std::map<std::string, std::string>& fields);

}  // namespace stillreel::test

// Skips the test when a peer is missing, or fails it when running under CI.
#define STILLREEL_REQUIRE_PEER(peer)                                                              \
  do {                                                                                            \
    if (const std::string missing_ = ::stillreel::test::MissingPeer(peer); !missing_.empty()) {   \
      if (::stillreel::test::InCi()) FAIL() << missing_ << " (CI=true: peers must be installed)"; \
      GTEST_SKIP() << missing_;                                                                   \
    }                                                                                             \
  } while (0)

#endif  // STILLREEL_TESTS_SUPPORT_PEERS_H_
