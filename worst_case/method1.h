// The worst-case recovery method: believe nothing in the table's header.
// Parse works the record layout out of the bytes themselves (record length,
// position of the first record, invented typed fields TMP_1, TMP_2, ...),
// then judges every record slot of that layout within the sample window.
//
// Two passes, as in the best-case method: Parse counts every slot read;
// Flush writes the invented header and runs Parse again with the result as
// its record sink, appending each slot that passes the record check; once
// the records are out, the header's record count is set to the number
// written.
//
// The run's options switch on the thorough steps of the layout search
// (worst_case/whole_table_layout.h), each behind its own flag; without
// them the search and the scan are the classic ones. Under kPassingOffset
// a slot passes only when it also begins with a deletion flag (under
// kKeepJammedRecords a slot whose only fault is its flag is kept, the flag
// restored), and after a slot that fails the scan finds where the records
// go on. What the steps
// found is noted in the run's report when Flush writes the result.
//
// Parse raises RaisedCode: kUserBreak when the run's context asks for a
// break, LLFile codes when the table cannot be read. Flush raises nothing
// and returns 0, kResultIncomplete or kCannotCreateResult. The object reads
// the table only; it never writes it.
#ifndef KEST_WORST_CASE_METHOD1_H_
#define KEST_WORST_CASE_METHOD1_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Common/logger/llfile.h"
#include "Common/progress_steps.h"
#include "Common/run_context.h"
#include "dbf/dbf_format.h"
#include "dbf/record_check.h"
#include "dbf/result_writer.h"
#include "platform/env.h"
#include "thorough/record_alignment.h"
#include "thorough/record_model.h"
#include "worst_case/whole_table_layout.h"

namespace kest {

class SlotCheck;

class Method1 {
 public:
  // `context` hears the progress of the first pass and is polled for the
  // break; null is RunContext::Silent().
  explicit Method1(const char* path, platform::Env* env = platform::Env::Default(),
                   RunContext* context = nullptr);
  ~Method1();

  Method1(const Method1&) = delete;
  Method1& operator=(const Method1&) = delete;

  // Set by the driver before Parse: whether a layout of `recordSize` whose
  // scan passed `mostRecords` records could still win over the best case.
  // Where it could not, Parse finds the layout but scans none of its slots:
  // their count would change nothing.
  using CouldWin = std::function<bool(uint32_t recordSize, uint64_t mostRecords)>;
  void setCouldWin(CouldWin couldWin) { couldWin_ = std::move(couldWin); }

  // The whole-table scoring of the table at `path`, begun on the second
  // thread while the caller does other work; null where the table cannot
  // be opened or is too short to search (the method then reads it itself
  // and meets what it meets). Made without the log and the run: it reads
  // the table only, says nothing and raises nothing; a read the system
  // refuses is kept for the method to raise where its own read would have.
  struct ScoringAhead {
    uint32_t tableSize = 0;
    // Success, or the read the system refused.
    platform::Status readStatus;
    // Null after a failed read.
    std::unique_ptr<SampleScoringAhead> scoring;
  };
  static std::unique_ptr<ScoringAhead> startScoring(const char* path, platform::Env* env);
  // Set by the driver before Parse: the scoring begun ahead, which the
  // first pass under kWholeTableLayout finishes and takes the scores of
  // (those of the table's own sample, as Parse would score them) when the
  // table has not changed its size since.
  void setScoringAhead(std::unique_ptr<ScoringAhead> ahead) { ahead_ = std::move(ahead); }

  // 0, or kTooShortToSearch when the table is shorter than 2,048 bytes.
  // Each slot that passes the record check goes to `sink` when one is given.
  int32_t Parse(RecordSink* sink = nullptr);
  // Writes the result table to `path` (RECOVERED.DBF in it when `path` is
  // an existing folder). Returns 0, kCannotCreateResult when the file
  // cannot be created new, kResultIncomplete on any other failure: no
  // layout found yet, a user break or read error in the second pass, a
  // write that fails or comes up short.
  int32_t Flush(const char* path);

  // Slots read by all Parse calls on this object.
  int32_t recordsRead() const { return recordsRead_; }

  // The layout found by the last Parse; recordSize() stays 0 until a
  // record length scores.
  uint32_t recordSize() const { return recordSize_; }
  uint32_t recordOffset() const { return recordOffset_; }
  const DbfHeader& header() const { return header_; }
  const std::vector<DbfFieldDescriptor>& fields() const { return fields_; }

