// The Writer held against Convert: the same pictures appended from memory
// (views of every layout, BMPs in memory) and named in a list give the same
// file, notices and progress; without their count, AVI 1.0 files are the
// same bytes and AVI 2.0-ready ones decode (by ffmpeg) to the same frames.
// Count errors, aborts and outputs that cannot seek leave no file.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "convert/writer.h"
#include "gtest/gtest.h"
#include "stillreel/stillreel.hpp"
#include "support/avi_model.h"
#include "support/bmp_builder.h"
#include "support/peers.h"
#include "support/riffs.h"

namespace stillreel {
namespace {

namespace fs = std::filesystem;
using test::Picture;
using test::Rgba;
using test::TempDir;

Picture Pattern(std::int32_t width, std::int32_t height, int seed, bool grey = false) {
  Picture p{width, height, {}};
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const auto a = static_cast<std::uint8_t>(seed * 71 + x * 23 + y * 5 + 1);
      p.pixels.push_back(grey ? Rgba{a, a, a, 0}
                              : Rgba{a, static_cast<std::uint8_t>(seed * 29 + x * y * 7 + 90),
                                     static_cast<std::uint8_t>(250 - seed * 41 - y * 19 + x),
                                     static_cast<std::uint8_t>(x * 40 + y)});
    }
  }
  return p;
}

std::vector<std::uint8_t> BmpOf(const Picture& p) {
  test::BmpFields fields;
  fields.width = p.width;
  fields.height = p.height;
  fields.pixels = p.pixels;
  return test::BuildBmp(fields);
}

// The same as 32-bit bit fields with an alpha mask, which full reading
// keeps for bgra32 frames; opaque unless `alpha`.
std::vector<std::uint8_t> AlphaBmpOf(Picture p, bool alpha) {
  test::BmpFields fields;
  fields.width = p.width;
  fields.height = p.height;
  fields.bitCount = 32;
  fields.compression = 3;
  fields.infoHeaderSize = 56;
  fields.redMask = 0xFF0000;
  fields.greenMask = 0xFF00;
  fields.blueMask = 0xFF;
  fields.alphaMask = 0xFF000000;
  for (Rgba& c : p.pixels) {
    if (!alpha) c.alpha = 255;
  }
  fields.pixels = p.pixels;
  return test::BuildBmp(fields);
}

// A picture's pixels in memory as `layout` holds them, each row `pad` bytes
// longer than its pixels.
struct Held {
  std::vector<std::uint8_t> bytes;
  PictureView view;
};

Held Hold(const Picture& p, Layout layout, std::size_t pad, bool bottomUp) {
  const int n = layout == Layout::kGray8                               ? 1
                : layout == Layout::kBgr24 || layout == Layout::kRgb24 ? 3
                                                                       : 4;
  const std::size_t stride = static_cast<std::size_t>(p.width) * n + pad;
  Held held;
  held.bytes.assign(stride * static_cast<std::size_t>(p.height), 0xEE);
  for (int y = 0; y < p.height; ++y) {
    const int row = bottomUp ? p.height - 1 - y : y;
    for (int x = 0; x < p.width; ++x) {
      const Rgba c = p.pixels[static_cast<std::size_t>(y) * p.width + x];
      std::uint8_t* q = held.bytes.data() + row * stride + static_cast<std::size_t>(x) * n;
      const bool rgb = layout == Layout::kRgb24 || layout == Layout::kRgba32;
      if (n == 1) {
        q[0] = c.blue;
      } else {
        q[0] = rgb ? c.red : c.blue;
        q[1] = c.green;
        q[2] = rgb ? c.blue : c.red;
        if (n == 4) q[3] = c.alpha;
      }
    }
  }
  const auto s = static_cast<std::ptrdiff_t>(stride);
  held.view.pixels = held.bytes.data() + (bottomUp ? (p.height - 1) * stride : 0);
  held.view.width = p.width;
  held.view.height = p.height;
  held.view.stride = bottomUp ? -s : s;
  held.view.layout = layout;
  return held;
}

