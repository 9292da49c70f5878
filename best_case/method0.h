// The best-case recovery method: trust the table's own header and field
// descriptors, walk every record slot the header declares, and keep the
// live records whose every field passes the record check.
//
// Two passes: Parse counts; Flush writes the adjusted header and runs Parse
// again with the result as its record sink, appending each valid record the
// moment it is judged. No record is kept in memory between the passes; where
// the table's own records said where they lie, the second pass takes the
// slots the first one found (SlotPlan). A thorough run may have the counting
// pass write the result as well (writeWhileCounting), so that the table is
// read and judged once; Flush then only finishes and publishes it.
//
// A thorough run (RunContext::options()) adds steps, each under its flag,
// each a pure function in thorough/ called through its I/O shell
// (thorough/thorough_shell.h): the header rebuilt from intact
// descriptors (kRebuildHeader), the record count made to fit the file
// (kFixRecordCount), records found where they really begin and again after
// a stretch of foreign bytes (kRealignRecords), relaxed values
// (kRelaxedValues), records kept whose only fault is a jammed deletion flag
// (kKeepJammedRecords), progress while the records are scanned
// (kFineProgress), level-7 descriptors read and written in the common
// layout (kLevel7Descriptors), and the memo repair (either memo flag,
// dbf/memo_repair.h): every memo reference of a kept record checked
// against the memo file, and a memo file of the result's own written
// beside it. With no flag set Parse is the classic scan. Every byte a
// thorough scan keeps comes from the table (a restored deletion flag
// aside), and no byte of the table reaches the result twice.
//
// Parse raises RaisedCode: kUserBreak when the run's context asks for a
// break, LLFile codes when the table cannot be read. Flush raises nothing
// and returns 0, kResultIncomplete or kCannotCreateResult. The object reads
// the table only; it never writes it.
#ifndef KEST_BEST_CASE_METHOD0_H_
#define KEST_BEST_CASE_METHOD0_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Common/logger/llfile.h"
#include "Common/progress_steps.h"
#include "Common/recovery_options.h"
#include "Common/run_context.h"
#include "dbf/dbf_format.h"
#include "dbf/memo_repair.h"
#include "dbf/record_check.h"
#include "dbf/result_writer.h"
#include "dbf/table_template.h"
#include "platform/env.h"
#include "thorough/thorough_shell.h"

namespace kest {

class Method0 {
 public:
  // Opens the table (raises its LLFile code when it cannot) and measures
  // its .fpt companion, found whatever its letter case. `context` hears
  // nothing of progress here and is polled for the break; null is
  // RunContext::Silent().
  explicit Method0(const char* path, platform::Env* env = platform::Env::Default(),
                   RunContext* context = nullptr);
  ~Method0();

  Method0(const Method0&) = delete;
  Method0& operator=(const Method0&) = delete;

  // Set by the driver before the first Parse: the table has neither a
  // .fpt nor a .dbt companion, so memo fields become blanked character fields.
  void setNoMemoCompanion(bool value) { noMemoCompanion_ = value; }
  bool noMemoCompanion() const { return noMemoCompanion_; }
  // Set by the driver before the first Parse: the table is read by this
  // healthy copy's structure instead of its own header (see
  // templateLayout), and the result takes the copy's header.
  void setTemplate(const TableTemplate& layout) { template_ = layout; }

  // Set by the driver of a thorough run before the counting Parse: that
  // pass also writes the result table for `path` (as Flush would name it)
  // under its temporary name, so that Flush, given the same path, has only
  // the count, the end mark and the publishing left. With the memo repair
  // the pass writes the result's memo file too, where the block size is
  // known before the references are (MemoRepair::settleAhead); else, or
  // where a file cannot be made, the pass only counts and Flush writes as
  // ever. A write of the table that fails is held for Flush to report as
  // its own; a memo that cannot be read or written leaves Flush to write
  // it all afresh. The table's header and records are read once, not
  // twice.
  void writeWhileCounting(std::string path) { earlyPath_ = std::move(path); }
  // Takes back what the counting pass wrote (another method writes the
  // result); nothing when it wrote nothing.
  void dropEarlyResult();

  // Counts the valid records and hands each to `sink` when one is given.
  // Returns 0.
  int32_t Parse(RecordSink* sink = nullptr);
  // Writes the result table to `path` (or RECOVERED.DBF in it when `path`
  // is an existing folder). Needs a completed counting Parse. Returns 0
  // only for a whole result; kResultIncomplete when anything ended the
  // writing (user break, a read failure, a failed or short write, a failed
  // close, records of another length than the header written because the
  // table changed between the passes), the partial file then staying on
  // disk; kCannotCreateResult when the file cannot be created (it exists,
  // the folder does not, or the name exceeds 259 characters).
  // With the memo repair, the result's memo file (and the side file of the
  // memos it leaves out) takes its final name before the table does, and
  // is removed again when the table is not published.
  // The header takes version 0x03 without a memo companion (and without
  // the memo repair), loses the index bit of tableFlags and carries the
  // number of records written. A thorough result keeps the table's kind
  // instead (keepTableKind) and its Visual FoxPro back link; findings()
  // then name what that changed.
  int32_t Flush(const char* path);

