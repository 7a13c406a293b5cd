#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <iterator>

#include "platform.h"

namespace stillreel::tool {
namespace {

std::atomic<bool> gInterrupted{false};
std::atomic<bool> gStopReading{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

// The signals that interrupt a conversion; gCaught[i] says whether
// kInterrupts[i] is caught.
constexpr int kInterrupts[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT};
volatile sig_atomic_t gCaught[std::size(kInterrupts)] = {};

// The handler writes a byte here, so that a wait for standard input ends
// even when the interrupt came just before the wait began.
int gWake[2] = {-1, -1};

extern "C" void OnInterrupt(int) {
  gInterrupted.store(true);
  if (gWake[1] >= 0) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t put = write(gWake[1], &byte, 1);
    errno = saved;
  }
  // Whichever interrupt comes next takes its default action. sigaction may
  // be called in a handler; the others are blocked until it returns.
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  for (std::size_t i = 0; i < std::size(kInterrupts); ++i) {
    if (gCaught[i]) sigaction(kInterrupts[i], &fallback, nullptr);
  }
}

int Descriptor(Stream stream) {
  switch (stream) {
    case Stream::kInput:
      return STDIN_FILENO;
    case Stream::kOutput:
      return STDOUT_FILENO;
    default:
      return STDERR_FILENO;
  }
}

}  // namespace

std::vector<std::string> Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

std::filesystem::path PathOf(const std::string& name) {
  return std::filesystem::path(name);
}

bool IsTerminal(Stream stream) {
  return isatty(Descriptor(stream)) == 1;
}

int StandardOutputDescriptor() {
  return STDOUT_FILENO;
}

bool ReadStandardInput(std::string& text) {
  char buffer[65536];
  for (;;) {
    const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
    if (got == 0) return true;
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    text.append(buffer, static_cast<std::size_t>(got));
  }
}

ReadResult ReadStandardInputSome(std::span<std::uint8_t> room) {
#ifdef F_SETPIPE_SZ
  // A pipe of 1 MiB, not 64 KiB, hands a 1080p picture over in a handful of
  // reads rather than a hundred, each a switch between writer and reader.
  // It is the most an unprivileged process may ask for by default; where
  // that is less, or standard input is no pipe, the call fails and changes
  // nothing.
  static const bool widened = fcntl(STDIN_FILENO, F_SETPIPE_SZ, 1 << 20) > 0;
  static_cast<void>(widened);
#endif
  for (;;) {
    if (gInterrupted.load() || gStopReading.load()) return {ReadStatus::kInterrupted, 0};
    if (gWake[0] >= 0) {
      pollfd waits[2] = {{STDIN_FILENO, POLLIN, 0}, {gWake[0], POLLIN, 0}};
      if (poll(waits, 2, -1) < 0 && errno != EINTR) return {ReadStatus::kFailed, 0};
      if (waits[1].revents != 0 || gInterrupted.load() || gStopReading.load()) {
        return {ReadStatus::kInterrupted, 0};
      }
      if (waits[0].revents == 0) continue;
    }
    const ssize_t got = read(STDIN_FILENO, room.data(), room.size());
    if (got > 0) return {ReadStatus::kOk, static_cast<std::size_t>(got)};
    if (got == 0) return {ReadStatus::kEnd, 0};
    // A descriptor left non-blocking by whoever made it is waited on by poll.
    if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return {ReadStatus::kFailed, 0};
  }
}

void StopReadingStandardInput() {
  gStopReading.store(true);
  if (gWake[1] >= 0) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t put = write(gWake[1], &byte, 1);
  }
}

const std::atomic<bool>* CatchInterrupts() {
  if (gWake[0] < 0 && pipe(gWake) == 0) {
    for (const int fd : gWake) {
      fcntl(fd, F_SETFD, FD_CLOEXEC);
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
  }
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  for (const int number : kInterrupts)
    sigaddset(&action.sa_mask, number);
  action.sa_flags = SA_RESTART | SA_RESETHAND;
  for (std::size_t i = 0; i < std::size(kInterrupts); ++i) {
    // nohup and the background jobs of a shell without job control ignore
    // these, and so must the tool; a request to terminate always stops it.
    struct sigaction before {};
    if (kInterrupts[i] != SIGTERM && sigaction(kInterrupts[i], nullptr, &before) == 0 &&
        before.sa_handler == SIG_IGN) {
      continue;
    }
    gCaught[i] = 1;
    sigaction(kInterrupts[i], &action, nullptr);
  }
  signal(SIGPIPE, SIG_IGN);
  return &gInterrupted;
}

}  // namespace stillreel::tool
