// The private temp workspace: a product temp folder under the temp root
// (BRENMOORTMP, else the system's temp path) that hands out numbered temp
// names and deletes them again when the workspace is destroyed.
//
// The workspace reports what it does through the Logger it is given, so
// its lines land in whatever log is current when it is called; a Logger
// owns one (Logger::workspace()) and destroys it after closing its log.
//
// Set-up failures do not throw: ready() is false and failure() says why in
// words for the user, so that the library can stay loaded and tell its host.
//
// Thread safety: none; the workspace is set up at load, used at the start
// of a recovery run and cleared at unload, all from the host's calling
// thread.
#ifndef KEST_COMMON_LOGGER_TEMP_WORKSPACE_H_
#define KEST_COMMON_LOGGER_TEMP_WORKSPACE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/env.h"

namespace kest {

class Logger;

class TempWorkspace {
 public:
  // Longest temp workspace path.
  static constexpr size_t kMaxTempPath = 5220;
  // Slots the temp name array starts with and grows by.
  static constexpr uint32_t kTempNameStep = 1024;

  // Nothing is set up until InitTempPath.
  TempWorkspace(platform::Env* env, Logger* log);
  // Deletes the temp names handed out. When the set-up created the product
  // temp folder, the folder and the subfolders this process prepared are
  // removed as well, but only those left empty.
  ~TempWorkspace();

  TempWorkspace(const TempWorkspace&) = delete;
  TempWorkspace& operator=(const TempWorkspace&) = delete;

  // Sets the workspace up; false (with workspaceFailure() saying why) when
  // it cannot be used.
  bool InitTempPath();
  // A new temp name, owned by the workspace until it is destroyed; null
  // when the workspace is not ready or the name storage cannot grow. The
  // file itself is not created.
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

 private:
  bool FailWorkspace(const std::string& reason);
  void DeleteOldTempFiles();
  void PrepareSubfolder(uint32_t number);
  bool WorkspaceStillOurs();
  void RemoveEmptyWorkspace();

  platform::Env* env_;
  Logger& log_;
  // The engine's row in the product line's table of log stems; it names
  // the product temp folder and nothing changes it.
  int32_t productNumber_ = -2;
  uint32_t nextTempNumber_ = 1;
  uint32_t tempNameCount_ = 0;
  std::vector<std::unique_ptr<std::string>> tempNames_;
  std::string productTempFolder_;
  bool workspaceReady_ = false;
  bool createdProductFolder_ = false;
  uint32_t firstTempNumber_ = 1;
  std::string workspaceFailure_;
};

}  // namespace kest

#endif  // KEST_COMMON_LOGGER_TEMP_WORKSPACE_H_
