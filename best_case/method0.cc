#include "best_case/method0.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <utility>

#include "Common/logger/logger.h"
#include "Common/raised_code.h"
#include "dbf/memo_companion.h"
#include "dbf/result_publishing.h"
#include "dbf/table_kind.h"
#include "dbf/table_rules.h"
#include "dbf/table_template.h"
#include "thorough/header_rebuild.h"
#include "thorough/level7_layout.h"
#include "thorough/slot_judge.h"
#include "thorough/thorough_shell.h"

namespace kest {

namespace {

constexpr uint8_t kNoMemoVersion = 0x03;
constexpr uint8_t kIndexAttached = 0x01;  // bit 0 of tableFlags

// A piece of the result that could not be written whole (disk full, a
// failing device): a result with a hole is no result.
const char kWriteFailedText[] = "Method0::Flush(): the result table could not be written whole";

}  // namespace

// A write the early result cannot make ends its writing, never the count:
// the writer holds the failure, and Flush raises it where the writing pass
// would have met it, should this result be the one published.
class Method0::EarlySink : public RecordSink {
 public:
  explicit EarlySink(ResultWriter& writer) : writer_(writer) {}
  void take(const uint8_t* record, size_t size) override {
    if (writer_.holdsFailure()) return;
    try {
      writer_.take(record, size);
    } catch (...) {
    }
  }
  bool mayRaise() const override { return false; }
  void takeRecords(const uint8_t* records, size_t count, size_t size) override {
    if (writer_.holdsFailure()) return;
    try {
      writer_.takeRecords(records, count, size);
    } catch (...) {
    }
  }

