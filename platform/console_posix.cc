#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <clocale>
#include <cstring>

#include "platform/console.h"

namespace kest::platform {

namespace {

int DescriptorOf(ConsoleStream stream) {
  return stream == ConsoleStream::kOutput ? STDOUT_FILENO : STDERR_FILENO;
}

// Written only by the handler, after installation.
volatile char* gBreakByte = nullptr;
const char* gAnnouncement = nullptr;
int gExitStatus = 1;
volatile sig_atomic_t gInterrupts = 0;

void OnInterrupt(int) {
  if (gInterrupts != 0) _exit(gExitStatus);
  gInterrupts = 1;
  *gBreakByte = 1;
  if (gAnnouncement != nullptr) {
    ssize_t written = write(STDERR_FILENO, gAnnouncement, std::strlen(gAnnouncement));
    (void)written;
  }
}

}  // namespace

bool IsTerminal(ConsoleStream stream) { return isatty(DescriptorOf(stream)) != 0; }

int TerminalColumns(ConsoleStream stream) {
  winsize size;
  if (ioctl(DescriptorOf(stream), TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

void InstallInterruptHandler(volatile char* breakByte, const char* announcement,
                             int exitStatus) {
  gBreakByte = breakByte;
  gAnnouncement = announcement;
  gExitStatus = exitStatus;
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
}

int InterruptCount() { return gInterrupts; }

void IgnoreBrokenPipe() { signal(SIGPIPE, SIG_IGN); }

void UseUsersCharacterSet() { std::setlocale(LC_CTYPE, ""); }

std::string NarrowToUtf8(const std::string& text) { return text; }

std::string ForConsole(ConsoleStream, const std::string& text) { return text; }

}  // namespace kest::platform
