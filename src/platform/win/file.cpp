#include "platform/file.h"

#include <windows.h>

#include <io.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cwctype>
#include <limits>
#include <string>

#include "platform/win/win.h"

namespace stillreel::platform {
namespace win {
namespace {

std::atomic<std::int64_t> gWritesLeft{-1};

// ReadFile and WriteFile take 32-bit counts.
constexpr std::size_t kMostAtOnce = std::size_t{1} << 30;

std::wstring Converted(UINT codePage, DWORD flags, std::string_view bytes) {
  if (bytes.empty()) return std::wstring();
  const int length = static_cast<int>(std::min<std::size_t>(bytes.size(), INT_MAX));
  const int needed = MultiByteToWideChar(codePage, flags, bytes.data(), length, nullptr, 0);
  if (needed <= 0) return std::wstring();
  std::wstring wide(static_cast<std::size_t>(needed), L'\0');
  MultiByteToWideChar(codePage, flags, bytes.data(), length, wide.data(), needed);
  return wide;
}

bool IsSeparator(wchar_t c) {
  return c == L'\\' || c == L'/';
}

bool IsPrefixed(std::wstring_view path) {
  return path.size() >= 4 && IsSeparator(path[0]) && IsSeparator(path[1]) &&
         (path[2] == L'?' || path[2] == L'.') && IsSeparator(path[3]);
}

}  // namespace

bool IsUtf8(std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    int more;
    char32_t c;
    if (lead >= 0xC2 && lead <= 0xDF) {
      more = 1;
      c = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      more = 2;
      c = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      more = 3;
      c = lead & 0x07;
    } else {
      return false;
    }
    if (bytes.size() - i <= static_cast<std::size_t>(more)) return false;
    for (int k = 1; k <= more; ++k) {
      const auto next = static_cast<unsigned char>(bytes[i + static_cast<std::size_t>(k)]);
      if ((next & 0xC0) != 0x80) return false;
      c = (c << 6) | (next & 0x3F);
    }
    const char32_t least = more == 2 ? 0x800 : more == 3 ? 0x10000 : 0x80;
    if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    i += static_cast<std::size_t>(more) + 1;
  }
  return true;
}

std::wstring Widen(std::string_view bytes) {
  return IsUtf8(bytes) ? Converted(CP_UTF8, 0, bytes) : Converted(CP_ACP, 0, bytes);
}

std::wstring ExtendedPath(std::wstring_view full) {
  if (IsPrefixed(full)) return std::wstring(full);
  std::wstring out;
  std::wstring_view rest;
  if (full.size() >= 3 && std::iswalpha(full[0]) && full[1] == L':' && IsSeparator(full[2])) {
    out = L"\\\\?\\";
    rest = full;
  } else if (full.size() >= 3 && IsSeparator(full[0]) && IsSeparator(full[1]) &&
             !IsSeparator(full[2])) {
    out = L"\\\\?\\UNC\\";
    rest = full.substr(2);
  } else {
    return std::wstring(full);
  }
  for (const wchar_t c : rest)
    out += c == L'/' ? L'\\' : c;
  return out;
}

std::wstring SystemPath(const std::wstring& path) {
  if (IsPrefixed(path)) return path;
  // Made full first, since "\\?\" paths are taken literally: ".", ".." and a
  // drive's current folder are resolved here.
  DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  for (int attempt = 0; size != 0 && attempt < 3; ++attempt) {
    std::wstring full(size, L'\0');
    const DWORD got = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
    if (got == 0) break;
    if (got < size) {
      full.resize(got);
      return ExtendedPath(full);
    }
    size = got;  // the current folder changed meanwhile
  }
  return path;
}

Device DeviceOf(std::wstring_view path) {
  const std::size_t slash = path.find_last_of(L"\\/:");
  std::wstring_view name = slash == std::wstring_view::npos ? path : path.substr(slash + 1);
  // The system ignores an extension and spaces before it on these names.
  name = name.substr(0, name.find(L'.'));
  while (!name.empty() && name.back() == L' ')
    name.remove_suffix(1);
  std::wstring upper;
  for (const wchar_t c : name)
    upper += static_cast<wchar_t>(std::towupper(c));
  if (upper == L"NUL") return Device::kNul;
  if (upper == L"CON" || upper == L"PRN" || upper == L"AUX") return Device::kOther;
  if (upper.size() == 4 && (upper.starts_with(L"COM") || upper.starts_with(L"LPT")) &&
      upper[3] >= L'1' && upper[3] <= L'9') {
    return Device::kOther;
  }
  return Device::kNone;
}

void FailWritesAfter(std::int64_t bytes) {
  gWritesLeft = bytes;
}

}  // namespace win

