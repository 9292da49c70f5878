// The second pass of a recovery method: the result table created new, its
// header, the records the pass keeps, the end mark, the record count made
// true, the close.
//
// Each method decides the order of the steps and what it logs; the writer
// owns the output file and the byte places. The table is written under its
// temporary name (partialName) and takes its final name only in close(),
// once it is on the disk, so that no reader ever finds a table cut short.
// A step that cannot write its piece whole raises (after the method's
// failure text, when it gave one, and an ERROR line with the system's
// text), and guard() turns whatever its steps raise into kResultIncomplete:
// what the writer made is removed, under whichever name it stands. The
// writer only ever creates a new file; it never writes over one.
#ifndef KEST_DBF_RESULT_WRITER_H_
#define KEST_DBF_RESULT_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Common/logger/logger.h"
#include "Common/raised_code.h"
#include "Common/recovery_options.h"
#include "dbf/dbf_format.h"
#include "platform/env.h"

namespace kest {

// Where a method's pass puts the records it keeps; a pass without one only
// counts them.
class RecordSink {
 public:
  virtual ~RecordSink() = default;
  // Raises when the record cannot be kept whole.
  virtual void take(const uint8_t* record, size_t size) = 0;
  // `count` records of `size` bytes back to back, as take() of each in
  // turn: a scan hands over a run of neighbouring records at once.
  virtual void takeRecords(const uint8_t* records, size_t count, size_t size) {
    for (size_t i = 0; i < count; ++i) take(records + i * size, size);
  }
  // Whether take() may raise. A sink that never does keeps any failure to
  // itself, so records may reach it a little later, in runs, and a scan
  // goes on exactly as it would.
  virtual bool mayRaise() const { return true; }
};

class ResultWriter : public RecordSink {
 public:
  // `failureText`, when given, is logged as an ERROR line before a failed
  // write raises.
  explicit ResultWriter(platform::Env* env, const char* failureText = nullptr)
      : env_(env), failureText_(failureText) {}
  ~ResultWriter() {
    abandon();
    discard();
  }

  ResultWriter(const ResultWriter&) = delete;
  ResultWriter& operator=(const ResultWriter&) = delete;

  // Creates the result named by resultTableName(path), under its temporary
  // name. False when the name does not fit, something stands at the final
  // name already, or the file cannot be created new (the method returns
  // kCannotCreateResult).
  bool create(const char* path);
  // The header as writeTableHeader writes it; `afterHeader` runs between
  // the 32 header bytes and the descriptors.
  void writeHeader(const DbfHeader& header, const std::vector<DbfFieldDescriptor>& fields,
                   const std::function<void()>& afterHeader = {},
                   const std::vector<uint8_t>& afterTerminator = {});
  // Appends one record and counts it.
  void take(const uint8_t* record, size_t size) override;
  // Appends them in one write and counts each.
  void takeRecords(const uint8_t* records, size_t count, size_t size) override;
  uint32_t recordsWritten() const { return recordsWritten_; }
  // The name the result takes in close(); empty before create().
  const std::string& finalName() const { return finalName_; }
  // Puts `count` into the header's record count, wherever the file stands.
  void patchRecordCount(uint32_t count);
  void writeEndMark();
  // Makes the result durable, closes it and gives it its final name (see
  // publishPartial); raises when any of it fails.
  void close();
  // Where the system's text of a failed write is noted; may be null.
  void reportFailureTo(RecoveryReport* report) { report_ = report; }
  // The text a failed write logs from now on (see the constructor).
  void setFailureText(const char* failureText) { failureText_ = failureText; }
  // A writer whose result may yet be dropped: a failed write still raises,
  // but is neither logged nor reported until raiseHeldFailure(), so that a
  // result never published leaves no word of its failure.
  void holdFailures() { holding_ = true; }
  bool holdsFailure() const { return held_.has_value(); }
  // Ends the holding: raises the first failure held, logged and reported
  // as it would have been at the time; later failures raise as ever.
  void stopHolding();

  // Ends the writing as a failed step does, for a reason of the method's
  // own (it logs its own text; the failure text is not logged).
  [[noreturn]] void fail();

  // Runs `steps` (returning 0 or kCannotCreateResult); anything they raise
  // closes and removes the partial result, logs `unhandledText` and
  // "Exiting with code or_internal", and gives kResultIncomplete.
  template <typename Steps>
  int32_t guard(const char* unhandledText, Steps steps) {
    try {
      return steps();
    } catch (...) {
      // Taken back first, so that the method's closing lines stay together.
      abandon();
      discard();
      Log().Error(unhandledText);
      Log().Error("Exiting with code or_internal");
      return kResultIncomplete;
    }
  }

 private:
  // Logs the failure text and the system's, then fail().
  [[noreturn]] void writeFailed(const platform::Status& status);
  // Closes what is open; never raises.
  void abandon() noexcept;
  // Removes what create() made, under whichever name it stands; never raises.
  void discard() noexcept;

  platform::Env* env_;
  const char* failureText_;
  RecoveryReport* report_ = nullptr;
  bool holding_ = false;
  std::optional<platform::Status> held_;
  std::unique_ptr<platform::WritableFile> output_;
  std::string finalName_;  // empty until create() made the file
  bool renamed_ = false;
  uint32_t recordsWritten_ = 0;
};

}  // namespace kest

#endif  // KEST_DBF_RESULT_WRITER_H_
