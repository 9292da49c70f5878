#include "host/subcommand_cli.h"

#include <vector>

#include "host/cli_text.h"

namespace kest::host {

int subcommandUsageError(const std::string& name, const std::string& usageLine,
                         const std::string& problem, std::ostream& err) {
  err << "dbfrecover " << name << ": " << plainText(problem) << "\n"
      << usageLine << "Try 'dbfrecover " << name << " --help' for more.\n";
  return kExitUsage;
}

int parseSubcommand(CLI::App& app, int argc, char** argv, const std::string& help,
                    std::ostream& out, std::ostream& err) {
  app.set_help_flag("-h,--help");
  // The same options on every system: a Windows build would otherwise read
  // an absolute path such as /data/t.dbf as a switch.
  app.allow_windows_style_options(false);
  std::vector<std::string> words(argv + 1, argv + argc);
  // CLI11 takes its arguments last to first.
  std::vector<std::string> reversed(words.rbegin(), words.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    out << help;
    return kExitOk;
  } catch (const CLI::ParseError& problem) {
    std::string usageLine = help.substr(0, help.find('\n') + 1);
    return subcommandUsageError(app.get_name(), usageLine, problem.what(), err);
  }
  return -1;
}

}  // namespace kest::host
