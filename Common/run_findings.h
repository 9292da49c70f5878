// What a run found, filled by each step as it goes and read once at the end:
// the repairs it made, the stretches of the table that held no records, each
// re-alignment of the record scan and why, and anything else a user should
// hear about their table. The run keeps one; the host reads it whole as a
// report file beside the result and in summary through the C report.
//
// A step that runs more than once over the table (the methods count, then
// write) restarts its own entries at each pass, so the channel holds what
// the last pass found and never the same finding twice. Not thread safe:
// filled on the run's thread.
#ifndef KEST_COMMON_RUN_FINDINGS_H_
#define KEST_COMMON_RUN_FINDINGS_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kest {

enum class FindingKind : uint8_t {
  // Something in the table was mended (a count, a header, a flag).
  kRepair,
  // A stretch of bytes gave no records (`first`..`last`, `records` lost).
  kSkipped,
  // The record scan moved its alignment (`first` is where, `records` the
  // slots that confirmed it).
  kRealigned,
  // Anything else worth telling.
  kNote,
};

struct Finding {
  // Which step said it: a short stable name ("best case", "worst case",
  // "memo", ...).
  std::string step;
  FindingKind kind = FindingKind::kNote;
  std::string text;
  uint64_t first = 0;
  uint64_t last = 0;
  uint64_t records = 0;
};

// The steps of the two methods.
inline constexpr std::string_view kBestCaseStep = "best case";
inline constexpr std::string_view kWorstCaseStep = "worst case";

class RunFindings {
 public:
  // Drops what `step` said in an earlier pass.
  void restart(std::string_view step);
  void add(std::string_view step, FindingKind kind, std::string text);
  // "bytes first-last held no records: N records lost", with `why` after
  // it when given. `last` is inclusive.
  void skipped(std::string_view step, uint64_t first, uint64_t last, uint64_t recordsLost,
               std::string_view why = {});
  // "records go on N bytes later at byte P: ...".
  void realigned(std::string_view step, uint64_t at, int64_t shift, std::string_view why);
  // Keeps only the entries whose step is not `step` (the losing method's
  // findings describe no result).
  void drop(std::string_view step);

  const std::vector<Finding>& entries() const { return entries_; }
  bool empty() const { return entries_.empty(); }
  size_t count(FindingKind kind) const;
  // Records lost in the skipped stretches.
  uint64_t recordsLost() const;
  // Texts in the order they were found.
  std::vector<std::string> texts() const;

  // One line a finding ("step: text"); a JSON array of objects with step,
  // kind, text and, by kind, first/last/records or at.
  std::string plainText() const;
  std::string json() const;

 private:
  std::vector<Finding> entries_;
};

// 1234567 as "1,234,567": byte positions a user reads.
std::string groupedNumber(uint64_t value);

}  // namespace kest

#endif  // KEST_COMMON_RUN_FINDINGS_H_
