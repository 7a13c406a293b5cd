// The frame list: a text file naming one picture per line.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>

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
  const std::string& path = list.native();
  if (path.empty() || path.find('\0') != std::string::npos) return Result::kListUnreadable;
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Result::kListUnreadable;
  Result result = Result::kOk;
  try {
    struct stat info;
    std::string text;
    if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
      result = Result::kListUnreadable;
    } else {
      // One pass, so a pipe works as well as a file.
      char buffer[1 << 16];
      for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) result = Result::kListUnreadable;
        if (got <= 0) break;
        text.append(buffer, static_cast<std::size_t>(got));
      }
    }
    if (result == Result::kOk) {
      names = ParseFrameList(text);
      if (names.empty()) result = Result::kListUnreadable;
    }
  } catch (const std::bad_alloc&) {
    result = Result::kListUnreadable;
  }
  ::close(fd);
  return result;
}

}  // namespace stillreel
