// The engine's one diagnostic log, and the private temp workspace it owns.
//
// Every part of the engine reports through the process-wide Logger (Log()):
// one line per message, "%6s %s | %s %s\n" with the level name, a time
// stamp at most once in two seconds, the message and, on ASSERT lines, the
// system's text for the last error code. Nothing reaches the disk until a
// log file is set and logging is enabled; every line is flushed at once, so
// the log is complete up to its last line even if the host dies.
//
// The Logger also keeps the temp workspace: a private folder under the temp
// root (BRENMOORTMP, else the system's temp path) that hands out numbered
// temp names and deletes them again when the Logger is destroyed.
//
// Thread safety: the logging operations may be called from any thread; a
// recursive lock serialises the writing of lines. SetLogFile, Enable,
// Disable and the workspace operations are called by the recovery driver
// only, while no recovery work runs.
#ifndef KEST_COMMON_LOGGER_LOGGER_H_
#define KEST_COMMON_LOGGER_LOGGER_H_

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

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
  // Longest temp workspace path.
  static constexpr size_t kMaxTempPath = 5220;
  // Slots the temp name array starts with and grows by.
  static constexpr uint32_t kTempNameStep = 1024;

  // With `setUpWorkspace`, the constructor ends by setting the temp
  // workspace up (InitTempPath). A set-up that fails does not throw: the
  // Logger works on, workspaceReady() is false and workspaceFailure() says
  // why, so that the library can stay loaded and tell its host.
  explicit Logger(platform::Env* env = platform::Env::Default(),
                  bool setUpWorkspace = true);
  // Closes the log, then deletes the temp names handed out. When the set-up
  // created the product temp folder, the folder and the subfolders this
  // process prepared are removed as well, but only those left empty.
  ~Logger();

  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // --- lines ---------------------------------------------------------------
  // None of these reports a failure or throws; a null message is dropped.
  void Info(const char* message);
  void InfoString(const char* message, const char* text);
  void InfoNumber(const char* message, int32_t number);
  void DebugNumber(const char* message, int32_t number);
  void Error(const char* message);
  void ErrorString(const char* message, const char* text);
  void ErrorNumber(const char* message, int32_t number);
  void ErrorFormat(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Writes "%s [%ld]" (message, line) at ASSERT when `condition` is false.
  void AssertReport(bool condition, const char* message, int32_t line);
  // Writes "%s [%ld]" at ERROR when `pointer` cannot be read as a string.
  // Without a readability probe on this side, only a null pointer counts
  // as unreadable.
  void CheckStringPtr(const void* pointer, const char* message, int32_t line);
  // The core writer; returns 0 in every case. The caller's last error code
  // is the same after the call as before it.
  int WriteLine(int32_t level, const char* message);
  bool IsEnabledFor(int32_t level) const;

  // --- states --------------------------------------------------------------
  // Sets `enabled`, but only while a log file is open.
  void Enable();
  void Disable();
  // Closes the current log, opens `name` for appending (null or empty:
  // none), enables logging and writes the machine-info block into it.
  void SetLogFile(const char* name);
  bool HasLogFile() const { return stream_ != nullptr; }
  // Name of the open log file; empty without one.
  const std::string& logFileName() const { return logFileName_; }

  // --- diagnostic blocks ---------------------------------------------------
  void WriteMachineInfo();
  void WriteVersionInfo();

  // --- temp workspace ------------------------------------------------------
  // Sets the workspace up; false (with workspaceFailure() saying why) when
  // it cannot be used.
  bool InitTempPath();
  // A new temp name, owned by the Logger until it is destroyed; null when
  // the workspace is not ready or the name storage cannot grow. The file
  // itself is not created.
  const char* NewTempFileName();
  // Deletes everything inside `path`, depth first; the folder itself stays.
  // Links are deleted themselves and never entered.
  void EmptyFolder(const char* path);
  void DeleteTempFiles();
  bool workspaceReady() const { return workspaceReady_; }
  const std::string& workspaceFailure() const { return workspaceFailure_; }
  const std::string& productTempFolder() const { return productTempFolder_; }
  uint32_t nextTempNumber() const { return nextTempNumber_; }
  uint32_t tempNameCount() const { return tempNameCount_; }
  uint32_t tempNameCapacity() const { return static_cast<uint32_t>(tempNames_.size()); }

  platform::Env* env() const { return env_; }

 private:
  void Compose(int32_t level, const char* message, const char* text);
  void ComposeNumber(int32_t level, const char* message, int32_t number);
  void BuildErrorText(uint32_t code);

  bool FailWorkspace(const std::string& reason);
  void DeleteOldTempFiles();
  void PrepareSubfolder(uint32_t number);
  bool WorkspaceStillOurs();
  void RemoveEmptyWorkspace();

  platform::Env* env_;

  // Logging.
  int64_t lastStampTime_;
  std::recursive_mutex lock_;
  int32_t productNumber_ = -2;
  std::FILE* stream_ = nullptr;
  std::string logFileName_;
  int32_t threshold_ = kLevelAll;
  bool enabled_ = false;
  // The columns of the line being written; touched only under lock_.
  char systemMessage_[kMaxColumn + 1] = {};
  char errorText_[kMaxColumn + 1] = {};
  char timeText_[kMaxColumn + 1] = {};

  // Temp workspace.
  uint32_t nextTempNumber_ = 1;
  uint32_t tempNameCount_ = 0;
  std::vector<std::unique_ptr<std::string>> tempNames_;
  std::string productTempFolder_;
  bool workspaceReady_ = false;
  bool createdProductFolder_ = false;
  uint32_t firstTempNumber_ = 1;
  std::string workspaceFailure_;
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
