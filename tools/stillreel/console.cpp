#include "console.h"

#include <cinttypes>

namespace stillreel::tool {

void Console::OnProgress(const Progress& progress) {
  if (!showProgress_) return;
  const auto now = std::chrono::steady_clock::now();
  // Without a frame count (pictures from a stream not counted) there is no
  // last report to know, so the latest one is kept for Finish.
  if (progress.frameCount < 0) {
    char text[160];
    std::snprintf(text, sizeof text, "Progress: %" PRId64 " pictures, %" PRId64 " frames written",
                  progress.entry, progress.framesWritten);
    latest_ = text;
    if (started_ && now - lastDraw_ < std::chrono::milliseconds(100)) return;
    started_ = true;
    lastDraw_ = now;
    Clear();
    line_ = latest_;
    Draw();
    return;
  }
  const bool last = progress.entry > 0 && progress.framesWritten >= progress.frameCount;
  if (!started_) {
    started_ = true;
    start_ = now;
  } else if (!last && now - lastDraw_ < std::chrono::milliseconds(100)) {
    return;
  }
  lastDraw_ = now;

  std::string left = "time left unknown";
  if (last) {
    left = "0:00 left";
  } else if (progress.framesWritten > 0) {
    const double elapsed = std::chrono::duration<double>(now - start_).count();
    const double remaining = elapsed / static_cast<double>(progress.framesWritten) *
                             static_cast<double>(progress.frameCount - progress.framesWritten);
    left = FormatDuration(remaining) + " left";
  }
  char text[160];
  std::snprintf(text, sizeof text, "Progress: %-3.1f%% - %" PRId64 " of %" PRId64 " frames, %s",
                progress.percent, progress.framesWritten, progress.frameCount, left.c_str());
  Clear();
  line_ = latest_ = text;
  Draw();
}

void Console::Say(std::string_view text) {
  Clear();
  std::fprintf(err_, "stillreel: %.*s\n", static_cast<int>(text.size()), text.data());
  Draw();
}

void Console::Finish() {
  if (drawn_ && latest_ != line_) {
    Clear();
    line_ = latest_;
    Draw();
  }
  if (drawn_) std::fputc('\n', err_);
  drawn_ = false;
  line_.clear();
}

// Blanks the line with spaces rather than a terminal control sequence, so any
// terminal shows it right.
void Console::Clear() {
  if (!drawn_) return;
  std::fprintf(err_, "\r%*s\r", static_cast<int>(line_.size()), "");
  drawn_ = false;
}

void Console::Draw() {
  if (line_.empty()) return;
  std::fputs(line_.c_str(), err_);
  std::fflush(err_);
  drawn_ = true;
}

std::string Quoted(std::string_view name) {
  static const char kHex[] = "0123456789abcdef";
  std::string text = "'";
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      text += "\\x";
      text += kHex[byte >> 4];
      text += kHex[byte & 15];
    } else {
      text += c;
    }
  }
  text += '\'';
  return text;
}

std::string FormatDuration(double seconds) {
  const auto total = static_cast<std::int64_t>(seconds + 0.5);
  const std::int64_t hours = total / 3600;
  const std::int64_t minutes = total / 60 % 60;
  const std::int64_t secs = total % 60;
  char text[48];
  if (hours > 0) {
    std::snprintf(text, sizeof text, "%" PRId64 ":%02" PRId64 ":%02" PRId64, hours, minutes, secs);
  } else {
    std::snprintf(text, sizeof text, "%" PRId64 ":%02" PRId64, minutes, secs);
  }
  return text;
}

}  // namespace stillreel::tool
