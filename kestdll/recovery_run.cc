#include "kestdll/recovery_run.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Common/logger/llfile.h"
#include "Common/logger/logger.h"
#include "Common/raised_code.h"
#include "Common/run_context.h"
#include "best_case/method0.h"
#include "dbf/memo_companion.h"
#include "dbf/result_publishing.h"
#include "kestdll/index_notice.h"
#include "kestdll/report_files.h"
#include "kestdll/result_placement.h"
#include "kestdll/run_failure.h"
#include "kestdll/run_state.h"
#include "kestdll/template_option.h"
#include "platform/path.h"
#include "worst_case/layout_search.h"
#include "worst_case/method1.h"

// The methods' codes reach the host as they are.
static_assert(kest::kResultIncomplete == KEST_INTERNAL);
static_assert(kest::kTooShortToSearch == KEST_NOTHING);
static_assert(kest::kCannotCreateResult == KEST_CANNOT_CREATE);
static_assert(kest::kUserBreak == KEST_USER_BREAK);

namespace kest {

namespace {

using platform::PathParts;

// Fixed texts that hosts and log readers know: they stay as they are, the
// folder in the report included.
const char kCleanUpReport[] =
    "A.F. Exp [!\"Exception!\"] File [D:\\SVN_Source\\kestdll\\kestdll] Line ";
constexpr int32_t kBestCleanUpLine = 666;
constexpr int32_t kWorstCleanUpLine = 675;

// What a stage tells the run: nothing (go on to the next stage), or the
// code the run returns now.
using Step = std::optional<int32_t>;
constexpr Step kGoOn = std::nullopt;

// What the writing stage needs of the winning method.
struct WritingPlan {
  Winner method = Winner::kNone;
  // What the method's Flush is given: the result table's path (best case)
  // or the results folder (worst case).
  std::string target;
  // The paths that will be written inside the results folder; each must
  // fit in 259 characters.
  std::vector<std::string> mustFit;
  // The best-case table beside which the memo companions are copied, and
  // the name they take; empty when none are copied.
  std::string companionTable;
  std::string companionName;
};

// The slots of the worst-case layout that pass the record check, counted
// in its first pass so that a thorough choice weighs records, not slots.
class PassingCount : public RecordSink {
 public:
  void take(const uint8_t*, size_t) override { ++count_; }
  uint32_t count() const { return count_; }

 private:
  uint32_t count_ = 0;
};

class RecoveryRun : public RunContext {
 public:
  RecoveryRun(const char* sourcePath, const char* outputFolder, StatusCallback status,
              ProgressCallback progress, void* userData, const char* logFileName,
              const RecoveryOptions& options, RecoveryReport* report, platform::Env* env)
      : sourcePath_(sourcePath),
        outputFolder_(outputFolder),
        status_(status),
        progress_(progress),
        userData_(userData),
        logFileName_(logFileName),
        options_(options),
        // A run that names its failure keeps a report for the writer's
        // words even when the host keeps none.
        report_(report != nullptr || options.classic() ? report : &ownReport_),
        env_(env) {
    // The methods poll once a record; they read the host's byte inline.
    watchBreakByte(&runState().breakFlag);
  }

  int32_t Run();
  int32_t Refuse(const std::string& reason);

  // What the methods report and ask through RunContext; the run reports
  // its own progress the same way.
  void reportProgress(int32_t percent) override;
  // What the watched byte says (see the constructor).
  bool breakRequested() const override { return kest::breakRequested(); }
  const RecoveryOptions& options() const override { return options_; }
  RecoveryReport* report() override { return report_; }

 private:
  bool LogFileAllowed() const;
  void SetUpLog();

  // The stages in the order they run.
  Step StartStage();
  Step BestCaseStage();
  Step WorstCaseStage();
  Step ChoiceStage();
  // With a template (template_option.h): its structure, or the end of the
  // run when it cannot be read; and the choice, which is its layout or
  // none.
  Step LoadTemplate();
  Step TemplateChoice();
  // Always ends the run.
  int32_t WritingStage();

  // Runs one method stage under its guard: raised codes map through
  // MethodFailed; anything else is an internal failure of that method.
  template <typename Stage>
  Step GuardedMethodStage(const char* unknownException, const char* method, Stage stage);
  Step MethodFailed(const RaisedCode& raised);