// What the callbacks said, in order.
struct Heard {
  std::vector<std::string> lines;
  void Listen(Options& options) {
    options.onProgress = [this](const Progress& p) {
      lines.push_back("progress " + std::to_string(p.entry) + " " +
                      std::to_string(p.framesWritten) + "/" + std::to_string(p.frameCount) + " " +
                      std::to_string(p.percent));
    };
    // Names aside: a Writer's pictures have none.
    options.onPicture = [this](const PictureNotice& n) {
      lines.push_back("picture " + std::to_string(n.entry) + " " +
                      std::to_string(static_cast<int>(n.issue)) + " " + std::to_string(n.width) +
                      "x" + std::to_string(n.height));
    };
  }
};

class WriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Pictures of the first size, another size, one that cannot be read,
    // and a grey one; the list names them as files.
    pictures_ = {Pattern(5, 3, 1),       Pattern(4, 4, 2), Pattern(5, 3, 3),
                 Pattern(7, 2, 4, true), Pattern(5, 3, 5), Pattern(3, 5, 6)};
    for (std::size_t k = 0; k < pictures_.size(); ++k) {
      const std::string name = (dir_ / ("p" + std::to_string(k) + ".bmp")).string();
      bmps_.push_back(k == 2 ? test::Bytes("BX not a picture") : BmpOf(pictures_[k]));
      test::WriteFile(name, bmps_.back());
      names_.push_back(name);
      // With alpha where the picture is appended in a layout that has it.
      const bool alpha = k == 5 || LayoutBytes(k) == 4;
      const std::string alphaName = (dir_ / ("a" + std::to_string(k) + ".bmp")).string();
      alphaBmps_.push_back(k == 2 ? bmps_.back() : AlphaBmpOf(pictures_[k], alpha));
      test::WriteFile(alphaName, alphaBmps_.back());
      alphaNames_.push_back(alphaName);
    }
  }

  static Layout LayoutOf(std::size_t k) {
    static const Layout layouts[] = {Layout::kRgb24, Layout::kBgra32, Layout::kBgr24,
                                     Layout::kGray8, Layout::kRgba32};
    return layouts[k % 5];
  }
  static int LayoutBytes(std::size_t k) {
    const Layout layout = LayoutOf(k);
    return layout == Layout::kBgra32 || layout == Layout::kRgba32 ? 4 : 3;
  }

  // Appends picture k as the k-th of several ways: views of each layout,
  // padded, bottom-up, and the BMP itself (with alpha for `alpha`).
  Result Append(Writer& writer, std::size_t k, bool alpha = false) {
    const std::vector<std::uint8_t>& bmp = alpha ? alphaBmps_[k] : bmps_[k];
    if (k == 2 || k == 5) return writer.AppendBmp(bmp.data(), bmp.size());
    const Held held = Hold(pictures_[k], LayoutOf(k), k % 3, k % 2 == 1);
    return writer.Append(held.view);
  }

  TempDir dir_;
  std::vector<Picture> pictures_;
  std::vector<std::vector<std::uint8_t>> bmps_, alphaBmps_;
  std::vector<std::string> names_, alphaNames_;
};

