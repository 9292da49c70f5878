#include "dbf/result_writer.h"

#include <string>

#include "dbf/result_table.h"

namespace kest {

bool ResultWriter::create(const char* path) {
  // A name that does not fit the 260-byte path buffers would be cut and
  // point elsewhere; it is treated as a path that cannot be created.
  std::string name;
  if (path == nullptr || !resultTableName(path, env_, &name)) return false;
  return env_->CreateNew(name, &output_).ok();
}

void ResultWriter::writeHeader(const DbfHeader& header,
                               const std::vector<DbfFieldDescriptor>& fields,
                               const std::function<void()>& afterHeader) {
  if (!writeTableHeader(*output_, header, fields, afterHeader)) writeFailed();
}

void ResultWriter::take(const uint8_t* record, size_t size) {
  if (!output_->Append(record, size)) writeFailed();
  ++recordsWritten_;
}

void ResultWriter::patchRecordCount(uint32_t count) {
  uint8_t bytes[4];
  le::Put32(bytes, count);
  if (!output_->WriteAt(DbfHeader::kRecordCountOffset, bytes, sizeof bytes)) writeFailed();
}

void ResultWriter::writeEndMark() {
  if (!writeEndOfFile(*output_)) writeFailed();
}

void ResultWriter::close() {
  bool closed = output_->Close().ok();
  output_.reset();
  if (!closed) writeFailed();
}

void ResultWriter::writeFailed() {
  if (failureText_ != nullptr) Log().Error(failureText_);
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

}  // namespace kest