  // The files the memo repair writes beside a result table of this path
  // (its memo file and the side file of the memos left out); none without
  // the memo repair.
  std::vector<std::string> memoResultPaths(const std::string& resultTablePath) const;

  int32_t validRecords() const { return validRecords_; }
  // The record length the table's header declares, taken by the last Parse
  // that went on to scan the records; 0 before that.
  uint16_t headerRecordLength() const { return headerRecordLength_; }
  bool memoPresent() const { return memoPresent_; }
  uint32_t memoSize() const { return memoSize_; }
  const DbfHeader& header() const { return header_; }
  const std::vector<DbfFieldDescriptor>& fields() const { return fields_; }

  // What the last Parse passed over, by reason, and what it found and
  // repaired: the run's findings when the run keeps them, else the
  // method's own.
  const PassedOver& passedOver() const { return passedOver_; }
  const RunFindings& findings() const { return *findings_; }

 private:
  // The classic scan of `recordCount` slots from the header length.
  void classicScan(uint32_t recordCount, RecordSink* sink);
  // kKeepMemoReferences: the memo fields of a table without a memo
  // companion stay memo fields (the memo repair empties them); without it
  // they are blanked character fields, as in the classic scan.
  bool keepMemoFields() const;
  // The result carries memo fields: the table has a memo companion, or the
  // memo repair writes one.
  bool writesMemo() const { return !noMemoCompanion_ || memoRepair_ != nullptr; }
  // Reads `length` bytes at `position` into `buffer`; what the file does
  // not hold reads as zero.
  void readAt(uint64_t position, std::vector<uint8_t>& buffer);
  // The record of record_'s length at `position` as the table's read block
  // holds it, without a copy (valid until the next read of the table); null
  // where the block does not hold it whole.
  const uint8_t* peekAt(uint64_t position);
  void noteRepair(std::string text) {
    findings_->add(kBestCaseStep, FindingKind::kRepair, std::move(text));
  }

  // Reads record `number` into the record buffer; what the file does not
  // hold reads as zero.
  void readRecord(uint32_t number);
  // Record `number` where the table's read block holds it whole, without a
  // copy; else read into the record buffer as readRecord does. Valid until
  // the next read of the table.
  const uint8_t* peekRecord(uint32_t number);
  // Starts the result for earlyPath_ before the counting scan; null, the
  // file taken back, when it cannot be made or its header written.
  RecordSink* startEarlyResult();
  // Flush's end of a result the counting pass wrote whole.
  int32_t finishEarlyResult();
  // What both ways of writing end with, the record count set: the kind's
  // findings, the end mark, the memo file published, the table closed.
  void closeResult(ResultWriter& writer);
  // The result's header: the table's own, lightly adjusted (see Flush).
  void writeHeader(ResultWriter& writer);
  // The Visual FoxPro back link after the source's descriptors; empty for
  // any other table.
  std::vector<uint8_t> sourceBackLink();

  platform::Env* env_;
  RunContext* context_;
  std::unique_ptr<LLFile> table_;
  bool noMemoCompanion_ = false;
  std::optional<TableTemplate> template_;
  int32_t validRecords_ = 0;
  uint16_t headerRecordLength_ = 0;
  DbfHeader header_;
  std::vector<DbfFieldDescriptor> fields_;
  std::vector<bool> memoAsCharacter_;
  std::vector<FieldPlace> places_;
  std::vector<uint8_t> record_;
  bool memoPresent_ = false;
  // The last Parse read level-7 descriptors.
  bool level7_ = false;
  std::string tablePath_;
  std::unique_ptr<MemoRepair> memoRepair_;
  uint32_t memoSize_ = 0;
  RecoveryOptions options_;
  PassedOver passedOver_;
  RunFindings ownFindings_;
  RunFindings* findings_ = &ownFindings_;
  // What writeHeader changed of the table's kind, and the database its
  // back link names, for the findings.
  std::vector<std::string> kindChanges_;
  std::string databaseNote_;
  // Where the counting pass found the records, for the writing pass.
  SlotPlan slotPlan_;
  // The result the counting pass writes (writeWhileCounting); kept only
  // when every record of that pass went into it.
  std::string earlyPath_;
  std::unique_ptr<ResultWriter> early_;
  class EarlySink;
  std::unique_ptr<EarlySink> earlySink_;
  // The last counting pass ran to its end, every record it kept handed to
  // early_ (which may hold a failed write).
  bool earlyWhole_ = false;
};

}  // namespace kest

#endif  // KEST_BEST_CASE_METHOD0_H_
