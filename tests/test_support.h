// Small helpers shared by the test programs: private scratch folders, file
// contents, the sample tables, and a captured log.
#ifndef KEST_TESTS_TEST_SUPPORT_H_
#define KEST_TESTS_TEST_SUPPORT_H_

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Common/logger/logger.h"
#include "platform/env.h"

namespace kest::testing {

// A fresh folder under the build tree's test_tmp, removed with everything
// in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // `path()` joined with `name`.
  std::string file(const std::string& name) const;

 private:
  std::string path_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
bool exists(const std::string& path);

// Makes `link` a symbolic link to the folder `target`; false where this
// system or user cannot make one (under wine the call makes nothing).
bool makeFolderLink(const std::string& target, const std::string& link);

// The lines of a text, without their ends; a last line needs none.
std::vector<std::string> splitLines(const std::string& text);

// The lines of a log file, and their message columns ("  INFO  | msg "
// gives "msg"; the error column of ASSERT lines is left off).
std::vector<std::string> logLines(const std::string& path);
std::vector<std::string> logMessages(const std::string& path);
// The message columns of the ERROR lines alone.
std::vector<std::string> logErrors(const std::string& path);

// Path of a table in the repository's testdata/ folder; a table that is
// not there fails the calling test with a message that says so.
std::string testData(const std::string& name);
// Copies a testdata/ table into `dir` and returns the copy's path.
std::string copyTestData(const std::string& name, const TempDir& dir);

// The real Env with a clock the test sets: NowSeconds answers `now`, and
// LocalTime answers `local` for any moment when that is set, the real
// conversion of the moment otherwise.
class FixedClockEnv : public platform::EnvWrapper {
 public:
  explicit FixedClockEnv(int64_t now, platform::Env* target = platform::Env::Default());
  // A local time that every moment shows.
  explicit FixedClockEnv(const platform::CivilTime& local,
                         platform::Env* target = platform::Env::Default());

  int64_t now;  // calendar time in seconds
  std::optional<platform::CivilTime> local;

  int64_t NowSeconds() override { return now; }
  platform::CivilTime LocalTime(int64_t seconds) override;
};

// The real Env with a few answers replaced, for tests that need a fixed
// clock, a chosen last error code and its text, their own environment
// variables, or deletions that fail (tests run as root, where a read-only
// folder does not stop a deletion).
class FakeEnv : public FixedClockEnv {
 public:
  FakeEnv();

  // `now` starts at At(9, 5, 3). LocalTime answers the nineteenth of
  // October 2010 with the hour, minute and second of the moment taken
  // modulo a day, so that 9 * 3600 + 5 * 60 + 3 reads 09:05:03.
  static int64_t At(int hour, int minute, int second);
  platform::CivilTime utc;  // UtcNow's answer
  uint32_t processId = 4321;

  // The thread's last error code, for assertion reports, lives here, not in errno.
  uint32_t lastError = 0;
  // Texts ErrorMessage knows; any other code has none.
  std::map<uint32_t, std::string> errorTexts;

  // Variables answered here, and variables that read as not set; all
  // others come from the process environment.
  std::map<std::string, std::string> variables;
  std::set<std::string> unsetVariables;
  // Answers replacing the real queries; nullopt keeps the real one.
  std::optional<std::string> tempPath, currentFolder, systemFolder, windowsFolder;
  bool failTempPath = false;

  // Deletions and folder removals that fail with the given code (and its
  // text from errorTexts).
  bool failDeleteFile = false;
  bool failRemoveFolder = false;
  uint32_t failureCode = 5;

  platform::CivilTime LocalTime(int64_t seconds) override;
  platform::CivilTime UtcNow() override { return utc; }
  uint32_t ProcessId() override { return processId; }
  uint32_t ThreadErrorCode() override { return lastError; }
  bool ErrorMessage(uint32_t code, std::string* text) override;
  bool GetVariable(const char* name, std::string* value) override;
  bool TempPath(std::string* path) override;
  bool CurrentFolder(std::string* path) override;
  bool MachineFolderPath(platform::MachineFolder which, std::string* path) override;
  platform::Status RemoveFile(const std::string& path) override;
  platform::Status RemoveFolder(const std::string& path) override;
};

// The real Env, except that every read of a file it opens that reaches
// byte `failFrom` or beyond fails, with the bytes before it delivered, as a
// disk that fails from some sector on does.
class ReadFailingEnv : public platform::EnvWrapper {
 public:
  static constexpr uint32_t kCode = 5;
  static constexpr const char* kText = "Input/output error";

  explicit ReadFailingEnv(uint64_t failFrom);
  platform::Status OpenReadOnly(const std::string& path,
                                std::unique_ptr<platform::ReadableFile>* file) override;

  uint64_t failFrom;
};

// Installs a Logger (no workspace) that logs to a file of its own for the
// life of the object, and gives back the lines written after it was
// installed (the machine-info block that opens every log is left out).
class LogCapture {
 public:
  explicit LogCapture(platform::Env* env = platform::Env::Default());
  ~LogCapture();

  Logger& logger() { return *logger_; }
  std::vector<std::string> lines() const;
  // The message column of each line ("  INFO  | msg " gives "msg").
  std::vector<std::string> messages() const;
  bool contains(const std::string& message) const;
  size_t count(const std::string& message) const;

 private:
  TempDir dir_;
  std::string path_;
  std::unique_ptr<Logger> logger_;
  size_t start_ = 0;  // bytes of the machine-info block
  Logger* previous_;
};

}  // namespace kest::testing

#endif  // KEST_TESTS_TEST_SUPPORT_H_
