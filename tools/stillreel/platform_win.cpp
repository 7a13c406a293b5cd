#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform.h"

namespace stillreel::tool {
namespace {

std::atomic<bool> gInterrupted{false};
UINT gOutputCodePage = 0;

// The thread that reads standard input, and whether it is in a read: a read
// of a pipe waits in the system until the console handler, on a thread of
// its own, cancels it.
std::atomic<HANDLE> gReader{nullptr};
std::atomic<bool> gReading{false};
std::atomic<bool> gStopReading{false};

// Ends the read standard input waits in. The reader checks the flag before
// it reads, so a cancel that comes before the read began is retried until
// the read has begun and been cancelled, or has ended.
void WakeReader() {
  const HANDLE reader = gReader.load();
  for (int tries = 0; tries < 100 && reader != nullptr && gReading.load(); ++tries) {
    if (CancelSynchronousIo(reader)) return;
    Sleep(10);
  }
}

// Ctrl-C, Ctrl-Break and a closed console (or a logoff or shutdown) ask the
// conversion to stop; a second Ctrl-C or Ctrl-Break ends the process at once
// (the default handler, reached by returning FALSE). After a close the
// system ends the process when the handler returns, so it waits for the
// conversion to remove its file; the system allows it a few seconds.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  const bool again = gInterrupted.exchange(true);
  WakeReader();
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      return again ? FALSE : TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      Sleep(4000);
      return TRUE;
    default:
      return FALSE;
  }
}

std::string Utf8(const wchar_t* text) {
  const int needed = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (needed <= 1) return std::string();
  std::string out(static_cast<std::size_t>(needed), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), needed, nullptr, nullptr);
  out.pop_back();
  return out;
}

std::wstring Wide(const std::string& text, UINT codePage, DWORD flags) {
  if (text.empty()) return std::wstring();
  const int length = static_cast<int>(text.size());
  const int needed = MultiByteToWideChar(codePage, flags, text.data(), length, nullptr, 0);
  if (needed <= 0) return std::wstring();
  std::wstring out(static_cast<std::size_t>(needed), L'\0');
  MultiByteToWideChar(codePage, flags, text.data(), length, out.data(), needed);
  return out;
}

void RestoreCodePage() {
  if (gOutputCodePage != 0) SetConsoleOutputCP(gOutputCodePage);
}

int Descriptor(Stream stream) {
  switch (stream) {
    case Stream::kInput:
      return 0;
    case Stream::kOutput:
      return 1;
    default:
      return 2;
  }
}

}  // namespace

std::vector<std::string> Arguments(int argc, char** argv) {
  // The tool prints UTF-8 and ends lines with "\n": a console shows it once
  // told so, and files and pipes get the bytes the tool prints elsewhere.
  _setmode(1, _O_BINARY);
  _setmode(2, _O_BINARY);
  const UINT before = GetConsoleOutputCP();
  if (before != 0 && before != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
    gOutputCodePage = before;
    std::atexit(RestoreCodePage);
  }
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!wide) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> arguments;
  for (int i = 0; i < count; ++i)
    arguments.push_back(Utf8(wide[i]));
  LocalFree(wide);
  return arguments;
}

std::filesystem::path PathOf(const std::string& name) {
  std::wstring wide = Wide(name, CP_UTF8, MB_ERR_INVALID_CHARS);
  if (wide.empty() && !name.empty()) wide = Wide(name, CP_ACP, 0);
  return std::filesystem::path(wide);
}

bool IsTerminal(Stream stream) {
  return _isatty(Descriptor(stream)) != 0;
}

int StandardOutputDescriptor() {
  // The AVI goes out as it is: no "\n" becomes "\r\n".
  std::fflush(stdout);
  _setmode(1, _O_BINARY);
  return 1;
}

bool ReadStandardInput(std::string& text) {
  _setmode(0, _O_BINARY);
  char buffer[65536];
  for (;;) {
    const int got = _read(0, buffer, sizeof buffer);
    if (got == 0) return true;
    if (got < 0) return false;
    text.append(buffer, static_cast<std::size_t>(got));
  }
}

ReadResult ReadStandardInputSome(std::span<std::uint8_t> room) {
  // The handle's own reads: no C runtime between, so no text mode either.
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  const DWORD size = static_cast<DWORD>(std::min<std::size_t>(room.size(), 1u << 30));
  if (gReader.load() == nullptr) {
    HANDLE self = nullptr;
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    gReader.store(self);
  }
  for (;;) {
    gReading.store(true);
    if (gInterrupted.load() || gStopReading.load()) {
      gReading.store(false);
      return {ReadStatus::kInterrupted, 0};
    }
    DWORD got = 0;
    const BOOL read = ReadFile(input, room.data(), size, &got, nullptr);
    const DWORD error = read ? ERROR_SUCCESS : GetLastError();
    gReading.store(false);
    if (read) return got > 0 ? ReadResult{ReadStatus::kOk, got} : ReadResult{ReadStatus::kEnd, 0};
    // A pipe whose writer closed it ends the input; so does a file's end.
    if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF) return {ReadStatus::kEnd, 0};
    if (error != ERROR_OPERATION_ABORTED) return {ReadStatus::kFailed, 0};
    if (gInterrupted.load() || gStopReading.load()) return {ReadStatus::kInterrupted, 0};
  }
}

void StopReadingStandardInput() {
  gStopReading.store(true);
  WakeReader();
}

const std::atomic<bool>* CatchInterrupts() {
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
  return &gInterrupted;
}

bool DeliverConsoleEvent(unsigned long event) {
  return OnConsoleEvent(event) != FALSE;
}

}  // namespace stillreel::tool
