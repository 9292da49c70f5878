#include "worst_case/method1.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "Common/logger/logger.h"
#include "Common/raised_code.h"
#include "dbf/memo_companion.h"
#include "worst_case/layout_search.h"

namespace kest {

namespace {

// Progress of the first pass: 26..44 while the record lengths are scored,
// 45 and 50 after the choice and the fields, 51..64 over the slots. A
// write-mode pass reports only 80 and 85.
constexpr int32_t kScoringProgressBase = 25;
constexpr uint32_t kScoringProgressSpan = 20;
constexpr int32_t kLengthChosenProgress[2] = {80, 45};
constexpr int32_t kFieldsMadeProgress[2] = {85, 50};
constexpr int32_t kScanProgressBase = 50;
constexpr uint32_t kScanProgressSpan = 15;

}  // namespace

Method1::Method1(const char* path, platform::Env* env, RunContext* context)
    : env_(env), context_(context != nullptr ? context : RunContext::Silent()) {
  Log().Info("In Method1::Method1()");
  table_ = std::make_unique<LLFile>(path, env);
  table_->GetSize();
  Log().Info("Method1::Method1() exiting");
  MemoCompanion memo = probeMemoCompanion(path, env);
  memoPresent_ = memo.present;
  memoSize_ = memo.size;
}

Method1::~Method1() {
  Log().Info("In Method1::~Method1()");
  releaseTableFile(table_);
  Log().Info("Method1::~Method1() exiting");
}

bool Method1::FindLayout(bool firstPass, int32_t* code) {
  uint32_t windowSize = table_->GetSize();
  if (windowSize > kSampleWindowSize) {
    windowSize = kSampleWindowSize;
  } else if (windowSize < kMinSearchableSize) {
    *code = kTooShortToSearch;
    return false;
  }

  uint32_t size = 0;
  uint32_t offset = 0;
  {
    std::unique_ptr<uint8_t[]> window = table_->ReadAlloc(0, windowSize);
    RecordLengthScores scores =
        scoreRecordLengths(window.get(), windowSize, [this, firstPass](uint32_t j) {
          uint32_t step = kScoringProgressSpan * j / 512;
          if (firstPass && step != kScoringProgressSpan * (j - 1) / 512) {
            context_->reportProgress(kScoringProgressBase + static_cast<int32_t>(step));
          }
          context_->pollBreak();
        });
    size = chooseRecordLength(scores);
    context_->reportProgress(kLengthChosenProgress[firstPass]);
    Log().InfoNumber("Best record size:", static_cast<int32_t>(size));
    if (size == 0) {
      *code = 0;
      return false;
    }
    context_->pollBreak();
    offset = findRecordOffset(window.get(), windowSize, size);
    Log().InfoNumber("Method1: record offset is", static_cast<int32_t>(offset));
  }

  // The column statistics sample the last records of the window afresh
  // from the table: with an offset above 0 the last one reaches past the
  // window, and those bytes belong to the record.
  uint32_t recordCount = windowSize / size;
  uint32_t sampled = headerZoneRecords(size);
  ColumnStatistics statistics(size);
  for (uint32_t r = recordCount - sampled; r < recordCount; ++r) {
    std::unique_ptr<uint8_t[]> record = table_->ReadAlloc(offset + r * size, size);
    statistics.add(record.get());
  }
  context_->pollBreak();

  fields_ = makeDescriptors(cutIntoFields(statistics.columnLetters(sampled)));
  header_ = makeLayoutHeader(recordCount, size, fields_.size());
  places_ = placeFields(fields_, nullptr);
  recordSize_ = size;
  recordOffset_ = offset;
  context_->reportProgress(kFieldsMadeProgress[firstPass]);
  return true;
}

int32_t Method1::Parse(RecordSink* sink) {
  Log().Info("In Method1::Parse()");
  context_->pollBreak();
  bool firstPass = recordsRead_ == 0;
  int32_t code = 0;
  if (!FindLayout(firstPass, &code)) return code;

  uint32_t recordCount = header_.recordCount();
  for (uint32_t i = 0; i < recordCount; ++i) {
    if (firstPass && i >= 1) {
      uint32_t step = kScanProgressSpan * i / recordCount;
      if (step != kScanProgressSpan * (i - 1) / recordCount) {
        context_->reportProgress(kScanProgressBase + static_cast<int32_t>(step));
      }
    }
    context_->pollBreak();
    std::unique_ptr<uint8_t[]> slot =
        table_->ReadAlloc(recordOffset_ + i * recordSize_, recordSize_);
    ++recordsRead_;
    bool valid = checkRecord(slot.get(), recordSize_, places_, memoPresent_, memoSize_);
    if (valid && sink != nullptr) sink->take(slot.get(), recordSize_);
  }
  Log().InfoNumber("Method1::Parse() exiting with code", 0);
  return 0;
}

int32_t Method1::Flush(const char* path) {
  Log().Info("In Method1::Flush()");
  ResultWriter writer(env_);
  writer.reportFailureTo(context_->report());
  int32_t rc = writer.guard("Unhandled exception in Method1::Flush()", [&] {
    // The header goes out before the records, so it can only come from a
    // Parse that found a layout.
    if (recordSize_ == 0) writer.fail();
    if (!writer.create(path != nullptr ? path : "")) return kCannotCreateResult;

    DbfHeader written = header_;
    std::vector<DbfFieldDescriptor> writtenFields = fields_;
    writer.writeHeader(written, writtenFields);
    Parse(&writer);
    // The records just appended were cut by the layout in the header; a
    // table that changed under us between the passes gives another one.
    if (header_.recordLength() != written.recordLength() ||
        header_.headerLength() != written.headerLength() ||
        fields_.size() != writtenFields.size() ||
        !std::equal(fields_.begin(), fields_.end(), writtenFields.begin(),
                    [](const DbfFieldDescriptor& a, const DbfFieldDescriptor& b) {
                      return std::memcmp(a.bytes, b.bytes, sizeof a.bytes) == 0;
                    })) {
      writer.fail();
    }
    writer.writeEndMark();
    // The header went out claiming every slot of the window; only the
    // slots that passed follow it.
    writer.patchRecordCount(writer.recordsWritten());
    writer.close();
    return 0;
  });
  // A result that could not even be created leaves no closing line.
  if (rc == kCannotCreateResult) return rc;
  Log().InfoNumber("Exiting Method1::Flush(), rc = ", rc);
  return rc;
}

}  // namespace kest
