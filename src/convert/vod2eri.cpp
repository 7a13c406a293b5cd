// The C entry: converts its arguments and hands them to the one entry
// sequence. No exception crosses it.

#include "stillreel/vod2eri.h"

#include <filesystem>
#include <optional>
#include <string>

#include "convert/request.h"
#include "convert/wide_path.h"
#include "platform/file.h"

namespace {

// A null path is a missing argument; one that is not valid text names no file.
std::optional<std::filesystem::path> PathOf(const wchar_t* wide) {
  if (!wide) return std::filesystem::path();
  std::optional<std::string> text = stillreel::WideToUtf8(wide);
  if (!text) return std::nullopt;
  return stillreel::platform::PathOf(*text);
}

}  // namespace

extern "C" STILLREEL_C_API int32_t STILLREEL_CALL VOD2ERI(const wchar_t* outputPath,
                                                          const wchar_t* listPath,
                                                          int32_t frameRateX100,
                                                          int32_t smoothCount) {
  try {
    const stillreel::Options options;
    stillreel::Request request;
    request.frameRateX100 = frameRateX100;
    request.smoothCount = smoothCount;
    request.listPath = PathOf(listPath);
    request.output = PathOf(outputPath);
    request.options = &options;
    return static_cast<int32_t>(stillreel::RunRequest(request));
  } catch (...) {
    // Only an allocation of the call's own (a path, the names) can throw.
    return VOD2ERI_OUT_OF_MEMORY;
  }
}
