#include "host/options.h"

#include <filesystem>

#include "host/engine_library.h"
#include "host/table_files.h"

#ifndef KEST_HOST_VERSION
#define KEST_HOST_VERSION "0.0.0"
#endif

namespace kest::host {

const char kUsageLine[] = "Usage: dbfrecover [options] TABLE.dbf...\n";

std::string helpText() {
  return std::string(kUsageLine) +
         "Recovers damaged dBASE/FoxPro tables. Each table and its .fpt/.dbt memo\n"
         "companions are only read; the repaired table goes into a new folder\n"
         "\"Recovered <table> <date> <time>\" inside the output folder. The\n"
         "thorough recovery runs unless --classic is given; after each table it\n"
         "says what it passed over and what it repaired.\n"
         "To look first or take the data elsewhere: dbfrecover inspect --help, export --help.\n"
         "All of it on a page in your web browser: dbfrecover serve --help.\n"
         "\n"
         "Options:\n"
         "  -o, --output DIR   output folder; it must exist (default: the current folder)\n"
         "  -l, --log FILE     append the engine's diagnostic log to FILE\n"
         "  -q, --quiet        report failures only\n"
         "      --json         report everything as JSON lines on stdout\n"
         "      --classic      the classic recovery alone, exactly as hosts of the\n"
         "                     engine's first interface get it\n"
         "      --like FILE    read the tables by the structure of FILE, a healthy copy\n"
         "                     of the same table (an old backup, the empty table the\n"
         "                     program ships): the result takes its header and fields\n"
         "  -h, --help         show this help and exit\n"
         "      --version      show the version and exit\n"
         "\n"
         "Examples:\n"
         "  dbfrecover calls.dbf\n"
         "  dbfrecover -o recovered -l recover.log *.dbf\n"
         "  dbfrecover --json -o recovered orders.dbf > report.jsonl\n"
         "\n"
         "Exit status:\n"
         "  0    every table was written\n"
         "  3    nothing to recover\n"
         "  4    a table cannot be read\n"
         "  5    a result cannot be created\n"
         "  6    internal failure in the engine\n"
         "  8    a result could not be written whole (disk full, I/O error);\n"
         "       nothing of it is left under a table's name\n"
         "  130  stopped by the user (Ctrl-C)\n"
         "  Over several tables the worst counts: 130, then 8, 6, 5, 4, 3.\n"
         "  2    usage error (nothing was run)\n"
         "  7    the engine library cannot be loaded\n"
         "\n"
         "Environment:\n"
         "  " + std::string(kEngineVariable) + "        the engine library to load instead of " +
         kEngineFileName + "\n"
         "                     beside dbfrecover" +
         (*kInstalledEngineFolder ? std::string(" or in ") + kInstalledEngineFolder + " from there"
                                  : std::string()) +
         "\n";
}

std::string versionText() { return std::string("dbfrecover ") + KEST_HOST_VERSION + "\n"; }

std::string usageErrorText(const std::string& problem) {
  return "dbfrecover: " + problem + "\n" + kUsageLine + "Try 'dbfrecover --help' for more.\n";
}

CommandLine parseCommandLine(const std::vector<std::string>& words) {
  CommandLine result;
  Options& options = result.options;
  auto stop = [&](CommandLine::Action action, std::string problem = "") {
    result.action = action;
    result.problem = std::move(problem);
    return result;
  };
  bool optionsEnded = false;
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (optionsEnded || word.size() < 2 || word[0] != '-') {
      options.tables.push_back(word);
      continue;
    }
    if (word == "--") {
      optionsEnded = true;
      continue;
    }
    // The value of -o/-l; nullopt when the words end before it.
    auto value = [&](const std::optional<std::string>& attached) -> std::optional<std::string> {
      if (attached) return attached;
      if (i + 1 >= words.size()) return std::nullopt;
      return words[++i];
    };
    auto needsArgument = [&](const std::string& name) {
      return stop(CommandLine::Action::kUsageError, "option '" + name + "' needs an argument");
    };
    if (word.rfind("--", 0) == 0) {
      size_t equals = word.find('=');
      std::string name = word.substr(0, equals);
      std::optional<std::string> attached;
      if (equals != std::string::npos) attached = word.substr(equals + 1);
      if (name == "--output" || name == "--log" || name == "--like") {
        std::optional<std::string> given = value(attached);
        if (!given) return needsArgument(name);
        (name == "--output" ? options.outputFolder
         : name == "--log"  ? options.logFile
                            : options.templatePath) = *given;
      } else if (attached) {
        return stop(CommandLine::Action::kUsageError, "unknown option '" + word + "'");
      } else if (name == "--quiet") {
        options.quiet = true;
      } else if (name == "--json") {
        options.json = true;
      } else if (name == "--classic") {
        options.classic = true;
      } else if (name == "--help") {
        return stop(CommandLine::Action::kHelp);
      } else if (name == "--version") {
        return stop(CommandLine::Action::kVersion);
      } else {
        return stop(CommandLine::Action::kUsageError, "unknown option '" + word + "'");
      }
      continue;
    }
    for (size_t k = 1; k < word.size(); ++k) {
      char letter = word[k];
      std::string name = std::string("-") + letter;
      std::optional<std::string> attached;
      if (k + 1 < word.size()) attached = word.substr(k + 1);
      if (letter == 'o' || letter == 'l') {
        std::optional<std::string> given = value(attached);
        if (!given) return needsArgument(name);
        (letter == 'o' ? options.outputFolder : options.logFile) = *given;
        break;
      } else if (letter == 'q') {
        options.quiet = true;
      } else if (letter == 'h') {
        return stop(CommandLine::Action::kHelp);
      } else {
        return stop(CommandLine::Action::kUsageError, "unknown option '" + name + "'");
      }
    }
  }
  if (options.tables.empty()) return stop(CommandLine::Action::kUsageError, "no table given");
  if (options.outputFolder.empty()) {
    return stop(CommandLine::Action::kUsageError, "the output folder name is empty");
  }
  if (options.classic && !options.templatePath.empty()) {
    return stop(CommandLine::Action::kUsageError,
                "--like needs the thorough recovery; it cannot go with --classic");
  }
  return result;
}

std::optional<std::string> problemOnDisk(const Options& options) {
  std::error_code ec;
  // Followed through links, as the engine will.
  if (!std::filesystem::is_directory(options.outputFolder, ec)) {
    return "output folder '" + options.outputFolder + "' is not an existing folder";
  }
  if (!options.templatePath.empty() &&
      !std::filesystem::is_regular_file(options.templatePath, ec)) {
    return "template '" + options.templatePath + "' is not an existing file";
  }
  if (!options.logFile.empty()) {
    if (std::optional<std::string> clash = logClash(options.logFile, options.tables)) {
      return "log file '" + options.logFile + "' would write into '" + *clash +
             "', which is to be recovered; choose another log file";
    }
  }
  return std::nullopt;
}

}  // namespace kest::host
