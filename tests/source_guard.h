// Proves that a run left a damaged table alone: the engine only ever reads
// the table and its memo companions.
//
// A SourceGuard made for a table remembers the bytes of the table and of
// every file beside it that shares its stem in any letter case (orders.dbf,
// orders.fpt, ORDERS.DBT, ...), and the listing of the table's folder. One
// made for a WholeFolder remembers the bytes of every file in the folder
// (not below it), for tests whose source folder holds nothing else. One
// made empty remembers the files handed to keep(), for tests that write
// their results beside their sources. At the end of its scope it adds a
// test failure for anything changed, made or removed among what it
// remembers. unchanged() asks the same question at any moment, for loops
// that run many times under one guard.
#ifndef KEST_TESTS_SOURCE_GUARD_H_
#define KEST_TESTS_SOURCE_GUARD_H_

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kest::testing {

class SourceGuard {
 public:
  struct WholeFolder {
    std::string path;
  };

  SourceGuard() = default;
  explicit SourceGuard(const std::string& tablePath);
  explicit SourceGuard(const WholeFolder& folder);
  ~SourceGuard();
  SourceGuard(const SourceGuard&) = delete;
  SourceGuard& operator=(const SourceGuard&) = delete;

  // Remembers the bytes `path` has now, replacing what was remembered for
  // it (a test that rewrote its source on purpose, as another program
  // would, keeps the new bytes).
  void keep(const std::string& path);
  // Takes everything as it is now as the state to find at the end.
  void rebase();

  // True when everything is as it was; otherwise false with what differs.
  bool unchanged(std::string* why = nullptr) const;

 private:
  enum class Scope { kFiles, kTable, kFolder };
  struct State {
    std::map<std::string, std::string> files;  // by name, or by path for kept files
    std::vector<std::string> listing;          // a table's folder, sorted
  };
  State Take() const;

  Scope scope_ = Scope::kFiles;
  std::string folder_, stem_;
  State before_;
};

}  // namespace kest::testing

#endif  // KEST_TESTS_SOURCE_GUARD_H_
