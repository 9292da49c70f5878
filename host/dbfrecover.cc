// dbfrecover: the command-line host of the recovery engine.
//
// It loads the engine library at run time from its own folder, the way the
// graphical host of the product line does, hands it a break byte that the
// first Ctrl-C sets, and calls FileRecover once per table. What the engine
// reports goes to stderr (Pass lines and a progress bar on a terminal, plain
// lines elsewhere) or, with --json, as JSON lines to stdout. After each
// table it says where the result went or why there is none; the exit status
// is the worst outcome over all tables.
#include <dlfcn.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "host/cli_text.h"
#include "host/table_files.h"
#include "kestdll/include/kestdll.h"
#include "platform/path.h"

#ifndef KEST_HOST_VERSION
#define KEST_HOST_VERSION "0.0.0"
#endif

namespace kest::host {
namespace {

constexpr const char* kEngineFileName = "libkestdll.so";
constexpr const char* kEngineVariable = "KEST_ENGINE";
// How an engine that could not be set up at load explains its refusal.
constexpr const char* kNotReadyPrefix = "Recovery engine not ready: ";

// --- Ctrl-C ---------------------------------------------------------------
// The engine reads this byte at its poll points; the handler is the only
// writer. A second Ctrl-C does not wait for the next poll: it ends the
// process at once.
volatile char gBreakByte = 0;
volatile sig_atomic_t gInterrupts = 0;
volatile sig_atomic_t gAnnounceBreak = 0;

void onInterrupt(int) {
  if (gInterrupts != 0) _exit(kExitUserBreak);
  gInterrupts = 1;
  gBreakByte = 1;
  if (gAnnounceBreak != 0) {
    static const char kMessage[] =
        "\nStopping at the engine's next check; press Ctrl-C again to quit at once.\n";
    ssize_t written = write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
    (void)written;
  }
}

void installInterruptHandler() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  // A reader that goes away (`dbfrecover --json | head`) must not kill the
  // process while the engine is writing a result; lost reports are fine.
  signal(SIGPIPE, SIG_IGN);
}

// --- command line ---------------------------------------------------------

struct Options {
  std::string outputFolder = ".";
  std::string logFile;
  bool quiet = false;
  bool json = false;
  std::vector<std::string> tables;
};

const char kUsageLine[] = "Usage: dbfrecover [options] TABLE.dbf...\n";

void printHelp() {
  std::fputs(kUsageLine, stdout);
  std::fputs(
      "Recovers damaged dBASE/FoxPro tables. Each table and its .fpt/.dbt memo\n"
      "companions are only read; the repaired table goes into a new folder\n"
      "\"Recovered <table> <date> <time>\" inside the output folder.\n"
      "\n"
      "Options:\n"
      "  -o, --output DIR   output folder; it must exist (default: the current folder)\n"
      "  -l, --log FILE     append the engine's diagnostic log to FILE\n"
      "  -q, --quiet        report failures only\n"
      "      --json         report everything as JSON lines on stdout\n"
      "  -h, --help         show this help and exit\n"
      "      --version      show the version and exit\n"
      "\n"
      "Exit status:\n"
      "  0    every table was written\n"
      "  3    nothing to recover\n"
      "  4    a table cannot be read\n"
      "  5    a result cannot be created\n"
      "  6    internal failure in the engine\n"
      "  130  stopped by the user (Ctrl-C)\n"
      "  Over several tables the worst counts: 130, then 6, 5, 4, 3.\n"
      "  2    usage error (nothing was run)\n"
      "  7    the engine library cannot be loaded\n"
      "\n"
      "Environment:\n"
      "  KEST_ENGINE        the engine library to load instead of libkestdll.so\n"
      "                     beside dbfrecover\n",
      stdout);
}

[[noreturn]] void usageError(const std::string& problem) {
  std::fprintf(stderr, "dbfrecover: %s\n%sTry 'dbfrecover --help' for more.\n",
               plainText(problem).c_str(), kUsageLine);
  std::exit(kExitUsage);
}

// Options may stand before, between and after the tables, as in most tools;
// "--" ends them. Long options are spelled out in full.
Options parseOptions(int argc, char** argv) {
  Options options;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    std::string word = argv[i];
    if (optionsEnded || word.size() < 2 || word[0] != '-') {
      options.tables.push_back(word);
      continue;
    }
    if (word == "--") {
      optionsEnded = true;
      continue;
    }
    // The value of -o/-l: the rest of the word ("-oDIR", "--output=DIR") or
    // the next word.
    auto value = [&](const std::string& name, std::optional<std::string> attached) {
      if (attached) return *attached;
      if (i + 1 >= argc) usageError("option '" + name + "' needs an argument");
      return std::string(argv[++i]);
    };
    if (word.rfind("--", 0) == 0) {
      size_t equals = word.find('=');
      std::string name = word.substr(0, equals);
      std::optional<std::string> attached;
      if (equals != std::string::npos) attached = word.substr(equals + 1);
      if (name == "--output") {
        options.outputFolder = value(name, attached);
      } else if (name == "--log") {
        options.logFile = value(name, attached);
      } else if (attached) {
        usageError("unknown option '" + word + "'");
      } else if (name == "--quiet") {
        options.quiet = true;
      } else if (name == "--json") {
        options.json = true;
      } else if (name == "--help") {
        printHelp();
        std::exit(kExitOk);
      } else if (name == "--version") {
        std::printf("dbfrecover %s\n", KEST_HOST_VERSION);
        std::exit(kExitOk);
      } else {
        usageError("unknown option '" + word + "'");
      }
      continue;
    }
    for (size_t k = 1; k < word.size(); ++k) {
      char letter = word[k];
      std::string name = std::string("-") + letter;
      std::optional<std::string> attached;
      if (k + 1 < word.size()) attached = word.substr(k + 1);
      if (letter == 'o' || letter == 'l') {
        (letter == 'o' ? options.outputFolder : options.logFile) = value(name, attached);
        break;
      } else if (letter == 'q') {
        options.quiet = true;
      } else if (letter == 'h') {
        printHelp();
        std::exit(kExitOk);
      } else {
        usageError("unknown option '" + name + "'");
      }
    }
  }
  if (options.tables.empty()) usageError("no table given");
  if (options.outputFolder.empty()) usageError("the output folder name is empty");
  struct stat folder;
  if (::stat(options.outputFolder.c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode)) {
    usageError("output folder '" + options.outputFolder + "' is not an existing folder");
  }
  if (!options.logFile.empty()) {
    if (std::optional<std::string> clash = logClash(options.logFile, options.tables)) {
      usageError("log file '" + options.logFile + "' would write into '" + *clash +
                 "', which is to be recovered; choose another log file");
    }
  }
  return options;
}

