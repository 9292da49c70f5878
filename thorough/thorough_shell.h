// The I/O shell of a thorough best-case run: it reads the table (through
// LLFile, which raises its codes), polls the run's break, reports progress
// and notes findings, and leaves every decision to the steps beside it,
// pure over bytes: the header rebuild and the template's layout
// (header_rebuild.h), the count (record_count.h), level 7
// (level7_layout.h), where records lie (record_model.h with
// record_alignment.h, or phase_search.h where the records do not tell) and
// the jammed flags (jammed_flags.h).
//
// The shell never writes the table. Its counts go to the PassedOver and its
// repairs to the RunFindings it is handed, under the best case's step.
#ifndef KEST_THOROUGH_THOROUGH_SHELL_H_
#define KEST_THOROUGH_THOROUGH_SHELL_H_

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Common/logger/llfile.h"
#include "Common/progress_steps.h"
#include "Common/recovery_options.h"
#include "Common/run_context.h"
#include "Common/run_findings.h"
#include "dbf/dbf_format.h"
#include "dbf/result_writer.h"
#include "dbf/table_template.h"
#include "thorough/phase_search.h"
#include "thorough/record_alignment.h"
#include "thorough/record_model.h"
#include "thorough/slot_judge.h"
#include "thorough/slots_ahead.h"

namespace kest {

// Where the records lie, as a scan by the table's own records decided it:
// kept from the counting pass so that the writing pass takes the same
// slots without learning the records again or judging each slot's fit.
// Only a scan of the same table geometry and fields replays it.
class SlotPlan {
 private:
  friend class ThoroughShell;
  struct Run {
    uint64_t first = 0;
    uint64_t slots = 0;
  };
  bool matches(uint64_t start, uint64_t size, const SlotJudge& judge) const;
  void begin(uint64_t start, uint64_t size, const SlotJudge& judge);
  // The `count` slots a record length apart from `at`.
  void add(uint64_t at, uint64_t count = 1) {
    if (!runs_.empty() && runs_.back().first + runs_.back().slots * length_ == at) {
      runs_.back().slots += count;
    } else {
      runs_.push_back({at, count});
    }
  }

  bool decided_ = false;
  // The records told a record apart: the slots below say where they lie.
  bool strong_ = false;
  // The model refused the slots with zero bytes where readers refuse
  // them: the value judge need not ask.
  bool zerosJudged_ = false;
  uint64_t start_ = 0;
  uint64_t size_ = 0;
  uint32_t length_ = 0;
  std::vector<FieldPlace> places_;
  uint32_t samples_ = 0;
  // Runs of slots a record length apart: as many as the places the
  // alignment broke, not one a record.
  std::vector<Run> runs_;
  std::vector<AlignmentEvent> events_;
};

class ThoroughShell {
 public:
  // `env` opens the table again where a scan's slots are judged ahead of
  // it on a second thread.
  ThoroughShell(LLFile& table, RunContext& context, RunFindings& findings, PassedOver& passedOver,
                platform::Env* env = platform::Env::Default());

  // The header rebuilt from the standing descriptors where `header` cannot
  // describe the table: `header` replaced, the descriptors returned.
  std::optional<std::vector<DbfFieldDescriptor>> rebuildHeader(DbfHeader& header,
                                                               bool memoPresent,
                                                               uint32_t memoSize,
                                                               bool relaxedValues);
  // `header` from the template; its fields returned.
  std::vector<DbfFieldDescriptor> templateLayout(const TableTemplate& layout, DbfHeader& header);
  // The count the file holds whole, of `recordCount` the header declares.
  uint32_t fixRecordCount(const DbfHeader& header, uint32_t recordCount);
  // The fields of a level-7 header's 48-byte descriptors.
  std::vector<DbfFieldDescriptor> level7Fields(const DbfHeader& header);

  // The records from `start` judged by `judge`, each taken handed to
  // `sink` (when given); returns how many were taken. With realignment the
  // table's own records say where records lie wherever their evidence is
  // strong, else the value check does over `recordCount` slots. `writing`
  // tells the progress range. What the evidence decided stays in `plan`,
  // and a later scan of the same table and fields replays it.
  int32_t scan(const SlotJudge& judge, uint64_t start, uint32_t recordCount,
               const RecoveryOptions& options, SlotPlan& plan, RecordSink* sink, bool writing);

