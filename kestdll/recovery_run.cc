#include "kestdll/recovery_run.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Common/logger/logger.h"
#include "Common/raised_code.h"
#include "best_case/method0.h"
#include "dbf/result_table.h"
#include "kestdll/result_placement.h"
#include "kestdll/run_state.h"
#include "platform/path.h"
#include "worst_case/method1.h"

namespace kest {

namespace {

using platform::PathParts;

const char kCleanUpReport[] =
    "A.F. Exp [!\"Exception!\"] File [D:\\SVN_Source\\kestdll\\kestdll] Line ";
constexpr int32_t kBestCleanUpLine = 666;
constexpr int32_t kWorstCleanUpLine = 675;
const char kNotReadyStatus[] = "Recovery engine not ready: ";

bool IsMemoExtension(const std::string& extension) {
  return platform::EqualsNoCase(extension, ".dbt") ||
         platform::EqualsNoCase(extension, ".fpt");
}

std::string FolderForIdentity(const PathParts& parts) {
  std::string folder = parts.drive + parts.folder;
  return folder.empty() ? std::string(".") : folder;
}

// The codes LLFile raises when the table cannot be opened or read.
bool IsFileAccessCode(int code) { return code >= 1 && code <= 7; }

class RecoveryRun {
 public:
  RecoveryRun(const char* sourcePath, const char* outputFolder, StatusCallback status,
              ProgressCallback progress, void* userData, const char* logFileName,
              platform::Env* env)
      : sourcePath_(sourcePath),
        outputFolder_(outputFolder),
        status_(status),
        progress_(progress),
        userData_(userData),
        logFileName_(logFileName),
        env_(env) {}

  int32_t Run();
  int32_t Refuse(const std::string& reason);

 private:
  // What comes after a stage: the next stage, the exit (clean-up, the
  // closing line and progress 100), or an early return of code_.
  enum class Next { kGoOn, kExit, kReturn };

  bool LogFileAllowed() const;
  void SetUpLog();
  void StoreCallbacks();
  Next BestCaseStage();
  Next WorstCaseStage();
  Next MethodFailed(int code);
  // Runs one method stage under its guard: raised codes map through
  // MethodFailed; anything else is an internal failure of that method.
  template <typename Stage>
  Next GuardedMethodStage(const char* unknownException, Stage stage);
  Next WriteBestCase();
  Next WriteWorstCase();
  // False, with an ERROR line, when one of the paths that will be written
  // inside the results folder does not fit in 259 characters.
  bool PathsFit(const std::vector<std::string>& inside);
  bool CreateResultFolder();
  Next ReturnEarly(int32_t code);
  void ReleaseMethods();
  const char* StageText(int id) const { return runState().stageText[id]; }

  const char* sourcePath_;
  const char* outputFolder_;
  StatusCallback status_;
  ProgressCallback progress_;
  void* userData_;
  const char* logFileName_;
  platform::Env* env_;

