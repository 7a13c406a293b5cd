// Conversions of different files at the same time share nothing: eight
// threads, each with its own pictures, rate and smoothing, produce exactly the
// files and callbacks that the same conversions produce one at a time.
#include <cstdint>
#include <filesystem>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "stillreel/stillreel.hpp"
#include "stillreel/vod2eri.h"
#include "support/bmp_builder.h"

namespace stillreel {
namespace {

namespace fs = std::filesystem;

struct Job {
  std::vector<std::string> names;
  fs::path list;  // for the jobs that go through VOD2ERI
  std::int32_t rate = 2500;
  std::int32_t smooth = 1;
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

Outcome RunJob(const Job& job, const fs::path& output) {
  Outcome outcome;
  if (!job.list.empty()) {
    outcome.result = VOD2ERI(Wide(output).c_str(), Wide(job.list).c_str(), job.rate, job.smooth);
  } else {
    Options options;
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
    job.smooth = j % 5;  // 0 to 4: with and without in-between frames
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
    solo.push_back(RunJob(jobs[j], dir / ("solo" + std::to_string(j) + ".avi")));
    ASSERT_EQ(solo[j].result, 999) << "job " << j << " alone";
  }

  std::vector<Outcome> together(kJobs);
  std::latch start(kJobs);
  std::vector<std::thread> threads;
  for (int j = 0; j < kJobs; ++j) {
    threads.emplace_back([&, j] {
      start.arrive_and_wait();
      together[j] = RunJob(jobs[j], dir / ("together" + std::to_string(j) + ".avi"));
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

}  // namespace
}  // namespace stillreel
