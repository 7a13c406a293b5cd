// Threads, between conversions and within one. Conversions of different
// files at the same time share nothing: eight threads, each with its own
// pictures, rate and smoothing, produce exactly the files and callbacks that
// the same conversions produce one at a time. A conversion given workers
// writes the same file, calls back in the same order and stops the same way
// as on the caller's thread alone. Writers among them write Convert's files.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <latch>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "avi/byte_writer.h"
#include "convert/frames.h"
#include "gtest/gtest.h"
#include "stillreel/stillreel.hpp"
#include "stillreel/vod2eri.h"
#include "support/avi_model.h"
#include "support/bmp_builder.h"
#include "support/test_os.h"

namespace stillreel {
namespace {

namespace fs = std::filesystem;

struct Job {
  std::vector<std::string> names;
  fs::path list;  // for the jobs that go through VOD2ERI
  std::int32_t rate = 2500;
  std::int32_t smooth = 1;
  std::int32_t threads = 1;  // when run together with the others
  // Together, through a Writer given the files' bytes (with their number or
  // without): the same file as Convert's alone.
  bool writer = false;
  bool counted = false;
};

// What one run gives: its result, the file, and what its callbacks heard.
struct Outcome {
  std::int32_t result = 0;
  std::vector<std::uint8_t> file;
  std::vector<std::int64_t> progressEntries;
  std::vector<std::int64_t> noticeEntries;
  bool operator==(const Outcome&) const = default;
};

std::wstring Wide(const fs::path& path) {
  std::wstring w;
  for (const unsigned char c : path.string())
    w.push_back(static_cast<wchar_t>(c));
  return w;
}

Outcome RunJob(const Job& job, const fs::path& output, std::int32_t threads, bool alone) {
  Outcome outcome;
  if (job.writer && !alone) {
    Options options;
    options.threads = threads;
    options.onProgress = [&](const Progress& p) { outcome.progressEntries.push_back(p.entry); };
    options.onPicture = [&](const PictureNotice& n) { outcome.noticeEntries.push_back(n.entry); };
    WriterSetup setup;
    setup.frameRateX100 = job.rate;
    setup.smoothCount = job.smooth;
    if (job.counted) setup.pictureCount = static_cast<std::int64_t>(job.names.size());
    Writer writer;
    Result result = writer.Open(output, setup, options);
    for (const std::string& name : job.names) {
      const std::vector<std::uint8_t> bytes =
          fs::exists(name) ? test::ReadFile(name) : std::vector<std::uint8_t>();
      if (result == Result::kOk) result = writer.AppendBmp(bytes.data(), bytes.size());
    }
    if (result == Result::kOk) result = writer.Close();
    outcome.result = static_cast<std::int32_t>(result);
  } else if (!job.list.empty()) {
    outcome.result = VOD2ERI(Wide(output).c_str(), Wide(job.list).c_str(), job.rate, job.smooth);
  } else {
    Options options;
    options.threads = threads;
    options.onProgress = [&](const Progress& p) { outcome.progressEntries.push_back(p.entry); };
    options.onPicture = [&](const PictureNotice& n) { outcome.noticeEntries.push_back(n.entry); };
    outcome.result =
        static_cast<std::int32_t>(Convert(output, job.names, job.rate, job.smooth, options));
  }
  if (fs::exists(output)) outcome.file = test::ReadFile(output);
  return outcome;
}

TEST(ThreadsTest, ConcurrentConversionsMatchSoloRuns) {
  constexpr int kJobs = 8;
  test::TempDir dir;
  std::vector<Job> jobs(kJobs);
  for (int j = 0; j < kJobs; ++j) {
    Job& job = jobs[j];
    const int width = 5 + 7 * j, height = 3 + 4 * (j % 3);
    const int pictures = 3 + j % 3;
    for (int k = 0; k < pictures; ++k) {
      test::BmpFields fields;
      // Now and then a picture of another size, and one that cannot be read.
      fields.width = k == 2 && j % 2 == 0 ? width / 2 + 1 : width;
      fields.height = k == 2 && j % 2 == 0 ? height + 3 : height;
      fields.bitCount = j % 4 == 3 ? 32 : 24;
      for (int p = 0; p < fields.width * fields.height; ++p) {
        fields.pixels.push_back(test::Rgba{static_cast<std::uint8_t>(p * 7 + j * 31 + k * 3),
                                           static_cast<std::uint8_t>(p + k * 60),
                                           static_cast<std::uint8_t>(j * 29 - p), 0});
      }
      const fs::path name = dir / ("j" + std::to_string(j) + "_" + std::to_string(k) + ".bmp");
      test::WriteFile(name, test::BuildBmp(fields));
      job.names.push_back(name.string());
    }
    if (j % 3 == 1) job.names.insert(job.names.begin() + 1, (dir / "missing.bmp").string());
    job.rate = 1000 + 375 * j;
    job.smooth = j % 5;   // 0 to 4: with and without in-between frames
    job.threads = j % 4;  // 0 to 3 together, always 1 alone
    job.writer = j % 4 == 2;
    job.counted = j == 2;
    if (j % 2 == 1) {
      job.list = dir / ("j" + std::to_string(j) + ".txt");
      std::string text;
      for (const std::string& name : job.names)
        text += name + "\n";
      test::WriteFile(job.list, std::vector<std::uint8_t>(text.begin(), text.end()));
    }
  }

  std::vector<Outcome> solo;
  for (int j = 0; j < kJobs; ++j) {
    solo.push_back(RunJob(jobs[j], dir / ("solo" + std::to_string(j) + ".avi"), 1, true));
    ASSERT_EQ(solo[j].result, 999) << "job " << j << " alone";
  }

  std::vector<Outcome> together(kJobs);
  std::latch start(kJobs);
  std::vector<std::thread> threads;
  for (int j = 0; j < kJobs; ++j) {
    threads.emplace_back([&, j] {
      start.arrive_and_wait();
      together[j] =
          RunJob(jobs[j], dir / ("together" + std::to_string(j) + ".avi"), jobs[j].threads, false);
    });
  }
  for (std::thread& t : threads)
    t.join();

  for (int j = 0; j < kJobs; ++j) {
    EXPECT_EQ(together[j].result, 999) << "job " << j;
    EXPECT_EQ(together[j].progressEntries, solo[j].progressEntries) << "job " << j;
    EXPECT_EQ(together[j].noticeEntries, solo[j].noticeEntries) << "job " << j;
    const std::vector<std::uint8_t>& have = together[j].file;
    const std::vector<std::uint8_t>& want = solo[j].file;
    std::size_t at = 0;
    while (at < have.size() && at < want.size() && have[at] == want[at])
      ++at;
    EXPECT_TRUE(at == have.size() && at == want.size())
        << "job " << j << " differs at offset " << at << " (lengths: have " << have.size()
        << ", want " << want.size() << ")"
        << (at < have.size() && at < want.size()
                ? ": have " + std::to_string(have[at]) + ", want " + std::to_string(want[at])
                : "");
  }
}

// ---------------------------------------------------------------------------
// One conversion on several threads.

// What a conversion told its caller, in order: "progress <entry> <frames
// written>" and "picture <entry> <issue> <width>x<height>".
using Events = std::vector<std::string>;

Options Recording(Events& events, std::int32_t threads) {
  Options options;
  options.threads = threads;
  options.onProgress = [&events](const Progress& p) {
    events.push_back("progress " + std::to_string(p.entry) + " " + std::to_string(p.framesWritten));
  };
  options.onPicture = [&events](const PictureNotice& n) {
    events.push_back("picture " + std::to_string(n.entry) + " " +
                     std::to_string(static_cast<int>(n.issue)) + " " + std::to_string(n.width) +
                     "x" + std::to_string(n.height));
  };
  return options;
}

test::Picture Pattern(std::int32_t width, std::int32_t height, int seed) {
  test::Picture p{width, height, {}};
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      p.pixels.push_back(test::Rgba{static_cast<std::uint8_t>(seed * 71 + x * 23 + y * 5),
                                    static_cast<std::uint8_t>(seed * 29 + x * y * 7),
                                    static_cast<std::uint8_t>(250 - seed * 41 - y * 19 + x), 0});
    }
  }
  return p;
}