 private:
  ResultWriter& writer_;
};

Method0::Method0(const char* path, platform::Env* env, RunContext* context)
    : env_(env),
      context_(context != nullptr ? context : RunContext::Silent()),
      tablePath_(path != nullptr ? path : "") {
  Log().Info("In Method0::Method0()");
  validRecords_ = 0;
  if (RunFindings* kept = context_->findings()) findings_ = kept;
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
  options_ = context_->options();
  passedOver_ = PassedOver{};
  findings_->restart(kBestCaseStep);
  earlyWhole_ = false;
  level7_ = false;

  ThoroughShell thorough(*table_, *context_, *findings_, passedOver_, env_);
  std::unique_ptr<uint8_t[]> head = table_->ReadAlloc(0, sizeof header_.bytes);
  std::memcpy(header_.bytes, head.get(), sizeof header_.bytes);
  std::optional<std::vector<DbfFieldDescriptor>> rebuiltFields;
  // Level-7 descriptors are not the 32-byte ones the rebuild judges by.
  const bool level7 =
      !template_ && options_.has(kLevel7Descriptors) && isLevel7Version(header_.version());
  if (template_) {
    rebuiltFields = thorough.templateLayout(*template_, header_);
  } else if (options_.has(kRebuildHeader) && !level7) {
    rebuiltFields = thorough.rebuildHeader(header_, memoPresent_, memoSize_,
                                           options_.has(kRelaxedValues));
  }
  const uint32_t slots = fieldSlotCount(header_.headerLength());
  fields_.clear();
  places_.clear();
  memoAsCharacter_.assign(slots, false);
  validRecords_ = 0;

  // In 64 bits: a damaged count whose 32-bit product wraps around to a
  // small number would otherwise send the scan over billions of slots.
  uint32_t recordCount = header_.recordCount();
  const uint16_t recordLength = header_.recordLength();
  const uint64_t tableSize = table_->GetSize();
  if (options_.has(kFixRecordCount)) recordCount = thorough.fixRecordCount(header_, recordCount);
  if (recordLength == 0 || uint64_t{recordCount} * recordLength > tableSize) return 0;

  Log().InfoNumber("Method0 record length (by header field value) is", recordLength);
  headerRecordLength_ = recordLength;
  context_->pollBreak();

  if (rebuiltFields) {
    fields_ = std::move(*rebuiltFields);
  } else {
    // The descriptors start right after the 32 header bytes, also when a
    // short file left the read position before them.
    table_->Seek(sizeof header_.bytes);
    fields_ = readFieldList(*table_, options_.has(kRebuildHeader)
                                         ? allFieldSlots(header_.headerLength())
                                         : slots);
  }
  if (level7) {
    fields_ = thorough.level7Fields(header_);
    level7_ = true;
  }
  if (memoAsCharacter_.size() < fields_.size()) memoAsCharacter_.resize(fields_.size(), false);
  if (!keepMemoFields()) {
    for (size_t j = 0; j < fields_.size(); ++j) {
      if (noMemoCompanion_ && fields_[j].type() == 'M') {
        memoAsCharacter_[j] = true;
        fields_[j].setType('C');
      }
    }
  }
  if (displacementsAllZero(fields_)) {
    Log().Info("Field displacements are all zero, fields are placed one after another");
  }
  places_ = placeFields(fields_, &memoAsCharacter_);
  if (options_.has(kRebuildHeader)) {
    if (auto inside = placesInsideRecord(places_, fields_, &memoAsCharacter_, recordLength)) {
      places_ = std::move(*inside);
      Log().Info(
          "Method0: field displacements lie outside the record, fields are placed one after "
          "another");
    }
  }

  validRecords_ = 0;
  record_.assign(recordLength, 0);
  if (options_.classic()) {
    classicScan(recordCount, sink);
  } else {
    if (repairsMemos(options_)) {
      if (!memoRepair_) memoRepair_ = std::make_unique<MemoRepair>(tablePath_, env_);
      std::vector<std::string> names;
      for (const DbfFieldDescriptor& field : fields_) names.push_back(field.name());
      memoRepair_->startPass(header_.version(), places_, names);
      // A table without memo fields gets no memo file of its own.
      if (!memoRepair_->hasMemoFields()) memoRepair_.reset();
    }
    MemoPassSink memoSink(memoRepair_.get(), sink);
    RecordSink* taker = memoRepair_ ? &memoSink : sink;
    const bool writing = sink != nullptr;
    // With the memo repair the result is written while counting only where
    // the memo file's block size is known before the references are: the
    // memos are copied by it as the records go by.
    std::optional<MemoCountingSink> memoWhileCounting;
    if (!writing && !earlyPath_.empty()) {
      if (!memoRepair_) {
        taker = startEarlyResult();
      } else if (memoRepair_->settleAhead()) {
        if (startEarlyResult() != nullptr) {
          taker = &memoWhileCounting.emplace(memoRepair_.get(), *early_);
        }
      }
    }
    const SlotJudge judge(places_, recordLength, memoPresent_, memoSize_,
                          options_.has(kRelaxedValues));
    validRecords_ = thorough.scan(judge, header_.headerLength(), recordCount, options_,
                                  slotPlan_, taker, writing);
    if (memoRepair_) memoRepair_->settle(findings_);
    earlyWhole_ = early_ != nullptr;
  }

  Log().InfoNumber("Method0::Parse() exiting with code", 0);
  return 0;
}

void Method0::classicScan(uint32_t recordCount, RecordSink* sink) {
  const RecordCheckPlan check(places_, record_.size());
  // A check that blanks a field writes into the record: it gets a copy of
  // its own. Any other is judged and taken where it lies.
  const bool inPlace = !check.blanks();
  for (uint32_t m = 0; m < recordCount; ++m) {
    context_->pollBreak();
    const uint8_t* record = record_.data();
    if (inPlace) {
      record = peekRecord(m);
    } else {
      readRecord(m);
    }
    const int32_t number = static_cast<int32_t>(m);
    switch (record[0]) {
      case kDeletedRecord:
        Log().DebugNumber("The record at this position was deleted", number);
        ++passedOver_.deleted;
        break;
      case kLiveRecord:
        Log().DebugNumber("This record is valid by its header byte:", number);
        if (!places_.empty() &&
            !(inPlace ? checkRecordInPlace(record, check, memoPresent_, memoSize_)
                      : checkRecord(record_.data(), check, memoPresent_, memoSize_))) {
          ++passedOver_.failedValueCheck;
          break;
        }
        if (sink != nullptr) sink->take(record, record_.size());
        // A table of billions of one-byte records could pass the signed count.
        if (validRecords_ < std::numeric_limits<int32_t>::max()) ++validRecords_;
        break;
      default:
        Log().DebugNumber("The record at this position is invalid", number);
        Log().DebugNumber("Reason: header byte is jammed, value must be 0x20 or 0x2A, value is: ",
                          record[0]);
        ++passedOver_.jammedFlag;
        break;
    }
  }
}

std::vector<std::string> Method0::memoResultPaths(const std::string& resultTablePath) const {
  if (!memoRepair_) return {};
  const std::string memo = memoRepair_->memoPath(resultTablePath);
  return {memo, memoRepair_->sideFilePath(memo)};
}

bool Method0::keepMemoFields() const {
  // The fields stay memo fields while the records are judged: without a
  // companion the check holds no block number against anything, and the
  // test of a jammed record's character fields leaves binary block
  // numbers alone.
  return noMemoCompanion_ && options_.has(kKeepMemoReferences);
}

void Method0::readAt(uint64_t position, std::vector<uint8_t>& buffer) {
  size_t got = 0;
  if (position <= std::numeric_limits<uint32_t>::max()) {
    got = table_->ReadAt(static_cast<uint32_t>(position), static_cast<uint32_t>(buffer.size()),
                         buffer.data());
  }
  if (got < buffer.size()) std::memset(buffer.data() + got, 0, buffer.size() - got);
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

const uint8_t* Method0::peekAt(uint64_t position) {
  if (position > std::numeric_limits<uint32_t>::max()) return nullptr;
  return table_->Peek(static_cast<uint32_t>(position), static_cast<uint32_t>(record_.size()));
}

const uint8_t* Method0::peekRecord(uint32_t number) {
  const uint64_t position =
      uint64_t{header_.headerLength()} + uint64_t{number} * header_.recordLength();
  if (const uint8_t* record = peekAt(position)) return record;
  readRecord(number);
  return record_.data();
}

void Method0::writeHeader(ResultWriter& writer) {
  DbfHeader header = header_;
  // A thorough result keeps the source's kind (keepTableKind below).
  if (!writesMemo() && options_.classic()) header.setVersion(kNoMemoVersion);
  header.setRecordCount(static_cast<uint32_t>(validRecords_));
  // The result has no index file beside it.
  header.setTableFlags(header.tableFlags() & ~kIndexAttached);

  std::vector<DbfFieldDescriptor> fields = fields_;
  for (DbfFieldDescriptor& field : fields) {
    if (!writesMemo() && field.type() == 'M') field.setType('C');
  }
  if (level7_) plainLevel7Header(header, fields, writesMemo());
  std::vector<uint8_t> backLink;
  kindChanges_.clear();
  databaseNote_.clear();
  if (!options_.classic() && !level7_) {
    kindChanges_ = keepTableKind(header, fields);
    backLink = sourceBackLink();
    std::string database = backLinkTarget(backLink);
    if (!database.empty()) {
      databaseNote_ = "the table belongs to the database " + database +
                      ": its back link is kept; the database file was not touched";
    }
  }
  writer.writeHeader(header, fields, [this] { context_->pollBreak(); }, backLink);
}

std::vector<uint8_t> Method0::sourceBackLink() {
  if (template_) return template_->backLink;
  std::vector<uint8_t> area(sizeof(DbfHeader) + fields_.size() * sizeof(DbfFieldDescriptor) + 1 +
                            kBackLinkLength);
  readAt(0, area);
  return backLinkOf(area.data(), area.size(), fields_.size(), header_.version());
}

void Method0::dropEarlyResult() {
  // The memo file made with the early table goes with it.
  if (early_ && memoRepair_) memoRepair_->abandonWriting();
  earlySink_.reset();
  early_.reset();
}

RecordSink* Method0::startEarlyResult() {
  const std::string path = std::move(earlyPath_);
  earlyPath_.clear();
  // Without a failure text: a write that fails here is no failure of the
  // run, only the end of the early result.
  auto writer = std::make_unique<ResultWriter>(env_);
  writer->holdFailures();
  if (!writer->create(path.c_str())) return nullptr;
  if (memoRepair_) {
    // As Flush makes them: the memo file after the table, before its header.
    memoRepair_->holdFailures();
    try {
      memoRepair_->create(writer->finalName(), nullptr);
    } catch (...) {
      // Held for Flush (see MemoCountingSink).
    }
  }
  early_ = std::move(writer);
  earlySink_ = std::make_unique<EarlySink>(*early_);
  try {
    writeHeader(*early_);
  } catch (const RaisedCode&) {
    throw;
  } catch (...) {
    // Held for Flush (see EarlySink).
  }
  return earlySink_.get();
}

void Method0::closeResult(ResultWriter& writer) {
  // The writing pass starts its repairs afresh; what the header kept or
  // changed of the table's kind belongs with them, in either way of writing.
  for (const std::string& change : kindChanges_) noteRepair(change);
  if (!databaseNote_.empty()) findings_->add(kBestCaseStep, FindingKind::kNote, databaseNote_);
  context_->pollBreak();
  writer.writeEndMark();
  context_->pollBreak();
  if (memoRepair_) memoRepair_->publish(findings_);
  writer.close();
}

int32_t Method0::finishEarlyResult() {
  ResultWriter& writer = *early_;
  writer.setFailureText(kWriteFailedText);
  writer.reportFailureTo(context_->report());
  int32_t rc = writer.guard("Unhandled exception in Method0::Flush()", [&] {
    context_->pollBreak();
    // Whichever failed first stopped the other's writing: only one holds
    // a failure, but for a memo file that could not be made (the table's
    // header went out after it).
    if (memoRepair_) memoRepair_->stopHolding(context_->report());
    writer.stopHolding();
    // The header went out before the records were counted.
    writer.patchRecordCount(static_cast<uint32_t>(validRecords_));
    closeResult(writer);
    return 0;
  });
  if (memoRepair_) rc == 0 ? memoRepair_->keep() : memoRepair_->withdraw();
  dropEarlyResult();
  Log().InfoNumber("Exiting Method0::Flush(), rc = ", rc);
  return rc;
}

int32_t Method0::Flush(const char* path) {
  Log().Info("In Method0::Flush()");
  if (early_) {
    // Only a result written whole for this very name is finished; any
    // other is taken back and the table written afresh.
    std::string name;
    if (earlyWhole_ && path != nullptr && resultTableName(path, env_, &name) &&
        name == early_->finalName()) {
      return finishEarlyResult();
    }
    dropEarlyResult();
  }
  ResultWriter writer(env_, kWriteFailedText);
  writer.reportFailureTo(context_->report());
  int32_t rc = writer.guard("Unhandled exception in Method0::Flush()", [&] {
    if (!writer.create(path)) return kCannotCreateResult;
    if (memoRepair_) memoRepair_->create(writer.finalName(), context_->report());

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
    closeResult(writer);
    return 0;
  });
  if (memoRepair_) rc == 0 ? memoRepair_->keep() : memoRepair_->withdraw();
  // A result that could not even be created leaves no closing line.
  if (rc == kCannotCreateResult) return rc;
  Log().InfoNumber("Exiting Method0::Flush(), rc = ", rc);
  return rc;
}

}  // namespace kest
