#include "tests/test_support.h"

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

std::string sharedData(const std::string& name) {
  return (fs::path(KEST_SHARED_DATA_DIR) / name).string();
}

std::string copySharedData(const std::string& name, const TempDir& dir) {
  std::string target = dir.file(fs::path(name).filename().string());
  fs::copy_file(sharedData(name), target);
  fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write,
                  fs::perm_options::add);
  return target;
}

LogCapture::LogCapture(platform::Env* env)
    : path_(dir_.file("capture.log")), logger_(std::make_unique<Logger>(env, false)) {
  logger_->SetLogFile(path_.c_str());
  previous_ = InstallLogger(logger_.get());
}

LogCapture::~LogCapture() { InstallLogger(previous_); }

std::vector<std::string> LogCapture::lines() const {
  std::vector<std::string> result;
  std::istringstream in(readFile(path_));
  std::string line;
  while (std::getline(in, line)) result.push_back(line);
  return result;
}

std::vector<std::string> LogCapture::messages() const {
  std::vector<std::string> result;
  for (const std::string& line : lines()) {
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

bool LogCapture::contains(const std::string& message) const { return count(message) > 0; }

size_t LogCapture::count(const std::string& message) const {
  size_t n = 0;
  for (const std::string& m : messages()) n += (m == message);
  return n;
}

}  // namespace kest::testing
