// The tool's calls to the operating system, one implementation per system
// (platform_posix.cpp): which standard streams are terminals, standard input
// read whole, and the interrupts that ask a conversion to stop. The library
// has its own; the tool sees only the library's public API.
#ifndef STILLREEL_TOOLS_STILLREEL_PLATFORM_H_
#define STILLREEL_TOOLS_STILLREEL_PLATFORM_H_

#include <atomic>
#include <string>

namespace stillreel::tool {

enum class Stream { kInput, kOutput, kError };

bool IsTerminal(Stream stream);

// The C runtime's descriptor of standard output, as ConvertToFd takes it.
int StandardOutputDescriptor();

// Reads standard input to its end. Returns false on a read error.
bool ReadStandardInput(std::string& text);

// From now on the first interrupt (a Ctrl-C, a closed terminal, a request
// to terminate) sets the flag returned, so the conversion stops cleanly, and
// a second one ends the process at once. Interrupts that were ignored when
// the tool started stay ignored, except a request to terminate. A reader
// that goes away is a failed write, not a kill.
const std::atomic<bool>* CatchInterrupts();

}  // namespace stillreel::tool

#endif  // STILLREEL_TOOLS_STILLREEL_PLATFORM_H_