// --- the engine -----------------------------------------------------------

struct Engine {
  decltype(&::FileRecover) fileRecover = nullptr;
  decltype(&::SetBreakFlag) setBreakFlag = nullptr;
};

std::string ownFolder() {
  char path[4096];
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return ".";
  path[length] = '\0';
  platform::PathParts parts = platform::SplitPath(path);
  return parts.drive + parts.folder;
}

std::string enginePath() {
  const char* chosen = std::getenv(kEngineVariable);
  if (chosen != nullptr && *chosen != '\0') return chosen;
  return platform::InFolder(ownFolder(), kEngineFileName);
}

// The library stays loaded until the process ends.
std::optional<Engine> loadEngine(const std::string& path, std::string* problem) {
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* reason = dlerror();
    *problem = reason != nullptr ? reason : "unknown reason";
    return std::nullopt;
  }
  Engine engine;
  engine.fileRecover = reinterpret_cast<decltype(&::FileRecover)>(dlsym(library, "FileRecover"));
  engine.setBreakFlag =
      reinterpret_cast<decltype(&::SetBreakFlag)>(dlsym(library, "SetBreakFlag"));
  if (engine.fileRecover == nullptr || engine.setBreakFlag == nullptr) {
    *problem = path + ": FileRecover or SetBreakFlag is missing from it";
    return std::nullopt;
  }
  return engine;
}

// --- reporting ------------------------------------------------------------

enum class Style { kJson, kTerminal, kPlain, kQuiet };

bool endsWith(const std::string& text, const char* tail) {
  size_t length = std::strlen(tail);
  return text.size() >= length && text.compare(text.size() - length, length, tail) == 0;
}

int terminalColumns() {
  winsize size;
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col >= 20) return size.ws_col;
  return 80;
}

// Shows the engine's reports for one table at a time. Pass lines end in
// "..."; any other status text closes the open Pass line (the engine's
// "done", in whatever language the stage texts came in).
class Reporter {
 public:
  explicit Reporter(Style style) : style_(style) {}

  void beginTable(const std::string& table) {
    table_ = table;
    notReady_.clear();
    stage_.clear();
    stageOpen_ = false;
    percent_ = -1;
    if (style_ == Style::kJson) {
      emitJson("\"type\":\"start\"");
    } else if (style_ == Style::kTerminal || style_ == Style::kPlain) {
      std::fprintf(stderr, "Recovering %s\n", plainText(table).c_str());
    }
  }

