// ChildProcess over CreateProcess. The child's stdout and stderr go to
// files opened as inheritable handles; descriptors handed in for a
// pseudo-terminal have no meaning here and are ignored. Line ends the
// child writes as CR LF (a Windows program's text-mode output) are read
// back as LF, so that the tests compare the same texts on both systems.
#include "tests/child_process.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <map>
#include <thread>

namespace kest::testing {

namespace {

// One argument as the C runtime's command-line parser reads it back.
std::string quoted(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
  std::string text = "\"";
  size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    text.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    text += c;
  }
  text.append(2 * backslashes, '\\');
  return text + "\"";
}

// The test's environment with the child's changes, as CreateProcess takes it.
std::string environmentBlock(const ChildOptions& options) {
  std::map<std::string, std::string> variables;
  if (char* block = GetEnvironmentStringsA()) {
    for (const char* entry = block; *entry != '\0'; entry += std::strlen(entry) + 1) {
      const char* equals = std::strchr(entry + 1, '=');  // "=C:" entries begin with '='
      if (equals != nullptr) variables[std::string(entry, equals)] = equals + 1;
    }
    FreeEnvironmentStringsA(block);
  }
  for (const std::string& name : options.unset) variables.erase(name);
  for (const auto& [name, value] : options.set) variables[name] = value;
  std::string text;
  for (const auto& [name, value] : variables) text += name + "=" + value + '\0';
  return text + '\0';
}

HANDLE inheritable(const std::string& path, bool write) {
  SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, TRUE};
  return CreateFileA(path.c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, &attributes,
                     write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::string withUnixLineEnds(std::string text) {
  std::string result;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    result += text[i];
  }
  return result;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const ChildOptions& options)
    : options_(options) {
  if (argv.empty()) {
    done_ = true;
    return;
  }
  std::string commandLine;
  for (const std::string& argument : argv) {
    commandLine += (commandLine.empty() ? "" : " ") + quoted(argument);
  }
  std::string environment = environmentBlock(options);
  HANDLE in = inheritable("NUL", false);
  HANDLE out = inheritable(dir_.file("stdout"), true);
  HANDLE err = inheritable(dir_.file("stderr"), true);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION process{};
  bool started = in != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE &&
                 err != INVALID_HANDLE_VALUE &&
                 CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0,
                                environment.data(),
                                options.cwd.empty() ? nullptr : options.cwd.c_str(), &startup,
                                &process);
  for (HANDLE handle : {in, out, err}) {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
  if (!started) {
    // What a POSIX shell reports for a program it cannot find or start.
    Finish(127);
    return;
  }
  CloseHandle(process.hThread);
  process_ = process.hProcess;
  pid_ = static_cast<int>(process.dwProcessId);
}

ChildProcess::~ChildProcess() {
  if (process_ == nullptr) return;
  if (!done_) {
    TerminateProcess(process_, 137);
    WaitForSingleObject(process_, INFINITE);
  }
  CloseHandle(process_);
}

void ChildProcess::Finish(int raw) {
  done_ = true;
  outcome_.status = raw;
}

bool ChildProcess::ended() {
  if (done_) return true;
  if (WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) return false;
  DWORD code = 0;
  GetExitCodeProcess(process_, &code);
  Finish(static_cast<int>(code));
  return true;
}

bool ChildProcess::interrupt() { return false; }

ChildOutcome ChildProcess::wait(double seconds) {
  if (collected_) return outcome_;
  if (process_ != nullptr) {
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::duration<double>(seconds);
    while (!ended()) {
      if (std::chrono::steady_clock::now() > deadline) {
        TerminateProcess(process_, 137);
        WaitForSingleObject(process_, INFINITE);
        done_ = true;
        outcome_.status = -1;
        outcome_.timedOut = true;
        ADD_FAILURE() << "the child did not end within " << seconds << " s";
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    outcome_.out = withUnixLineEnds(readFile(dir_.file("stdout")));
    outcome_.err = withUnixLineEnds(readFile(dir_.file("stderr")));
  }
  collected_ = true;
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
