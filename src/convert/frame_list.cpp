// The frame list: a text file naming one picture per line.

#include <new>

#include "platform/file.h"
#include "stillreel/stillreel.hpp"

namespace stillreel {

std::vector<std::string> ParseFrameList(std::string_view text) {
  std::vector<std::string> names;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    // Only the line end goes: "\n", and a "\r" before it (or ending the text).
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    names.emplace_back(line);
  }
  return names;
}

Result ReadFrameList(const std::filesystem::path& list, std::vector<std::string>& names) {
  platform::File file;
  if (list.empty() || platform::OpenForReading(list, platform::Accept::kAnyButFolder, file) !=
                          platform::Opened::kOk) {
    return Result::kListUnreadable;
  }
  Result result = Result::kOk;
  try {
    // One pass, so a pipe works as well as a file.
    std::string text;
    char buffer[1 << 16];
    for (;;) {
      const std::ptrdiff_t got = platform::Read(file, buffer, sizeof buffer);
      if (got < 0) result = Result::kListUnreadable;
      if (got <= 0) break;
      text.append(buffer, static_cast<std::size_t>(got));
    }
    if (result == Result::kOk) {
      names = ParseFrameList(text);
      if (names.empty()) result = Result::kListUnreadable;
    }
  } catch (const std::bad_alloc&) {
    result = Result::kListUnreadable;
  }
  platform::Close(file);
  return result;
}

}  // namespace stillreel