  // nullopt when the table's file name gives no name for the result
  // table.
  std::optional<WritingPlan> BestCasePlan() const;
  WritingPlan WorstCasePlan() const;
  // What stands in the way of writing `plan` into resultFolder_, found
  // without a word: a plan to write, every path it writes inside the
  // folder within 259 characters, and, when `create`, an output folder
  // given and the results folder made in it. The early result and the
  // writing stage ask the same; only the writing stage says why not
  // (SayFolderFault).
  struct FolderCheck {
    enum class Fault { kNone, kNoName, kPathTooLong, kNotMade } fault = Fault::kNone;
    std::string tooLong;    // kPathTooLong: the first path that does not fit
    platform::Status made;  // kNotMade: why not
  };
  FolderCheck CheckResultFolder(const std::optional<WritingPlan>& plan, bool create);
  // The log line and the failure's words of a check that failed.
  void SayFolderFault(const FolderCheck& check);
  // A thorough run has the best case's counting pass write the result it
  // would publish, in the results folder made before that pass; nothing of
  // it is said or kept when any of it cannot be had.
  void PlanEarlyResult();
  // The results folder made for the early result is taken back on any end
  // before the writing stage would have made it.
  void TakeBackEarlyFolder();

  // The ends of a run. An early return stops reporting where it stands;
  // Finish lets the methods go and closes with the exit line and, once the
  // host has heard from this run, progress 100.
  int32_t ReturnEarly(int32_t code);
  int32_t Finish(int32_t code, bool hostHeardFromRun = true);
  // "Exiting with or_internal", and the code that goes with it.
  int32_t InternalFailure();

  // A run with extensions names why it failed: the first cause noted
  // (`describe` runs only in such a run) or, without one, what the code
  // says, as one ERROR line and in the report. The classic run does
  // neither.
  bool NamesFailures() const { return !options_.classic(); }
  template <typename Describe>
  void NoteFailure(Describe describe);
  void NameFailure(int32_t code);
  void ReleaseMethods();
  // What the run found and did, for the report; costs the classic run no
  // log line and no callback.
  void FillReport(Winner written);

  void reportStatus(const char* text);
  // "%s %d: %s..." with the Pass text, the next pass number and `stageText`,
  // cut to the 255 characters of a status line.
  void reportPass(const char* stageText);
  const char* StageText(int id) const { return runState().stageText[id]; }

  const char* sourcePath_;
  const char* outputFolder_;
  StatusCallback status_;
  ProgressCallback progress_;
  void* userData_;
  const char* logFileName_;
  RecoveryOptions options_;
  RecoveryReport* report_;
  platform::Env* env_;

