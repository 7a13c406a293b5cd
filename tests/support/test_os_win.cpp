#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <string_view>
#include <system_error>

#include "platform/win/win.h"
#include "support/test_os.h"

namespace stillreel::test {

bool InCi() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::string_view(ci) == "true";
}

const char* const kNullDevice = "NUL";

int CreateForWriting(const std::filesystem::path& path) {
  return _wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT,
                _S_IREAD | _S_IWRITE);
}

void CloseDescriptor(int descriptor) {
  if (descriptor >= 0) _close(descriptor);
}

FullDisk::FullDisk() {
  static std::atomic<unsigned> count{0};
  scratch_ = std::filesystem::temp_directory_path() /
             ("stillreel-full-" + std::to_string(GetCurrentProcessId()) + "-" +
              std::to_string(count++) + ".tmp");
  descriptor_ = CreateForWriting(scratch_);
  platform::win::FailWritesAfter(0);
}

FullDisk::~FullDisk() {
  platform::win::FailWritesAfter(-1);
  CloseDescriptor(descriptor_);
  std::error_code ignored;
  std::filesystem::remove(scratch_, ignored);
}

namespace {

// By the system's calls on the extended path: std::filesystem cannot list a
// folder whose path is longer than 260 characters.
void RemoveExtended(const std::wstring& folder) {
  WIN32_FIND_DATAW entry;
  HANDLE found = FindFirstFileW((folder + L"\\*").c_str(), &entry);
  if (found != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring inner = folder + L"\\" + name;
      if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        SetFileAttributesW(inner.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(inner.c_str());
      } else if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        RemoveDirectoryW(inner.c_str());  // a link: not followed
      } else {
        RemoveExtended(inner);
      }
    } while (FindNextFileW(found, &entry));
    FindClose(found);
  }
  RemoveDirectoryW(folder.c_str());
}

}  // namespace

void RemoveTree(const std::filesystem::path& path) {
  RemoveExtended(platform::win::SystemPath(path.native()));
}

std::uint64_t AllocatedBytes(const std::filesystem::path& path) {
  HANDLE handle = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  FILE_STANDARD_INFO info{};
  const bool got = handle != INVALID_HANDLE_VALUE &&
                   GetFileInformationByHandleEx(handle, FileStandardInfo, &info, sizeof info);
  const DWORD error = GetLastError();
  if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  if (!got) {
    throw std::system_error(static_cast<int>(error), std::system_category(),
                            "the allocation size of " + path.string());
  }
  return static_cast<std::uint64_t>(info.AllocationSize.QuadPart);
}

// Never a status of Isolated here: nothing watches the body.
const int kWatchdogStatus = -1001;

ChildOutcome Isolated(const std::function<std::string()>& body, unsigned) {
  return ChildOutcome{0, body()};
}

WriteLimit::WriteLimit(std::uint64_t bytes) : ok_(true) {
  platform::win::FailWritesAfter(static_cast<std::int64_t>(bytes));
}

WriteLimit::~WriteLimit() {
  platform::win::FailWritesAfter(-1);
}

}  // namespace stillreel::test
