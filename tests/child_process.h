// Runs a program as a child process, the way the tests meet the host, the
// probe host and independent readers of the results.
//
// The child gets the test's environment with `set` added (or replaced) and
// `unset` removed, the folder `cwd` when given, and stdin from the null
// device, so a child that reads it ends at once instead of waiting. Its
// stdout and stderr go to files of the ChildProcess's own (never to pipes,
// which a child could fill while the test waits for something else), or to
// files the test names, to read while the child runs, unless the test
// hands it a descriptor of its own (a pseudo-terminal).
// A program name without a slash is looked for in PATH.
//
// wait() gives the exit status, or 128 + the signal number for a child that
// was killed; a child still running at the timeout is killed, the outcome
// says so and the test fails. On Windows a program that cannot be started
// gives 127, as a shell reports it, and the child's CR LF line ends read
// as LF.
#ifndef KEST_TESTS_CHILD_PROCESS_H_
#define KEST_TESTS_CHILD_PROCESS_H_

#include <string>
#include <utility>
#include <vector>

#include "tests/test_support.h"

namespace kest::testing {

struct ChildOptions {
  std::vector<std::pair<std::string, std::string>> set;
  std::vector<std::string> unset;
  std::string cwd;
  // Capture files of the test's choosing instead of the ChildProcess's own.
  std::string stdoutPath, stderrPath;
  // Descriptors the child writes to instead of the capture files.
  int stdoutFd = -1, stderrFd = -1;
  double timeoutSeconds = 60;
};

struct ChildOutcome {
  int status = -1;  // -1: could not be started, or timed out
  bool timedOut = false;
  std::string out, err;
};

class ChildProcess {
 public:
  // Starts argv[0] with the arguments that follow it.
  ChildProcess(const std::vector<std::string>& argv, const ChildOptions& options = {});
  ~ChildProcess();  // kills a child that is still running
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  int pid() const { return pid_; }
  // Waits for the end (at most options.timeoutSeconds) and reads what the
  // child wrote; a second call returns the same outcome.
  ChildOutcome wait() { return wait(options_.timeoutSeconds); }
  // The same, waiting at most `seconds`.
  ChildOutcome wait(double seconds);
  // Whether the child has ended, without waiting.
  bool ended();
  // Sends the interrupt a user's Ctrl-C sends (SIGINT); false where a test
  // process cannot send one to its child (Windows).
  bool interrupt();

 private:
  void Finish(int raw);

  ChildOptions options_;
  TempDir dir_;
  std::string outPath_, errPath_;
  int pid_ = -1;
  void* process_ = nullptr;  // Windows: the process handle
  bool done_ = false;
  bool collected_ = false;
  ChildOutcome outcome_;
};

// Starts and waits in one call.
ChildOutcome runChild(const std::vector<std::string>& argv, const ChildOptions& options = {});

// True when `program` runs and ends with status 0 (a probe for tools that
// may not be installed, e.g. {"python3", "-c", "import dbfread"}).
bool runsCleanly(const std::vector<std::string>& argv);

// Whether ChildProcess::interrupt() can reach a child on this system.
#ifdef _WIN32
inline constexpr bool kChildrenTakeInterrupts = false;
#else
inline constexpr bool kChildrenTakeInterrupts = true;
#endif

}  // namespace kest::testing

#endif  // KEST_TESTS_CHILD_PROCESS_H_
