#include <windows.h>

#include <clocale>
#include <cstdlib>
#include <cstring>

#include "platform/console.h"
#include "platform/wide_text_windows.h"

namespace kest::platform {

namespace {

HANDLE HandleOf(ConsoleStream stream) {
  return ::GetStdHandle(stream == ConsoleStream::kOutput ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

// Set before the handler is installed; the handler runs on a thread of its
// own that the system starts for each event.
volatile char* gBreakByte = nullptr;
const char* gAnnouncement = nullptr;
int gExitStatus = 1;
volatile LONG gInterrupts = 0;

BOOL WINAPI OnControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  if (::InterlockedExchange(&gInterrupts, 1) != 0) ::ExitProcess(static_cast<UINT>(gExitStatus));
  *gBreakByte = 1;
  if (gAnnouncement != nullptr) {
    DWORD written = 0;
    ::WriteFile(HandleOf(ConsoleStream::kError), gAnnouncement,
                static_cast<DWORD>(std::strlen(gAnnouncement)), &written, nullptr);
  }
  return TRUE;
}

using internal::Widen;

std::string Narrow(UINT codePage, const std::wstring& wide) {
  if (wide.empty()) return std::string();
  // UTF-8 takes no replacement character and always holds everything.
  const char* unknown = codePage == CP_UTF8 ? nullptr : "?";
  int bytes = ::WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()),
                                    nullptr, 0, unknown, nullptr);
  if (bytes <= 0) return std::string();
  std::string narrow(static_cast<size_t>(bytes), '\0');
  ::WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), narrow.data(),
                        bytes, unknown, nullptr);
  return narrow;
}

bool IsConsole(ConsoleStream stream) {
  DWORD mode = 0;
  return ::GetConsoleMode(HandleOf(stream), &mode) != 0;
}

}  // namespace

bool IsTerminal(ConsoleStream stream) {
  HANDLE handle = HandleOf(stream);
  DWORD mode = 0;
  if (!::GetConsoleMode(handle, &mode)) return false;
  if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return true;
  // Consoles before Windows 10 refuse the cursor controls; they get plain
  // lines.
  return ::SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

int TerminalColumns(ConsoleStream stream) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!::GetConsoleScreenBufferInfo(HandleOf(stream), &info)) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
}

void InstallInterruptHandler(volatile char* breakByte, const char* announcement,
                             int exitStatus) {
  gBreakByte = breakByte;
  gAnnouncement = announcement;
  gExitStatus = exitStatus;
  ::SetConsoleCtrlHandler(OnControl, TRUE);
}

int InterruptCount() { return static_cast<int>(gInterrupts); }

// Windows has no signal for a closed pipe: the write fails.
void IgnoreBrokenPipe() {}

void UseUsersCharacterSet() {
  // The runtime's narrow text follows the ANSI code page, as the system's
  // own narrow calls do.
  std::setlocale(LC_CTYPE, "");
}

std::string NarrowToUtf8(const std::string& text) { return Narrow(CP_UTF8, Widen(CP_ACP, text)); }

std::string ForConsole(ConsoleStream stream, const std::string& text) {
  if (!IsConsole(stream)) return text;
  return Narrow(::GetConsoleOutputCP(), Widen(CP_UTF8, text));
}

}  // namespace kest::platform
