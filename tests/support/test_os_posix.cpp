#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <string_view>
#include <system_error>

#include "support/test_os.h"

namespace stillreel::test {

bool InCi() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::string_view(ci) == "true";
}

const char* const kNullDevice = "/dev/null";

int CreateForWriting(const std::filesystem::path& path) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
}

void CloseDescriptor(int descriptor) {
  if (descriptor >= 0) ::close(descriptor);
}

FullDisk::FullDisk() : descriptor_(::open("/dev/full", O_WRONLY | O_CLOEXEC)) {}

FullDisk::~FullDisk() {
  CloseDescriptor(descriptor_);
}

void RemoveTree(const std::filesystem::path& path) {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

std::uint64_t AllocatedBytes(const std::filesystem::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    throw std::system_error(errno, std::generic_category(), "stat " + path.string());
  }
  return static_cast<std::uint64_t>(info.st_blocks) * 512;
}

const int kWatchdogStatus = -SIGALRM;

ChildOutcome Isolated(const std::function<std::string()>& body, unsigned watchdog) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return {-1000, ""};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pipeFds[0]);
    ::alarm(watchdog);
    const std::string out = body();
    std::size_t done = 0;
    while (done < out.size()) {
      const ssize_t put = ::write(pipeFds[1], out.data() + done, out.size() - done);
      if (put <= 0) ::_exit(99);
      done += static_cast<std::size_t>(put);
    }
    ::_exit(0);
  }
  ::close(pipeFds[1]);
  ChildOutcome outcome;
  char buffer[4096];
  ssize_t got;
  while ((got = ::read(pipeFds[0], buffer, sizeof buffer)) > 0)
    outcome.out.append(buffer, static_cast<std::size_t>(got));
  ::close(pipeFds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  return outcome;
}

// The limit holds until the child ends: a lowered hard limit cannot be raised again.
WriteLimit::WriteLimit(std::uint64_t bytes) {
  std::signal(SIGXFSZ, SIG_IGN);
  const rlimit limit{static_cast<rlim_t>(bytes), static_cast<rlim_t>(bytes)};
  ok_ = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

WriteLimit::~WriteLimit() = default;

#if STILLREEL_TEST_CAPS_ADDRESS_SPACE
bool CapAddressSpace(std::uint64_t spare) {
  long pages = 0;
  std::ifstream("/proc/self/statm") >> pages;
  const rlim_t limit = static_cast<rlim_t>(pages) * 4096 + static_cast<rlim_t>(spare);
  const rlimit cap{limit, limit};
  return ::setrlimit(RLIMIT_AS, &cap) == 0;
}
#endif

}  // namespace stillreel::test
