// The memos of a thorough recovery: every memo reference of every record
// the result keeps is held against a real memo of the source's memo file,
// and the result gets a memo file of its own that holds exactly the memos
// that check out, the references renumbered to it.
//
// A reference that gives no sound memo (past the end of a cut file, on an
// overwritten block, to bytes that are not text) is emptied, alone: the
// record and its other memos stay. Such a memo's bytes never reach the
// table, not even in part, so no text passes for whole that is not; each
// emptied reference is named, by record and field, in the report. Memos
// no kept record refers to, and the list of emptied references, go into
// a text file beside the result (sideFilePath), in block order with their
// block numbers. A table whose memo file is gone keeps its memo fields as
// memo fields, emptied, with a fresh empty memo file of the kind its
// version names.
//
// Use: startPass before each pass of the method; sample() each kept record
// of the counting pass, then settle(); create(), rewrite() each record of
// the writing pass, publish() before the table takes its final name;
// keep() once the table is published, withdraw() when it is not. The source is only read.
// A failed write raises (after an ERROR line and, when a report is given,
// the system's words in it); what was written is removed again. A read of
// the source memo file that the system refuses raises kReadFailed.
#ifndef KEST_DBF_MEMO_REPAIR_H_
#define KEST_DBF_MEMO_REPAIR_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Common/recovery_options.h"
#include "Common/run_findings.h"
#include "dbf/memo_layout.h"
#include "dbf/record_check.h"
#include "dbf/result_writer.h"
#include "platform/env.h"

namespace kest {

// The findings step of the memo repair.
inline constexpr std::string_view kMemoStep = "memo";

// A thorough run repairs memos under either memo flag.
bool repairsMemos(const RecoveryOptions& options);

// Whether a field of this type refers into the memo file: M, G and P
// always, B outside Visual FoxPro (where it is a binary double).
bool isMemoFieldType(char type, uint8_t tableVersion);

class MemoRepair {
 public:
  // Finds the table's memo file by the companion rule; none is fine.
  MemoRepair(const std::string& tablePath, platform::Env* env);
  ~MemoRepair();

  MemoRepair(const MemoRepair&) = delete;
  MemoRepair& operator=(const MemoRepair&) = delete;

  // The table's version and where its fields lie, for the pass to come.
  void startPass(uint8_t tableVersion, const std::vector<FieldPlace>& places,
                 const std::vector<std::string>& fieldNames);
  bool hasMemoFields() const { return !fields_.empty(); }
  // Counting pass: the references of a record the result will keep.
  void sample(const uint8_t* record, size_t size);
  // After each pass: settles the block size (inferred when the header
  // lost it) and says what it found, afresh, in `findings`.
  void settle(RunFindings* findings);
  // Before a counting pass that is to rewrite its records as well:
  // settles the block size now where no reference is needed for it (the
  // memo file's header gives it, or there is no memo file), as settle
  // would after the pass; false where only the references can tell it.
  // settle still follows the pass, for what it says.
  bool settleAhead();

  // The memo file and the side file written beside `resultTablePath`.
  std::string memoPath(const std::string& resultTablePath) const;
  std::string sideFilePath(const std::string& resultTablePath) const;

  void create(const std::string& resultTablePath, RecoveryReport* report);
  // For a memo file written while counting, which may yet be dropped: a
  // failed write of create() or rewrite(), or a refused read of the
  // source, still raises, but is neither logged nor reported (nor raised
  // again by settle) until stopHolding(); a result never published leaves
  // no word of it.
  void holdFailures() { holding_ = true; }
  bool holdsFailure() const { return held_.has_value(); }
  // Ends the holding: raises the failure held, logged and reported (to
  // `report`, as create's) as it would have been at the time.
  void stopHolding(RecoveryReport* report);
  // Gives up what create() and rewrite() did and held (withdraw), so that
  // a writing pass after it reads and writes every memo afresh.
  void abandonWriting() noexcept;
  // Renumbers (or empties) the memo references of a record of the writing
  // pass, copying the memos it keeps into the new file.
  void rewrite(uint8_t* record, size_t size);
  // Writes the side file when there is anything to put in it, then gives
  // the memo file its final name; adds to `findings` a summary and each
  // emptied reference ("record 17, NOTES: block 4,211 lies past the end of
  // the memo file").
  void publish(RunFindings* findings);
  // Removes what create() and publish() wrote, under either name; also
  // on destruction, unless keep() came first (the table is published).
  void withdraw() noexcept;
  void keep();

  // What the writing pass found, for tests and the report.
  struct Emptied {
    uint32_t record = 0;  // 1-based, in the result
    std::string field;
    uint32_t block = 0;
    MemoFault fault = MemoFault::kNone;
  };
  const std::vector<Emptied>& emptied() const { return emptied_; }
  uint32_t memosKept() const { return memosKept_; }
  uint32_t orphans() const { return orphans_; }

 private:
  struct Output;
  [[noreturn]] void failed(const std::string& what, const platform::Status& status);
  [[noreturn]] void readFailed(const std::string& what, const platform::Status& status);
  // Raises kReadFailed once the source memo file refused a read.
  void checkSource();
  void appendSide(const std::string& text);
  std::string sideText();

  platform::Env* env_;
  std::string tablePath_;
  std::string sourcePath_;
  std::unique_ptr<platform::ReadableFile> source_;
  std::unique_ptr<MemoReader> reader_;
  MemoKind kind_ = MemoKind::kFoxPro;
  uint32_t blockSize_ = 0;
  bool blockSizeInferred_ = false;

  uint8_t version_ = 0;
  struct MemoField {
    FieldPlace place;
    std::string name;
    bool text = true;
  };
  std::vector<MemoField> fields_;
  std::vector<std::pair<uint32_t, bool>> samples_;
  uint32_t references_ = 0;

  std::unique_ptr<Output> out_;
  std::unique_ptr<Output> side_;
  RecoveryReport* report_ = nullptr;
  bool holding_ = false;
  struct Held {
    bool read = false;  // a refused read of the source, else a failed write
    std::string what;
    platform::Status status;
  };
  std::optional<Held> held_;
  // Keeps the first failure met while holding and ends the scan.
  [[noreturn]] void holdAndStop(Held failure);
  uint32_t recordNumber_ = 0;
  std::set<uint32_t> referenced_;
  std::vector<Emptied> emptied_;
  uint32_t memosKept_ = 0;
  uint32_t orphans_ = 0;
};

// The record sink of a counting pass that writes the result as it counts,
// both `repair` and `next` holding their failures: each record is sampled,
// then rewritten on a copy on its way to `next`. A failure of either ends
// the writing, never the count: from then on records are only sampled, and
// the failure waits to be raised where the writing pass would have met it.
class MemoCountingSink : public RecordSink {
 public:
  MemoCountingSink(MemoRepair* repair, ResultWriter& next) : repair_(repair), next_(next) {}
  void take(const uint8_t* record, size_t size) override;

 private:
  MemoRepair* repair_;
  ResultWriter& next_;
  std::vector<uint8_t> copy_;
};

// The record sink of a pass with memo repair: it samples in the counting
// pass (no `next`) and rewrites a copy of each record on its way to `next`
// in the writing pass.
class MemoPassSink : public RecordSink {
 public:
  MemoPassSink(MemoRepair* repair, RecordSink* next) : repair_(repair), next_(next) {}
  void take(const uint8_t* record, size_t size) override;

 private:
  MemoRepair* repair_;
  RecordSink* next_;
  std::vector<uint8_t> copy_;
};

}  // namespace kest

#endif  // KEST_DBF_MEMO_REPAIR_H_
