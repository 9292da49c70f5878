// The thorough steps of the worst-case layout search, each behind its own
// flag (Common/recovery_options.h); the classic search (layout_search.h)
// runs none of them. Pure steps over a sample already read: nothing here
// touches a file or the host.
//
//   kWholeTableLayout   planSampleWindows, scoreSample: the record length
//                       is scored over the whole table, or over windows
//                       spread across it when it is larger than
//                       kWholeTableWindows x kSampleWindowSize bytes (so
//                       memory stays bounded), past the leading
//                       zero bytes that hold no record, for lengths up to
//                       kMaxWholeTableLength; sampleColumnLetters: the
//                       column letters come from records across the table,
//                       and a letter other than 'C' claims a column only
//                       when every live record sampled agrees.
//   kShortestLength     shortestFittingLength: a divisor of the chosen
//                       length whose slots begin with a deletion flag as
//                       often, and which scores nearly as well, replaces it.
//   kPassingOffset      passingOffset: of the phases whose bytes are
//                       deletion flags nearly as often as the best, the one
//                       at which the most slots pass the record check;
//                       nextPassingSlot: after a slot that fails, where the
//                       records go on (the same stride, or a few bytes on
//                       when bytes were lost or inserted).
//   kReaderSafeFields   readerSafeDescriptors: the invented fields are
//                       written as character fields, which every common
//                       reader opens whatever bytes they hold, behind a
//                       header no longer than its descriptors need.
#ifndef KEST_WORST_CASE_WHOLE_TABLE_LAYOUT_H_
#define KEST_WORST_CASE_WHOLE_TABLE_LAYOUT_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dbf/dbf_format.h"
#include "dbf/record_check.h"
#include "platform/env.h"

namespace kest {

class WorkAhead;
class CandidateScoring;

// At most this many sample windows of kSampleWindowSize bytes.
inline constexpr uint32_t kWholeTableWindows = 8;
// Candidate lengths of the whole-table search: 2 .. this, and no longer
// than a window holds kMinScoredRecords of.
inline constexpr uint32_t kMaxWholeTableLength = 4096;
inline constexpr uint32_t kMinScoredRecords = 8;
// A data area shorter than this is not searched even as a whole.
inline constexpr uint32_t kMinWholeTableData = 16;
// The column letters sample at most this many slots.
inline constexpr uint32_t kColumnSampleSlots = 1024;

struct SampleWindow {
  uint32_t start = 0;  // position in the table
  std::vector<uint8_t> bytes;
};

// The windows of the table that the whole-table steps read.
struct TableSample {
  uint32_t tableSize = 0;
  // The first byte that may begin a record: past the leading zero bytes.
  uint32_t dataStart = 0;
  std::vector<SampleWindow> windows;
};

struct WindowPlace {
  uint32_t start;
  uint32_t size;
};

// Windows over [dataStart, tableSize): one over all of it when it fits in
// kWholeTableWindows x kSampleWindowSize bytes, else kWholeTableWindows
// windows of kSampleWindowSize spread evenly, the first and the last
// included.
std::vector<WindowPlace> planSampleWindows(uint32_t dataStart, uint32_t tableSize);

// The first byte of `bytes` that is not zero (`size` when all are).
uint32_t skipLeadingZeros(const uint8_t* bytes, uint32_t size);

// The longest candidate the sample's windows can score.
uint32_t longestCandidate(const TableSample& sample);

// Scores of lengths 0..longestCandidate(sample) (0 and 1 stay 0): each
// window scored the classic way, the scores averaged over the windows.
// The candidates are scored on two threads where there are two;
// `beforeCandidate(done, total)` is called on the calling thread once for
// each candidate of each window, done = 0 .. total - 1 in order (progress
// and break polls); whatever it throws passes out, once the other thread
// has stopped.
std::vector<uint32_t> scoreSample(const TableSample& sample,
                                  const std::function<void(uint32_t, uint32_t)>& beforeCandidate);

// How many times scoreSample calls beforeCandidate for the sample.
uint32_t scoredCandidates(const TableSample& sample);

// scoreSample begun ahead: the second thread starts on the candidates
// when the object is made, while the calling thread does other work (the
// best case's counting pass); finish() has the calling thread join in and
// gives what scoreSample gives, with the same calls of beforeCandidate,
// every one of them made by finish(). An object dropped unfinished stops
// the second thread at once and waits for it. Where no second thread can
// be had, finish() does it all.
class SampleScoringAhead {
 public:
  SampleScoringAhead(TableSample sample, platform::Env* env = platform::Env::Default());
  ~SampleScoringAhead();
  SampleScoringAhead(const SampleScoringAhead&) = delete;
  SampleScoringAhead& operator=(const SampleScoringAhead&) = delete;

