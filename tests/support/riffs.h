// Conversions into AVI 2.0 files of small RIFFs, through the hook that
// lowers the RIFF size, so that a few small pictures give several RIFFs.
#ifndef STILLREEL_TESTS_SUPPORT_RIFFS_H_
#define STILLREEL_TESTS_SUPPORT_RIFFS_H_

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "convert/request.h"
#include "stillreel/stillreel.hpp"

namespace stillreel::test {

inline Result ConvertInRiffs(const std::filesystem::path& output,
                             const std::vector<std::string>& names, std::int32_t frameRateX100,
                             std::int32_t smoothCount, std::uint64_t riffBytes, Summary& summary) {
  Options options;
  options.container = Container::kOpenDml;
  options.summary = &summary;
  Request request;
  request.frameRateX100 = frameRateX100;
  request.smoothCount = smoothCount;
  request.names = &names;
  request.output = output;
  request.options = &options;
  request.riffBytes = riffBytes;
  return RunRequest(request);
}

}  // namespace stillreel::test

#endif  // STILLREEL_TESTS_SUPPORT_RIFFS_H_
