#include "tests/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace kest::testing {

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const ChildOptions& options)
    : options_(options),
      outPath_(options.stdoutPath.empty() ? dir_.file("stdout") : options.stdoutPath),
      errPath_(options.stderrPath.empty() ? dir_.file("stderr") : options.stderrPath) {
  if (argv.empty()) {
    done_ = true;
    return;
  }
  pid_ = ::fork();
  if (pid_ != 0) return;
  // The child: only async-signal-safe work would be strictly right after a
  // fork, but the test process starts no threads that hold locks here.
  if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) ::_exit(126);
  for (const std::string& name : options.unset) ::unsetenv(name.c_str());
  for (const auto& [name, value] : options.set) ::setenv(name.c_str(), value.c_str(), 1);
  int in = ::open("/dev/null", O_RDONLY);
  int out = options.stdoutFd >= 0 ? options.stdoutFd
                                  : ::open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int err = options.stderrFd >= 0 ? options.stderrFd
                                  : ::open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in < 0 || out < 0 || err < 0) ::_exit(126);
  ::dup2(in, STDIN_FILENO);
  ::dup2(out, STDOUT_FILENO);
  ::dup2(err, STDERR_FILENO);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  ::execvp(args[0], args.data());
  ::_exit(127);
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !done_) {
    ::kill(pid_, SIGKILL);
    int raw = 0;
    ::waitpid(pid_, &raw, 0);
  }
}

void ChildProcess::Finish(int raw) {
  done_ = true;
  outcome_.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

bool ChildProcess::ended() {
  if (done_) return true;
  int raw = 0;
  if (pid_ > 0 && ::waitpid(pid_, &raw, WNOHANG) == pid_) Finish(raw);
  return done_ || pid_ < 0;
}

bool ChildProcess::interrupt() { return pid_ > 0 && !done_ && ::kill(pid_, SIGINT) == 0; }

ChildOutcome ChildProcess::wait(double seconds) {
  if (pid_ < 0 || collected_) return outcome_;
  {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!ended()) {
      if (std::chrono::steady_clock::now() > deadline) {
        int raw = 0;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &raw, 0);
        done_ = true;
        outcome_.status = -1;
        outcome_.timedOut = true;
        ADD_FAILURE() << "the child did not end within " << seconds << " s";
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    outcome_.out = readFile(outPath_);
    outcome_.err = readFile(errPath_);
    collected_ = true;
  }
  return outcome_;
}

ChildOutcome runChild(const std::vector<std::string>& argv, const ChildOptions& options) {
  return ChildProcess(argv, options).wait();
}

bool runsCleanly(const std::vector<std::string>& argv) {
  ChildOutcome outcome = runChild(argv);
  return outcome.status == 0;
}

}  // namespace kest::testing
