// The best-case recovery method: trust the table's own header and field
// descriptors, walk every record slot the header declares, and keep the
// live records whose every field passes the record check.
//
// Two passes: Parse counts; Flush writes the adjusted header and runs Parse
// again with the result as its record sink, appending each valid record the
// moment it is judged. No record is kept in memory between the passes.
//
// Parse raises RaisedCode: kUserBreak when the run's context asks for a
// break, LLFile codes when the table cannot be read. Flush raises nothing
// and returns 0, kResultIncomplete or kCannotCreateResult. The object reads
// the table only; it never writes it.
#ifndef KEST_BEST_CASE_METHOD0_H_
#define KEST_BEST_CASE_METHOD0_H_

#include <cstdint>
#include <memory>
#include <vector>

#include "Common/logger/llfile.h"
#include "Common/run_context.h"
#include "dbf/dbf_format.h"
#include "dbf/record_check.h"
#include "dbf/result_writer.h"
#include "platform/env.h"

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
  // The header takes version 0x03 without a memo companion, loses the
  // index bit of tableFlags and carries the number of records written.
  int32_t Flush(const char* path);

  int32_t validRecords() const { return validRecords_; }
  // The record length the table's header declares, taken by the last Parse
  // that went on to scan the records; 0 before that.
  uint16_t headerRecordLength() const { return headerRecordLength_; }
  bool memoPresent() const { return memoPresent_; }
  uint32_t memoSize() const { return memoSize_; }
  const DbfHeader& header() const { return header_; }
  const std::vector<DbfFieldDescriptor>& fields() const { return fields_; }

 private:
  // Reads record `number` into the record buffer; what the file does not
  // hold reads as zero.
  void readRecord(uint32_t number);
  // The result's header: the table's own, lightly adjusted (see Flush).
  void writeHeader(ResultWriter& writer);

  platform::Env* env_;
  RunContext* context_;
  std::unique_ptr<LLFile> table_;
  bool noMemoCompanion_ = false;
  int32_t validRecords_ = 0;
  uint16_t headerRecordLength_ = 0;
  DbfHeader header_;
  std::vector<DbfFieldDescriptor> fields_;
  std::vector<bool> memoAsCharacter_;
  std::vector<FieldPlace> places_;
  std::vector<uint8_t> record_;
  bool memoPresent_ = false;
  uint32_t memoSize_ = 0;
};

}  // namespace kest

#endif  // KEST_BEST_CASE_METHOD0_H_