 private:
  void thoroughScan(uint64_t start, uint32_t recordCount, RecordSink* sink, bool writing);
  bool evidenceScan(uint64_t start, SlotPlan& plan, RecordSink* sink, bool writing);
  // The records of a table of a few placed from both ends where the last
  // one ends at the end of the file off the header's phase (EndAnchored);
  // false, taking nothing, where the end says nothing of where they lie.
  bool anchoredScan(uint64_t start, RecordSink* sink);
  // The slots of a few records the end of the file placed (EndAnchored),
  // those from `start` at the header's phase.
  void takeAnchored(const EndAnchored& anchored, uint64_t start, RecordSink* sink);
  // The table's records learned from samples, `plan` begun for them; none
  // where they do not tell a record from bytes a few places off.
  std::optional<RecordModel> learnRecords(uint64_t start, SlotPlan& plan);
  // A slot the evidence scan found whose flag is neither live nor deleted
  // (number `logged`): kept, its flag restored, where only the flag was hit.
  void judgeJammedSlot(const uint8_t* record, int32_t logged, RecordSink* sink,
                       uint32_t& keptJammed);
  void take(const uint8_t* record, RecordSink* sink) {
    // Runs once a record kept: most go on the run before them.
    if (runRecords_ != 0 && sink == runSink_ &&
        record == runBytes_ + runRecords_ * record_.size()) {
      ++runRecords_;
    } else {
      takeApart(record, sink);
    }
    // A table of billions of one-byte records could pass the signed count.
    if (taken_ < std::numeric_limits<int32_t>::max()) ++taken_;
  }
  // A record that does not go on the run before it.
  void takeApart(const uint8_t* record, RecordSink* sink);
  // Hands the run of records taken and not yet handed over to its sink.
  // Before every read of the table: the run lies in its read block.
  void handOver();
  // Whether the slot in record_, its flag jammed, holds sound fields, no
  // edge of a zeroed stretch and no value readers refuse: both scans keep
  // such a slot. The check may blank a field of record_.
  bool soundUnderJammedFlag();
  void readAt(uint64_t position, size_t count, uint8_t* out);
  void readAt(uint64_t position, std::vector<uint8_t>& buffer) {
    readAt(position, buffer.size(), buffer.data());
  }
  // The record-length slot at `position` as the table's read block holds
  // it, without a copy (valid until the next read); null where the block
  // does not hold it whole. Looked up in a window of the block kept from
  // slot to slot, so that a scan asks the file once for many slots.
  const uint8_t* peekAt(uint64_t position) {
    // Held in the window: nothing is read.
    if (position >= windowFrom_ && position + record_.size() <= windowTo_) {
      return windowBytes_ + (position - windowFrom_);
    }
    return peekWindow(position);
  }
  const uint8_t* peekWindow(uint64_t position);
  // Asked once a slot: the step is reported only where it moves.
  void reportScanProgress(ProgressSteps& steps, uint32_t done, bool writing) {
    if (steps.movesAt(done)) reportScanStep(steps, done, writing);
  }
  void reportScanStep(const ProgressSteps& steps, uint32_t done, bool writing);
  void noteRepair(std::string text);

  LLFile& table_;
  platform::Env* env_;
  RunContext& context_;
  RunFindings& findings_;
  PassedOver& passedOver_;
  // Set for the length of a scan.
  const SlotJudge* judge_ = nullptr;
  // The table read and judged ahead of a scan by its records, for the
  // length of the scan.
  std::unique_ptr<SlotsAhead> ahead_;
  RecoveryOptions options_;
  int32_t taken_ = 0;
  std::vector<uint8_t> record_;
  std::vector<uint8_t> probe_;
  // Bytes windowFrom_..windowTo_ of the table at windowBytes_, in the read
  // block; every read of the table (readAt) closes the window.
  uint64_t windowFrom_ = 0;
  uint64_t windowTo_ = 0;
  const uint8_t* windowBytes_ = nullptr;
  // Neighbouring records taken in the read block, handed over as one run
  // (handOver) rather than one call a record.
  RecordSink* runSink_ = nullptr;
  const uint8_t* runBytes_ = nullptr;
  size_t runRecords_ = 0;
};

}  // namespace kest

#endif  // KEST_THOROUGH_THOROUGH_SHELL_H_
