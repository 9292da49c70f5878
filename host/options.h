// dbfrecover's command line: what the words ask for, the help and usage
// texts, and the checks against the disk that come before any run.
//
// Parsing is pure and never ends the process; the caller prints and exits.
// Options may stand before, between and after the tables, as in most tools;
// "--" ends them. Long options are spelled out in full; the value of -o/-l
// is the rest of the word ("-oDIR", "--output=DIR") or the next word.
#ifndef KEST_HOST_OPTIONS_H_
#define KEST_HOST_OPTIONS_H_

#include <optional>
#include <string>
#include <vector>

namespace kest::host {

struct Options {
  std::string outputFolder = ".";
  std::string logFile;  // empty: no log
  bool quiet = false;
  bool json = false;
  // FileRecover itself, as a host of the classic interface gets it, in
  // place of the thorough recovery.
  bool classic = false;
  // --like: a healthy copy whose structure the tables are read by; empty
  // for none.
  std::string templatePath;
  std::vector<std::string> tables;
};

struct CommandLine {
  enum class Action { kRun, kHelp, kVersion, kUsageError };
  Action action = Action::kRun;
  Options options;      // complete for kRun only
  std::string problem;  // for kUsageError: what is wrong, without the usage line
};

// The words after the program's name. The first thing that ends the parse
// wins: --help or --version before a bad option shows the text, a bad option
// before them is the usage error.
CommandLine parseCommandLine(const std::vector<std::string>& words);

// What stops `options` before any run, looking at the disk: an output folder
// that is not an existing folder, or a log file that would write into a
// table to be recovered or one of its memo companions. nullopt when none.
std::optional<std::string> problemOnDisk(const Options& options);

extern const char kUsageLine[];
// What --help prints.
std::string helpText();
// What --version prints.
std::string versionText();
// What a usage error prints on stderr, `problem` already made plain.
std::string usageErrorText(const std::string& problem);

}  // namespace kest::host

#endif  // KEST_HOST_OPTIONS_H_
