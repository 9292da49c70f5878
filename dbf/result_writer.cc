#include "dbf/result_writer.h"

#include <string>

#include "dbf/result_publishing.h"

namespace kest {

bool ResultWriter::create(const char* path) {
  // A name that does not fit the 260-byte path buffers would be cut and
  // point elsewhere; it is treated as a path that cannot be created.
  std::string name;
  if (path == nullptr || !resultTableName(path, env_, &name)) return false;
  // The final name is only taken at the end; what stands there now must
  // refuse the run before anything is written, as creating it would have.
  if (platform::IsPresent(env_->KindOf(name))) return false;
  if (!env_->CreateNew(partialName(name), &output_)) return false;
  finalName_ = name;
  return true;
}

void ResultWriter::writeHeader(const DbfHeader& header,
                               const std::vector<DbfFieldDescriptor>& fields,
                               const std::function<void()>& afterHeader,
                               const std::vector<uint8_t>& afterTerminator) {
  if (platform::Status s = writeTableHeader(*output_, header, fields, afterHeader, afterTerminator);
      !s) {
    writeFailed(s);
  }
}

void ResultWriter::take(const uint8_t* record, size_t size) {
  if (platform::Status s = output_->Append(record, size); !s) writeFailed(s);
  ++recordsWritten_;
}

void ResultWriter::takeRecords(const uint8_t* records, size_t count, size_t size) {
  if (count == 0) return;
  if (platform::Status s = output_->Append(records, count * size); !s) writeFailed(s);
  recordsWritten_ += static_cast<uint32_t>(count);
}

void ResultWriter::patchRecordCount(uint32_t count) {
  uint8_t bytes[4];
  le::Put32(bytes, count);
  if (platform::Status s = output_->WriteAt(DbfHeader::kRecordCountOffset, bytes, sizeof bytes);
      !s) {
    writeFailed(s);
  }
}

void ResultWriter::writeEndMark() {
  if (platform::Status s = writeEndOfFile(*output_); !s) writeFailed(s);
}

void ResultWriter::close() {
  platform::Status status = output_->Sync();
  platform::Status closed = output_->Close();
  output_.reset();
  if (status) status = closed;
  if (status) status = publishPartial(env_, finalName_, &renamed_);
  if (!status) writeFailed(status);
  // Written whole and published: nothing is left to take back.
  finalName_.clear();
}

void ResultWriter::stopHolding() {
  holding_ = false;
  if (held_) writeFailed(*held_);
}

void ResultWriter::writeFailed(const platform::Status& status) {
  if (holding_) {
    if (!held_) held_ = status;
    fail();
  }
  if (failureText_ != nullptr) Log().Error(failureText_);
  logWriteFailure("Writing " + (renamed_ ? finalName_ : partialName(finalName_)), status);
  if (report_ != nullptr && report_->writeError.empty()) {
    report_->writeError = systemText(status);
    report_->writeErrorCode = status.code();
  }
  fail();
}

void ResultWriter::fail() {
  // Whatever the guard catches ends the writing; a plain integer would
  // look like a code of the engine.
  struct WriteFailed {};
  throw WriteFailed{};
}

void ResultWriter::abandon() noexcept {
  if (output_ == nullptr) return;
  try {
    output_->Close();
  } catch (...) {
  }
  output_.reset();
}

void ResultWriter::discard() noexcept {
  if (finalName_.empty()) return;
  try {
    // A result cut short would pass for a table to anyone who finds it,
    // and a full disk needs its space back.
    discardPartial(env_, finalName_, renamed_);
  } catch (...) {
  }
  finalName_.clear();
}

}  // namespace kest
