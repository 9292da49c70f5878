// The engine's one diagnostic log.
//
// Every part of the engine reports through the process-wide Logger (Log()):
// one line per message, "%6s %s | %s %s\n" with the level name, a time
// stamp at most once in two seconds, the message and, on ASSERT lines, the
// system's text for the calling thread's last error code. Nothing reaches
// the disk until a log file is set and logging is enabled; the log is
// opened through Env, and every line is handed to the system as one write
// the moment it is made, so the log is complete up to its last line even if
// the host dies.
//
// The Logger owns the temp workspace (temp_workspace.h) and clears it after
// closing its log, so the lines of that clean-up are not written.
//
// Thread safety: the logging operations may be called from any thread; a
// recursive lock serialises the writing of lines. SetLogFile, Enable,
// Disable and the workspace operations are called by the recovery driver
// only, while no recovery work runs.
#ifndef KEST_COMMON_LOGGER_LOGGER_H_
#define KEST_COMMON_LOGGER_LOGGER_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "Common/logger/temp_workspace.h"
#include "platform/env.h"

namespace kest {

enum LogLevel : int32_t {
  kLevelAll = 0,
  kLevelDebug = 1,
  kLevelInfo = 2,
  kLevelError = 3,
  kLevelAssert = 4,
};

class Logger {
 public:
  // Longest composed message ("%s [%s]" and "%s [%ld]" forms).
  static constexpr size_t kMaxComposed = 4095;
  // Longest ErrorFormat result.
  static constexpr size_t kMaxFormatted = 16383;
  // Longest system text and longest error column of an ASSERT line.
  static constexpr size_t kMaxColumn = 1023;
  // Longest answer of a machine query in the machine-info block.
  static constexpr size_t kMaxQuery = 4094;

  // With `setUpWorkspace`, the constructor ends by setting the temp
  // workspace up (TempWorkspace::InitTempPath); a set-up that fails leaves
  // the Logger working and the workspace saying why.
  explicit Logger(platform::Env* env = platform::Env::Default(),
                  bool setUpWorkspace = true);
  // Closes the log, then clears the temp workspace.
  ~Logger();

  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // --- lines ---------------------------------------------------------------
  // None of these reports a failure or throws; a null message is dropped.
  void Info(const char* message);
  // The level is asked here, so that a line nobody takes costs a test.
  void InfoString(const char* message, const char* text) {
    if (IsWritingAt(kLevelInfo)) Compose(kLevelInfo, message, text);
  }
  void InfoNumber(const char* message, int32_t number) {
    if (IsWritingAt(kLevelInfo)) ComposeNumber(kLevelInfo, message, number);
  }
  void DebugNumber(const char* message, int32_t number) {
    if (IsWritingAt(kLevelDebug)) ComposeNumber(kLevelDebug, message, number);
  }
  void Error(const char* message);
  void ErrorString(const char* message, const char* text) {
    if (IsWritingAt(kLevelError)) Compose(kLevelError, message, text);
  }
  void ErrorNumber(const char* message, int32_t number) {
    if (IsWritingAt(kLevelError)) ComposeNumber(kLevelError, message, number);
  }
  void ErrorFormat(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Writes "%s [%ld]" (message, line) at ASSERT when `condition` is false.
  void AssertReport(bool condition, const char* message, int32_t line);
  // Writes "%s [%ld]" at ERROR when `pointer` cannot be read as a string.
  // Without a readability probe on this side, only a null pointer counts
  // as unreadable.
  void CheckStringPtr(const void* pointer, const char* message, int32_t line);
  // The core writer; returns 0 in every case. ASSERT lines read the
  // thread's last error code here.
  int WriteLine(int32_t level, const char* message);
  bool IsEnabledFor(int32_t level) const { return level >= threshold_ && enabled_; }
  // IsEnabledFor with a log file open: a line at `level` would be written.
  // Nothing is composed otherwise.
  bool IsWritingAt(int32_t level) const { return log_ != nullptr && IsEnabledFor(level); }

  // --- states --------------------------------------------------------------
  // Sets `enabled`, but only while a log file is open.
  void Enable();
  void Disable();
  // Closes the current log, opens `name` for appending, creating it when
  // it is missing (null or empty: none), enables logging and writes the
  // machine-info block into it.
  void SetLogFile(const char* name);
  bool HasLogFile() const { return log_ != nullptr; }
  // Name of the open log file; empty without one.
  const std::string& logFileName() const { return logFileName_; }

  // --- diagnostic blocks ---------------------------------------------------
  void WriteMachineInfo();
  void WriteVersionInfo();

  TempWorkspace& workspace() { return workspace_; }
  const TempWorkspace& workspace() const { return workspace_; }

  platform::Env* env() const { return env_; }

 private:
  void Compose(int32_t level, const char* message, const char* text);
  void ComposeNumber(int32_t level, const char* message, int32_t number);
  void BuildErrorText(uint32_t code);
  void WriteLineWithCode(int32_t level, const char* message, uint32_t code);

  platform::Env* env_;

  int64_t lastStampTime_;
  std::recursive_mutex lock_;
  std::unique_ptr<platform::AppendingFile> log_;
  std::string logFileName_;
  int32_t threshold_ = kLevelAll;
  bool enabled_ = false;
  // The columns of the line being written; touched only under lock_.
  char systemMessage_[kMaxColumn + 1] = {};
  char errorText_[kMaxColumn + 1] = {};
  char timeText_[kMaxColumn + 1] = {};

  // Last, so that it goes first: its clean-up runs while the lock still
  // stands, with the log already closed.
  TempWorkspace workspace_;
};

// The process-wide Logger. Until one is installed, a Logger without a
// workspace and without a log file stands in, so every line is dropped.
Logger& Log();
// Makes `logger` the process-wide Logger (null: the stand-in again) and
// returns the one it replaces. Not thread-safe: called at load, at unload
// and by tests.
Logger* InstallLogger(Logger* logger);

}  // namespace kest

#endif  // KEST_COMMON_LOGGER_LOGGER_H_