std::string Put(const test::TempDir& dir, const std::string& name, const test::Picture& p) {
  test::BmpFields fields;
  fields.width = p.width;
  fields.height = p.height;
  fields.pixels = p.pixels;
  test::WriteFile(dir / name, test::BuildBmp(fields));
  return (dir / name).string();
}

// A frame of more than one block of the writer's buffer, each block shared
// out in many parts.
constexpr std::int32_t kFrameWidth = 1024, kFrameHeight = 400;
static_assert(3 * kFrameWidth * kFrameHeight > ByteWriter::kDefaultBufferBytes);
static_assert(8 * kPartBytes < ByteWriter::kDefaultBufferBytes);

TEST(ThreadsTest, EveryThreadCountWritesTheModelFile) {
  test::TempDir dir;
  const test::Picture a = Pattern(kFrameWidth, kFrameHeight, 1);
  const test::Picture low = Pattern(300, 150, 2);     // ends inside a part of the first block
  const test::Picture large = Pattern(1100, 450, 3);  // cut on the right and the top
  const std::string pa = Put(dir, "a.bmp", a), pl = Put(dir, "low.bmp", low),
                    pg = Put(dir, "large.bmp", large);
  const std::string missing = (dir / "missing.bmp").string();
  const struct {
    std::vector<std::string> names;
    std::vector<test::Picture> pictures;  // as read
  } lists[] = {
      {{pa, missing, pl, pg}, {a, test::White(), low, large}},
      {{pl, missing, pa}, {low, test::White(), a}},  // a smaller frame, in fewer parts
  };
  for (const auto& list : lists) {
    const test::Picture& first = list.pictures[0];
    for (const std::int32_t N : {1, 2, 3, 4, 5}) {
      const auto micros = static_cast<std::uint32_t>(1000000.0 / (25.0 * N));
      const test::AviModel want =
          test::ModelAvi(first.width, first.height, micros, test::FramesOf(list.pictures, N));
      // One thread against the model, then the others against that file.
      Events alone;
      std::vector<std::uint8_t> first;
      for (const std::int32_t threads : {1, 2, 3, 0}) {
        const std::string how = std::to_string(list.names.size()) +
                                " pictures, N = " + std::to_string(N) +
                                ", threads = " + std::to_string(threads);
        Events events;
        const fs::path out = dir / "out.avi";
        ASSERT_EQ(Convert(out, list.names, 2500, N, Recording(events, threads)), Result::kOk)
            << how;
        if (threads == 1) {
          first = test::ReadFile(out);
          alone = events;
          EXPECT_EQ(test::Difference(first, want), "") << how;
        } else {
          const std::vector<std::uint8_t> have = test::ReadFile(out);
          std::size_t at = 0;
          if (have != first) {
            while (at < have.size() && at < first.size() && have[at] == first[at])
              ++at;
          }
          EXPECT_EQ(have, first) << how << ": differs from one thread's file at "
                                 << test::Locate(want, at);
        }
        EXPECT_EQ(events, alone) << how << ": the callbacks, in order";
      }
    }
  }
}

