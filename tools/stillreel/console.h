// What the tool says on standard error while it converts: the progress line,
// rewritten in place on a terminal, and the messages that interrupt it. The
// progress line is drawn only when the console was made with showProgress.
#ifndef STILLREEL_TOOLS_STILLREEL_CONSOLE_H_
#define STILLREEL_TOOLS_STILLREEL_CONSOLE_H_

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "stillreel/stillreel.hpp"

namespace stillreel::tool {

class Console {
 public:
  Console(std::FILE* err, bool showProgress) : err_(err), showProgress_(showProgress) {}

  // Redraws the progress line, at most ten times a second but always for
  // the first and the last report; without a frame count (-1), the pictures
  // and frames written, the latest shown by Finish.
  void OnProgress(const Progress& progress);
  // Prints one whole line, "stillreel: " and text, above the progress line.
  void Say(std::string_view text);
  // Ends the progress line, leaving its last state on screen.
  void Finish();

 private:
  void Clear();
  void Draw();

  std::FILE* err_;
  bool showProgress_;
  bool started_ = false;
  bool drawn_ = false;  // the cursor stands at the end of the progress line
  std::string line_;    // as drawn
  std::string latest_;  // of the latest report, drawn or not
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point lastDraw_;
};

// A picture name fit for a message: in single quotes, control bytes as \xNN.
std::string Quoted(std::string_view name);

// Seconds as "0:07", "12:34" or "1:02:03".
std::string FormatDuration(double seconds);

}  // namespace stillreel::tool

#endif  // STILLREEL_TOOLS_STILLREEL_CONSOLE_H_
