// A stand-in engine for the tests of dbfrecover: it exports the engine's C
// interface and plays a scripted run per FileRecover call, so that every
// return code, the break byte and the result folders can be produced on
// demand without a damaged table.
//
// FAKE_ENGINE_SCRIPT holds one step per call, separated by commas (the last
// step repeats):
//   best:N     full run, writes <source name> with N records; returns 0
//   worst:N    full run, writes RECOVERED.DBF with N records; returns 0
//   code:C     returns C after the reports a run with that code sends
//   wait       reports Pass 2, then polls the break byte (up to 30 s)
//   deaf       like wait, but never looks at the break byte
//   writing    reaches Pass 4, makes the results folder and a partial
//              table under its temporary name, then polls the break byte
//              and answers it with -2, removing the partial table, as the
//              engine's writers do
//   full       reaches Pass 4, makes the results folder and fails as a full
//              disk does: -2, and "No space left on device" in the report
//              of FileRecoverEx, the folder left empty
//   notready   the one report of an engine that could not be set up, -2
//   odd        a best:1 run whose status texts hold quotes, backslashes,
//              control bytes and a byte that is not UTF-8
// FAKE_ENGINE_READY names a file that wait and deaf create once they poll.
// FAKE_ENGINE_TRACE names a file that gets one line per call:
//   "<source>|<output>|<log or -> |<break set or unset>".
// FAKE_ENGINE_ENTRY names a file that gets one line per call: "FileRecover",
// or "FileRecoverEx <flags in hex>" (or "FileRecoverEx null").
// FileRecoverEx plays the same script and fills the report of a written
// table with the method, the records, 2 deleted and 1 failed record and the
// repair "record count 40 corrected to <records> from the file size".
// Like the real engine it never writes to the source table. Built with
// FAKE_ENGINE_WITHOUT_FILE_RECOVER it lacks FileRecover, as a broken engine
// library would; with FAKE_ENGINE_WITHOUT_FILE_RECOVER_EX it lacks
// FileRecoverEx, as an engine older than the thorough recovery does.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "kestdll/include/kestdll.h"

#ifdef FAKE_ENGINE_WITHOUT_FILE_RECOVER
#define FileRecover FileRecoverUnderAnotherName
#endif

