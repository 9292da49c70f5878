// Proves that a run left a damaged table alone: the engine only ever reads
// the table and its memo companions.
//
// A SourceGuard remembers the bytes of the table and of every file beside
// it that shares its stem in any letter case (orders.dbf, orders.fpt,
// ORDERS.DBT, ...), and the listing of the table's folder. At the end of
// its scope it adds a test failure for anything changed, made or removed
// there. unchanged() asks the same question at any moment, for loops that
// run many times under one guard.
#ifndef KEST_TESTS_SOURCE_GUARD_H_
#define KEST_TESTS_SOURCE_GUARD_H_

#include <map>
#include <string>
#include <vector>

namespace kest::testing {

class SourceGuard {
 public:
  explicit SourceGuard(const std::string& tablePath);
  ~SourceGuard();
  SourceGuard(const SourceGuard&) = delete;
  SourceGuard& operator=(const SourceGuard&) = delete;

  // True when everything is as it was; otherwise false with what differs.
  bool unchanged(std::string* why = nullptr) const;

 private:
  struct State {
    std::map<std::string, std::string> files;  // by name: the table and its companions
    std::vector<std::string> listing;          // every entry of the folder, sorted
  };
  State Take() const;

  std::string folder_, stem_;
  State before_;
};

}  // namespace kest::testing

#endif  // KEST_TESTS_SOURCE_GUARD_H_