File FromDescriptor(int descriptor) {
  if (descriptor < 0) return File{};
  // The descriptor is one of the C runtime this library is linked with.
  const intptr_t handle = _get_osfhandle(descriptor);
  if (handle == -1 || handle == -2) return File{};
  return File{handle};
}

std::filesystem::path PathOf(std::string_view name) {
  return std::filesystem::path(win::Widen(name));
}

Opened OpenForReading(const std::filesystem::path& name, Accept accept, File& file) {
  const std::wstring& path = name.native();
  if (path.find(L'\0') != std::wstring::npos) return Opened::kCannotOpen;
  const win::Device device = win::DeviceOf(path);
  if (device == win::Device::kOther && accept == Accept::kRegularFile) return Opened::kNotAFile;
  const std::wstring system = device == win::Device::kNone ? win::SystemPath(path) : path;
  // Folders open only with backup semantics, so that they are told apart
  // from names that cannot be opened.
  const DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS |
                      (accept == Accept::kRegularFile ? FILE_FLAG_SEQUENTIAL_SCAN : 0);
  HANDLE handle = CreateFileW(system.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return Opened::kCannotOpen;
  BY_HANDLE_FILE_INFORMATION info;
  const bool disk = GetFileType(handle) == FILE_TYPE_DISK;
  const bool folder = disk && GetFileInformationByHandle(handle, &info) &&
                      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (folder || (accept == Accept::kRegularFile && !disk)) {
    CloseHandle(handle);
    return Opened::kNotAFile;
  }
  file = File{reinterpret_cast<std::intptr_t>(handle)};
  return Opened::kOk;
}

std::ptrdiff_t Read(File file, void* buffer, std::size_t n) {
  DWORD got = 0;
  if (ReadFile(win::Handle(file), buffer, static_cast<DWORD>(std::min(n, win::kMostAtOnce)), &got,
               nullptr)) {
    return static_cast<std::ptrdiff_t>(got);
  }
  // A pipe whose writer has gone has ended.
  const DWORD error = GetLastError();
  return error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF ? 0 : -1;
}

std::ptrdiff_t ReadAt(File file, void* buffer, std::size_t n, std::uint64_t offset) {
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<LONGLONG>::max()) - n) return -1;
  HANDLE handle = win::Handle(file);
  // A read at an offset moves a synchronous handle's position: it is put back.
  LARGE_INTEGER zero{}, position{};
  if (!SetFilePointerEx(handle, zero, &position, FILE_CURRENT)) return -1;
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD got = 0;
  const BOOL read =
      ReadFile(handle, buffer, static_cast<DWORD>(std::min(n, win::kMostAtOnce)), &got, &at);
  const DWORD error = GetLastError();
  SetFilePointerEx(handle, position, nullptr, FILE_BEGIN);
  if (read) return static_cast<std::ptrdiff_t>(got);
  return error == ERROR_HANDLE_EOF ? 0 : -1;
}

int WriteAll(File file, const void* data, std::size_t n) {
  // The invalid handle's value is also the process's own pseudo-handle, never written to.
  if (n > 0 && !file.valid()) return EBADF;
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (n > 0) {
    DWORD chunk = static_cast<DWORD>(std::min(n, win::kMostAtOnce));
    const std::int64_t left = win::gWritesLeft.load();
    if (left >= 0) {
      if (left == 0) return ENOSPC;
      chunk = static_cast<DWORD>(std::min<std::int64_t>(chunk, left));
      win::gWritesLeft -= chunk;
    }
    DWORD done = 0;
    if (!WriteFile(win::Handle(file), bytes, chunk, &done, nullptr)) {
      switch (GetLastError()) {
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
          return ENOSPC;
        case ERROR_BROKEN_PIPE:
        case ERROR_NO_DATA:
          return EPIPE;
        default:
          return EIO;
      }
    }
    if (done == 0) return EIO;
    bytes += done;
    n -= done;
  }
  return 0;
}

std::int64_t Tell(File file) {
  HANDLE handle = win::Handle(file);
  // A pipe or a console "seeks" without failing: only a disk file can.
  LARGE_INTEGER zero{}, position{};
  if (GetFileType(handle) != FILE_TYPE_DISK ||
      !SetFilePointerEx(handle, zero, &position, FILE_CURRENT)) {
    return -1;
  }
  return static_cast<std::int64_t>(position.QuadPart);
}

bool Seek(File file, std::uint64_t offset) {
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<LONGLONG>::max())) return false;
  LARGE_INTEGER at{};
  at.QuadPart = static_cast<LONGLONG>(offset);
  return SetFilePointerEx(win::Handle(file), at, nullptr, FILE_BEGIN) != 0;
}

void Close(File file) {
  if (file.valid()) CloseHandle(win::Handle(file));
}

}  // namespace stillreel::platform
