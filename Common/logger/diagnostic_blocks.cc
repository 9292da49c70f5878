// The machine-info and version-info blocks at the head of each log.
#include <cstdio>
#include <string>

#include "Common/logger/logger.h"

namespace kest {

namespace {

const char kFrame[] = "====================================================";
const char kMachineTitle[] = "============== LOGGER MACHINE INFO =================";
const char kVersionTitle[] = "============== VERSION INFO ========================";

static_assert(sizeof kFrame - 1 == 52 && sizeof kMachineTitle - 1 == 52 &&
              sizeof kVersionTitle - 1 == 52);

// The machine queries answer into a buffer of fixed size; an answer that
// does not fit keeps its beginning, so a line shows only the answer's own
// text. An empty answer counts as a failed query, as a zero-length result
// does on the systems the blocks were made for.
template <typename Query>
void WriteQueryLine(Logger& log, const char* label, Query query) {
  std::string answer;
  bool ok = false;
  try {
    ok = query(&answer);
  } catch (...) {
    ok = false;
  }
  if (!ok || answer.empty()) return;
  if (answer.size() > Logger::kMaxQuery) answer.resize(Logger::kMaxQuery);
  log.InfoString(label, answer.c_str());
}

}  // namespace

void Logger::WriteMachineInfo() {
  Info(" ");
  Info(kFrame);
  Info(kMachineTitle);
  Info(kFrame);
  InfoString("__DATE__", __DATE__);
  InfoString("__TIME__", __TIME__);

  platform::CivilTime now = env_->LocalTime(env_->NowSeconds());
  char today[64];
  std::snprintf(today, sizeof today, "%02d.%02d.%04d %02d:%02d:%02d", now.day, now.month,
                now.year, now.hour, now.minute, now.second);
  InfoString("Today is", today);

  platform::Env* env = env_;
  WriteQueryLine(*this, "GetCurrentDirectory",
                 [env](std::string* s) { return env->CurrentFolder(s); });
  // The labels are the log's own and stay what they are on every system.
  WriteQueryLine(*this, "GetSystemDirectory", [env](std::string* s) {
    return env->MachineFolderPath(platform::MachineFolder::kSystemLibraries, s);
  });
  WriteQueryLine(*this, "GetWindowsDirectory", [env](std::string* s) {
    return env->MachineFolderPath(platform::MachineFolder::kSystemRoot, s);
  });
  WriteQueryLine(*this, "GetTempPath", [env](std::string* s) { return env->TempPath(s); });
  // The label is a value, not a format: its percent signs stay doubled.
  WriteQueryLine(*this, "%%BRENMOORTMP%%",
                 [env](std::string* s) { return env->GetVariable("BRENMOORTMP", s); });
  WriteQueryLine(*this, "GetComputerName",
                 [env](std::string* s) { return env->ComputerName(s); });
  Info(kFrame);
}

void Logger::WriteVersionInfo() {
  Info(kFrame);
  Info(kVersionTitle);
  Info(kFrame);
  Info(kFrame);
}

}  // namespace kest
