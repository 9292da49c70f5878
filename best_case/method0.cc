#include "best_case/method0.h"

#include <cstring>
#include <limits>

#include "Common/logger/logger.h"
#include "Common/raised_code.h"
#include "dbf/memo_companion.h"

namespace kest {

namespace {

constexpr uint8_t kNoMemoVersion = 0x03;
constexpr uint8_t kIndexAttached = 0x01;  // bit 0 of tableFlags

// A piece of the result that could not be written whole (disk full, a
// failing device): a result with a hole is no result.
const char kWriteFailedText[] = "Method0::Flush(): the result table could not be written whole";

}  // namespace

Method0::Method0(const char* path, platform::Env* env, RunContext* context)
    : env_(env), context_(context != nullptr ? context : RunContext::Silent()) {
  Log().Info("In Method0::Method0()");
  validRecords_ = 0;
  table_ = std::make_unique<LLFile>(path, env);
  table_->GetSize();
  Log().Info("Method0::Method0() exiting");
  MemoCompanion memo = probeMemoCompanion(path, env);
  memoPresent_ = memo.present;
  memoSize_ = memo.size;
}

Method0::~Method0() {
  Log().Info("In Method0::~Method0()");
  releaseTableFile(table_);
  Log().Info("Method0::~Method0() exiting");
}

int32_t Method0::Parse(RecordSink* sink) {
  Log().Info("In Method0::Parse()");
  context_->pollBreak();

  std::unique_ptr<uint8_t[]> head = table_->ReadAlloc(0, sizeof header_.bytes);
  std::memcpy(header_.bytes, head.get(), sizeof header_.bytes);
  const uint32_t slots = fieldSlotCount(header_.headerLength());
  fields_.clear();
  places_.clear();
  memoAsCharacter_.assign(slots, false);
  validRecords_ = 0;

  // In 64 bits: a damaged count whose 32-bit product wraps around to a
  // small number would otherwise send the scan over billions of slots.
  const uint32_t recordCount = header_.recordCount();
  const uint16_t recordLength = header_.recordLength();
  const uint64_t tableSize = table_->GetSize();
  if (recordLength == 0 || uint64_t{recordCount} * recordLength > tableSize) return 0;

  Log().InfoNumber("Method0 record length (by header field value) is", recordLength);
  headerRecordLength_ = recordLength;
  context_->pollBreak();

  // The descriptors start right after the 32 header bytes, also when a
  // short file left the read position before them.
  table_->Seek(sizeof header_.bytes);
  fields_ = readFieldList(*table_, slots);
  for (size_t j = 0; j < fields_.size(); ++j) {
    if (noMemoCompanion_ && fields_[j].type() == 'M') {
      memoAsCharacter_[j] = true;
      fields_[j].setType('C');
    }
  }
  if (displacementsAllZero(fields_)) {
    Log().Info("Field displacements are all zero, fields are placed one after another");
  }
  places_ = placeFields(fields_, &memoAsCharacter_);

  validRecords_ = 0;
  record_.assign(recordLength, 0);
  for (uint32_t m = 0; m < recordCount; ++m) {
    context_->pollBreak();
    readRecord(m);
    const int32_t number = static_cast<int32_t>(m);
    switch (record_[0]) {
      case kDeletedRecord:
        Log().DebugNumber("The record at this position was deleted", number);
        break;
      case kLiveRecord:
        Log().DebugNumber("This record is valid by its header byte:", number);
        if (!places_.empty() &&
            !checkRecord(record_.data(), record_.size(), places_, memoPresent_, memoSize_)) {
          break;
        }
        if (sink != nullptr) sink->take(record_.data(), record_.size());
        // A table of billions of one-byte records could pass the signed count.
        if (validRecords_ < std::numeric_limits<int32_t>::max()) ++validRecords_;
        break;
      default:
        Log().DebugNumber("The record at this position is invalid", number);
        Log().DebugNumber("Reason: header byte is jammed, value must be 0x20 or 0x2A, value is: ",
                          record_[0]);
        break;
    }
  }

  Log().InfoNumber("Method0::Parse() exiting with code", 0);
  return 0;
}

void Method0::readRecord(uint32_t number) {
  const uint64_t position =
      uint64_t{header_.headerLength()} + uint64_t{number} * header_.recordLength();
  size_t got = 0;
  // The table is below 4 GiB (LLFile refuses larger ones), so a record at
  // or beyond 4 GiB lies wholly past its end.
  if (position <= std::numeric_limits<uint32_t>::max()) {
    got = table_->ReadAt(static_cast<uint32_t>(position),
                         static_cast<uint32_t>(record_.size()), record_.data());
  }
  // A short read must not leave bytes of the previous record behind.
  if (got < record_.size()) std::memset(record_.data() + got, 0, record_.size() - got);
}

void Method0::writeHeader(ResultWriter& writer) {
  DbfHeader header = header_;
  if (noMemoCompanion_) header.setVersion(kNoMemoVersion);
  header.setRecordCount(static_cast<uint32_t>(validRecords_));
  // The result has no index file beside it.
  header.setTableFlags(header.tableFlags() & ~kIndexAttached);

  std::vector<DbfFieldDescriptor> fields = fields_;
  for (DbfFieldDescriptor& field : fields) {
    if (noMemoCompanion_ && field.type() == 'M') field.setType('C');
  }
  writer.writeHeader(header, fields, [this] { context_->pollBreak(); });
}

int32_t Method0::Flush(const char* path) {
  Log().Info("In Method0::Flush()");
  ResultWriter writer(env_, kWriteFailedText);
  writer.reportFailureTo(context_->report());
  int32_t rc = writer.guard("Unhandled exception in Method0::Flush()", [&] {
    if (!writer.create(path)) return kCannotCreateResult;

    context_->pollBreak();
    writeHeader(writer);
    const int32_t counted = validRecords_;
    const uint16_t writtenLength = header_.recordLength();
    context_->pollBreak();
    Parse(&writer);
    // The second pass reads the header afresh. Records of another length
    // than the one written above would leave a result that no reader can
    // cut into records.
    if (validRecords_ != 0 && header_.recordLength() != writtenLength) {
      Log().Error("Method0::Flush(): the table's record length changed between the passes");
      writer.fail();
    }
    // The header went out with the count of the first pass. Should the
    // table have changed in between, the header is made to tell the truth
    // about the records that follow it.
    if (validRecords_ != counted) {
      writer.patchRecordCount(static_cast<uint32_t>(validRecords_));
      Log().InfoNumber("Method0::Flush() record count corrected to", validRecords_);
    }
    context_->pollBreak();
    writer.writeEndMark();
    context_->pollBreak();
    writer.close();
    return 0;
  });
  // A result that could not even be created leaves no closing line.
  if (rc == kCannotCreateResult) return rc;
  Log().InfoNumber("Exiting Method0::Flush(), rc = ", rc);
  return rc;
}

}  // namespace kest
