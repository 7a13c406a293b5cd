// RunSettings: what one conversion works with. Each call owns its own record,
// so calls on different files never share state.
#ifndef STILLREEL_CONVERT_RUN_SETTINGS_H_
#define STILLREEL_CONVERT_RUN_SETTINGS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "convert/cross_fade.h"
#include "stillreel/stillreel.hpp"

namespace stillreel {

struct RunSettings {
  TransitionFn transition = CrossFade;
  std::int32_t smoothCount = 1;
  std::int64_t imageCount = 0;
  const std::vector<std::string>* imageNames = nullptr;
  double frameRate = 0;  // frames per second of the file, the smoothing included
  std::int32_t frameWidth = 1;
  std::int32_t frameHeight = 1;
  std::int32_t bitCount = 24;
};

// Sets up a call's settings from its rate and smoothing count. Returns kOk,
// or kBadArgument for a rate <= 0, a count < 0, or a rate so high that a frame
// would last less than a microsecond.
Result SetUpRunSettings(RunSettings& settings, std::int32_t frameRateX100,
                        std::int32_t smoothCount);

// Runs a conversion whose arguments have been checked, with settings.imageNames
// holding at least one name. `output` may be null when the caller's path
// cannot be turned into a file name: the call then fails as an output that
// cannot be created, after the size check, as any other such output would.
Result RunConversion(RunSettings& settings, const std::filesystem::path* output,
                     const Options& options);

}  // namespace stillreel

#endif  // STILLREEL_CONVERT_RUN_SETTINGS_H_