namespace {

char* gBreak = nullptr;
// What a "full" step reports through FileRecoverEx.
const char* gWriteError = "";
int gCalls = 0;

std::string scriptStep(int call) {
  const char* script = std::getenv("FAKE_ENGINE_SCRIPT");
  std::vector<std::string> steps;
  std::string current;
  for (const char* p = script != nullptr ? script : "best:1"; *p != '\0'; ++p) {
    if (*p == ',') {
      steps.push_back(current);
      current.clear();
    } else {
      current += *p;
    }
  }
  steps.push_back(current);
  return steps[static_cast<size_t>(call) < steps.size() ? call : steps.size() - 1];
}

struct Reports {
  StatusCallback status;
  ProgressCallback progress;
  void* userData;
  int pass = 0;
  void say(const char* text) {
    if (status != nullptr) status(text, userData);
  }
  void percent(int32_t value) {
    if (progress != nullptr) progress("", value, userData);
  }
  void passLine(const char* stage) {
    std::string line = "Pass " + std::to_string(++pass) + ": " + stage + "...";
    say(line.c_str());
  }
};

// Paths are taken apart and put together as the real engine does it.
#ifdef _WIN32
constexpr const char* kSeparators = "/\\";
const std::string kSep = "\\";
#else
constexpr const char* kSeparators = "/";
const std::string kSep = "/";
#endif

std::string fileNameOf(const std::string& path) {
  size_t slash = path.find_last_of(kSeparators);
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string resultFolderName(const std::string& source, const std::string& output) {
  static const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::time_t now = std::time(nullptr);
  std::tm local = *std::localtime(&now);
  char name[512];
  std::snprintf(name, sizeof name, "%s%sRecovered %s %d-%s-%02d %02d.%02d", output.c_str(),
                kSep.c_str(),
                fileNameOf(source).c_str(), local.tm_mday, kMonths[local.tm_mon],
                local.tm_year % 100, local.tm_hour, local.tm_min);
  return name;
}

bool writeTable(const std::string& path, uint32_t records) {
  unsigned char image[34] = {0x03};
  for (int i = 0; i < 4; ++i) image[4 + i] = static_cast<unsigned char>(records >> (8 * i));
  image[8] = 33;  // header length
  image[10] = 1;  // record length
  image[32] = 0x0D;
  image[33] = 0x1A;
#ifdef _WIN32
  // The Windows C runtime knows no "x"; the check comes first.
  if (std::filesystem::exists(path)) return false;
  FILE* file = std::fopen(path.c_str(), "wb");
#else
  FILE* file = std::fopen(path.c_str(), "wbx");
#endif
  if (file == nullptr) return false;
  bool ok = std::fwrite(image, sizeof image, 1, file) == 1;
  return std::fclose(file) == 0 && ok;
}

// A new folder; false when it is there already or cannot be made.
bool makeFolder(const std::string& path) {
  std::error_code error;
  return std::filesystem::create_directory(path, error);
}

void touch(const char* variable) {
  const char* path = std::getenv(variable);
  if (path == nullptr) return;
  if (FILE* file = std::fopen(path, "wb")) std::fclose(file);
}

int32_t waitForBreak(bool listen, int32_t answer = KEST_USER_BREAK) {
  touch("FAKE_ENGINE_READY");
  for (int i = 0; i < 6000; ++i) {
    if (listen && gBreak != nullptr && *static_cast<volatile char*>(gBreak) != 0) {
      return answer;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return KEST_INTERNAL;
}

}  // namespace

extern "C" {

KEST_API void KEST_CALL SetBreakFlag(char* flag) { gBreak = flag; }
KEST_API int32_t KEST_CALL GetDllVersion(void) { return 0; }
KEST_API int32_t KEST_CALL isEnvReady(void) { return 0; }
KEST_API int32_t KEST_CALL LoadValcore(void) { return 0; }

}  // extern "C"

namespace {

void noteEntry(const std::string& line) {
  if (const char* entry = std::getenv("FAKE_ENGINE_ENTRY")) {
    if (FILE* file = std::fopen(entry, "ab")) {
      std::fprintf(file, "%s\n", line.c_str());
      std::fclose(file);
    }
  }
}

int32_t scriptedRun(const char* sourcePath, const char* outputFolder,
                    StatusCallback statusCallback, ProgressCallback progressCallback,
                    void* userData, const char* logFileName, KestRecoverReport* report) {
  std::string step = scriptStep(gCalls++);
  if (const char* trace = std::getenv("FAKE_ENGINE_TRACE")) {
    if (FILE* file = std::fopen(trace, "ab")) {
      std::fprintf(file, "%s|%s|%s|%s\n", sourcePath, outputFolder,
                   logFileName != nullptr ? logFileName : "-", gBreak != nullptr ? "set" : "unset");
      std::fclose(file);
    }
  }
  if (logFileName != nullptr && *logFileName != '\0') {
    if (FILE* file = std::fopen(logFileName, "ab")) {
      std::fprintf(file, "  INFO | In FileRecover()\n");
      std::fclose(file);
    }
  }

  Reports reports{statusCallback, progressCallback, userData};
  if (step == "notready") {
    reports.say("Recovery engine not ready: the host-services library could not be bound");
    return KEST_INTERNAL;
  }
  reports.percent(0);
  reports.passLine("initializing");
  reports.say("done");
  reports.percent(5);

  if (step == "wait" || step == "deaf") {
    reports.passLine("trying best-case recovery method");
    return waitForBreak(step == "wait");
  }

  int32_t code = 0;
  bool worst = false;
  uint32_t records = 1;
  bool odd = step == "odd";
  if (step.rfind("code:", 0) == 0) {
    code = std::atoi(step.c_str() + 5);
  } else if (step.rfind("best:", 0) == 0 || step.rfind("worst:", 0) == 0) {
    worst = step[0] == 'w';
    records = static_cast<uint32_t>(std::strtoul(step.c_str() + step.find(':') + 1, nullptr, 10));
  }

  reports.passLine("trying best-case recovery method");
  if (code == KEST_SOURCE_UNREADABLE) return code;
  reports.percent(10);
  reports.percent(20);
  reports.say("done");
  if (odd) reports.say("quote \" backslash \\ tab \t newline \n escape \x1b[2J bell \a byte \xff end");
  reports.passLine("trying worst-case recovery method");
  for (int32_t percent = 25; percent <= 65; percent += 10) reports.percent(percent);
  reports.say("done");
  if (code == KEST_USER_BREAK) return code;
  if (code == KEST_NOTHING) {
    reports.percent(100);
    return code;
  }

  reports.passLine("writing results");
  reports.percent(70);
  if (step == "writing") {
    std::string folder = resultFolderName(sourcePath, outputFolder);
    if (!makeFolder(folder)) return KEST_CANNOT_CREATE;
    std::string partial = folder + kSep + "RECOVERED.DBF.partial";
    writeTable(partial, 0);
    int32_t stopped = waitForBreak(true, KEST_INTERNAL);
    std::remove(partial.c_str());
    return stopped;
  }
  if (step == "full") {
    std::string folder = resultFolderName(sourcePath, outputFolder);
    if (!makeFolder(folder)) return KEST_CANNOT_CREATE;
    gWriteError = "No space left on device";
    return KEST_INTERNAL;
  }
  if (code == 0) {
    std::string folder = resultFolderName(sourcePath, outputFolder);
    if (!makeFolder(folder)) return KEST_CANNOT_CREATE;
    std::string table = folder + kSep + (worst ? "RECOVERED.DBF" : fileNameOf(sourcePath));
    if (!writeTable(table, records)) code = KEST_CANNOT_CREATE;
    if (code == 0 && report != nullptr) {
      report->method = worst ? 2 : 1;
      report->recordsWritten = records;
      report->deletedRecords = 2;
      report->invalidRecords = 1;
      report->repairCount = 1;
      std::snprintf(report->repairs[0], KEST_REPORT_TEXT,
                    "record count 40 corrected to %u from the file size", records);
    }
  } else if (code == KEST_CANNOT_CREATE) {
    return code;
  }
  reports.percent(95);
  reports.say("done");
  reports.percent(100);
  return code;
}

}  // namespace

extern "C" {

KEST_API int32_t KEST_CALL FileRecover(const char* sourcePath, const char* outputFolder,
                                       int32_t, StatusCallback statusCallback,
                                       ProgressCallback progressCallback, void* userData,
                                       const char* logFileName) {
  noteEntry("FileRecover");
  return scriptedRun(sourcePath, outputFolder, statusCallback, progressCallback, userData,
                     logFileName, nullptr);
}

#ifndef FAKE_ENGINE_WITHOUT_FILE_RECOVER_EX
KEST_API int32_t KEST_CALL FileRecoverEx(const char* sourcePath, const char* outputFolder,
                                         int32_t, StatusCallback statusCallback,
                                         ProgressCallback progressCallback, void* userData,
                                         const char* logFileName,
                                         const KestRecoverOptions* options,
                                         KestRecoverReport* report) {
  char line[64];
  if (options != nullptr) {
    std::snprintf(line, sizeof line, "FileRecoverEx %x", options->flags);
  } else {
    std::snprintf(line, sizeof line, "FileRecoverEx null");
  }
  noteEntry(line);
  if (report != nullptr) {
    uint32_t size = report->size;
    std::memset(report, 0, sizeof *report);
    report->size = size;
  }
  gWriteError = "";
  int32_t code = scriptedRun(sourcePath, outputFolder, statusCallback, progressCallback,
                             userData, logFileName, report);
  if (report != nullptr) {
    std::snprintf(report->writeError, sizeof report->writeError, "%s", gWriteError);
    report->writeErrorCode = *gWriteError != '\0' ? 28 : 0;
  }
  return code;
}
#endif

}  // extern "C"
