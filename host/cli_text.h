// What dbfrecover says and which status it leaves: the exit statuses for
// the engine's return codes, the plain sentence for each, and the two ways
// of writing text out (JSON strings, plain lines without control bytes).
//
// Everything here is pure string work, so the host and its tests share it.
#ifndef KEST_HOST_CLI_TEXT_H_
#define KEST_HOST_CLI_TEXT_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace kest::host {

// Exit statuses of dbfrecover. Over several tables the worst one is left,
// in the order of `exitSeverity`.
enum ExitStatus : int {
  kExitOk = 0,            // every table was written
  kExitUsage = 2,         // bad command line; nothing was run
  kExitNothing = 3,       // -3: nothing to recover
  kExitUnreadable = 4,    // -4: the table cannot be read
  kExitCannotCreate = 5,  // -5: the result cannot be created
  kExitInternal = 6,      // -2 (or a code the host does not know)
  kExitNoEngine = 7,      // the engine library cannot be loaded
  kExitNotWritten = 8,    // -2: the result could not be written whole
  kExitUserBreak = 130,   // -1000: stopped by the user (128 + SIGINT)
};

// The exit status that one return code of FileRecover stands for.
int exitStatusForCode(int32_t code);

// Rank of an exit status: a larger rank is worse. A user break ranks above
// everything (the batch was cut short), then the failures that point at the
// engine or the machine (internal, cannot create) above those that point at
// one table (unreadable, nothing to recover).
int exitSeverity(int status);
int worseExitStatus(int a, int b);

// Short machine name of the outcome for --json: "written",
// "nothing-to-recover", "unreadable", "cannot-create", "internal-failure",
// "user-break".
const char* outcomeName(int32_t code);

// One plain sentence for a failure code (without the table's name).
std::string failureSentence(int32_t code);
// The same sentence with the engine's own words for the cause in place of
// the general ones ("Nothing to recover: the table is empty."); the plain
// sentence when `cause` is empty, and for a user break, which needs none.
std::string failureSentence(int32_t code, const std::string& cause);

// `text` as a quoted JSON string. Valid UTF-8 passes through; quotes,
// backslashes and control bytes are escaped; any byte that is not part of
// valid UTF-8 (paths and texts arrive in the system's 8-bit code page)
// becomes U+FFFD, so that every line stays valid JSON.
std::string jsonString(std::string_view text);

// `text` with every control character (C0, DEL, C1) and every byte that is
// not valid UTF-8 replaced by '?':
// file names and engine texts must not move the cursor or end a line.
std::string plainText(std::string_view text);

// At most `bytes` bytes of `text`, never ending inside a UTF-8 sequence
// (localized stage texts arrive as UTF-8, and a cut one would show as junk).
std::string cutToFit(const std::string& text, size_t bytes);

}  // namespace kest::host

#endif  // KEST_HOST_CLI_TEXT_H_
