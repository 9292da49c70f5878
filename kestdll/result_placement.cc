#include "kestdll/result_placement.h"

#include <cstdio>

#include "Common/logger/logger.h"
#include "dbf/memo_companion.h"
#include "dbf/result_publishing.h"
#include "platform/path.h"

namespace kest {

namespace {

const char* const kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The companions of the source with their copy targets (empty targets in
// counting mode).
std::vector<CompanionCopy> FindCompanions(const char* sourcePath,
                                          const char* targetTablePath,
                                          const char* targetName, platform::Env* env) {
  std::vector<CompanionCopy> companions;
  if (sourcePath == nullptr) return companions;
  std::string sourceFolder = platform::FolderOf(sourcePath);
  std::string targetFolder =
      targetTablePath != nullptr ? platform::FolderOf(targetTablePath) : std::string();
  for (const std::string& name : listMemoCompanions(sourcePath, env)) {
    CompanionCopy copy;
    if (targetTablePath != nullptr) {
      copy.from = sourceFolder + name;
      copy.to = targetFolder + (targetName != nullptr ? targetName : "") +
                platform::SplitPath(name).extension;
    }
    companions.push_back(std::move(copy));
  }
  return companions;
}

}  // namespace

std::string makeResultFolderName(const char* sourcePath, const char* outputFolder,
                                 platform::Env* env) {
  std::string fileName(platform::FileNameOf(sourcePath != nullptr ? sourcePath : ""));
  platform::CivilTime now = env->LocalTime(env->NowSeconds());
  int year = now.year % 2000;
  int month = now.month >= 1 && now.month <= 12 ? now.month : 1;
  char name[kMaxPathLength + 1];
  std::snprintf(name, sizeof name, "Recovered %s %d-%s-%d%d %02d.%02d", fileName.c_str(),
                now.day, kMonthNames[month - 1], year / 10, year % 10, now.hour, now.minute);
  std::string folder = platform::InFolder(outputFolder != nullptr ? outputFolder : "", name);
  if (folder.size() > kMaxPathLength) folder.resize(kMaxPathLength);
  return folder;
}

std::vector<CompanionCopy> planMemoCompanionCopies(const char* sourcePath,
                                                  const char* targetTablePath,
                                                  const char* targetName,
                                                  platform::Env* env) {
  return FindCompanions(sourcePath, targetTablePath, targetName, env);
}

void logMemoCompanionSearch(const char* sourcePath) {
  Log().InfoString("File:", sourcePath);
  std::string mask = sourcePath != nullptr ? memoCompanionMask(sourcePath) : std::string();
  Log().InfoString("Looking for mask: ", mask.c_str());
}

int32_t copyMemoCompanions(const char* sourcePath, const char* targetTablePath,
                           const char* targetName, platform::Env* env) {
  std::vector<CompanionCopy> companions =
      FindCompanions(sourcePath, targetTablePath, targetName, env);
  logMemoCompanionSearch(sourcePath);
  if (targetTablePath != nullptr) {
    for (const CompanionCopy& copy : companions) {
      // The source is read by the exact path it was found under; only the
      // target, which is written, must fit.
      if (copy.to.size() > kMaxPathLength) {
        Log().ErrorString("Memo companion path does not fit in 259 characters:",
                          copy.to.c_str());
        continue;
      }
      placeMemoCompanion(copy, env);
    }
  }
  return static_cast<int32_t>(companions.size());
}

bool placeMemoCompanion(const CompanionCopy& copy, platform::Env* env, RecoveryReport* report) {
  platform::Status status;
  bool renamed = false;
  if (platform::IsPresent(env->KindOf(copy.to))) {
    status = platform::Status::Failure(0, "the target exists already");
  } else {
    // A copy that fails takes its partial target away itself.
    status = env->CopyNoOverwrite(copy.from, partialName(copy.to));
    if (status) {
      status = publishPartial(env, copy.to, &renamed);
      if (!status) discardPartial(env, copy.to, renamed);
    }
  }
  if (status) return true;
  logWriteFailure("Copying " + copy.from + " to " + copy.to, status);
  if (report != nullptr && report->writeError.empty()) {
    report->writeError = systemText(status);
    report->writeErrorCode = status.code();
  }
  return false;
}

bool placeMemoCompanions(const std::vector<CompanionCopy>& copies, platform::Env* env,
                         RecoveryReport* report) {
  for (size_t i = 0; i < copies.size(); ++i) {
    if (!placeMemoCompanion(copies[i], env, report)) {
      withdrawMemoCompanions({copies.begin(), copies.begin() + i}, env);
      return false;
    }
  }
  return true;
}

void withdrawMemoCompanions(const std::vector<CompanionCopy>& copies, platform::Env* env) {
  for (const CompanionCopy& copy : copies) discardPartial(env, copy.to, /*renamed=*/true);
}

}  // namespace kest
