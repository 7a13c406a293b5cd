// RunSettings: the plan of one conversion, made once from the call's
// arguments and the first picture's headers before anything is written, and
// read, never changed, by the run that follows. Each call has its own, so
// calls on different files share nothing.
#ifndef STILLREEL_CONVERT_RUN_SETTINGS_H_
#define STILLREEL_CONVERT_RUN_SETTINGS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "avi/avi_layout.h"
#include "stillreel/stillreel.hpp"

namespace stillreel {

struct RunSettings {
  const std::vector<std::string>* imageNames = nullptr;
  std::int64_t imageCount = 0;   // n, at least 1
  std::int32_t smoothCount = 1;  // N, frames per picture
  double frameRate = 0;          // frames per second of the file: the rate times N
  // The frame geometry is the first picture's; one that cannot be read
  // makes every frame 1 x 1.
  std::int32_t frameWidth = 1;
  std::int32_t frameHeight = 1;
  std::uint64_t frameCount = 1;  // F = (n - 1) x N + 1, or kHugeSize
  Reading reading = Reading::kClassic;
  AviLayout layout;
  // The caller's thread and threads - 1 workers, at most kMaxThreads.
  std::int32_t threads = 1;
};

// Rows of an in-between frame are shared out among the threads in parts of
// about this many bytes (at least one row): small enough to keep every thread
// busy to the end of a frame, large enough that handing them out costs
// nothing. A block no larger than one part is blended by the caller alone.
inline constexpr std::size_t kPartBytes = std::size_t{64} << 10;

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

// Writes the file the plan describes through `out`: headers, frames, index.
// Adds the pictures that could not be read to `unreadable` as it meets them.
class AviWriter;
class ByteWriter;
Result WriteVideo(const RunSettings& settings, AviWriter& avi, ByteWriter& out,
                  const Options& options, std::int64_t& unreadable);

// Reads every picture's headers and reports as WriteVideo would, writing nothing.
Result CheckPictures(const RunSettings& settings, const Options& options, std::int64_t& unreadable);

}  // namespace stillreel

#endif  // STILLREEL_CONVERT_RUN_SETTINGS_H_
