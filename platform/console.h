// The console as a command-line program meets it: whether an output stream
// is a terminal and how wide it is, the user's interrupt key, a reader that
// goes away, and the character set the user reads in.
//
// One implementation per platform is chosen at build time:
// console_posix.cc (signals, the terminal's ioctl, the C locale) or
// console_windows.cc (the console's control handler, mode and screen
// buffer, its code page).
//
// Everything here is process-wide and meant to be set up once, from the main
// thread, before the work begins. The interrupt handler may run on another
// thread (Windows) or inside a signal (POSIX): it touches only the byte it
// was handed and the standard error stream.
#ifndef KEST_PLATFORM_CONSOLE_H_
#define KEST_PLATFORM_CONSOLE_H_

#include <string>

namespace kest::platform {

enum class ConsoleStream { kOutput, kError };

// True when `stream` is an interactive terminal that understands the
// cursor controls "\r" and "ESC [ K"; false when it is redirected to a file
// or a pipe (or, on Windows, a console too old for those controls).
bool IsTerminal(ConsoleStream stream);

// The width of the terminal behind `stream` in columns; 0 when it does not
// say or `stream` is no terminal.
int TerminalColumns(ConsoleStream stream);

// From now on the first interrupt (Ctrl-C) sets *breakByte to 1 and, when
// `announcement` is not null, writes it to standard error; the second ends
// the process at once with `exitStatus`, without waiting for anyone to look
// at the byte. `breakByte` and `announcement` must outlive the process.
void InstallInterruptHandler(volatile char* breakByte, const char* announcement,
                             int exitStatus);

// The number of interrupts seen since InstallInterruptHandler (0, 1; the
// second never returns here).
int InterruptCount();

// A reader of the output that goes away (`program | head`) makes later
// writes fail instead of ending the process.
void IgnoreBrokenPipe();

// Makes the process's narrow text (texts a library converts when it is
// loaded) the user's character set instead of the C locale's ASCII: the
// locale's on POSIX, the ANSI code page on Windows. What is written to a
// console goes through ForConsole as well.
void UseUsersCharacterSet();

// The process's narrow text (names on the command line and on disk, texts of
// the engine) in UTF-8, the form the host filters and quotes. Unchanged on
// POSIX, where the user's character set is taken to be UTF-8 already;
// converted from the ANSI code page on Windows.
std::string NarrowToUtf8(const std::string& text);

// UTF-8 `text` in the form the console behind `stream` shows: converted to
// the console's code page on Windows (characters it lacks become '?');
// unchanged on POSIX and for output that is redirected.
std::string ForConsole(ConsoleStream stream, const std::string& text);

}  // namespace kest::platform

#endif  // KEST_PLATFORM_CONSOLE_H_