  std::unique_ptr<Method0> bestMethod_;
  std::unique_ptr<Method1> worstMethod_;
  bool noMemoCompanion_ = true;
  uint32_t count0_ = 0;
  uint32_t count1_ = 0;
  int32_t result_ = KEST_OK;
  int32_t code_ = KEST_OK;
  bool writingStageRan_ = false;
  bool callbacksStored_ = false;
};

bool RecoveryRun::LogFileAllowed() const {
  return logFileName_ != nullptr && *logFileName_ != '\0' &&
         !logFileHitsSource(logFileName_, sourcePath_, env_);
}

void RecoveryRun::SetUpLog() {
  Logger& log = Log();
  log.SetLogFile(log.workspace().NewTempFileName());
  log.Disable();
  if (LogFileAllowed()) {
    log.SetLogFile(logFileName_);
    log.Enable();
    log.InfoString("Log file name:", logFileName_);
  }
  log.WriteVersionInfo();
  log.Info("In FileRecover()");
}

void RecoveryRun::StoreCallbacks() {
  RunState& state = runState();
  state.userData = userData_;
  state.passCounter = 0;
  state.progressCallback = progress_;
  state.statusCallback = status_;
  callbacksStored_ = true;
}

int32_t RecoveryRun::Run() {
  try {
    SetUpLog();
    StoreCallbacks();
    // Left by the previous run; the stages below set them afresh.
    runState().headerRecordLength = 0;
    runState().bestRecordSize = 0;
    reportProgress(0);
    reportPass(StageText(kStageInitializing));

    prepareBreakFlag();
    Log().Info("Starting recovery");
    reportStatus(StageText(kStageDone));
    reportProgress(5);

    Next next = BestCaseStage();
    if (next == Next::kGoOn) next = WorstCaseStage();
    if (next == Next::kReturn) return code_;

    if (next == Next::kGoOn) {
      Log().Info("Determine which method was more successful");
      Choice choice = chooseResult(count0_, count1_, runState().headerRecordLength,
                                   runState().bestRecordSize);
      if (choice.beyondWorstCaseRange) {
        Log().InfoNumber("Best-case record length is beyond the worst-case search range",
                         runState().headerRecordLength);
      }
      writingStageRan_ = choice.winner != Winner::kNone;
      if (choice.winner == Winner::kBestCase) next = WriteBestCase();
      if (choice.winner == Winner::kWorstCase) next = WriteWorstCase();
      if (next == Next::kReturn) return code_;

      if (count0_ == 0 && count1_ == 0) {
        Log().Info("Nothing to recover detected!");
        result_ = KEST_NOTHING;
      }
    }
    ReleaseMethods();
  } catch (...) {
    // Raised outside the stage guards. Before a writing stage has run, the
    // result still holds 0 (or a scan's code): nothing was written, and the
    // host must not read success.
    if (!writingStageRan_) {
      Log().Error("Exiting with or_internal");
      result_ = KEST_INTERNAL;
    }
    ReleaseMethods();
  }
  try {
    Log().Info("FileRecover() exiting");
    // Until this run has stored its callbacks, the stored ones and their
    // user value are the previous run's, which its host may have let go.
    if (callbacksStored_) reportProgress(100);
  } catch (...) {
  }
  return result_;
}

RecoveryRun::Next RecoveryRun::MethodFailed(int code) {
  if (code == kUserBreak) return ReturnEarly(KEST_USER_BREAK);
  if (IsFileAccessCode(code)) return ReturnEarly(KEST_SOURCE_UNREADABLE);
  // Any other code: this method found nothing; the other may still win.
  return Next::kGoOn;
}

template <typename Stage>
RecoveryRun::Next RecoveryRun::GuardedMethodStage(const char* unknownException, Stage stage) {
  try {
    stage();
  } catch (const RaisedCode& raised) {
    return MethodFailed(raised.code);
  } catch (...) {
    Log().Error(unknownException);
    Log().Error("Exiting with or_internal");
    result_ = KEST_INTERNAL;
    return Next::kExit;
  }
  return Next::kGoOn;
}

RecoveryRun::Next RecoveryRun::BestCaseStage() {
  return GuardedMethodStage("Unknown exception in Method0", [this] {
    reportPass(StageText(kStageBestCase));
    bestMethod_ = std::make_unique<Method0>(sourcePath_, env_);
    noMemoCompanion_ = copyMemoCompanions(sourcePath_, nullptr, nullptr, env_) < 1;
    bestMethod_->setNoMemoCompanion(noMemoCompanion_);
    reportProgress(10);
    result_ = bestMethod_->Parse();
    reportProgress(20);
    count0_ = static_cast<uint32_t>(bestMethod_->validRecords());
    Log().Info("Recovery complete");
    reportStatus(StageText(kStageDone));
  });
}

RecoveryRun::Next RecoveryRun::WorstCaseStage() {
  return GuardedMethodStage("Unknown exception in Method1", [this] {
    reportPass(StageText(kStageWorstCase));
    worstMethod_ = std::make_unique<Method1>(sourcePath_, env_);
    reportProgress(25);
    result_ = worstMethod_->Parse();
    reportProgress(65);
    count1_ = static_cast<uint32_t>(worstMethod_->recordsRead());
    Log().Info("Recovery complete");
    reportStatus(StageText(kStageDone));
  });
}

bool RecoveryRun::PathsFit(const std::vector<std::string>& inside) {
  for (const std::string& path : inside) {
    if (path.size() > kMaxPathLength) {
      Log().ErrorString("Result path does not fit in 259 characters:", path.c_str());
      return false;
    }
  }
  return true;
}

bool RecoveryRun::CreateResultFolder() {
  // Without an output folder the name would fall back on the current or
  // the root folder, which the host never asked for.
  bool made = outputFolder_ != nullptr && *outputFolder_ != '\0' &&
              env_->CreateFolder(runState().resultFolder);
  if (!made) Log().Info(" failed to create result folder");
  return made;
}

RecoveryRun::Next RecoveryRun::WriteBestCase() {
  try {
    reportPass(StageText(kStageWriting));
    Log().Info("Writing data to disk (Method0)");
    reportProgress(70);

    std::string& folder = runState().resultFolder;
    folder = makeResultFolderName(sourcePath_, outputFolder_, env_);
    PathParts source = platform::SplitPath(sourcePath_ != nullptr ? sourcePath_ : "");
    std::string fileName = source.name + source.extension;
    // Splitting takes a backslash as a separator too, so a POSIX file named
    // a\.. leaves "..": the target would be the results folder's parent,
    // and the writer would put its table there. Only a real name goes on.
    if (fileName.empty() || fileName == "." || fileName == "..") {
      Log().ErrorString("Result table name is not a file name:", fileName.c_str());
      return ReturnEarly(KEST_CANNOT_CREATE);
    }
    std::string target = platform::InFolder(folder, fileName);
    std::string tablePath = platform::InFolder(folder, source.name + ".dbf");
    std::vector<std::string> inside = {target, tablePath};
    if (!noMemoCompanion_) {
      // Only the copies' targets: a companion is read by the path it was
      // found under, however long, so a table deep in its folders keeps
      // its memo.
      for (const CompanionCopy& copy : planMemoCompanionCopies(
               sourcePath_, tablePath.c_str(), source.name.c_str(), env_)) {
        inside.push_back(copy.to);
      }
    }
    if (!PathsFit(inside) || !CreateResultFolder()) {
      return ReturnEarly(KEST_CANNOT_CREATE);
    }

    result_ = bestMethod_->Flush(target.c_str());
    if (!noMemoCompanion_) {
      copyMemoCompanions(sourcePath_, tablePath.c_str(), source.name.c_str(), env_);
    }
    reportProgress(95);
    Log().Info("Writing to disk complete");
    reportStatus(StageText(kStageDone));
  } catch (const RaisedCode&) {
    return ReturnEarly(KEST_USER_BREAK);
  } catch (...) {
    Log().Error("Unexpected error writing to disk with Method0");
    Log().Error("Exiting with or_internal");
    result_ = KEST_INTERNAL;
  }
  return Next::kGoOn;
}

RecoveryRun::Next RecoveryRun::WriteWorstCase() {
  try {
    reportPass(StageText(kStageWriting));
    Log().Info("Writing data to disk (Method0)");
    reportProgress(70);

    std::string& folder = runState().resultFolder;
    folder = makeResultFolderName(sourcePath_, outputFolder_, env_);
    if (!PathsFit({platform::InFolder(folder, kRecoveredTableName)}) ||
        !CreateResultFolder()) {
      return ReturnEarly(KEST_CANNOT_CREATE);
    }

    result_ = worstMethod_->Flush(folder.c_str());
    reportProgress(95);
    Log().Info("Writing to disk complete");
    reportStatus(StageText(kStageDone));
  } catch (const RaisedCode&) {
    return ReturnEarly(KEST_USER_BREAK);
  } catch (...) {
    Log().Error("Unexpected error writing to disk with Method0");
    Log().Error("Exiting with or_internal");
    result_ = KEST_INTERNAL;
  }
  return Next::kGoOn;
}

RecoveryRun::Next RecoveryRun::ReturnEarly(int32_t code) {
  // The method objects hold the table open; an early return must not
  // leave them behind.
  ReleaseMethods();
  code_ = code;
  return Next::kReturn;
}

void RecoveryRun::ReleaseMethods() {
  if (bestMethod_) {
    try {
      bestMethod_.reset();
    } catch (...) {
      Log().AssertReport(false, kCleanUpReport, kBestCleanUpLine);
    }
  }
  if (worstMethod_) {
    try {
      worstMethod_.reset();
    } catch (...) {
      Log().AssertReport(false, kCleanUpReport, kWorstCleanUpLine);
    }
  }
}

int32_t RecoveryRun::Refuse(const std::string& reason) {
  Logger& log = Log();
  log.Disable();
  if (LogFileAllowed()) {
    log.SetLogFile(logFileName_);
    log.InfoString("Log file name:", logFileName_);
  }
  log.Info("In FileRecover()");
  log.ErrorString("Recovery engine not ready:", reason.c_str());
  log.Error("Exiting with or_internal");
  StoreCallbacks();
  char line[kStageTextSize];
  std::snprintf(line, sizeof line, "%s%s", kNotReadyStatus, reason.c_str());
  reportStatus(line);
  return KEST_INTERNAL;
}

}  // namespace

Choice chooseResult(uint32_t count0, uint32_t count1, uint16_t headerRecordLength,
                    uint16_t bestRecordSize) {
  Choice choice;
  choice.selectionFactor = headerRecordLength == bestRecordSize ? 3 : 4;
  if (headerRecordLength > kWorstCaseLongestRecord && count0 != 0) {
    // The worst-case search cannot find this layout: its count says
    // nothing about the table, and its result would be the sound records
    // cut into a wrong layout.
    choice.beyondWorstCaseRange = true;
    choice.winner = Winner::kBestCase;
    return choice;
  }
  // In 64 bits: a 32-bit product wraps for counts above 1.4 billion and
  // would hand a huge sound table to the worst-case method.
  uint64_t limit = (static_cast<uint64_t>(choice.selectionFactor) * count0) >> 1;
  if (count1 <= limit && count0 != 0) {
    choice.winner = Winner::kBestCase;
  } else if (count1 > limit && count1 != 0) {
    choice.winner = Winner::kWorstCase;
  }
  return choice;
}

bool logFileHitsSource(const char* logFileName, const char* sourcePath, platform::Env* env) {
  if (logFileName == nullptr || *logFileName == '\0' || sourcePath == nullptr ||
      *sourcePath == '\0') {
    return false;
  }
  if (env->SameFile(logFileName, sourcePath)) return true;

  PathParts log = platform::SplitPath(logFileName);
  PathParts source = platform::SplitPath(sourcePath);
  std::string logFolder = FolderForIdentity(log);
  std::string sourceFolder = FolderForIdentity(source);
  bool sameFolder = platform::EqualsNoCase(logFolder, sourceFolder) ||
                    env->SameFile(logFolder, sourceFolder);
  if (sameFolder && platform::EqualsNoCase(log.name, source.name) &&
      (platform::EqualsNoCase(log.extension, source.extension) ||
       IsMemoExtension(log.extension))) {
    return true;
  }
  for (const CompanionCopy& companion :
       planMemoCompanionCopies(sourcePath, sourcePath, source.name.c_str(), env)) {
    if (env->SameFile(logFileName, companion.from)) return true;
  }
  return false;
}

int32_t recoverFile(const char* sourcePath, const char* outputFolder,
                    StatusCallback statusCallback, ProgressCallback progressCallback,
                    void* userData, const char* logFileName, platform::Env* env) {
  RecoveryRun run(sourcePath, outputFolder, statusCallback, progressCallback, userData,
                  logFileName, env);
  try {
    std::string reason = runState().notReadyReason;
    if (!reason.empty()) return run.Refuse(reason);
    return run.Run();
  } catch (...) {
    return KEST_INTERNAL;
  }
}

}  // namespace kest
