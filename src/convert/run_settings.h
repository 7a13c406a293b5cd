// RunSettings: what one conversion works with. Each call owns its own record,
// so calls on different files never share state.
#ifndef STILLREEL_CONVERT_RUN_SETTINGS_H_
#define STILLREEL_CONVERT_RUN_SETTINGS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "convert/cross_fade.h"

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

}  // namespace stillreel

#endif  // STILLREEL_CONVERT_RUN_SETTINGS_H_