TEST_F(WriterTest, SameFileAsConvertForEveryKindCountAndThreads) {
  const fs::path want = dir_ / "want.avi", have = dir_ / "have.avi";
  for (const Container container : {Container::kAvi1, Container::kOpenDml, Container::kAuto}) {
    for (const Pixels pixels : {Pixels::kBgr24, Pixels::kGray8, Pixels::kBgra32}) {
      // bgra32 keeps the alpha that full reading reads.
      const bool alpha = pixels == Pixels::kBgra32;
      for (std::int32_t n = 1; n <= 8; ++n) {
        for (std::int32_t threads = 1; threads <= 3; ++threads) {
          for (const std::size_t count : {std::size_t{1}, std::size_t{2}, std::size_t{6}}) {
            // Uncounted, only AVI 1.0 files are Convert's bytes.
            for (const bool counted : {true, false}) {
              if (!counted && container != Container::kAvi1) continue;
              const std::string how = "container " + std::to_string(static_cast<int>(container)) +
                                      " pixels " + std::to_string(static_cast<int>(pixels)) +
                                      " N " + std::to_string(n) + " threads " +
                                      std::to_string(threads) + " pictures " +
                                      std::to_string(count) + (counted ? " counted" : "");
              Options options;
              options.container = container;
              options.pixels = pixels;
              options.threads = threads;
              if (alpha) options.reading = Reading::kFull;
              Heard convertHeard, writerHeard;
              convertHeard.Listen(options);
              const std::vector<std::string>& all = alpha ? alphaNames_ : names_;
              const std::vector<std::string> names(all.begin(), all.begin() + count);
              Summary convertSummary;
              options.summary = &convertSummary;
              ASSERT_EQ(Convert(want, names, 1250, n, options), Result::kOk) << how;

              writerHeard.Listen(options);
              options.summary = nullptr;
              WriterSetup setup;
              setup.frameRateX100 = 1250;
              setup.smoothCount = n;
              setup.pictureCount = counted ? static_cast<std::int64_t>(count) : -1;
              Writer writer;
              ASSERT_EQ(writer.Open(have, setup, options), Result::kOk) << how;
              for (std::size_t k = 0; k < count; ++k)
                ASSERT_EQ(Append(writer, k, alpha), Result::kOk) << how << " picture " << k;
              Summary summary;
              ASSERT_EQ(writer.Close(&summary), Result::kOk) << how;
              ASSERT_EQ(test::ReadFile(have), test::ReadFile(want)) << how;
              EXPECT_EQ(summary.fileSize, convertSummary.fileSize) << how;
              EXPECT_EQ(summary.frameCount, convertSummary.frameCount) << how;
              EXPECT_EQ(summary.pictureCount, static_cast<std::int64_t>(count)) << how;
              EXPECT_EQ(summary.picturesAppended, static_cast<std::int64_t>(count)) << how;
              EXPECT_EQ(summary.unreadablePictures, convertSummary.unreadablePictures) << how;
              if (counted) {
                EXPECT_EQ(writerHeard.lines, convertHeard.lines) << how;
              } else {
                // The same moments; the count and the percent come only at the end.
                ASSERT_EQ(writerHeard.lines.size(), convertHeard.lines.size()) << how;
              }
            }
          }
        }
      }
    }
  }
}

TEST_F(WriterTest, UncountedProgressHasNoPercentUntilTheEnd) {
  Options options;
  std::vector<Progress> heard;
  options.onProgress = [&](const Progress& p) { heard.push_back(p); };
  WriterSetup setup;
  setup.smoothCount = 3;
  Writer writer;
  ASSERT_EQ(writer.Open(dir_ / "out.avi", setup, options), Result::kOk);
  for (std::size_t k = 0; k < 3; ++k)
    ASSERT_EQ(Append(writer, k), Result::kOk);
  // Entries 0 and 1 with their steps: no count yet.
  ASSERT_EQ(heard.size(), 4u);
  const std::int64_t written[] = {0, 2, 3, 5};
  for (std::size_t i = 0; i < heard.size(); ++i) {
    EXPECT_EQ(heard[i].percent, -1) << i;
    EXPECT_EQ(heard[i].frameCount, -1) << i;
    EXPECT_EQ(heard[i].framesWritten, written[i]) << i;
  }
  // Close knows it: entry 2, then the end, of 7 frames.
  ASSERT_EQ(writer.Close(), Result::kOk);
  ASSERT_EQ(heard.size(), 6u);
  EXPECT_EQ(heard[4].entry, 2);
  EXPECT_EQ(heard[4].framesWritten, 6);
  EXPECT_EQ(heard[5].percent, 100);
  EXPECT_EQ(heard[5].entry, 3);
  EXPECT_EQ(heard[5].frameCount, 7);
}