  bool memoPresent() const { return memoPresent_; }
  uint32_t memoSize() const { return memoSize_; }

 private:
  // The layout search; false when the table is too short
  // (kTooShortToSearch) or no record length scores (0).
  bool findLayout(bool firstPass, int32_t* code);
  // The same with one of the thorough steps switched on.
  bool findThoroughLayout(bool firstPass, int32_t* code);
  // kWholeTableLayout: the sample and its scores into wholeSample_ and
  // wholeScores_, made once and kept for the pass after; false when the
  // table is too short to search.
  bool wholeTableScores(uint32_t tableSize,
                        const std::function<void(uint32_t, uint32_t)>& progress);
  // The slots of the layout at the stride, each judged by the record check.
  void scanAtStride(bool firstPass, RecordSink* sink);
  // kPassingOffset: slots that pass, found again after those that fail.
  void scanPassing(bool firstPass, RecordSink* sink);
  // The record offset where the table's own records say records begin
  // (thorough/record_model.h), at or after `dataStart`; nothing where they
  // cannot tell a record from bytes a few places off. Keeps the model for
  // the scan.
  std::optional<uint32_t> fittingOffset(uint32_t dataStart, uint32_t size, uint32_t passing);
  bool slotFits(uint64_t position);
  // The slots that fit the model, wherever the frame sync finds them,
  // judged by the record check.
  void scanByEvidence(bool firstPass, RecordSink* sink);
  // kKeepJammedRecords: the slot at `position` fails only by its deletion
  // flag, and the slot after it passes (or none follows before `end`); the
  // scan asks only when the slot before it passed. `check` is the scan's.
  bool jammedRecordHolds(const uint8_t* slot, uint32_t position, uint32_t end, SlotCheck& check);
  void reportScanProgress(bool firstPass, ProgressSteps& steps, uint64_t done);
  // Reads `count` bytes at `position` into `out`, the scans' buffer kept
  // from slot to slot; what the table does not hold reads as zero.
  void readSlot(uint32_t position, uint32_t count, uint8_t* out);
  // Whether the stretch the layout's slots cover begins as lines of text.
  bool readsAsText();
  // Puts what the thorough steps found in the run's findings, if it keeps
  // them, in place of what an earlier pass put there.
  void noteRepairs();

  platform::Env* env_;
  RunContext* context_;
  std::unique_ptr<LLFile> table_;
  int32_t recordsRead_ = 0;
  uint32_t recordSize_ = 0;
  uint32_t recordOffset_ = 0;
  DbfHeader header_;
  std::vector<DbfFieldDescriptor> fields_;
  std::vector<FieldPlace> places_;
  bool memoPresent_ = false;
  uint32_t memoSize_ = 0;
  // Where the thorough scan ends; the stride's own count of slots when 0.
  uint32_t scanEnd_ = 0;
  // What the thorough steps found, for the run's report.
  std::vector<std::string> notes_;
  uint32_t realignments_ = 0;
  uint32_t jammedKept_ = 0;
  // The passing scan's slots, and those it took; a scan that took too few
  // of them found no table there (decided on the first pass).
  uint64_t passingSlots_ = 0;
  uint64_t passingTaken_ = 0;
  bool noRecords_ = false;
  // The record model of the thorough layout, when the table's records tell
  // a record apart; what the scan by it passed over and where it moved.
  std::optional<RecordModel> model_;
  std::vector<uint8_t> fitSlot_;
  std::vector<AlignmentEvent> alignment_;
  CouldWin couldWin_;
  // The slots the first pass's scan by evidence found fitting, as runs of
  // slots a record length apart, for the writing pass; not kept when they
  // make more than kMostRuns runs.
  struct SlotRuns {
    static constexpr size_t kMostRuns = size_t{1} << 20;
    struct Layout {
      uint32_t start = 0;
      uint32_t end = 0;
      uint32_t length = 0;
      bool operator==(const Layout&) const = default;
    };
    struct Run {
      uint32_t start;
      uint32_t count;
    };
    Layout layout;
    bool kept = false;
    std::vector<Run> runs;
    // The next slot found, at `position`.
    void add(uint32_t position, uint32_t length);
  };
  SlotRuns fitting_;
  std::unique_ptr<ScoringAhead> ahead_;
  TableSample wholeSample_;
  std::vector<uint32_t> wholeScores_;
  uint32_t wholeItems_ = 0;
};

}  // namespace kest

#endif  // KEST_WORST_CASE_METHOD1_H_
