#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <unistd.h>

namespace fs = std::filesystem;

namespace kest::testing {

TempDir::TempDir() {
  static std::atomic<int> counter{0};
  fs::path root = KEST_TEST_TMP_DIR;
  fs::create_directories(root);
  for (;;) {
    fs::path candidate = root / ("t" + std::to_string(::getpid()) + "_" +
                                 std::to_string(counter++));
    if (fs::create_directory(candidate)) {
      path_ = candidate.string();
      break;
    }
  }
}

TempDir::~TempDir() {
  std::error_code ec;
  // Tests may leave read-only entries behind; make them removable first.
  for (auto it = fs::recursive_directory_iterator(path_, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_symlink()) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
  }
  fs::remove_all(path_, ec);
}

std::string TempDir::file(const std::string& name) const {
  return (fs::path(path_) / name).string();
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(path, ec));
}

bool makeFolderLink(const std::string& target, const std::string& link) {
  std::error_code ec;
  fs::create_directory_symlink(target, link, ec);
  return !ec && fs::is_symlink(fs::symlink_status(link, ec));
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) result.push_back(line);
  return result;
}

namespace {

std::vector<std::string> MessagesOf(const std::vector<std::string>& lines) {
  std::vector<std::string> result;
  for (const std::string& line : lines) {
    size_t bar = line.find(" | ");
    if (bar == std::string::npos) continue;
    std::string message = line.substr(bar + 3);
    // Every line ends with the error column after one space; it is empty
    // except on ASSERT lines.
    size_t brace = message.rfind(" {0x");
    if (brace != std::string::npos) {
      message.resize(brace);
    } else if (!message.empty() && message.back() == ' ') {
      message.pop_back();
    }
    result.push_back(message);
  }
  return result;
}

}  // namespace

std::vector<std::string> logLines(const std::string& path) { return splitLines(readFile(path)); }

std::vector<std::string> logMessages(const std::string& path) {
  return MessagesOf(logLines(path));
}

std::vector<std::string> logErrors(const std::string& path) {
  std::vector<std::string> errors;
  for (const std::string& line : logLines(path)) {
    size_t bar = line.find(" | ");
    if (bar != std::string::npos && line.substr(0, bar).find("ERROR") != std::string::npos) {
      errors.push_back(MessagesOf({line}).front());
    }
  }
  return errors;
}

std::string testData(const std::string& name) {
  fs::path path = fs::path(KEST_TEST_DATA_DIR) / name;
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) {
    ADD_FAILURE() << "test table missing: " << path.string()
                  << " (the repository's testdata/ folder holds the tables the tests use)";
  }
  return path.string();
}

std::string copyTestData(const std::string& name, const TempDir& dir) {
  std::string target = dir.file(fs::path(name).filename().string());
  fs::copy_file(testData(name), target);
  fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write,
                  fs::perm_options::add);
  return target;
}

FixedClockEnv::FixedClockEnv(int64_t seconds, platform::Env* target)
    : EnvWrapper(target), now(seconds) {}

FixedClockEnv::FixedClockEnv(const platform::CivilTime& local, platform::Env* target)
    : EnvWrapper(target), now(1000), local(local) {}

platform::CivilTime FixedClockEnv::LocalTime(int64_t seconds) {
  return local ? *local : target()->LocalTime(seconds);
}

FakeEnv::FakeEnv() : FixedClockEnv(At(9, 5, 3)) {
  utc.year = 2010;
  utc.month = 10;
  utc.day = 19;
  utc.hour = 9;
  utc.minute = 5;
  utc.second = 13;
  utc.millisecond = 42;
}

int64_t FakeEnv::At(int hour, int minute, int second) {
  // A day of 2010 far from the epoch, so that clocks may step backwards.
  return 1287446400 + hour * 3600 + minute * 60 + second;
}

platform::CivilTime FakeEnv::LocalTime(int64_t seconds) {
  platform::CivilTime t;
  t.year = 2010;
  t.month = 10;
  t.day = 19;
  int64_t ofDay = ((seconds % 86400) + 86400) % 86400;
  t.hour = static_cast<int>(ofDay / 3600);
  t.minute = static_cast<int>(ofDay / 60 % 60);
  t.second = static_cast<int>(ofDay % 60);
  return t;
}

