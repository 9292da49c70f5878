// dbfrecover: the command-line host of the recovery engine.
//
// It loads the engine library at run time from its own folder, the way the
// graphical host of the product line does, hands it a break byte that the
// first Ctrl-C sets, and calls FileRecoverEx with the thorough recovery once
// per table (FileRecover itself with --classic, or when the engine has no
// FileRecoverEx: then it says so once and each table gets the classic run). What the engine
// reports goes to stderr (Pass lines and a progress bar on a terminal, plain
// lines elsewhere) or, with --json, as JSON lines to stdout. After each
// table it says where the result went or why there is none; the exit status
// is the worst outcome over all tables.
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "host/cli_text.h"
#include "host/engine_library.h"
#include "host/options.h"
#include "host/reporter.h"
#include "host/table_files.h"
#include "kestdll/include/kestdll.h"
#include "platform/console.h"

namespace kest::host {
namespace {

using platform::ConsoleStream;

// The engine reads this byte at its poll points; the interrupt handler is
// the only writer.
volatile char gBreakByte = 0;

const char kBreakAnnouncement[] =
    "\nStopping at the engine's next check; press Ctrl-C again to quit at once.\n";

// `text` is UTF-8; see shown() for what comes from the user or the system.
void say(ConsoleStream stream, const std::string& text) {
  std::fputs(platform::ForConsole(stream, text).c_str(),
             stream == ConsoleStream::kOutput ? stdout : stderr);
}

// A name or a system text as a plain line may carry it.
std::string shown(const std::string& narrow) { return plainText(platform::NarrowToUtf8(narrow)); }

// The engine calls these on the thread that called FileRecover; nothing may
// be thrown back across the C interface.
int32_t KEST_CALL onStatus(const char* text, void* userData) {
  try {
    static_cast<Reporter*>(userData)->status(text);
  } catch (...) {
  }
  return 0;
}

int32_t KEST_CALL onProgress(const char*, int32_t percent, void* userData) {
  try {
    static_cast<Reporter*>(userData)->progress(percent);
  } catch (...) {
  }
  return 0;
}

int usageError(const std::string& problem) {
  say(ConsoleStream::kError, usageErrorText(shown(problem)));
  return kExitUsage;
}

const char kNoThoroughNote[] =
    "dbfrecover: the engine library has no thorough recovery (FileRecoverEx); every table "
    "gets the classic one.";

// One table through the engine: the classic run, or the thorough one with
// its report. `writeError` gets the system's words for a result that could
// not be written whole, where the engine can tell them.
int32_t recoverOne(const Engine& engine, bool thorough, const std::string& table,
                   const Options& options, Reporter* reporter, std::optional<RunReport>* report,
                   std::string* writeError) {
  const char* logFile = options.logFile.empty() ? nullptr : options.logFile.c_str();
  KestRecoverReport raw{};
  raw.size = sizeof raw;
  int32_t code;
  if (engine.fileRecoverEx == nullptr) {
    code = engine.fileRecover(table.c_str(), options.outputFolder.c_str(), 0, onStatus,
                              onProgress, reporter, logFile);
  } else if (!thorough) {
    // No options is the classic run itself; its report says why a result
    // could not be written.
    code = engine.fileRecoverEx(table.c_str(), options.outputFolder.c_str(), 0, onStatus,
                                onProgress, reporter, logFile, nullptr, &raw);
  } else {
    KestRecoverOptions chosen{};
    chosen.size = sizeof chosen;
    chosen.flags = KEST_THOROUGH;
    chosen.templatePath = options.templatePath.empty() ? nullptr : options.templatePath.c_str();
    code = engine.fileRecoverEx(table.c_str(), options.outputFolder.c_str(), 0, onStatus,
                                onProgress, reporter, logFile, &chosen, &raw);
    *report = reportFromEngine(raw);
  }
  *writeError = std::string(raw.writeError, strnlen(raw.writeError, sizeof raw.writeError));
  return code;
}

// Runs every table in turn; the exit status is the worst outcome.
int runBatch(const Options& options, const Engine& engine, Style style) {
  Reporter reporter(style);
  bool thorough = !options.classic && engine.fileRecoverEx != nullptr;
  if (!options.classic && !thorough) reporter.note(kNoThoroughNote);
  int status = kExitOk;
  bool stopped = false;
  for (const std::string& table : options.tables) {
    // A break ends the batch: the user asked to stop, and the engine would
    // clear the byte at the start of the next run.
    if (stopped || platform::InterruptCount() != 0) {
      reporter.notRun(table);
      status = worseExitStatus(status, kExitUserBreak);
      continue;
    }
    reporter.beginTable(table);
    std::set<std::string> before = resultFolderNames(options.outputFolder);
    std::optional<RunReport> report;
    std::string writeError;
    int32_t code = recoverOne(engine, thorough, table, options, &reporter, &report, &writeError);
    reporter.endRun();
    bool notWritten = code == KEST_INTERNAL && !writeError.empty();
    // The engine's writer answers a break with an internal failure; after a
    // Ctrl-C that is the user's stop, and what was written is incomplete.
    bool stoppedWhileWriting =
        code == KEST_INTERNAL && platform::InterruptCount() != 0 && !reporter.engineNotReady();
    if (code == KEST_OK) {
      reporter.written(findNewResult(options.outputFolder, table, before), options.outputFolder,
                       report);
    } else if (stoppedWhileWriting) {
      reporter.stoppedWhileWriting(findNewResult(options.outputFolder, table, before));
    } else if (notWritten) {
      reporter.notWritten(findNewResult(options.outputFolder, table, before), writeError);
    } else {
      reporter.failed(code, report);
    }
    stopped = code == KEST_USER_BREAK || stoppedWhileWriting;
    status = worseExitStatus(status, stoppedWhileWriting ? kExitUserBreak
                                     : notWritten        ? kExitNotWritten
                                                         : exitStatusForCode(code));
  }
  return status;
}

int run(int argc, char** argv) {
  CommandLine commandLine = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  switch (commandLine.action) {
    case CommandLine::Action::kHelp:
      say(ConsoleStream::kOutput, helpText());
      return kExitOk;
    case CommandLine::Action::kVersion:
      say(ConsoleStream::kOutput, versionText());
      return kExitOk;
    case CommandLine::Action::kUsageError:
      return usageError(commandLine.problem);
    case CommandLine::Action::kRun:
      break;
  }
  const Options& options = commandLine.options;
  if (std::optional<std::string> problem = problemOnDisk(options)) return usageError(*problem);

  Style style = options.json    ? Style::kJson
                : options.quiet ? Style::kQuiet
                : platform::IsTerminal(ConsoleStream::kError) ? Style::kTerminal
                                                              : Style::kPlain;

  // The engine turns localized texts into the process's character set when
  // it is loaded: let that be the user's, not the "C" locale's ASCII.
  platform::UseUsersCharacterSet();

  std::string path = enginePath();
  std::string problem;
  std::optional<Engine> engine = loadEngine(path, &problem);
  if (!engine) {
    // The loader's text names the file itself.
    std::string folders;
    for (const std::string& folder : engineFolders()) {
      folders += (folders.empty() ? "" : " and ") + shown(folder);
    }
    say(ConsoleStream::kError, "dbfrecover: cannot load the engine library: " + shown(problem) +
                                   "\nIt is looked for in " + folders + ", or where " +
                                   kEngineVariable + " names it.\n");
    return kExitNoEngine;
  }

  bool announceBreak = style == Style::kTerminal || style == Style::kPlain;
  platform::InstallInterruptHandler(&gBreakByte, announceBreak ? kBreakAnnouncement : nullptr,
                                    kExitUserBreak);
  // A reader that goes away (`dbfrecover --json | head`) must not kill the
  // process while the engine is writing a result; lost reports are fine.
  platform::IgnoreBrokenPipe();
  engine->setBreakFlag(const_cast<char*>(&gBreakByte));

  return runBatch(options, *engine, style);
}

}  // namespace
}  // namespace kest::host

// "inspect" and "export" are commands of their own; everything else recovers.
#include "host/subcommands.h"

int main(int argc, char** argv) {
  if (int status = 0; kest::host::RunSubcommand(argc, argv, &status)) return status;
  return kest::host::run(argc, argv);
}
