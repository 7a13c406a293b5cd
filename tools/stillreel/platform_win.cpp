#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>

#include "platform.h"

namespace stillreel::tool {
namespace {

std::atomic<bool> gInterrupted{false};
UINT gOutputCodePage = 0;

// Ctrl-C, Ctrl-Break and a closed console (or a logoff or shutdown) ask the
// conversion to stop; a second Ctrl-C or Ctrl-Break ends the process at once
// (the default handler, reached by returning FALSE). After a close the
// system ends the process when the handler returns, so it waits for the
// conversion to remove its file; the system allows it a few seconds.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  const bool again = gInterrupted.exchange(true);
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

const std::atomic<bool>* CatchInterrupts() {
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
  return &gInterrupted;
}

bool DeliverConsoleEvent(unsigned long event) {
  return OnConsoleEvent(event) != FALSE;
}

}  // namespace stillreel::tool
