// RunSettings: the plan of one conversion, made once from the call's
// arguments and the first picture's headers before anything is written, and
// read, never changed, by the run that follows (run.h). Each call has its
// own, so calls on different files share nothing.
#ifndef STILLREEL_CONVERT_RUN_SETTINGS_H_
#define STILLREEL_CONVERT_RUN_SETTINGS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "avi/avi_layout.h"
#include "stillreel/stillreel.hpp"

namespace stillreel {

struct RunSettings {
  const std::vector<std::string>* imageNames = nullptr;  // a list's; null for a Writer's
  std::int64_t imageCount = 0;   // n, at least 1; -1 while a Writer does not know it
  std::int32_t smoothCount = 1;  // N, frames per picture
  double frameRate = 0;          // frames per second of the file: the rate times N
  // The frame geometry is the first picture's; one that cannot be read
  // makes every frame 1 x 1.
  std::int32_t frameWidth = 1;
  std::int32_t frameHeight = 1;
  std::uint64_t frameCount = 1;  // F = (n - 1) x N + 1, or kHugeSize
  Reading reading = Reading::kClassic;
  Pixels pixels = Pixels::kBgr24;
  AviLayout layout;
  // The caller's thread and threads - 1 workers, at most kMaxThreads.
  std::int32_t threads = 1;
};

// The checked rate and smoothing count of a call: false for a rate <= 0, a
// count < 0, or a rate so high that a frame would last less than a
// microsecond. A count of 0 means 1.
bool SetRate(RunSettings& settings, std::int32_t frameRateX100, std::int32_t smoothCount);

// Completes the plan for the pictures `names` (at least one): the geometry
// from the first picture's headers, the frame count and the file's layout,
// of the kind `container` asks for; an AVI 2.0 file is cut into RIFFs of at
// most riffBytes.
void PlanRun(RunSettings& settings, const std::vector<std::string>& names, Container container,
             std::uint64_t riffBytes);

// The same once the geometry (settings.frameWidth and frameHeight) and the
// number of pictures n (settings.imageCount) are known.
void PlanFrames(RunSettings& settings, Container container, std::uint64_t riffBytes);

// F = (n - 1) x N + 1, or kHugeSize.
std::uint64_t FrameCount(std::uint64_t n, std::uint64_t N);

// Bytes a pixel of the frames (and of the Images a run holds).
inline std::int32_t FramePixelBytes(const RunSettings& settings) {
  return settings.pixels == Pixels::kGray8 ? 1 : 3;
}

// Whether a choice is one of those the API names (a C caller may pass any value).
bool Named(Reading reading);
bool Named(Pixels pixels);
bool Named(Container container);

// The threads asked for, 0 being one per available core.
std::int32_t ThreadCount(std::int32_t asked);

// The summary of the plan, unreadablePictures left 0.
void FillSummary(const RunSettings& settings, Summary& summary);

}  // namespace stillreel

#endif  // STILLREEL_CONVERT_RUN_SETTINGS_H_