  const TableSample& sample() const { return sample_; }
  // Once only.
  std::vector<uint32_t> finish(const std::function<void(uint32_t, uint32_t)>& beforeCandidate);
  // After finish().
  TableSample releaseSample() { return std::move(sample_); }

 private:
  TableSample sample_;
  std::unique_ptr<CandidateScoring> scoring_;
  std::unique_ptr<WorkAhead> ahead_;
};

// The sample of a table of `tableSize` bytes as the whole-table steps take
// it: its leading zero bytes skipped, its windows read by `read` (which
// fills `count` bytes at `position`; what the table does not hold reads as
// zero). False, with nothing read past the first window, when less than
// kMinWholeTableData bytes follow the zeros.
using ReadSampleBytes = std::function<void(uint32_t position, uint32_t count, uint8_t* out)>;
bool readTableSample(uint32_t tableSize, const ReadSampleBytes& read, TableSample* sample);


// Per phase 0..recordLength-1, the slots of that phase lying whole inside a
// window whose first byte is a space or '*'; `slots` receives how many
// whole slots each phase has.
std::vector<uint32_t> flaggedSlotsByPhase(const TableSample& sample, uint32_t recordLength,
                                          std::vector<uint32_t>* slots = nullptr);

// The smallest divisor d of `recordLength` that scores at least half as
// well and splits it into records: in the slots of the length's best phase
// that begin with a deletion flag, the bytes every d further on hold one
// nearly as often as the slots themselves begin with one (within
// kSplitFlagSlack points). `recordLength` when none fits.
inline constexpr uint32_t kSplitFlagSlack = 10;
uint32_t shortestFittingLength(const TableSample& sample, const std::vector<uint32_t>& scores,
                               uint32_t recordLength);

// Letters of positions 1..recordLength-1 from up to kColumnSampleSlots live
// slots of `phase` spread over the sample: 'N' or 'B' where every live
// slot sampled holds that kind, 'C' everywhere else.
std::string sampleColumnLetters(const TableSample& sample, uint32_t recordLength,
                                uint32_t phase);

// Whether a slot begins with a deletion flag and passes the record check
// with the places it was made with. The check writes no log line: the
// search probes far more slots than it keeps. The slot's bytes stay as
// they are: when the places blank a field, the check judges a copy in a
// buffer the object keeps; else it judges the slot where it lies. Making
// one allocates; judging a slot does not.
class SlotCheck {
 public:
  SlotCheck(const std::vector<FieldPlace>& places, uint32_t recordLength);

  uint32_t recordLength() const { return recordLength_; }
  // `slot` holds recordLength() bytes.
  bool passes(const uint8_t* slot);

 private:
  uint32_t recordLength_;
  RecordCheckPlan plan_;
  std::vector<uint8_t> copy_;
};

// The fields a slot is judged by at `phase`: invented from its letters.
std::vector<FieldPlace> placesAtPhase(const TableSample& sample, uint32_t recordLength,
                                      uint32_t phase);

// Of the phases whose flagged slots reach 90% of the best phase's, the
// kOffsetCandidates with the most flagged slots (on a tie first those at
// which the last record ends where the table does, or just before its
// end-of-file mark): the one at which the
// most whole slots pass the record check (fields invented at that phase),
// the first of them on a tie. When the table ends with its end-of-file
// mark, the one phase whose last record ends just before it is taken
// instead if at least kEndPhaseShare percent as many of its slots pass.
inline constexpr uint32_t kOffsetCandidates = 8;
inline constexpr uint32_t kEndPhaseShare = 60;
uint32_t passingOffset(const TableSample& sample, uint32_t recordLength);

// After the slot at `failed` failed: the position where the next slot is
// read. `bytes` holds the table from `failed` on (`size` bytes of it); slots
// are check.recordLength() long and pass by `check`. The
// stride goes on at the first of the next kResyncReach slots that passes;
// else the first position within
// kResyncReach record lengths past `failed` from which kResyncRun slots in
// a row pass (as many as the bytes hold, when fewer); else the stride.
inline constexpr uint32_t kResyncReach = 4;
inline constexpr uint32_t kResyncRun = 3;
uint32_t nextPassingSlot(const uint8_t* bytes, uint32_t size, uint32_t failed, SlotCheck& check);

// Descriptors for the result: the same places, every one a character field.
std::vector<DbfFieldDescriptor> readerSafeDescriptors(std::vector<DbfFieldDescriptor> fields);

}  // namespace kest

#endif  // KEST_WORST_CASE_WHOLE_TABLE_LAYOUT_H_