  void status(const char* raw) {
    std::string text = raw != nullptr ? raw : "";
    if (text.rfind(kNotReadyPrefix, 0) == 0) {
      // The one report of an engine that could not be set up at load; the
      // failure sentence of the run carries it.
      notReady_ = text;
      if (style_ != Style::kJson) return;
    }
    switch (style_) {
      case Style::kJson:
        emitJson("\"type\":\"status\",\"text\":" + jsonString(text));
        break;
      case Style::kTerminal:
        text = plainText(text);
        if (endsWith(text, "...")) {
          if (stageOpen_) writeLine(stage_);
          stage_ = text;
          stageOpen_ = true;
          drawBar();
        } else if (stageOpen_) {
          writeLine(stage_ + " " + text);
          stageOpen_ = false;
          stage_.clear();
        } else {
          writeLine(text);
        }
        break;
      case Style::kPlain:
        text = plainText(text);
        if (endsWith(text, "...")) {
          if (stageOpen_) std::fputc('\n', stderr);
          std::fputs(text.c_str(), stderr);
          stageOpen_ = true;
        } else if (stageOpen_) {
          std::fprintf(stderr, " %s\n", text.c_str());
          stageOpen_ = false;
        } else {
          std::fprintf(stderr, "%s\n", text.c_str());
        }
        break;
      case Style::kQuiet:
        break;
    }
  }

  void progress(int32_t percent) {
    if (style_ == Style::kJson) {
      emitJson("\"type\":\"progress\",\"percent\":" + std::to_string(percent));
    } else if (style_ == Style::kTerminal) {
      percent_ = percent < 0 ? 0 : percent > 100 ? 100 : percent;
      drawBar();
    }
  }

  // Closes what the run left open on stderr.
  void endRun() {
    if (style_ == Style::kTerminal) {
      if (stageOpen_) {
        writeLine(stage_);
      } else if (barShown_) {
        std::fputs("\r\033[K", stderr);
      }
      barShown_ = false;
    } else if (style_ == Style::kPlain && stageOpen_) {
      std::fputc('\n', stderr);
    }
    stageOpen_ = false;
  }

  void written(const std::optional<ResultLocation>& location, const std::string& outputFolder) {
    if (style_ == Style::kJson) {
      std::string fields = "\"type\":\"result\",\"code\":0,\"exit\":0,\"outcome\":\"written\"";
      if (location) {
        fields += ",\"method\":" + jsonString(location->method);
        fields += ",\"folder\":" + jsonString(location->folder);
        fields += ",\"file\":" + (location->table.empty() ? "null" : jsonString(location->table));
        fields += ",\"records\":" +
                  (location->records ? std::to_string(*location->records) : std::string("null"));
      } else {
        fields += ",\"method\":null,\"folder\":null,\"file\":null,\"records\":null";
      }
      emitJson(fields);
      return;
    }
    if (style_ == Style::kQuiet) return;
    std::string table = plainText(table_);
    if (!location) {
      std::printf("%s: written, but no new results folder was found in %s\n", table.c_str(),
                  plainText(outputFolder).c_str());
    } else {
      std::string how = location->method == "unknown"
                            ? std::string("recovered")
                            : "recovered by the " + location->method + " method";
      std::string count = location->records ? std::to_string(*location->records) + " records"
                                            : std::string("record count unreadable");
      std::printf("%s: %s, %s\n", table.c_str(), how.c_str(), count.c_str());
      std::printf("  results folder: %s\n", plainText(location->folder).c_str());
      if (!location->table.empty()) {
        std::printf("  result table:   %s\n", plainText(location->table).c_str());
      }
    }
    std::fflush(stdout);
  }

  void failed(int32_t code) {
    std::string sentence = failureSentence(code);
    if (code == KEST_INTERNAL && !notReady_.empty()) {
      sentence = notReady_;
      if (!endsWith(sentence, ".")) sentence += '.';
    }
    if (style_ == Style::kJson) {
      emitJson("\"type\":\"result\",\"code\":" + std::to_string(code) +
               ",\"exit\":" + std::to_string(exitStatusForCode(code)) + ",\"outcome\":\"" +
               outcomeName(code) + "\",\"message\":" + jsonString(sentence));
      return;
    }
    std::fprintf(stderr, "%s: %s\n", plainText(table_).c_str(), plainText(sentence).c_str());
  }

  bool engineNotReady() const { return !notReady_.empty(); }

  void stoppedWhileWriting(const std::optional<ResultLocation>& location) {
    std::string sentence = "Stopped by the user while the result was being written";
    sentence += location ? "; the results folder " + location->folder + " holds an incomplete table."
                         : ".";
    if (style_ == Style::kJson) {
      emitJson("\"type\":\"result\",\"code\":" + std::to_string(KEST_INTERNAL) +
               ",\"exit\":" + std::to_string(kExitUserBreak) +
               ",\"outcome\":\"user-break\",\"folder\":" +
               (location ? jsonString(location->folder) : std::string("null")) +
               ",\"message\":" + jsonString(sentence));
      return;
    }
    std::fprintf(stderr, "%s: %s\n", plainText(table_).c_str(), plainText(sentence).c_str());
  }