// Without their count, files that may grow past AVI 1.0 keep room for the
// indexes, and decode to Convert's frames: one RIFF, and many (small RIFFs).
TEST_F(WriterTest, UncountedAvi2ReadyFilesDecodeToConvertsFrames) {
  STILLREEL_REQUIRE_PEER(test::Peer::kFfmpeg);
  const fs::path want = dir_ / "want.avi", have = dir_ / "have.avi";
  struct Case {
    Container container;
    std::uint64_t riffBytes;  // 0: the usual
    std::int32_t n;
  };
  for (const Case c : {Case{Container::kAuto, 0, 3}, Case{Container::kOpenDml, 0, 2},
                       Case{Container::kOpenDml, 400, 3}, Case{Container::kOpenDml, 150, 1}}) {
    const std::string how = "container " + std::to_string(static_cast<int>(c.container)) +
                            " RIFFs " + std::to_string(c.riffBytes) + " N " + std::to_string(c.n);
    Summary convertSummary;
    if (c.riffBytes) {
      ASSERT_EQ(test::ConvertInRiffs(want, names_, 2500, c.n, c.riffBytes, convertSummary),
                Result::kOk);
    } else {
      Options options;
      options.container = c.container;
      ASSERT_EQ(Convert(want, names_, 2500, c.n, options), Result::kOk);
    }
    UseWriterRiffBytes(c.riffBytes);
    Options options;
    options.container = c.container;
    WriterSetup setup;
    setup.smoothCount = c.n;
    Writer writer;
    ASSERT_EQ(writer.Open(have, setup, options), Result::kOk) << how;
    for (std::size_t k = 0; k < pictures_.size(); ++k)
      ASSERT_EQ(Append(writer, k), Result::kOk) << how;
    Summary summary;
    ASSERT_EQ(writer.Close(&summary), Result::kOk) << how;
    UseWriterRiffBytes(0);
    EXPECT_EQ(summary.fileSize, fs::file_size(have)) << how;
    const std::vector<std::uint8_t> file = test::ReadFile(have);
    EXPECT_NE(std::string(file.begin(), file.end()).find("JUNK"), std::string::npos) << how;
    if (c.riffBytes) {
      EXPECT_GT(summary.riffCount, 2) << how;
    }
    std::vector<std::uint8_t> wantFrames, haveFrames;
    ASSERT_TRUE(test::DecodeAviWithFfmpeg(want.string(), wantFrames)) << how;
    ASSERT_TRUE(test::DecodeAviWithFfmpeg(have.string(), haveFrames)) << how;
    EXPECT_FALSE(wantFrames.empty()) << how;
    EXPECT_EQ(haveFrames, wantFrames) << how;
  }
}

// The counted writer's AVI 2.0 file in many RIFFs is Convert's.
TEST_F(WriterTest, CountedOpenDmlInManyRiffsIsConvertsFile) {
  const fs::path want = dir_ / "want.avi", have = dir_ / "have.avi";
  Summary convertSummary;
  ASSERT_EQ(test::ConvertInRiffs(want, names_, 2500, 2, 300, convertSummary), Result::kOk);
  UseWriterRiffBytes(300);
  Options options;
  options.container = Container::kOpenDml;
  WriterSetup setup;
  setup.smoothCount = 2;
  setup.pictureCount = static_cast<std::int64_t>(pictures_.size());
  Writer writer;
  ASSERT_EQ(writer.Open(have, setup, options), Result::kOk);
  for (std::size_t k = 0; k < pictures_.size(); ++k)
    ASSERT_EQ(Append(writer, k), Result::kOk);
  ASSERT_EQ(writer.Close(), Result::kOk);
  UseWriterRiffBytes(0);
  EXPECT_GT(convertSummary.riffCount, 2);
  EXPECT_EQ(test::ReadFile(have), test::ReadFile(want));
}

TEST_F(WriterTest, CountErrorsLeaveNoFileAndSayBothNumbers) {
  const fs::path out = dir_ / "out.avi";
  const std::vector<std::string> before = test::Entries(dir_.path());
  for (const std::int64_t given : {2, 4}) {
    WriterSetup setup;
    setup.pictureCount = 3;
    Writer writer;
    ASSERT_EQ(writer.Open(out, setup), Result::kOk);
    for (std::int64_t k = 0; k < given; ++k) {
      EXPECT_EQ(Append(writer, static_cast<std::size_t>(k)),
                k < 3 ? Result::kOk : Result::kBadArgument)
          << k;
    }
    Summary summary;
    EXPECT_EQ(writer.Close(&summary), Result::kBadArgument) << given;
    EXPECT_EQ(summary.pictureCount, 3);
    EXPECT_EQ(summary.picturesAppended, given);
    EXPECT_EQ(test::Entries(dir_.path()), before) << given;
  }
  // None at all.
  Writer writer;
  ASSERT_EQ(writer.Open(out, WriterSetup()), Result::kOk);
  EXPECT_EQ(writer.Close(), Result::kBadArgument);
  EXPECT_EQ(test::Entries(dir_.path()), before);
}

