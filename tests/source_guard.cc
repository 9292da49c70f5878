#include "tests/source_guard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "platform/path.h"
#include "tests/test_support.h"

namespace fs = std::filesystem;

namespace kest::testing {

SourceGuard::SourceGuard(const std::string& tablePath) {
  fs::path table(tablePath);
  folder_ = table.has_parent_path() ? table.parent_path().string() : ".";
  stem_ = table.stem().string();
  before_ = Take();
}

SourceGuard::~SourceGuard() {
  std::string why;
  if (!unchanged(&why)) ADD_FAILURE() << "the source changed: " << why;
}

SourceGuard::State SourceGuard::Take() const {
  State state;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder_, ec)) {
    std::string name = entry.path().filename().string();
    state.listing.push_back(name);
    if (entry.is_regular_file() && platform::EqualsNoCase(entry.path().stem().string(), stem_)) {
      state.files[name] = readFile(entry.path().string());
    }
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
  for (const auto& [name, bytes] : before_.files) {
    if (now.files[name] != bytes) {
      reason = name + " has other bytes";
      return false;
    }
  }
  return true;
}

}  // namespace kest::testing