TEST(ThreadsTest, StopsAsOnOneThread) {
  // Cancelled between two in-between frames or before an entry, a callback
  // that throws (also for a picture read ahead), a write that fails: the
  // same result, the same callbacks up to there, and no file left behind.
  test::TempDir dir;
  const test::Picture a = Pattern(kFrameWidth, kFrameHeight, 1);
  const std::string pa = Put(dir, "a.bmp", a), pb = Put(dir, "b.bmp", Pattern(500, 300, 2));
  const std::vector<std::string> names = {pa, pb, (dir / "missing.bmp").string(), pa, pb};
  const std::vector<std::string> inputs = test::Entries(dir.path());
  enum class Stop { kCancelInFade, kCancelAtEntry, kThrowAtNotice, kThrowAtProgress, kDiskFull };
  for (const Stop stop : {Stop::kCancelInFade, Stop::kCancelAtEntry, Stop::kThrowAtNotice,
                          Stop::kThrowAtProgress, Stop::kDiskFull}) {
    Events alone;
    std::string aloneEnd;
    for (const std::int32_t threads : {1, 2, 3}) {
      const std::string how =
          "stop " + std::to_string(static_cast<int>(stop)) + ", threads " + std::to_string(threads);
      std::atomic<bool> cancel{false};
      Events events;
      Options options = Recording(events, threads);
      options.cancel = &cancel;
      const auto progress = options.onProgress;
      options.onProgress = [&](const Progress& p) {
        progress(p);
        if (stop == Stop::kCancelInFade && p.framesWritten == 6) cancel = true;
        if (stop == Stop::kCancelAtEntry && p.entry == 3) cancel = true;
        if (stop == Stop::kThrowAtProgress && p.framesWritten == 10) throw std::runtime_error("p");
      };
      const auto picture = options.onPicture;
      options.onPicture = [&](const PictureNotice& n) {
        picture(n);
        if (stop == Stop::kThrowAtNotice && n.entry == 2) throw std::runtime_error("n");
      };
      std::string end;
      try {
        if (stop == Stop::kDiskFull) {
          const test::FullDisk full;
          ASSERT_GE(full.descriptor(), 0) << "no descriptor of a full disk";
          end = ToString(ConvertToFd(full.descriptor(), names, 2500, 4, options));
        } else {
          end = ToString(Convert(dir / "out.avi", names, 2500, 4, options));
        }
      } catch (const std::runtime_error& e) {
        end = std::string("threw ") + e.what();
      }
      if (threads == 1) {
        alone = events;
        aloneEnd = end;
        EXPECT_NE(end, ToString(Result::kOk)) << how << ": " << ::testing::PrintToString(events);
      }
      EXPECT_EQ(end, aloneEnd) << how;
      EXPECT_EQ(events, alone) << how;
      EXPECT_EQ(test::Entries(dir.path()), inputs) << how << ": nothing left behind";
    }
  }
}

}  // namespace
}  // namespace stillreel
