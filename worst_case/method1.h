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
// Parse raises RaisedCode: kUserBreak when the run's context asks for a
// break, LLFile codes when the table cannot be read. Flush raises nothing
// and returns 0, kResultIncomplete or kCannotCreateResult. The object reads
// the table only; it never writes it.
#ifndef KEST_WORST_CASE_METHOD1_H_
#define KEST_WORST_CASE_METHOD1_H_

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

class Method1 {
 public:
  // `context` hears the progress of the first pass and is polled for the
  // break; null is RunContext::Silent().
  explicit Method1(const char* path, platform::Env* env = platform::Env::Default(),
                   RunContext* context = nullptr);
  ~Method1();

  Method1(const Method1&) = delete;
  Method1& operator=(const Method1&) = delete;

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
  bool FindLayout(bool firstPass, int32_t* code);

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
};

}  // namespace kest

#endif  // KEST_WORST_CASE_METHOD1_H_
