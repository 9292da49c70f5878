#include "worst_case/method1.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "Common/logger/logger.h"
#include "Common/raised_code.h"
#include "dbf/memo_companion.h"
#include "worst_case/layout_search.h"
#include "worst_case/whole_table_layout.h"

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

namespace {

bool thoroughLayout(const RecoveryOptions& options) {
  return options.has(kWholeTableLayout) || options.has(kShortestLength) ||
         options.has(kPassingOffset) || options.has(kReaderSafeFields);
}

std::string numbered(const char* before, uint32_t number, const char* after) {
  return before + std::to_string(number) + after;
}

}  // namespace

bool Method1::findLayout(bool firstPass, int32_t* code) {
  if (thoroughLayout(context_->options())) return findThoroughLayout(firstPass, code);
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

bool Method1::findThoroughLayout(bool firstPass, int32_t* code) {
  const RecoveryOptions& options = context_->options();
  const bool wholeTable = options.has(kWholeTableLayout);
  const uint32_t tableSize = table_->GetSize();

  // The sample: the whole table past its leading zero bytes, or the
  // classic window from byte 0.
  TableSample localSample;
  const TableSample* sampleRead = &localSample;
  auto scoringProgress = [this, firstPass](uint32_t done, uint32_t total) {
    uint32_t step = static_cast<uint32_t>(uint64_t{kScoringProgressSpan} * done / total);
    if (firstPass && done != 0 &&
        step != static_cast<uint32_t>(uint64_t{kScoringProgressSpan} * (done - 1) / total)) {
      context_->reportProgress(kScoringProgressBase + static_cast<int32_t>(step));
    }
    context_->pollBreak();
  };
  std::vector<uint32_t> scores;
  if (wholeTable) {
    if (!wholeTableScores(tableSize, scoringProgress)) {
      *code = kTooShortToSearch;
      return false;
    }
    sampleRead = &wholeSample_;
    scores = wholeScores_;
  } else {
    uint32_t windowSize = std::min(tableSize, kSampleWindowSize);
    if (windowSize < kMinSearchableSize) {
      *code = kTooShortToSearch;
      return false;
    }
    std::unique_ptr<uint8_t[]> bytes = table_->ReadAlloc(0, windowSize);
    localSample.tableSize = tableSize;
    localSample.windows.push_back({0, std::vector<uint8_t>(bytes.get(), bytes.get() + windowSize)});
    uint32_t total = kMaxCandidateLength - kMinCandidateLength + 1;
    scores = scoreRecordLengthsUpTo(localSample.windows.front().bytes.data(), windowSize,
                                    kMaxCandidateLength,
                                    [&](uint32_t j) { scoringProgress(j - kMinCandidateLength, total); });
  }
  const TableSample& sample = *sampleRead;
  const SampleWindow& first = sample.windows.front();
  const uint32_t firstSize = static_cast<uint32_t>(first.bytes.size());
  uint32_t size = chooseRecordLength(scores);
  context_->reportProgress(kLengthChosenProgress[firstPass]);
  Log().InfoNumber("Best record size:", static_cast<int32_t>(size));
  if (size == 0) {
    *code = 0;
    return false;
  }
  std::vector<std::string> notes;
  if (wholeTable) {
    notes.push_back(numbered("record length ", size, " found by searching the whole table"));
  }
  if (options.has(kShortestLength)) {
    uint32_t shortest = shortestFittingLength(sample, scores, size);
    if (shortest != size) {
      notes.push_back(numbered("record length ", size, "") +
                      numbered(" reduced to ", shortest, ", which fits the records as well"));
      size = shortest;
      Log().InfoNumber("Method1: shorter record size that fits as well:",
                       static_cast<int32_t>(size));
    }
  }
  context_->pollBreak();

  // The offset is a position in the table; the scan starts at the first
  // slot of its phase inside the sample.
  uint32_t offset = 0;
  model_.reset();
  if (options.has(kPassingOffset)) {
    uint32_t phase = passingOffset(sample, size);
    offset = sample.dataStart + (phase + size - sample.dataStart % size) % size;
    // Where the table's own records say records begin, when they tell a
    // record from bytes a few places off; else where records pass.
    if (std::optional<uint32_t> fitting = fittingOffset(sample.dataStart, size, offset)) {
      offset = *fitting;
      notes.push_back(numbered("records found from byte ", offset,
                               ", where they fit the table's records"));
    } else {
      notes.push_back(numbered("records found from byte ", offset,
                               ", where they pass the record check"));
    }
  } else {
    offset = first.start + findRecordOffset(first.bytes.data(), firstSize, size);
  }
  Log().InfoNumber("Method1: record offset is", static_cast<int32_t>(offset));
  context_->pollBreak();

  std::string letters;
  if (wholeTable) {
    letters = sampleColumnLetters(sample, size, offset % size);
  } else {
    // The classic statistics: the last records of the window.
    uint32_t recordCount = firstSize / size;
    uint32_t sampled = std::min(headerZoneRecords(size), recordCount);
    ColumnStatistics statistics(size);
    for (uint32_t r = recordCount - sampled; r < recordCount; ++r) {
      if (offset + (r + 1) * size > tableSize) continue;
      std::unique_ptr<uint8_t[]> record = table_->ReadAlloc(offset + r * size, size);
      statistics.add(record.get());
    }
    letters = statistics.columnLetters(sampled);
  }
  context_->pollBreak();

  fields_ = makeDescriptors(cutIntoFields(letters));
  // The fields are judged by the letters they were invented from, whatever
  // type the result gives them.
  places_ = placeFields(fields_, nullptr);
  if (options.has(kReaderSafeFields)) {
    fields_ = readerSafeDescriptors(fields_);
    notes.push_back("invented fields written as character fields, which every reader opens");
  }
  uint32_t slotCount = 0;
  if (wholeTable) {
    scanEnd_ = tableSize;
    slotCount = offset < tableSize ? (tableSize - offset) / size : 0;
  } else {
    slotCount = firstSize / size;
    scanEnd_ = static_cast<uint32_t>(
        std::min<uint64_t>(tableSize, uint64_t{offset} + uint64_t{slotCount} * size));
  }
  header_ = makeLayoutHeader(slotCount, size, fields_.size());
  if (options.has(kReaderSafeFields)) {
    // A reader refuses a header far longer than its descriptors need.
    header_.setHeaderLength(static_cast<uint16_t>(headerBytesNeeded(fields_.size())));
  }
  recordSize_ = size;
  recordOffset_ = offset;
  if (firstPass) notes_ = std::move(notes);
  context_->reportProgress(kFieldsMadeProgress[firstPass]);
  return true;
}

std::unique_ptr<Method1::ScoringAhead> Method1::startScoring(const char* path,
                                                            platform::Env* env) {
  if (path == nullptr) return nullptr;
  // Only a head start: whatever goes wrong here (no memory for the
  // sample) leaves the method to do it all in its own turn.
  try {
    std::unique_ptr<platform::ReadableFile> file;
    if (!env->OpenReadOnly(path, &file) || file->Size() > UINT32_MAX) return nullptr;
    auto ahead = std::make_unique<ScoringAhead>();
    ahead->tableSize = static_cast<uint32_t>(file->Size());
    // One read a window, as the method's own reads take it: what does not
    // arrive reads as zero; after a refused read nothing more is read.
    auto read = [&](uint32_t position, uint32_t count, uint8_t* out) {
      size_t got = 0;
      if (ahead->readStatus) ahead->readStatus = file->ReadAt(position, out, count, &got);
      if (got < count) std::memset(out + got, 0, count - got);
    };
    TableSample sample;
    if (!readTableSample(ahead->tableSize, read, &sample) && ahead->readStatus) return nullptr;
    if (ahead->readStatus) {
      ahead->scoring = std::make_unique<SampleScoringAhead>(std::move(sample), env);
    }
    return ahead;
  } catch (...) {
    return nullptr;
  }
}

bool Method1::wholeTableScores(uint32_t tableSize,
                               const std::function<void(uint32_t, uint32_t)>& progress) {
  // Scored already, ahead of this pass or by the pass before: the same
  // bytes give the same scores, and the calls the scoring would make are
  // made all the same.
  // Taken once: a pass that ends in a break leaves nothing half scored.
  std::unique_ptr<ScoringAhead> ahead = std::move(ahead_);
  if (ahead && ahead->tableSize == tableSize) {
    if (!ahead->readStatus) LLFile::ReadFailed(ahead->readStatus);
    wholeScores_ = ahead->scoring->finish(progress);
    wholeSample_ = ahead->scoring->releaseSample();
    wholeItems_ = scoredCandidates(wholeSample_);
    return true;
  }
  ahead.reset();
  if (!wholeScores_.empty() && wholeSample_.tableSize == tableSize) {
    for (uint32_t done = 0; done < wholeItems_; ++done) progress(done, wholeItems_);
    return true;
  }
  wholeScores_.clear();
  bool enough = readTableSample(
      tableSize,
      [this](uint32_t position, uint32_t count, uint8_t* out) {
        context_->pollBreak();
        std::unique_ptr<uint8_t[]> bytes = table_->ReadAlloc(position, count);
        std::memcpy(out, bytes.get(), count);
      },
      &wholeSample_);
  if (!enough) return false;
  wholeScores_ = scoreSample(wholeSample_, progress);
  wholeItems_ = scoredCandidates(wholeSample_);
  return true;
}

std::optional<uint32_t> Method1::fittingOffset(uint32_t dataStart, uint32_t size,
                                               uint32_t passing) {
  const uint32_t tableSize = table_->GetSize();
  ReadBytes read = [this](uint64_t position, size_t count, uint8_t* out) {
    readSlot(static_cast<uint32_t>(position), static_cast<uint32_t>(count), out);
  };
  RecordHints hints;
  hints.recordAt = passing;
  RecordModel model = RecordModel::learn(sampleClusters(read, dataStart, tableSize, size), size, hints);
  context_->pollBreak();
  if (!model.strong()) return std::nullopt;
  model_ = std::move(model);
  FrameSync sync(dataStart, tableSize, size, [this](uint64_t at) { return slotFits(at); });
  std::optional<uint64_t> first = sync.next();
  if (!first) {
    model_.reset();
    return std::nullopt;
  }
  return static_cast<uint32_t>(*first);
}

bool Method1::slotFits(uint64_t position) {
  const uint32_t length = model_->length();
  fitSlot_.resize(length + 2 * RecordModel::kReach);
  uint8_t* slot = fitSlot_.data() + RecordModel::kReach;
  readSlot(static_cast<uint32_t>(position), length, slot);
  const RecordModel::Fit fit = model_->judge(slot);
  if (fit != RecordModel::Fit::kUnsure) return fit == RecordModel::Fit::kYes;
  if (position < RecordModel::kReach) return false;
  readSlot(static_cast<uint32_t>(position - RecordModel::kReach),
           static_cast<uint32_t>(fitSlot_.size()), fitSlot_.data());
  return model_->fitsAt(fitSlot_.data(), fitSlot_.size(), RecordModel::kReach);
}

void Method1::scanByEvidence(bool firstPass, RecordSink* sink) {
  const uint32_t length = recordSize_;
  const uint32_t start = recordOffset_;
  const bool keepJammed = context_->options().has(kKeepJammedRecords);
  std::vector<uint8_t> slot(length);
  SlotCheck check(places_, length);
  uint32_t jammed = 0;
  uint64_t reported = 0;
  ProgressSteps progress(kScanProgressSpan, (scanEnd_ - start) / length);
  auto take = [&](uint64_t at) {
    uint64_t done = (at - start) / length;
    for (; reported < done; ++reported) reportScanProgress(firstPass, progress, reported + 1);
    context_->pollBreak();
    readSlot(static_cast<uint32_t>(at), length, slot.data());
    ++recordsRead_;
    if (check.passes(slot.data())) {
      if (sink != nullptr) sink->take(slot.data(), length);
      return;
    }
    // The slot fits the table's records: only its flag was hit.
    if (keepJammed && slot[0] != kLiveRecord && slot[0] != kDeletedRecord) {
      slot[0] = kLiveRecord;
      if (check.passes(slot.data())) {
        if (sink != nullptr) sink->take(slot.data(), length);
        ++jammed;
      }
    }
  };
  // The writing pass goes over the slots the counting pass found fitting,
  // where the same layout has them: the same bytes fit the same way, and
  // judging each slot's fit is most of a scan.
  const SlotRuns::Layout layout{start, scanEnd_, length};
  if (!firstPass && fitting_.kept && fitting_.layout == layout) {
    for (const SlotRuns::Run& run : fitting_.runs) {
      for (uint32_t k = 0; k < run.count; ++k) take(run.start + uint64_t{k} * length);
    }
    return;
  }
  SlotRuns found;
  found.layout = layout;
  found.kept = firstPass;
  FrameSync sync(start, scanEnd_, length, [this](uint64_t at) { return slotFits(at); });
  while (std::optional<uint64_t> at = sync.next()) {
    if (found.kept) found.add(static_cast<uint32_t>(*at), length);
    take(*at);
  }
  if (firstPass) {
    jammedKept_ = jammed;
    realignments_ = 0;
    alignment_ = sync.events();
    fitting_ = std::move(found);
  }
}

void Method1::SlotRuns::add(uint32_t position, uint32_t length) {
  if (!runs.empty() && runs.back().start + uint64_t{runs.back().count} * length == position) {
    ++runs.back().count;
    return;
  }
  // A table broken at nearly every slot would keep a run a slot: past
  // this many the writing pass judges the fit again instead.
  if (runs.size() == kMostRuns) {
    kept = false;
    runs = {};
    return;
  }
  runs.push_back({position, 1});
}

void Method1::readSlot(uint32_t position, uint32_t count, uint8_t* out) {
  size_t got = table_->ReadAt(position, count, out);
  if (got < count) std::memset(out + got, 0, count - got);
}

void Method1::reportScanProgress(bool firstPass, ProgressSteps& steps, uint64_t done) {
  if (firstPass && steps.movesAt(done)) {
    context_->reportProgress(kScanProgressBase + static_cast<int32_t>(steps.step(done)));
  }
}

void Method1::scanPassing(bool firstPass, RecordSink* sink) {
  const uint32_t length = recordSize_;
  const uint32_t start = recordOffset_;
  const uint32_t end = scanEnd_;
  const bool keepJammed = context_->options().has(kKeepJammedRecords);
  std::vector<uint8_t> slot(length);
  std::vector<uint8_t> ahead;
  SlotCheck check(places_, length);
  uint32_t realignments = 0;
  uint32_t jammed = 0;
  bool previousPassed = false;
  uint64_t at = start;
  uint64_t reported = 0;
  ProgressSteps progress(kScanProgressSpan, (end - start) / length);
  uint64_t taken = 0;
  while (at + length <= end) {
    uint64_t done = (at - start) / length;
    for (; reported < done; ++reported) reportScanProgress(firstPass, progress, reported + 1);
    context_->pollBreak();
    uint32_t position = static_cast<uint32_t>(at);
    readSlot(position, length, slot.data());
    ++recordsRead_;
    if (check.passes(slot.data())) {
      if (sink != nullptr) sink->take(slot.data(), length);
      ++taken;
      at += length;
      previousPassed = true;
      continue;
    }
    if (keepJammed && previousPassed && jammedRecordHolds(slot.data(), position, end, check)) {
      // Its fields pass and the stride holds on both sides of it: only the
      // flag was hit.
      slot[0] = kLiveRecord;
      if (sink != nullptr) sink->take(slot.data(), length);
      ++taken;
      ++jammed;
      at += length;
      continue;
    }
    previousPassed = false;
    // Enough bytes to see whether the records go on at the stride or some
    // bytes further, and to check a run of slots there.
    uint32_t span = static_cast<uint32_t>(std::min<uint64_t>(
        end - at, uint64_t{length} * (kResyncReach + kResyncRun + 1)));
    ahead.resize(span);
    readSlot(position, span, ahead.data());
    uint32_t next = nextPassingSlot(ahead.data(), span, position, check);
    if (next != position + length) ++realignments;
    at = next;
  }
  if (firstPass) {
    realignments_ = realignments;
    jammedKept_ = jammed;
    passingSlots_ = end > start ? (end - start) / length : 0;
    passingTaken_ = taken;
  }
}

bool Method1::jammedRecordHolds(const uint8_t* slot, uint32_t position, uint32_t end,
                                SlotCheck& check) {
  if (slot[0] == kLiveRecord || slot[0] == kDeletedRecord) return false;
  std::vector<uint8_t> live(slot, slot + recordSize_);
  live[0] = kLiveRecord;
  if (!check.passes(live.data())) return false;
  uint64_t next = uint64_t{position} + recordSize_;
  if (next + recordSize_ > end) return true;
  live.assign(recordSize_, 0);
  readSlot(static_cast<uint32_t>(next), recordSize_, live.data());
  return check.passes(live.data());
}

bool Method1::readsAsText() {
  constexpr uint32_t kSample = 64 * 1024;
  const uint32_t end = std::max(scanEnd_, recordOffset_);
  std::vector<uint8_t> sample(std::min(kSample, end - recordOffset_));
  if (sample.empty()) return false;
  readSlot(recordOffset_, static_cast<uint32_t>(sample.size()), sample.data());
  return kest::readsAsText(sample.data(), sample.size());
}

void Method1::scanAtStride(bool firstPass, RecordSink* sink) {
  uint32_t recordCount = header_.recordCount();
  std::vector<uint8_t> slot(recordSize_);
  const RecordCheckPlan check(places_, recordSize_);
  for (uint32_t i = 0; i < recordCount; ++i) {
    if (firstPass && i >= 1) {
      uint32_t step = kScanProgressSpan * i / recordCount;
      if (step != kScanProgressSpan * (i - 1) / recordCount) {
        context_->reportProgress(kScanProgressBase + static_cast<int32_t>(step));
      }
    }
    context_->pollBreak();
    readSlot(recordOffset_ + i * recordSize_, recordSize_, slot.data());
    ++recordsRead_;
    bool valid = checkRecord(slot.data(), check, memoPresent_, memoSize_);
    if (valid && sink != nullptr) sink->take(slot.data(), recordSize_);
  }
}

int32_t Method1::Parse(RecordSink* sink) {
  Log().Info("In Method1::Parse()");
  context_->pollBreak();
  bool firstPass = recordsRead_ == 0;
  int32_t code = 0;
  if (!findLayout(firstPass, &code)) return code;

  // Every scan takes slots a record length apart at the least, between the
  // layout's first record and its end, and at most the header's count at
  // the stride.
  const uint64_t betweenEnds =
      scanEnd_ > recordOffset_ ? (scanEnd_ - recordOffset_) / recordSize_ : 0;
  const uint64_t mostRecords = std::max<uint64_t>(header_.recordCount(), betweenEnds);
  // Lines of text pass the check of text fields at some length and stride,
  // and a text regular enough fits a model of its own lines.
  if (firstPass && readsAsText()) {
    noRecords_ = true;
    Log().Info("Method1: the slots read as lines of text, not a table's records");
  }
  if (noRecords_) {
    // Nothing to take.
  } else if (couldWin_ && !couldWin_(recordSize_, mostRecords)) {
    Log().InfoNumber("Method1: slots not scanned, the layout holds no more records than",
                     static_cast<int32_t>(std::min<uint64_t>(mostRecords, INT32_MAX)));
  } else if (model_) {
    scanByEvidence(firstPass, sink);
  } else if (context_->options().has(kPassingOffset)) {
    // Without a model of the records, the record check alone finds some
    // slots passing in any file: a picture, a program, a text. Where most
    // slots do not pass, there is no table to recover, and nothing is
    // written rather than bytes passed off as records.
    if (firstPass) {
      const int32_t read = recordsRead_;
      scanPassing(firstPass, nullptr);
      if (sink != nullptr) recordsRead_ = read;
      noRecords_ = passingTaken_ == 0 || passingTaken_ * 2 < passingSlots_;
      if (noRecords_) {
        Log().Info("Method1: too few slots pass the record check to be a table's records");
      }
    }
    if (!noRecords_ && sink != nullptr) scanPassing(false, sink);
  } else {
    scanAtStride(firstPass, sink);
  }
  noteRepairs();
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

void Method1::noteRepairs() {
  RunFindings* findings = context_->findings();
  if (findings == nullptr) return;
  findings->restart(kWorstCaseStep);
  for (const std::string& note : notes_) {
    findings->add(kWorstCaseStep, FindingKind::kRepair, note);
  }
  if (jammedKept_ != 0) {
    findings->add(kWorstCaseStep, FindingKind::kRepair,
                  numbered("deletion flag of ", jammedKept_,
                           jammedKept_ == 1 ? " record restored" : " records restored"));
  }
  noteAlignmentEvents(alignment_, kWorstCaseStep, *findings);
  if (realignments_ != 0) {
    findings->add(kWorstCaseStep, FindingKind::kRealigned,
                  numbered("records found again ", realignments_,
                           realignments_ == 1 ? " time, some bytes away from the stride"
                                              : " times, some bytes away from the stride"));
  }
}

}  // namespace kest

