// The C entry: converts its arguments and calls the C++ core. No exception
// crosses it.

#include "stillreel/vod2eri.h"

#include <filesystem>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "convert/run_settings.h"
#include "convert/wide_path.h"
#include "stillreel/stillreel.hpp"

extern "C" STILLREEL_API int32_t VOD2ERI(const wchar_t* outputPath, const wchar_t* listPath,
                                         int32_t frameRateX100, int32_t smoothCount) {
  using stillreel::Result;
  try {
    // Arguments first, then the list, then the size limit, then the output.
    if (!outputPath || !listPath || *outputPath == L'\0' || *listPath == L'\0') {
      return VOD2ERI_BAD_ARGUMENT;
    }
    stillreel::RunSettings settings;
    Result result = stillreel::SetUpRunSettings(settings, frameRateX100, smoothCount);
    if (result != Result::kOk) return static_cast<int32_t>(result);

    // A path with an invalid code point names no file that could be opened.
    const std::optional<std::string> list = stillreel::WideToUtf8(listPath);
    std::vector<std::string> names;
    if (!list || stillreel::ReadFrameList(*list, names) != Result::kOk) {
      return VOD2ERI_LIST_UNREADABLE;
    }
    settings.imageNames = &names;
    settings.imageCount = static_cast<std::int64_t>(names.size());

    const std::optional<std::string> output = stillreel::WideToUtf8(outputPath);
    std::optional<std::filesystem::path> outputFile;
    if (output) outputFile.emplace(*output);
    result = stillreel::RunConversion(settings, outputFile ? &*outputFile : nullptr, {});
    return static_cast<int32_t>(result);
  } catch (...) {
    // Only an allocation of the call's own (a path, the names) can throw.
    return VOD2ERI_OUT_OF_MEMORY;
  }
}