  int32_t passCounter_ = 0;
  std::unique_ptr<Method0> bestMethod_;
  std::unique_ptr<Method1> worstMethod_;
  // Begun before the best case's counting pass, for the worst case.
  std::unique_ptr<Method1::ScoringAhead> scoringAhead_;
  bool noMemoCompanion_ = true;
  uint32_t count0_ = 0;
  uint32_t count1_ = 0;
  // The worst-case slots that pass.
  uint32_t passing1_ = 0;
  Winner winner_ = Winner::kNone;
  // At most 259 characters.
  std::string resultFolder_;
  std::optional<RunFailure> failure_;
  RecoveryReport ownReport_;
  std::optional<TableTemplate> template_;
  // resultFolder_ was made before the counting pass (PlanEarlyResult), and
  // whether the writing stage has since come to where it makes it.
  bool folderMadeEarly_ = false;
  bool folderClaimed_ = false;
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

int32_t RecoveryRun::Run() {
  // The steps fill the report as they go.
  if (report_ != nullptr) *report_ = RecoveryReport{};
  try {
    SetUpLog();
  } catch (...) {
    // The host has heard nothing from this run yet, and hears nothing now.
    return Finish(InternalFailure(), /*hostHeardFromRun=*/false);
  }
  try {
    for (Step (RecoveryRun::*stage)() : {&RecoveryRun::StartStage, &RecoveryRun::BestCaseStage,
                                         &RecoveryRun::WorstCaseStage,
                                         &RecoveryRun::ChoiceStage}) {
      if (Step code = (this->*stage)()) return *code;
    }
    return WritingStage();
  } catch (...) {
    // Raised outside the stage guards, before the writing stage: nothing
    // was written, and the host must not read success.
    return Finish(InternalFailure());
  }
}

Step RecoveryRun::StartStage() {
  reportProgress(0);
  reportPass(StageText(kStageInitializing));
  prepareBreakFlag();
  Log().Info("Starting recovery");
  reportStatus(StageText(kStageDone));
  reportProgress(5);
  return LoadTemplate();
}

Step RecoveryRun::MethodFailed(const RaisedCode& raised) {
  int code = raised.code;
  if (code == kUserBreak) return ReturnEarly(KEST_USER_BREAK);
  if (IsLLFileError(code)) {
    NoteFailure([&] { return tableUnreadable(sourcePath_, code, raised.systemText, env_); });
    return ReturnEarly(KEST_SOURCE_UNREADABLE);
  }
  // Any other code: this method found nothing; the other may still win.
  return kGoOn;
}

template <typename Stage>
Step RecoveryRun::GuardedMethodStage(const char* unknownException, const char* method,
                                     Stage stage) {
  try {
    stage();
  } catch (const RaisedCode& raised) {
    return MethodFailed(raised);
  } catch (...) {
    Log().Error(unknownException);
    NoteFailure([&] { return internalFailure(method, sourcePath_); });
    return Finish(InternalFailure());
  }
  return kGoOn;
}

Step RecoveryRun::BestCaseStage() {
  return GuardedMethodStage("Unknown exception in Method0", "in the best-case method", [this] {
    reportPass(StageText(kStageBestCase));
    bestMethod_ = std::make_unique<Method0>(sourcePath_, env_, this);
    noMemoCompanion_ = copyMemoCompanions(sourcePath_, nullptr, nullptr, env_) < 1;
    bestMethod_->setNoMemoCompanion(noMemoCompanion_);
    if (template_) bestMethod_->setTemplate(*template_);
    PlanEarlyResult();
    // The worst case's whole-table scoring reads nothing the counting pass
    // finds: it runs on the second core meanwhile.
    if (!options_.classic() && options_.has(kWholeTableLayout)) {
      scoringAhead_ = Method1::startScoring(sourcePath_, env_);
    }
    reportProgress(10);
    bestMethod_->Parse();
    reportProgress(20);
    count0_ = static_cast<uint32_t>(bestMethod_->validRecords());
    Log().Info("Recovery complete");
    reportStatus(StageText(kStageDone));
  });
}

Step RecoveryRun::WorstCaseStage() {
  return GuardedMethodStage("Unknown exception in Method1", "in the worst-case method", [this] {
    reportPass(StageText(kStageWorstCase));
    worstMethod_ = std::make_unique<Method1>(sourcePath_, env_, this);
    worstMethod_->setScoringAhead(std::move(scoringAhead_));
    // A thorough run leaves out the scan of a layout that could not win
    // even if every slot of it passed: only its findings would come of it,
    // and the report keeps no findings of the method that did not write.
    // The classic run scans as it always has; a template's choice reads
    // the layout's count.
    if (!options_.classic() && !template_ && bestMethod_ && count0_ != 0) {
      const uint16_t headerRecordLength = bestMethod_->headerRecordLength();
      worstMethod_->setCouldWin([this, headerRecordLength](uint32_t recordSize,
                                                           uint64_t mostRecords) {
        const auto most = static_cast<uint32_t>(std::min<uint64_t>(mostRecords, UINT32_MAX));
        return chooseResult(count0_, most, headerRecordLength,
                            static_cast<uint16_t>(recordSize))
                   .winner != Winner::kBestCase;
      });
    }
    reportProgress(25);
    // kTooShortToSearch leaves the count at 0; the choice tells the rest.
    // Counting what passes changes nothing the classic run shows.
    PassingCount passing;
    worstMethod_->Parse(&passing);
    passing1_ = passing.count();
    reportProgress(65);
    count1_ = static_cast<uint32_t>(worstMethod_->recordsRead());
    Log().Info("Recovery complete");
    reportStatus(StageText(kStageDone));
  });
}

Step RecoveryRun::ChoiceStage() {
  Log().Info("Determine which method was more successful");
  if (template_) return TemplateChoice();
  // What a stage that failed part-way left is what it found.
  uint16_t headerRecordLength = bestMethod_ ? bestMethod_->headerRecordLength() : 0;
  uint16_t bestRecordSize =
      worstMethod_ ? static_cast<uint16_t>(worstMethod_->recordSize()) : 0;
  // A thorough run weighs the records each method would write: the
  // worst-case slot count also counts the slots that fail, so a sound
  // table with a repaired header would lose to a layout of the same bytes.
  Choice choice = chooseResult(count0_, options_.classic() ? count1_ : passing1_,
                               headerRecordLength, bestRecordSize);
  if (choice.beyondWorstCaseRange) {
    Log().InfoNumber("Best-case record length is beyond the worst-case search range",
                     headerRecordLength);
  }
  winner_ = choice.winner;
  // Only when both counts are 0 does neither method win.
  if (winner_ == Winner::kNone) {
    FillReport(Winner::kNone);
    Log().Info("Nothing to recover detected!");
    return Finish(KEST_NOTHING);
  }
  return kGoOn;
}

Step RecoveryRun::LoadTemplate() {
  const std::string& path = options_.templatePath;
  if (path.empty()) return kGoOn;
  std::string why;
  template_ = loadTemplate(path, env_, &why);
  if (template_) return kGoOn;
  NoteFailure([&] { return RunFailure{why, path}; });
  return ReturnEarly(KEST_SOURCE_UNREADABLE);
}

Step RecoveryRun::TemplateChoice() {
  // The template's layout is the result's whatever the worst-case search
  // finds; its search only tells whether the records repeat at another
  // length.
  TemplateEvidence evidence;
  evidence.recordLength = template_->header.recordLength();
  if (bestMethod_) {
    evidence.slots = bestMethod_->header().recordCount();
    evidence.fitting = count0_ + bestMethod_->passedOver().deleted;
  }
  if (worstMethod_) {
    evidence.layoutRecordLength = worstMethod_->recordSize();
    evidence.layoutPassing = passing1_;
  }
  std::string misfit = templateMisfit(evidence);
  winner_ = misfit.empty() && count0_ != 0 ? Winner::kBestCase : Winner::kNone;
  if (winner_ != Winner::kNone) {
    if (RunFindings* kept = findings()) {
      kept->add(kTemplateStep, FindingKind::kNote, templateFit(evidence));
    }
    return kGoOn;
  }
  FillReport(Winner::kNone);
  if (!misfit.empty()) NoteFailure([&] { return RunFailure{misfit, options_.templatePath}; });
  return Finish(KEST_NOTHING);
}

std::optional<WritingPlan> RecoveryRun::BestCasePlan() const {
  PathParts source = platform::SplitPath(sourcePath_ != nullptr ? sourcePath_ : "");
  std::string fileName = source.name + source.extension;
  // Splitting takes a backslash as a separator too, so a POSIX file named
  // a\.. leaves "..": the target would be the results folder's parent,
  // and the writer would put its table there. Only a real name goes on.
  if (fileName.empty() || fileName == "." || fileName == "..") return std::nullopt;
  WritingPlan plan;
  plan.method = Winner::kBestCase;
  plan.target = platform::InFolder(resultFolder_, fileName);
  std::string tablePath = platform::InFolder(resultFolder_, source.name + ".dbf");
  plan.mustFit = {plan.target, tablePath};
  // The memo repair writes a memo file of the result's own in place of
  // the copies.
  const std::vector<std::string> memoFiles = bestMethod_->memoResultPaths(plan.target);
  plan.mustFit.insert(plan.mustFit.end(), memoFiles.begin(), memoFiles.end());
  if (!noMemoCompanion_ && memoFiles.empty()) {
    // Only the copies' targets: a companion is read by the path it was
    // found under, however long, so a table deep in its folders keeps
    // its memo.
    for (const CompanionCopy& copy : planMemoCompanionCopies(
             sourcePath_, tablePath.c_str(), source.name.c_str(), env_)) {
      plan.mustFit.push_back(copy.to);
    }
    plan.companionTable = tablePath;
    plan.companionName = source.name;
  }
  return plan;
}

WritingPlan RecoveryRun::WorstCasePlan() const {
  WritingPlan plan;
  plan.method = Winner::kWorstCase;
  plan.target = resultFolder_;
  plan.mustFit = {platform::InFolder(resultFolder_, kRecoveredTableName)};
  return plan;
}

RecoveryRun::FolderCheck RecoveryRun::CheckResultFolder(const std::optional<WritingPlan>& plan,
                                                        bool create) {
  using Fault = FolderCheck::Fault;
  FolderCheck check;
  if (!plan) {
    check.fault = Fault::kNoName;
    return check;
  }
  for (const std::string& path : plan->mustFit) {
    if (path.size() > kMaxPathLength) {
      check.fault = Fault::kPathTooLong;
      check.tooLong = path;
      return check;
    }
  }
  if (!create) return check;
  // Without an output folder the name would fall back on the current or
  // the root folder, which the host never asked for.
  bool given = outputFolder_ != nullptr && *outputFolder_ != '\0';
  check.made = given ? env_->CreateFolder(resultFolder_)
                     : platform::Status::Failure(0, std::string());
  if (!check.made) check.fault = Fault::kNotMade;
  return check;
}

void RecoveryRun::SayFolderFault(const FolderCheck& check) {
  switch (check.fault) {
    case FolderCheck::Fault::kNone:
      return;
    case FolderCheck::Fault::kNoName: {
      PathParts source = platform::SplitPath(sourcePath_ != nullptr ? sourcePath_ : "");
      Log().ErrorString("Result table name is not a file name:",
                        (source.name + source.extension).c_str());
      NoteFailure([this] { return noResultName(sourcePath_); });
      return;
    }
    case FolderCheck::Fault::kPathTooLong:
      Log().ErrorString("Result path does not fit in 259 characters:", check.tooLong.c_str());
      NoteFailure([this] { return resultPathTooLong(outputFolder_); });
      return;
    case FolderCheck::Fault::kNotMade:
      Log().Info(" failed to create result folder");
      NoteFailure(
          [&] { return resultFolderNotMade(outputFolder_, resultFolder_, check.made, env_); });
      return;
  }
}

void RecoveryRun::PlanEarlyResult() {
  // The classic run writes in its own second pass, and a template's choice
  // may still refuse the table.
  if (options_.classic() || template_) return;
  resultFolder_ = makeResultFolderName(sourcePath_, outputFolder_, env_);
  // The memo result paths stay unknown until the counting pass: the
  // writing stage holds them to the 259 characters, and a memo file
  // written early whose name does not fit goes with the method.
  std::optional<WritingPlan> plan = BestCasePlan();
  if (CheckResultFolder(plan, /*create=*/true).fault != FolderCheck::Fault::kNone) {
    resultFolder_.clear();
    return;
  }
  folderMadeEarly_ = true;
  bestMethod_->writeWhileCounting(plan->target);
}

void RecoveryRun::TakeBackEarlyFolder() {
  if (!folderMadeEarly_ || folderClaimed_) return;
  folderMadeEarly_ = false;
  // Empty by now: the methods, released first, took back what they wrote.
  if (!env_->RemoveFolder(resultFolder_)) {
    Log().InfoString("The results folder made early stays:", resultFolder_.c_str());
  }
}

int32_t RecoveryRun::WritingStage() {
  std::vector<CompanionCopy> companions;
  auto withdraw = [&] { withdrawMemoCompanions(companions, env_); };
  try {
    reportPass(StageText(kStageWriting));
    // Fixed text, whichever method won: hosts and log readers know it.
    Log().Info("Writing data to disk (Method0)");
    reportProgress(70);

    if (!folderMadeEarly_) resultFolder_ = makeResultFolderName(sourcePath_, outputFolder_, env_);
    std::optional<WritingPlan> plan =
        winner_ == Winner::kBestCase ? BestCasePlan() : WorstCasePlan();
    const FolderCheck check = CheckResultFolder(plan, /*create=*/!folderMadeEarly_);
    if (check.fault != FolderCheck::Fault::kNone) {
      SayFolderFault(check);
      return ReturnEarly(KEST_CANNOT_CREATE);
    }
    folderClaimed_ = true;
    // The worst case writes its own result; the early one goes first, so
    // that no name of the folder is taken by it.
    if (plan->method != Winner::kBestCase && bestMethod_) bestMethod_->dropEarlyResult();

    // The memo companions take their names before the table does: a run
    // cut short in between leaves memo files without a table, never a
    // table without its memo values.
    if (!plan->companionTable.empty()) {
      companions = planMemoCompanionCopies(sourcePath_, plan->companionTable.c_str(),
                                           plan->companionName.c_str(), env_);
      if (!placeMemoCompanions(companions, env_, report_)) {
        NoteFailure([this] {
          return resultNotWhole(resultFolder_, report_->writeError, breakRequested());
        });
        return Finish(InternalFailure());
      }
    }
    int32_t result = plan->method == Winner::kBestCase
                         ? bestMethod_->Flush(plan->target.c_str())
                         : worstMethod_->Flush(plan->target.c_str());
    // A thorough run's whole report goes beside the table. A report that
    // cannot be written takes the table with it: a failed write is never
    // a success.
    if (result == 0 && !options_.classic()) {
      for (std::string& note : noteIndexFiles(sourcePath_, resultFolder_, env_)) {
        report_->findings.add(kIndexStep, FindingKind::kNote, std::move(note));
      }
    }
    if (result == 0 && NamesFailures() && report_ != nullptr) {
      FillReport(plan->method);
      if (!placeReportFiles(resultFolder_, *report_, env_)) {
        // Everything the plan names was made by this run in its own new
        // folder: the table and the memo files written for it go together.
        for (const std::string& path : plan->mustFit) {
          discardPartial(env_, path, /*renamed=*/true);
        }
        result = kResultIncomplete;
      }
    }
    if (result != 0) withdraw();
    if (result == kCannotCreateResult) {
      NoteFailure([this] { return resultNotCreated(resultFolder_); });
    }
    if (result == kResultIncomplete) {
      NoteFailure([this] {
        return resultNotWhole(resultFolder_, report_->writeError, breakRequested());
      });
    }
    // From here the copies belong to the published table, or are gone.
    companions.clear();
    if (!plan->companionTable.empty()) logMemoCompanionSearch(sourcePath_);
    FillReport(result == 0 ? plan->method : Winner::kNone);
    reportProgress(95);
    Log().Info("Writing to disk complete");
    reportStatus(StageText(kStageDone));
    return Finish(result);
  } catch (const RaisedCode& raised) {
    withdraw();
    NoteFailure([&] {
      return raised.code == kUserBreak
                 ? stoppedByUser(sourcePath_)
                 : internalFailure(("while the result was written (code " +
                                    std::to_string(raised.code) + ")")
                                       .c_str(),
                                   resultFolder_);
    });
    return ReturnEarly(KEST_USER_BREAK);
  } catch (...) {
    withdraw();
    // Fixed text, whichever method won (see above).
    Log().Error("Unexpected error writing to disk with Method0");
    NoteFailure([this] { return internalFailure("while the result was written", resultFolder_); });
    return Finish(InternalFailure());
  }
}

int32_t RecoveryRun::ReturnEarly(int32_t code) {
  // The method objects hold the table open; an early return must not
  // leave them behind.
  ReleaseMethods();
  try {
    TakeBackEarlyFolder();
    NameFailure(code);
  } catch (...) {
  }
  return code;
}

int32_t RecoveryRun::Finish(int32_t code, bool hostHeardFromRun) {
  ReleaseMethods();
  try {
    TakeBackEarlyFolder();
    NameFailure(code);
    Log().Info("FileRecover() exiting");
    if (hostHeardFromRun) reportProgress(100);
  } catch (...) {
  }
  return code;
}

int32_t RecoveryRun::InternalFailure() {
  Log().Error("Exiting with or_internal");
  return KEST_INTERNAL;
}

template <typename Describe>
void RecoveryRun::NoteFailure(Describe describe) {
  // The first cause is the one that ended the run; what follows from it
  // (a code mapped on the way out) says less.
  if (NamesFailures() && !failure_) failure_ = describe();
}

void RecoveryRun::NameFailure(int32_t code) {
  if (!NamesFailures() || code == KEST_OK) return;
  if (!failure_) {
    switch (code) {
      case KEST_NOTHING:
        failure_ = nothingFound(sourcePath_, env_);
        break;
      case KEST_USER_BREAK:
        failure_ = stoppedByUser(sourcePath_);
        break;
      case KEST_SOURCE_UNREADABLE:
        failure_ = tableUnreadable(sourcePath_, kCannotOpen, std::string(), env_);
        break;
      case KEST_CANNOT_CREATE:
        failure_ = resultNotCreated(resultFolder_);
        break;
      default:
        failure_ = internalFailure("outside the recovery methods",
                                   sourcePath_ != nullptr ? sourcePath_ : "");
        break;
    }
  }
  Log().Error(failure_->line().c_str());
  if (report_ != nullptr) report_->failure = failure_->words;
}

void RecoveryRun::ReleaseMethods() {
  // Stops the second thread's scoring at once when the run ends before the
  // worst case took it.
  scoringAhead_.reset();
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

void RecoveryRun::FillReport(Winner written) {
  if (report_ == nullptr) return;
  RecoveryReport& report = *report_;
  // The findings stay as the steps left them; what the method that wrote
  // nothing found describes no result.
  if (written == Winner::kWorstCase && worstMethod_) {
    report.method = 2;
    // The writing pass keeps what the counting pass found passing.
    report.recordsWritten = passing1_;
    report.passedOver = PassedOver{};
    report.passedOver.failedValueCheck = count1_ > passing1_ ? count1_ - passing1_ : 0;
    report.findings.drop(kBestCaseStep);
    return;
  }
  report.findings.drop(kWorstCaseStep);
  if (!bestMethod_) return;
  if (written == Winner::kBestCase) {
    report.method = 1;
    report.recordsWritten = static_cast<uint32_t>(bestMethod_->validRecords());
  }
  report.passedOver = bestMethod_->passedOver();
}

void RecoveryRun::reportStatus(const char* text) {
  if (status_ != nullptr) status_(text, userData_);
}

void RecoveryRun::reportProgress(int32_t percent) {
  if (progress_ != nullptr) progress_("", percent, userData_);
}

void RecoveryRun::reportPass(const char* stageText) {
  ++passCounter_;
  // Stage texts come from the host-services library and may fill their
  // whole buffers; the line is cut to the 255 characters of a status line.
  char line[2 * kStageTextSize + 32];
  std::snprintf(line, sizeof line, "%s %d: %s...", StageText(kStagePass), passCounter_,
                stageText != nullptr ? stageText : "");
  line[kStageTextSize - 1] = '\0';
  reportStatus(line);
}

int32_t RecoveryRun::Refuse(const std::string& reason) {
  Logger& log = Log();
  log.Disable();
  if (LogFileAllowed()) {
    log.SetLogFile(logFileName_);
    log.InfoString("Log file name:", logFileName_);
  }
  log.Info("In FileRecover()");
  // The log line carries the status text's words; the logger puts its own
  // space before the reason.
  const std::string label(KEST_NOT_READY_STATUS, sizeof KEST_NOT_READY_STATUS - 2);
  log.ErrorString(label.c_str(), reason.c_str());
  log.Error("Exiting with or_internal");
  char line[kStageTextSize];
  std::snprintf(line, sizeof line, "%s%s", KEST_NOT_READY_STATUS, reason.c_str());
  reportStatus(line);
  return KEST_INTERNAL;
}

}  // namespace

Choice chooseResult(uint32_t count0, uint32_t count1, uint16_t headerRecordLength,
                    uint16_t bestRecordSize) {
  Choice choice;
  choice.selectionFactor = headerRecordLength == bestRecordSize ? 3 : 4;
  if (headerRecordLength > kMaxCandidateLength && count0 != 0) {
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
  std::string logFolder = platform::FolderOrCurrent(logFileName);
  std::string sourceFolder = platform::FolderOrCurrent(sourcePath);
  bool sameFolder = platform::EqualsNoCase(logFolder, sourceFolder) ||
                    env->SameFile(logFolder, sourceFolder);
  if (sameFolder && platform::EqualsNoCase(log.name, source.name) &&
      (platform::EqualsNoCase(log.extension, source.extension) ||
       isMemoCompanionName(source.name, log.name + log.extension))) {
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
  return recoverFile(sourcePath, outputFolder, statusCallback, progressCallback, userData,
                     logFileName, RecoveryOptions{}, nullptr, env);
}

int32_t recoverFile(const char* sourcePath, const char* outputFolder,
                    StatusCallback statusCallback, ProgressCallback progressCallback,
                    void* userData, const char* logFileName, const RecoveryOptions& options,
                    RecoveryReport* report, platform::Env* env) {
  RecoveryRun run(sourcePath, outputFolder, statusCallback, progressCallback, userData,
                  logFileName, options, report, env);
  try {
    std::string reason = runState().notReadyReason;
    if (!reason.empty()) return run.Refuse(reason);
    return run.Run();
  } catch (...) {
    return KEST_INTERNAL;
  }
}

namespace {

static_assert(uint32_t{KEST_FINE_PROGRESS} == kFineProgress &&
              uint32_t{KEST_KEEP_MEMO_REFERENCES} == kKeepMemoReferences &&
              uint32_t{KEST_THOROUGH} == kAllRecoveryFlags);

// What a host may leave out of the thorough recovery; every other bit of
// KEST_THOROUGH (each named a step in earlier versions) chooses it whole.
constexpr uint32_t kHostChoices = kFineProgress | kKeepMemoReferences;

RecoveryOptions optionsChosen(uint32_t hostFlags) {
  RecoveryOptions chosen;
  if ((hostFlags & ~kHostChoices) != 0) {
    chosen.flags = (kAllRecoveryFlags & ~kHostChoices) | (hostFlags & kHostChoices);
  }
  return chosen;
}

// The first versions of the host's structures: what every host fills.
constexpr uint32_t kOptionsFirstSize = offsetof(KestRecoverOptions, templatePath);
constexpr uint32_t kReportFirstSize = offsetof(KestRecoverReport, writeErrorCode);

void copyReport(const RecoveryReport& from, KestRecoverReport* host) {
  // A host of the first version has room for the first fields only.
  KestRecoverReport whole;
  std::memset(&whole, 0, sizeof whole);
  KestRecoverReport* to = &whole;
  to->size = host->size;
  to->method = from.method;
  to->recordsWritten = from.recordsWritten;
  to->deletedRecords = from.passedOver.deleted;
  to->jammedRecords = from.passedOver.jammedFlag;
  to->invalidRecords = from.passedOver.failedValueCheck;
  to->cutOffRecords = from.passedOver.cutOffByEndOfFile;
  const std::vector<Finding>& findings = from.findings.entries();
  to->repairCount = static_cast<uint32_t>(findings.size());
  for (size_t i = 0; i < findings.size() && i < KEST_REPORT_REPAIRS; ++i) {
    std::snprintf(to->repairs[i], KEST_REPORT_TEXT, "%s", findings[i].text.c_str());
  }
  to->writeErrorCode = from.writeErrorCode;
  std::snprintf(to->writeError, KEST_REPORT_TEXT, "%s", from.writeError.c_str());
  std::snprintf(to->failure, KEST_REPORT_TEXT, "%s", from.failure.c_str());
  std::memcpy(host, &whole, std::min<size_t>(host->size, sizeof whole));
}

}  // namespace

int32_t recoverFileEx(const char* sourcePath, const char* outputFolder,
                      StatusCallback statusCallback, ProgressCallback progressCallback,
                      void* userData, const char* logFileName, const KestRecoverOptions* options,
                      KestRecoverReport* report, platform::Env* env) {
  RecoveryOptions chosen;
  if (options != nullptr) {
    if (options->size < kOptionsFirstSize) return KEST_INTERNAL;
    if ((options->flags & ~kAllRecoveryFlags) != 0) return KEST_INTERNAL;
    chosen = optionsChosen(options->flags);
    if (options->size >= sizeof(KestRecoverOptions) && options->templatePath != nullptr &&
        *options->templatePath != '\0') {
      chosen.templatePath = options->templatePath;
      if (chosen.flags == 0) chosen.flags = kAllRecoveryFlags;
    }
  }
  if (report != nullptr && report->size < kReportFirstSize) return KEST_INTERNAL;
  RecoveryReport found;
  int32_t code = recoverFile(sourcePath, outputFolder, statusCallback, progressCallback,
                             userData, logFileName, chosen, report ? &found : nullptr, env);
  if (report != nullptr) copyReport(found, report);
  return code;
}

}  // namespace kest
