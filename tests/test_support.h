// Small helpers shared by the test programs: private scratch folders, file
// contents, the sample tables, and a captured log.
#ifndef KEST_TESTS_TEST_SUPPORT_H_
#define KEST_TESTS_TEST_SUPPORT_H_

#include <memory>
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

// Path of a table in the shared read-only sample folder.
std::string sharedData(const std::string& name);
// Copies a shared sample table into `dir` and returns the copy's path.
std::string copySharedData(const std::string& name, const TempDir& dir);

// Installs a Logger (no workspace) that logs to a file of its own for the
// life of the object, and gives back the lines written.
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
  Logger* previous_;
};

}  // namespace kest::testing

#endif  // KEST_TESTS_TEST_SUPPORT_H_
