// Request: one conversion as a caller asks for it, and RunRequest, the one
// sequence every entry goes through: the arguments are checked, then the
// list, then the size, then the output, and only then is anything written.
// Convert and VOD2ERI are thin adapters over it.
#ifndef STILLREEL_CONVERT_REQUEST_H_
#define STILLREEL_CONVERT_REQUEST_H_

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "size_limits.h"
#include "stillreel/stillreel.hpp"

namespace stillreel {

struct Request {
  std::int32_t frameRateX100 = 0;
  std::int32_t smoothCount = 0;
  // The pictures: these names, or when null those of the frame list file.
  const std::vector<std::string>* names = nullptr;
  // For both paths, nothing means the caller's path names no file (it is
  // not a valid string), and an empty one is a missing argument.
  std::optional<std::filesystem::path> listPath;
  std::optional<std::filesystem::path> output;
  // Or, when not negative, the caller's open descriptor to write to.
  int outputFd = -1;
  const Options* options = nullptr;
  // The largest RIFF of an AVI 2.0 file; tests lower it to get many RIFFs
  // from small pictures.
  std::uint64_t riffBytes = kOpenDmlRiffBytes;
};

Result RunRequest(const Request& request);

}  // namespace stillreel

#endif  // STILLREEL_CONVERT_REQUEST_H_
