// The subcommands of dbfrecover beside recovering: `inspect` and `export`.
#ifndef KEST_HOST_SUBCOMMANDS_H_
#define KEST_HOST_SUBCOMMANDS_H_

namespace kest::host {

// When argv[1] names a subcommand, runs it on the rest of the command line
// with stdout and stderr, sets `*status` to its exit status and returns
// true. Nothing thrown inside escapes: it becomes an internal failure.
bool RunSubcommand(int argc, char** argv, int* status);

}  // namespace kest::host

#endif  // KEST_HOST_SUBCOMMANDS_H_
