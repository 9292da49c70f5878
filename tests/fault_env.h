// An Env that makes chosen I/O calls fail, for failure-path tests.
//
// FaultEnv forwards everything to a real Env and counts the calls of each
// kind of I/O it can fail (the kinds are listed once, in KEST_FAULT_KINDS;
// a call of a file object it handed out counts as its own kind). A test
// runs once to learn the counts, then once per call, failing the Nth call
// of a kind in turn:
//
//   FaultEnv env;
//   run(&env);                                   // counts only
//   for (uint64_t n = 1; n <= env.calls(FaultKind::kAppend); ++n) {
//     env.Reset();
//     env.FailAt(FaultKind::kAppend, n);
//     run(&env);  ... check the invariants; env.fired() says it happened.
//   }
//
// A failing call does nothing and fails the way the interface does: a
// Status carrying `errorCode` and the system's text for it. With
// `partial`, a read or write does half its work first: a read returns half
// the bytes (a short read), an append or write-at writes half and reports
// failure (a short write). With `persist`, every later call of the kind
// fails too (a device that has gone).
//
// Beside the plan, LimitFileSize makes a full disk: no file it created
// grows past the limit. The append that would pass it writes what fits and
// reports failure, a write-at past it writes nothing; both set the error.
//
// Not thread-safe; file objects must not outlive the FaultEnv.
#ifndef KEST_TESTS_FAULT_ENV_H_
#define KEST_TESTS_FAULT_ENV_H_

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/env.h"

namespace kest::testing {

// X(kind, name): every kind of call FaultEnv can fail. The Env method each
// stands for is named once, in the override that counts it.
#define KEST_FAULT_KINDS(X)        \
  X(kOpen, "open")                 \
  X(kRead, "read")                 \
  X(kCreate, "create")             \
  X(kAppend, "append")             \
  X(kWriteAt, "write-at")          \
  X(kSync, "sync")                 \
  X(kClose, "close")               \
  X(kCreateFolder, "create folder") \
  X(kCopy, "copy")                 \
  X(kDelete, "delete")             \
  X(kRename, "rename")             \
  X(kRemoveFolder, "remove folder") \
  X(kSyncFolder, "sync folder")    \
  X(kList, "list folder")

enum class FaultKind {
#define KEST_FAULT_ENUM(kind, name) kind,
  KEST_FAULT_KINDS(KEST_FAULT_ENUM)
#undef KEST_FAULT_ENUM
};
inline constexpr size_t kFaultKindCount = 0
#define KEST_FAULT_COUNT(kind, name) +1
    KEST_FAULT_KINDS(KEST_FAULT_COUNT);
#undef KEST_FAULT_COUNT

const char* faultKindName(FaultKind kind);
// Every kind, in table order.
const std::array<FaultKind, kFaultKindCount>& allFaultKinds();

struct FaultPlan {
  FaultKind kind = FaultKind::kOpen;
  uint64_t nth = 0;  // 1-based, counted from the last Reset; 0 fails nothing
  bool partial = false;
  bool persist = false;
  uint32_t errorCode = 5;  // EIO on POSIX, ERROR_ACCESS_DENIED on Windows
};

class FaultEnv : public platform::EnvWrapper {
 public:
  explicit FaultEnv(platform::Env* target = platform::Env::Default());

  // Zeroes the counts and drops the plan and the size limit.
  void Reset();
  void Fail(const FaultPlan& plan);
  void FailAt(FaultKind kind, uint64_t nth) { Fail(FaultPlan{kind, nth}); }

  uint64_t calls(FaultKind kind) const { return calls_[static_cast<size_t>(kind)]; }
  // True once the plan has made a call fail.
  bool fired() const { return fired_; }
  // The file a failed write or sync was made on; empty for any other call.
  const std::string& firedPath() const { return firedPath_; }
  const FaultPlan& plan() const { return plan_; }

  void LimitFileSize(uint64_t bytes) { fileSizeLimit_ = bytes; }
  uint64_t fileSizeLimit() const { return fileSizeLimit_; }

  // Counts a call of `kind` (on the file at `path`, when given); true when
  // it is to fail. For the file objects; tests have no need to call it.
  bool Hit(FaultKind kind, const std::string* path = nullptr);
  // The failure a failing call reports.
  platform::Status Failure() { return FailureOf(plan_.errorCode); }
  // True when a file may not reach `end` bytes.
  bool PastLimit(uint64_t end) const { return end > fileSizeLimit_; }

  platform::Status OpenReadOnly(const std::string& path,
                                std::unique_ptr<platform::ReadableFile>* file) override;
  platform::Status CreateNew(const std::string& path,
                             std::unique_ptr<platform::WritableFile>* file) override;
  // A copy counts and fails as one call of its own kind; the reads and
  // writes inside it are the target's.
  platform::Status CopyNoOverwrite(const std::string& from, const std::string& to) override;
  platform::Status RemoveFile(const std::string& path) override;
  platform::Status RenameNoReplace(const std::string& from, const std::string& to) override;
  platform::Status CreateFolder(const std::string& path) override;
  platform::Status CreatePrivateFolder(const std::string& path) override;
  platform::Status RemoveFolder(const std::string& path) override;
  platform::Status SyncFolder(const std::string& path) override;
  platform::Status ListFolder(const std::string& folder, const std::string& pattern,
                              std::vector<platform::DirEntry>* entries) override;

 private:
  std::array<uint64_t, kFaultKindCount> calls_{};
  FaultPlan plan_;
  bool fired_ = false;
  std::string firedPath_;
  uint64_t fileSizeLimit_ = UINT64_MAX;
};

// "append #3" or "read #7 (short, persisting)", for failure messages.
std::string describe(const FaultPlan& plan);

}  // namespace kest::testing

#endif  // KEST_TESTS_FAULT_ENV_H_