TEST_F(WriterTest, AbortDestroyCancelAndFailureKeepAnExistingOutput) {
  const fs::path out = dir_ / "out.avi";
  test::WriteFile(out, test::Bytes("old"));
  const std::vector<std::string> before = test::Entries(dir_.path());
  for (int way = 0; way < 4; ++way) {
    std::atomic<bool> cancel{false};
    Options options;
    options.cancel = &cancel;
    WriterSetup setup;
    setup.smoothCount = 2;
    {
      Writer writer;
      ASSERT_EQ(writer.Open(out, setup, options), Result::kOk);
      ASSERT_EQ(Append(writer, 0), Result::kOk);
      ASSERT_EQ(Append(writer, 1), Result::kOk);
      if (way == 0) writer.Abort();
      if (way == 2) {
        cancel = true;
        EXPECT_EQ(Append(writer, 2), Result::kCancelled);
        EXPECT_EQ(writer.Close(), Result::kCancelled);
      }
      if (way == 3) {
        Writer moved = std::move(writer);
        writer = Writer();  // the moved-from writer is empty; the moved one goes here
      }
      // way 1: destroyed unclosed.
    }
    EXPECT_EQ(test::ReadFile(out), test::Bytes("old")) << way;
    EXPECT_EQ(test::Entries(dir_.path()), before) << way;
  }
}

TEST_F(WriterTest, PipesNeedTheCountAndThenGetConvertsBytes) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  Writer writer;
  EXPECT_EQ(writer.OpenFd(fds[1], WriterSetup()), Result::kBadArgument);
  EXPECT_EQ(Append(writer, 0), Result::kBadArgument);
  WriterSetup setup;
  setup.pictureCount = 3;
  setup.smoothCount = 2;
  std::vector<std::uint8_t> got;
  std::thread reader([&] {
    std::uint8_t buffer[4096];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
      got.insert(got.end(), buffer, buffer + n);
  });
  ASSERT_EQ(writer.OpenFd(fds[1], setup), Result::kOk);
  for (std::size_t k = 0; k < 3; ++k)
    EXPECT_EQ(Append(writer, k), Result::kOk);
  EXPECT_EQ(writer.Close(), Result::kOk);
  ::close(fds[1]);
  reader.join();
  ::close(fds[0]);
  const fs::path want = dir_ / "want.avi";
  const std::vector<std::string> names(names_.begin(), names_.begin() + 3);
  ASSERT_EQ(Convert(want, names, 2500, 2), Result::kOk);
  EXPECT_EQ(got, test::ReadFile(want));
}

TEST_F(WriterTest, MalformedViewsAreRefusedAndTheWriterGoesOn) {
  const fs::path out = dir_ / "out.avi";
  WriterSetup setup;
  setup.pictureCount = 1;
  Writer writer;
  ASSERT_EQ(writer.Open(out, setup), Result::kOk);
  const Held held = Hold(pictures_[0], Layout::kRgb24, 0, false);
  PictureView bad = held.view;
  bad.pixels = nullptr;
  EXPECT_EQ(writer.Append(bad), Result::kBadArgument);
  bad = held.view;
  bad.stride = 14;  // shorter than 5 pixels of 3 bytes
  EXPECT_EQ(writer.Append(bad), Result::kBadArgument);
  bad = held.view;
  bad.layout = static_cast<Layout>(9);
  EXPECT_EQ(writer.Append(bad), Result::kBadArgument);
  bad = held.view;
  bad.height = 0;
  EXPECT_EQ(writer.Append(bad), Result::kBadArgument);
  EXPECT_EQ(writer.Append(held.view), Result::kOk);
  EXPECT_EQ(writer.Close(), Result::kOk);
  const fs::path want = dir_ / "want.avi";
  ASSERT_EQ(Convert(want, {names_[0]}, 2500, 1), Result::kOk);
  EXPECT_EQ(test::ReadFile(out), test::ReadFile(want));
}

}  // namespace
}  // namespace stillreel
