// The tool's calls to the operating system, one implementation per system
// (platform_posix.cpp, platform_win.cpp): the arguments as UTF-8, names as
// the library's paths, which standard streams are terminals, standard input
// read whole or piece by piece, and the interrupts that ask a conversion to
// stop. The library has its own; the tool sees only the library's public API.
#ifndef STILLREEL_TOOLS_STILLREEL_PLATFORM_H_
#define STILLREEL_TOOLS_STILLREEL_PLATFORM_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace stillreel::tool {

enum class Stream { kInput, kOutput, kError };

// The command line, program name first: argv as it is where arguments are
// bytes; on Windows the process's UTF-16 command line in UTF-8, which is
// also how everything the tool prints is written from then on.
std::vector<std::string> Arguments(int argc, char** argv);

// A name from the command line as the library's path: its bytes where paths
// are bytes; UTF-8 (else the ANSI code page) turned into UTF-16 on Windows.
std::filesystem::path PathOf(const std::string& name);

bool IsTerminal(Stream stream);

// The C runtime's descriptor of standard output, as ConvertToFd takes it.
int StandardOutputDescriptor();

// Reads standard input to its end. Returns false on a read error.
bool ReadStandardInput(std::string& text);

enum class ReadStatus { kOk, kEnd, kFailed, kInterrupted };

struct ReadResult {
  ReadStatus status = ReadStatus::kEnd;
  std::size_t bytes = 0;  // with kOk, at least 1 and at most the room given
};

// Fills the start of `room` with the next bytes of standard input, as they
// are (binary on Windows too), waiting for at least one. Once CatchInterrupts
// was called, an interrupt ends the wait at once with kInterrupted. Any one
// thread may read, the same one each time.
ReadResult ReadStandardInputSome(std::span<std::uint8_t> room);

// Ends the wait of ReadStandardInputSome on another thread, and every read
// after, with kInterrupted: for a read no longer wanted.
void StopReadingStandardInput();

// From now on the first interrupt (a Ctrl-C, a closed terminal, a request
// to terminate) sets the flag returned, so the conversion stops cleanly, and
// a second one ends the process at once. Interrupts that were ignored when
// the tool started stay ignored, except a request to terminate. A reader
// that goes away is a failed write, not a kill.
const std::atomic<bool>* CatchInterrupts();

#ifdef _WIN32
// For tests: calls the console control handler as the system would with
// `event` (CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT, ...). Returns
// whether the handler took it.
bool DeliverConsoleEvent(unsigned long event);
#endif

}  // namespace stillreel::tool

#endif  // STILLREEL_TOOLS_STILLREEL_PLATFORM_H_
