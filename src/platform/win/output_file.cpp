#include "platform/output_file.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <random>

#include "platform/win/win.h"

namespace stillreel::platform {
namespace {

std::atomic<bool> gNamedOnly{false};

File FileOf(HANDLE handle) {
  return handle == INVALID_HANDLE_VALUE ? File{} : File{reinterpret_cast<std::intptr_t>(handle)};
}

std::wstring FolderOf(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L'\\');
  return slash == std::wstring::npos ? L"." : path.substr(0, slash);
}

// Marks the open temporary file to be deleted when its last handle closes,
// or clears that mark again; a killed process then leaves nothing behind.
bool MarkForDeletion(HANDLE handle, bool deleted) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = deleted ? TRUE : FALSE;
  return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                    sizeof disposition) != 0;
}

// A new ".stillreel-*.tmp" file in `folder`; `name` is set to its name.
HANDLE CreateTemporary(const std::wstring& folder, std::wstring& name) {
  static std::atomic<unsigned> counter{0};
  std::random_device entropy;
  for (int attempt = 0; attempt < 64; ++attempt) {
    wchar_t suffix[32];
    std::swprintf(suffix, sizeof suffix / sizeof suffix[0], L"%08x%04x", entropy(),
                  counter.fetch_add(1) & 0xFFFF);
    name = folder + L"\\.stillreel-" + suffix + L".tmp";
    HANDLE handle =
        CreateFileW(name.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                    nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) return handle;
    if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  name.clear();
  return INVALID_HANDLE_VALUE;
}

// The new file takes the old one's place in one rename, replacing it if it
// exists. (ReplaceFileW would keep the old file's attributes and security,
// but where it fails halfway it can leave the old file under another name.)
bool MoveIntoPlace(const std::wstring& temporary, const std::wstring& target) {
  return MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

}  // namespace

void UseNamedTemporaryFiles(bool named) {
  gNamedOnly = named;
}

OutputFile::~OutputFile() {
  Abandon();
}

Result OutputFile::Open(const std::filesystem::path& target) {
  Abandon();
  const std::wstring& given = target.native();
  if (given.empty() || given.find(L'\0') != std::wstring::npos) return Result::kCannotCreateOutput;
  // Device names stand for the device in every folder and with any
  // extension: the null device is written as it is, the others never.
  switch (win::DeviceOf(given)) {
    case win::Device::kNul:
      file_ = FileOf(CreateFileW(L"\\\\.\\NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
      return file_.valid() ? Result::kOk : Result::kCannotCreateOutput;
    case win::Device::kOther:
      return Result::kCannotCreateOutput;
    case win::Device::kNone:
      break;
  }
  const std::wstring path = win::SystemPath(given);
  const DWORD attributes = GetFileAttributesW(path.c_str());
  const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
  if (exists && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return Result::kCannotCreateOutput;
  if (path.starts_with(L"\\\\.\\")) {  // a pipe or a device: written as it is
    file_ = FileOf(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file_.valid() ? Result::kOk : Result::kCannotCreateOutput;
  }
  // The caller must be able to write the file itself, and no other program
  // may hold it in a way that would make the final replace fail.
  if (exists) {
    HANDLE existing = CreateFileW(path.c_str(), GENERIC_WRITE | DELETE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (existing == INVALID_HANDLE_VALUE) return Result::kCannotCreateOutput;
    CloseHandle(existing);
  }
  std::wstring temporary;
  HANDLE handle = CreateTemporary(FolderOf(path), temporary);
  if (handle == INVALID_HANDLE_VALUE) {  // the folder takes no new files: written in place
    file_ = FileOf(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                               exists ? TRUNCATE_EXISTING : CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                               nullptr));
    return file_.valid() ? Result::kOk : Result::kCannotCreateOutput;
  }
  // Without the mark a killed run leaves the named file, as elsewhere.
  if (!gNamedOnly) MarkForDeletion(handle, true);
  file_ = FileOf(handle);
  target_ = path;
  temporary_ = temporary;
  return Result::kOk;
}

void OutputFile::Reserve(std::uint64_t bytes) {
  if (!file_.valid() || temporary_.empty() || bytes == 0 ||
      bytes > static_cast<std::uint64_t>(INT64_MAX)) {
    return;
  }
  // Room only, the length stays; failures are the writes' to report.
  FILE_ALLOCATION_INFO room{};
  room.AllocationSize.QuadPart = static_cast<LONGLONG>(bytes);
  SetFileInformationByHandle(win::Handle(file_), FileAllocationInfo, &room, sizeof room);
}

void OutputFile::Lend(File file) {
  Abandon();
  file_ = file;
  owned_ = false;
}

Result OutputFile::Commit() {
  if (!file_.valid()) return Result::kWriteFailed;
  if (!owned_) {
    file_ = File{};
    return Result::kOk;
  }
  if (temporary_.empty()) {
    const bool closed = CloseHandle(win::Handle(file_)) != 0;
    file_ = File{};
    return closed ? Result::kOk : Result::kWriteFailed;
  }
  HANDLE handle = win::Handle(file_);
  const bool kept = gNamedOnly || MarkForDeletion(handle, false);
  const bool closed = CloseHandle(handle) != 0;
  file_ = File{};
  const bool placed = kept && closed && MoveIntoPlace(temporary_, target_);
  if (placed) temporary_.clear();
  Abandon();
  return placed ? Result::kOk : Result::kWriteFailed;
}

void OutputFile::Abandon() {
  if (file_.valid() && owned_) Close(file_);  // a marked file goes with its handle
  file_ = File{};
  owned_ = true;
  if (!temporary_.empty()) DeleteFileW(temporary_.c_str());
  temporary_.clear();
  target_.clear();
}

}  // namespace stillreel::platform
