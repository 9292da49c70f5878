#include "tests/source_guard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "platform/path.h"
#include "tests/test_support.h"

namespace fs = std::filesystem;

namespace kest::testing {

SourceGuard::SourceGuard(const std::string& tablePath) : scope_(Scope::kTable) {
  fs::path table(tablePath);
  folder_ = table.has_parent_path() ? table.parent_path().string() : ".";
  stem_ = table.stem().string();
  before_ = Take();
}

SourceGuard::SourceGuard(const WholeFolder& folder)
    : scope_(Scope::kFolder), folder_(folder.path) {
  before_ = Take();
}

SourceGuard::~SourceGuard() {
  std::string why;
  if (!unchanged(&why)) ADD_FAILURE() << "the source changed: " << why;
}

void SourceGuard::keep(const std::string& path) { before_.files[path] = readFile(path); }

void SourceGuard::rebase() { before_ = Take(); }

SourceGuard::State SourceGuard::Take() const {
  State state;
  if (scope_ == Scope::kFiles) {
    // A kept file that is gone leaves the map, and the count tells.
    for (const auto& [path, bytes] : before_.files) {
      if (exists(path)) state.files[path] = readFile(path);
    }
    return state;
  }
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder_, ec)) {
    std::string name = entry.path().filename().string();
    if (scope_ == Scope::kTable) state.listing.push_back(name);
    bool guarded = scope_ == Scope::kFolder ||
                   platform::EqualsNoCase(entry.path().stem().string(), stem_);
    if (entry.is_regular_file() && guarded) state.files[name] = readFile(entry.path().string());
  }
  std::sort(state.listing.begin(), state.listing.end());
  return state;
}

bool SourceGuard::unchanged(std::string* why) const {
  State now = Take();
  std::string ignored;
  std::string& reason = why != nullptr ? *why : ignored;
  if (now.listing != before_.listing) {
    reason = "the entries of " + folder_ + " are not the ones there were";
    return false;
  }
  if (now.files.size() != before_.files.size()) {
    reason = "the files guarded are not the ones there were";
    return false;
  }
  for (const auto& [name, bytes] : before_.files) {
    if (now.files[name] != bytes) {
      reason = name + " has other bytes";
      return false;
    }
  }
  return true;
}

}  // namespace kest::testing