  void notRun(const std::string& table) {
    table_ = table;
    const char* sentence = "Not run: stopped by the user.";
    if (style_ == Style::kJson) {
      emitJson(std::string("\"type\":\"result\",\"code\":null,\"exit\":") +
               std::to_string(kExitUserBreak) + ",\"outcome\":\"not-run\",\"message\":" +
               jsonString(sentence));
      return;
    }
    std::fprintf(stderr, "%s: %s\n", plainText(table_).c_str(), sentence);
  }

 private:
  void emitJson(const std::string& fields) {
    std::printf("{\"table\":%s,%s}\n", jsonString(table_).c_str(), fields.c_str());
    std::fflush(stdout);
  }

  void writeLine(const std::string& line) {
    std::fprintf(stderr, "\r\033[K%s\n", line.c_str());
    barShown_ = false;
  }

  void drawBar() {
    constexpr int kBarWidth = 20;
    int percent = percent_ < 0 ? 0 : percent_;
    int filled = percent * kBarWidth / 100;
    std::string bar = "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '.') +
                      "] " + std::to_string(percent) + "%";
    // The line must not wrap, or the carriage return would redraw only its
    // last part.
    size_t room = static_cast<size_t>(terminalColumns() - 1);
    std::string line = bar;
    if (stageOpen_ && room > bar.size() + 1) {
      line = cutToFit(stage_, room - bar.size() - 1) + " " + bar;
    }
    line = cutToFit(line, room);
    std::fprintf(stderr, "\r\033[K%s", line.c_str());
    barShown_ = true;
  }

  Style style_;
  std::string table_;
  std::string stage_;
  bool stageOpen_ = false;
  bool barShown_ = false;
  int percent_ = -1;
  std::string notReady_;
};

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

int run(int argc, char** argv) {
  Options options = parseOptions(argc, argv);

  Style style = options.json    ? Style::kJson
                : options.quiet ? Style::kQuiet
                : isatty(STDERR_FILENO) ? Style::kTerminal
                                        : Style::kPlain;

  // The engine turns localized texts into the process's character set when
  // it is loaded: let that be the user's, not the "C" locale's ASCII.
  std::setlocale(LC_CTYPE, "");

  std::string path = enginePath();
  std::string problem;
  std::optional<Engine> engine = loadEngine(path, &problem);
  if (!engine) {
    // dlerror() names the file itself.
    std::fprintf(stderr,
                 "dbfrecover: cannot load the engine library: %s\n"
                 "It is looked for beside dbfrecover, or where %s names it.\n",
                 plainText(problem).c_str(), kEngineVariable);
    return kExitNoEngine;
  }

  gAnnounceBreak = style == Style::kTerminal || style == Style::kPlain;
  installInterruptHandler();
  engine->setBreakFlag(const_cast<char*>(&gBreakByte));

  const char* logFile = options.logFile.empty() ? nullptr : options.logFile.c_str();
  Reporter reporter(style);
  int status = kExitOk;
  bool stopped = false;
  for (const std::string& table : options.tables) {
    // A break ends the batch: the user asked to stop, and the engine would
    // clear the byte at the start of the next run.
    if (stopped || gInterrupts != 0) {
      reporter.notRun(table);
      status = worseExitStatus(status, kExitUserBreak);
      continue;
    }
    reporter.beginTable(table);
    std::set<std::string> before = resultFolderNames(options.outputFolder);
    int32_t code = engine->fileRecover(table.c_str(), options.outputFolder.c_str(), 0, onStatus,
                                       onProgress, &reporter, logFile);
    reporter.endRun();
    // The engine's writer answers a break with an internal failure; after a
    // Ctrl-C that is the user's stop, and what was written is incomplete.
    bool stoppedWhileWriting =
        code == KEST_INTERNAL && gInterrupts != 0 && !reporter.engineNotReady();
    if (code == KEST_OK) {
      reporter.written(findNewResult(options.outputFolder, table, before), options.outputFolder);
    } else if (stoppedWhileWriting) {
      reporter.stoppedWhileWriting(findNewResult(options.outputFolder, table, before));
    } else {
      reporter.failed(code);
    }
    stopped = code == KEST_USER_BREAK || stoppedWhileWriting;
    status = worseExitStatus(status,
                             stoppedWhileWriting ? kExitUserBreak : exitStatusForCode(code));
  }
  return status;
}

}  // namespace
}  // namespace kest::host

// "inspect" and "export" are commands of their own; everything else recovers.
#include "host/subcommands.h"

int main(int argc, char** argv) {
  if (int status = 0; kest::host::RunSubcommand(argc, argv, &status)) return status;
  return kest::host::run(argc, argv);
}
