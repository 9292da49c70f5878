// Command-line plumbing the subcommands of dbfrecover share (inspect,
// export): parsing with the conventions of the recovering command (options
// before, between or after the tables; "--" ends them; usage errors exit
// 2 with a hint at --help) and the shape of their usage errors.
#ifndef KEST_HOST_SUBCOMMAND_CLI_H_
#define KEST_HOST_SUBCOMMAND_CLI_H_

#include <CLI/CLI.hpp>
#include <ostream>
#include <string>

namespace kest::host {

// Parses `argc`/`argv` (argv[0] is the subcommand's name) into `app`. -1
// when the run goes on; otherwise the status to exit with: 0 after writing
// `help` to `out` for -h/--help, 2 after a usage error on `err`.
int parseSubcommand(CLI::App& app, int argc, char** argv, const std::string& help,
                    std::ostream& out, std::ostream& err);

// Writes "dbfrecover NAME: PROBLEM", the usage line and the hint at
// --help; returns the usage exit status.
int subcommandUsageError(const std::string& name, const std::string& usageLine,
                         const std::string& problem, std::ostream& err);

}  // namespace kest::host

#endif  // KEST_HOST_SUBCOMMAND_CLI_H_