bool FakeEnv::ErrorMessage(uint32_t code, std::string* text) {
  auto it = errorTexts.find(code);
  if (it == errorTexts.end()) return false;
  *text = it->second;
  return true;
}

bool FakeEnv::GetVariable(const char* name, std::string* value) {
  if (unsetVariables.count(name)) return false;
  auto it = variables.find(name);
  if (it == variables.end()) return target()->GetVariable(name, value);
  *value = it->second;
  return true;
}

namespace {

bool Fixed(const std::optional<std::string>& answer, std::string* out) {
  if (answer) *out = *answer;
  return answer.has_value();
}

}  // namespace

bool FakeEnv::TempPath(std::string* path) {
  if (failTempPath) return false;
  return Fixed(tempPath, path) || target()->TempPath(path);
}

bool FakeEnv::CurrentFolder(std::string* path) {
  return Fixed(currentFolder, path) || target()->CurrentFolder(path);
}

bool FakeEnv::MachineFolderPath(platform::MachineFolder which, std::string* path) {
  const std::optional<std::string>& fixed =
      which == platform::MachineFolder::kSystemLibraries ? systemFolder : windowsFolder;
  return Fixed(fixed, path) || target()->MachineFolderPath(which, path);
}

platform::Status FakeEnv::RemoveFile(const std::string& path) {
  if (failDeleteFile) return FailureOf(failureCode);
  return target()->RemoveFile(path);
}

platform::Status FakeEnv::RemoveFolder(const std::string& path) {
  if (failRemoveFolder) return FailureOf(failureCode);
  return target()->RemoveFolder(path);
}

namespace {

class ReadFailingFile : public platform::ReadableFile {
 public:
  ReadFailingFile(std::unique_ptr<platform::ReadableFile> file, const uint64_t* failFrom)
      : file_(std::move(file)), failFrom_(failFrom) {}
  uint64_t Size() const override { return file_->Size(); }
  platform::Status ReadAt(uint64_t offset, void* buffer, size_t count, size_t* got) override {
    if (offset + count <= *failFrom_) return file_->ReadAt(offset, buffer, count, got);
    *got = 0;
    if (offset < *failFrom_) {
      file_->ReadAt(offset, buffer, static_cast<size_t>(*failFrom_ - offset), got);
    }
    return platform::Status::Failure(ReadFailingEnv::kCode, ReadFailingEnv::kText);
  }

 private:
  std::unique_ptr<platform::ReadableFile> file_;
  const uint64_t* failFrom_;
};

}  // namespace

ReadFailingEnv::ReadFailingEnv(uint64_t failFrom)
    : EnvWrapper(platform::Env::Default()), failFrom(failFrom) {}

platform::Status ReadFailingEnv::OpenReadOnly(const std::string& path,
                                              std::unique_ptr<platform::ReadableFile>* file) {
  platform::Status status = target()->OpenReadOnly(path, file);
  if (status) *file = std::make_unique<ReadFailingFile>(std::move(*file), &failFrom);
  return status;
}

LogCapture::LogCapture(platform::Env* env)
    : path_(dir_.file("capture.log")), logger_(std::make_unique<Logger>(env, false)) {
  logger_->SetLogFile(path_.c_str());
  start_ = readFile(path_).size();
  previous_ = InstallLogger(logger_.get());
}

LogCapture::~LogCapture() { InstallLogger(previous_); }

std::vector<std::string> LogCapture::lines() const {
  std::string text = readFile(path_);
  return splitLines(text.size() > start_ ? text.substr(start_) : std::string());
}

std::vector<std::string> LogCapture::messages() const { return MessagesOf(lines()); }

bool LogCapture::contains(const std::string& message) const { return count(message) > 0; }

size_t LogCapture::count(const std::string& message) const {
  size_t n = 0;
  for (const std::string& m : messages()) n += (m == message);
  return n;
}

}  // namespace kest::testing
