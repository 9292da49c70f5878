#include "thorough/thorough_shell.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "Common/logger/logger.h"
#include "thorough/header_rebuild.h"
#include "thorough/jammed_flags.h"
#include "thorough/level7_layout.h"
#include "thorough/phase_search.h"
#include "thorough/record_alignment.h"
#include "thorough/record_count.h"
#include "thorough/record_model.h"
#include "thorough/slots_ahead.h"

namespace kest {

ThoroughShell::ThoroughShell(LLFile& table, RunContext& context, RunFindings& findings,
                             PassedOver& passedOver, platform::Env* env)
    : table_(table), env_(env), context_(context), findings_(findings), passedOver_(passedOver) {}

void ThoroughShell::noteRepair(std::string text) {
  findings_.add(kBestCaseStep, FindingKind::kRepair, std::move(text));
}

void ThoroughShell::readAt(uint64_t position, size_t count, uint8_t* out) {
  handOver();
  // A read may fill the block afresh under the window.
  windowFrom_ = windowTo_ = 0;
  size_t got = 0;
  // The table is below 4 GiB (LLFile refuses larger ones), so bytes at or
  // beyond 4 GiB lie wholly past its end.
  if (position <= std::numeric_limits<uint32_t>::max()) {
    got = table_.ReadAt(static_cast<uint32_t>(position), static_cast<uint32_t>(count), out);
  }
  if (got < count) std::memset(out + got, 0, count - got);
}

const uint8_t* ThoroughShell::peekWindow(uint64_t position) {
  // A few dozen KiB at a time; less where the block ends sooner, down to
  // the one slot.
  constexpr uint64_t kWindow = 64 * 1024;
  handOver();
  windowFrom_ = windowTo_ = 0;
  const uint64_t length = record_.size();
  const uint64_t size = table_.size64();
  if (position > std::numeric_limits<uint32_t>::max() || length == 0 || position >= size) {
    return nullptr;
  }
  uint64_t want = std::min<uint64_t>(kWindow, size - position) / length * length;
  if (want < length) return nullptr;
  for (;;) {
    if (const uint8_t* bytes =
            table_.Peek(static_cast<uint32_t>(position), static_cast<uint32_t>(want))) {
      windowFrom_ = position;
      windowTo_ = position + want;
      windowBytes_ = bytes;
      return bytes;
    }
    if (want == length) return nullptr;
    want = std::max<uint64_t>(length, want / 2 / length * length);
  }
}

std::optional<std::vector<DbfFieldDescriptor>> ThoroughShell::rebuildHeader(
    DbfHeader& header, bool memoPresent, uint32_t memoSize, bool relaxedValues) {
  ReadBytes read = [this](uint64_t position, size_t count, uint8_t* out) {
    readAt(position, count, out);
  };
  std::optional<RebuiltHeader> rebuilt =
      kest::rebuildHeader(read, header, table_.size64(), memoPresent, memoSize, relaxedValues);
  if (!rebuilt) return std::nullopt;
  header = rebuilt->header;
  Log().Info("Method0: header rebuilt from the field descriptors");
  noteRepair("header rebuilt from the field descriptors (" +
             std::to_string(rebuilt->fields.size()) + " fields, record length " +
             std::to_string(header.recordLength()) + ", header length " +
             std::to_string(header.headerLength()) + ", " + std::to_string(header.recordCount()) +
             " records by the file size)");
  if (rebuilt->cutOff) ++passedOver_.cutOffByEndOfFile;
  return std::move(rebuilt->fields);
}

std::vector<DbfFieldDescriptor> ThoroughShell::templateLayout(const TableTemplate& layout,
                                                              DbfHeader& header) {
  const uint64_t size = table_.size64();
  std::vector<uint8_t> own(static_cast<size_t>(std::min<uint64_t>(
      size, sizeof(DbfHeader) + layout.fields.size() * sizeof(DbfFieldDescriptor))));
  readAt(0, own);
  TemplateLayout taken = layoutByTemplate(layout, own.data(), own.size(), size);
  header = taken.header;
  noteRepair(std::move(taken.repair));
  findings_.add(kBestCaseStep, FindingKind::kNote, std::move(taken.agreement));
  Log().Info("Method0: the table is read by the template's structure");
  return layout.fields;
}

uint32_t ThoroughShell::fixRecordCount(const DbfHeader& header, uint32_t recordCount) {
  const uint64_t size = table_.size64();
  const FittedCount fitted =
      fitRecordCount(recordCount, header.headerLength(), header.recordLength(), size);
  if (!fitted.corrected) return recordCount;
  Log().InfoNumber("Method0: record count corrected from the file size to",
                   static_cast<int32_t>(fitted.count));
  noteRepair("record count " + std::to_string(recordCount) + " corrected to " +
             std::to_string(fitted.count) + " from the file size");
  uint8_t last = 0;
  handOver();
  if (size != 0) table_.ReadAt(static_cast<uint32_t>(size - 1), 1, &last);
  if (partialRecordAtEnd(size - header.headerLength(), header.recordLength(), last)) {
    ++passedOver_.cutOffByEndOfFile;
  }
  return fitted.count;
}

std::vector<DbfFieldDescriptor> ThoroughShell::level7Fields(const DbfHeader& header) {
  std::vector<uint8_t> area(header.headerLength());
  readAt(0, area);
  std::vector<DbfFieldDescriptor> fields =
      kest::level7Fields(area.data(), area.size(), header.headerLength());
  noteRepair("level-7 field descriptors (" + std::to_string(fields.size()) +
             " fields) written in the 32-byte layout");
  return fields;
}

int32_t ThoroughShell::scan(const SlotJudge& judge, uint64_t start, uint32_t recordCount,
                            const RecoveryOptions& options, SlotPlan& plan, RecordSink* sink,
                            bool writing) {
  judge_ = &judge;
  options_ = options;
  taken_ = 0;
  record_.assign(judge.length(), 0);
  try {
    if (!options_.has(kRealignRecords) || !anchoredScan(start, sink)) {
      if (!options_.has(kRealignRecords) || !evidenceScan(start, plan, sink, writing)) {
        thoroughScan(start, recordCount, sink, writing);
      }
    }
    handOver();
  } catch (...) {
    // What was taken before a break or a failure is the sink's all the same;
    // the sink keeps a failure of its own, and the first one is raised.
    try {
      handOver();
    } catch (...) {
    }
    judge_ = nullptr;
    throw;
  }
  judge_ = nullptr;
  return taken_;
}

void ThoroughShell::takeApart(const uint8_t* record, RecordSink* sink) {
  handOver();
  if (sink == nullptr) return;
  if (record == record_.data() || sink->mayRaise()) {
    // A copy, rewritten by the next slot; or a sink whose failure stops
    // the scan where it happens.
    sink->take(record, record_.size());
  } else {
    runSink_ = sink;
    runBytes_ = record;
    runRecords_ = 1;
  }
}

void ThoroughShell::handOver() {
  if (runRecords_ == 0) return;
  const size_t records = runRecords_;
  runRecords_ = 0;
  if (records == 1) {
    runSink_->take(runBytes_, record_.size());
  } else {
    runSink_->takeRecords(runBytes_, records, record_.size());
  }
}

void ThoroughShell::reportScanStep(const ProgressSteps& steps, uint32_t done, bool writing) {
  // Within the ranges the run reports around the scans: 10..20 for the
  // counting pass, 70..95 for the writing one.
  context_.reportProgress((writing ? 70 : 10) + static_cast<int32_t>(steps.step(done)));
}

void ThoroughShell::thoroughScan(uint64_t start, uint32_t recordCount, RecordSink* sink,
                                 bool writing) {
  const uint64_t length = record_.size();
  const uint64_t size = table_.size64();
  const bool realign = options_.has(kRealignRecords);
  const bool keepJammed = options_.has(kKeepJammedRecords);
  ReadBytes read = [this](uint64_t position, size_t count, uint8_t* out) {
    readAt(position, count, out);
  };
  PhaseSearch search(*judge_, read, [this] { context_.pollBreak(); }, options_.has(kAlignedText));
  if (realign && search.readsAsText(start, size)) {
    Log().Info("Method0: the slots read as lines of text, not a table's records");
    noteRepair("no records taken: the bytes after the header read as lines of text");
    return;
  }
  uint64_t shift = realign ? search.layoutStart(start, size) : 0;
  if (shift != 0) {
    Log().InfoNumber("Method0: records found further on by bytes", static_cast<int32_t>(shift));
    noteRepair("records found " + std::to_string(shift) +
               " bytes after the header length, where the fields' layout fits them");
  }
  // Where the first records fit the fields' layout, a slot that passes the
  // record check but does not fit it is looked at as a faulty one is: copied
  // bytes inserted among the records pass the check a few places off.
  const bool layoutHolds = realign && search.layoutHolds(start + shift, size);
  uint32_t keptJammed = 0;
  // After a search that found no new phase, the stretch it looked at is
  // not searched again.
  uint64_t searchedTo = 0;
  bool previousPassed = false;
  ProgressSteps progress(writing ? 25 : 10, recordCount);
  // Deleted records and sound live ones are judged and taken where the
  // read block holds them, when the check only reads them; any other slot
  // is looked at further, around it, in a copy of its own.
  const bool inPlace = !judge_->blanks();
  for (uint32_t m = 0; m < recordCount; ++m) {
    context_.pollBreak();
    if (options_.has(kFineProgress)) reportScanProgress(progress, m, writing);
    const uint64_t position = start + m * length + shift;
    if (position + length > size) {
      // Foreign bytes pushed the records on: the table's last records
      // are all there, and nothing beyond them is a record.
      if (shift != 0) break;
      ++passedOver_.cutOffByEndOfFile;
      continue;
    }
    const uint8_t* record = inPlace ? peekAt(position) : nullptr;
    if (record == nullptr) {
      readAt(position, record_);
      record = record_.data();
    }
    const int32_t number = static_cast<int32_t>(m);
    const uint8_t flag = record[0];
    if (flag == kDeletedRecord) {
      Log().DebugNumber("The record at this position was deleted", number);
      ++passedOver_.deleted;
      previousPassed = true;
      continue;
    }
    const bool passedBefore = previousPassed;
    previousPassed = false;
    bool misfit = false;
    if (flag == kLiveRecord) {
      Log().DebugNumber("This record is valid by its header byte:", number);
      if ((record == record_.data() ? judge_->fieldsPass(record_.data(), /*quiet=*/false)
                                    : judge_->fieldsPassInPlace(record)) &&
          !judge_->zeroBytesRefused(record) && !judge_->refusedByReaders(record)) {
        misfit = layoutHolds && position >= searchedTo && !search.fitsLayout(record);
        if (!misfit) {
          take(record, sink);
          previousPassed = true;
          continue;
        }
      }
    } else {
      Log().DebugNumber("The record at this position is invalid", number);
      Log().DebugNumber("Reason: header byte is jammed, value must be 0x20 or 0x2A, value is: ",
                        flag);
    }

    // The reads around the slot move the block on.
    if (record != record_.data()) std::memcpy(record_.data(), record, record_.size());

    // A faulty slot. Either a bad record among good ones, or the records
    // no longer stand where the scan looks for them.
    // Bad records among good ones leave most of the slots after them
    // passing; when fewer pass, another phase may pass clearly better.
    const uint32_t ahead = static_cast<uint32_t>(std::min<uint64_t>(
        kPhaseRun, position + length <= size ? (size - position - length) / length : 0));
    // Jammed flags over sound fields still stand where records stand: they
    // speak for the phase although they do not pass.
    PhaseSupport here;
    here.slots = ahead;
    const uint32_t passingAhead =
        ahead != 0 ? search.passingRun(position + length, size, ahead, &here.sound, &here.alignment)
                   : 0;
    here.passing = passingAhead;
    if (ahead != 0) {
      search.passingRun(position + length, size, ahead, nullptr, nullptr, &here.fitting);
    }
    // Slots whose text fields begin with spaces more often than with text
    // pass in a column of padding or off by some bytes, not where records
    // stand.
    const bool misaligned = options_.has(kAlignedText) && here.alignment < 0;
    const bool phaseHolds = ahead != 0 && !misaligned &&
                            (misfit ? here.fitting : passingAhead) * 4 >= ahead * 3;
    uint64_t skip = 0;
    if (!phaseHolds && position >= searchedTo) {
      skip = search.realignedSkip(position, size, here);
      if (skip == 0) searchedTo = position + search.reach() / 2;
    }
    if (realign && skip != 0) {
      shift += skip;
      Log().InfoNumber("Method0: records found further on by bytes", static_cast<int32_t>(skip));
      const std::string found = "records found " + std::to_string(skip);
      noteRepair(m == 0 && shift == skip
                     ? found + " bytes after the header length"
                     : found + " bytes further on, after record " + std::to_string(m));
      --m;
      continue;
    }
    if (misfit) {
      take(record_.data(), sink);
      previousPassed = true;
      continue;
    }
    if (flag == kLiveRecord) {
      ++passedOver_.failedValueCheck;
      continue;
    }
    // A jammed flag over sound fields is kept only where records stand and
    // no other phase passes clearly better.
    if (keepJammed && skip == 0 && amongRecords(ahead, passingAhead, passedBefore) &&
        soundUnderJammedFlag()) {
      record_[0] = kLiveRecord;
      take(record_.data(), sink);
      ++keptJammed;
      continue;
    }
    ++passedOver_.jammedFlag;
  }
  if (keptJammed != 0) {
    noteRepair(std::to_string(keptJammed) +
               " records with a jammed deletion flag kept, the flag restored to ' '");
  }
}

bool ThoroughShell::anchoredScan(uint64_t start, RecordSink* sink) {
  const uint64_t size = table_.size64();
  ReadBytes read = [this](uint64_t position, size_t count, uint8_t* out) {
    readAt(position, count, out);
  };
  PhaseSearch search(*judge_, read, [this] { context_.pollBreak(); }, options_.has(kAlignedText));
  std::optional<EndAnchored> anchored = search.endAnchored(start, size);
  // Where the end of the file says nothing the header's phase does not,
  // the other scans decide.
  if (!anchored || (anchored->last == 0 && anchored->undecided == 0)) return false;
  if (search.readsAsText(start, size)) return false;
  takeAnchored(*anchored, start, sink);
  return true;
}

void ThoroughShell::takeAnchored(const EndAnchored& anchored, uint64_t start, RecordSink* sink) {
  const uint64_t length = record_.size();
  uint32_t keptJammed = 0;
  auto judgeSlot = [&](uint64_t position) {
    context_.pollBreak();
    readAt(position, record_);
    const uint8_t flag = record_[0];
    if (flag == kDeletedRecord) {
      ++passedOver_.deleted;
    } else if (flag == kLiveRecord) {
      if (judge_->fieldsPass(record_.data(), /*quiet=*/false) &&
          !judge_->zeroBytesRefused(record_.data()) && !judge_->refusedByReaders(record_.data())) {
        take(record_.data(), sink);
      } else {
        ++passedOver_.failedValueCheck;
      }
    } else if (options_.has(kKeepJammedRecords) && soundUnderJammedFlag()) {
      record_[0] = kLiveRecord;
      take(record_.data(), sink);
      ++keptJammed;
    } else {
      ++passedOver_.jammedFlag;
    }
  };
  for (uint32_t m = 0; m < anchored.first; ++m) judgeSlot(start + m * length);
  for (uint32_t m = 0; m < anchored.last; ++m) judgeSlot(anchored.lastFrom + m * length);
  const uint64_t moved =
      anchored.lastFrom - (start + uint64_t{anchored.first + anchored.undecided} * length);
  if (anchored.last != 0) {
    const uint32_t before = anchored.first + anchored.undecided;
    noteRepair("records found " + std::to_string(moved) +
               (before == 0 ? " bytes after the header length"
                            : " bytes further on, after record " + std::to_string(before)) +
               ", where the last " + std::to_string(anchored.last) +
               " end at the end of the file");
  }
  if (anchored.undecided != 0) {
    noteRepair(std::to_string(anchored.undecided) + " records after record " +
               std::to_string(anchored.first) +
               " left out: bytes inserted or removed among them leave each two places where "
               "its fields fit alike");
  }
  if (keptJammed != 0) {
    noteRepair(std::to_string(keptJammed) +
               " records with a jammed deletion flag kept, the flag restored to ' '");
  }
}

bool SlotPlan::matches(uint64_t start, uint64_t size, const SlotJudge& judge) const {
  if (!decided_ || start != start_ || size != size_ || judge.length() != length_) return false;
  const std::vector<FieldPlace>& places = judge.places();
  if (places.size() != places_.size()) return false;
  for (size_t i = 0; i < places.size(); ++i) {
    const FieldPlace& a = places[i];
    const FieldPlace& b = places_[i];
    if (a.type != b.type || a.displacement != b.displacement || a.length != b.length ||
        a.memoAsCharacter != b.memoAsCharacter) {
      return false;
    }
  }
  return true;
}

void SlotPlan::begin(uint64_t start, uint64_t size, const SlotJudge& judge) {
  *this = SlotPlan{};
  start_ = start;
  size_ = size;
  length_ = judge.length();
  places_ = judge.places();
}

std::optional<RecordModel> ThoroughShell::learnRecords(uint64_t start, SlotPlan& plan) {
  const uint64_t length = record_.size();
  const uint64_t size = table_.size64();
  plan.begin(start, size, *judge_);
  ReadBytes read = [this](uint64_t position, size_t count, uint8_t* out) {
    std::vector<uint8_t> buffer(count);
    readAt(position, buffer);
    std::memcpy(out, buffer.data(), count);
  };
  RecordHints hints;
  hints.kinds = kindsOfFields(judge_->places(), static_cast<uint32_t>(length));
  hints.textFields = textFieldsOf(judge_->places(), static_cast<uint32_t>(length));
  hints.recordAt = start;
  hints.zeroRefused = zeroRefusedOf(judge_->places(), static_cast<uint32_t>(length));
  RecordModel model =
      RecordModel::learn(sampleClusters(read, start, size, static_cast<uint32_t>(length)),
                         static_cast<uint32_t>(length), hints);
  plan.strong_ = model.strong();
  plan.zerosJudged_ = model.refusesZeros();
  plan.samples_ = model.samples();
  if (!plan.strong_) {
    Log().Info("Method0: the records do not tell a record from bytes a few places off");
    plan.decided_ = true;
    return std::nullopt;
  }
  Log().InfoNumber("Method0: records told by the table's own, from samples:",
                   static_cast<int32_t>(plan.samples_));
  return model;
}

bool ThoroughShell::evidenceScan(uint64_t start, SlotPlan& plan, RecordSink* sink,
                                 bool writing) {
  const uint64_t length = record_.size();
  const uint64_t size = table_.size64();
  if (length < 2 || start >= size) return false;
  const bool replay = plan.matches(start, size, *judge_);
  if (replay && !plan.strong_) return false;
  std::optional<RecordModel> model;
  if (replay) {
    Log().InfoNumber("Method0: records told by the table's own, from samples:",
                     static_cast<int32_t>(plan.samples_));
  } else {
    model = learnRecords(start, plan);
    if (!model) return false;
  }

  ProgressSteps progress(writing ? 25 : 10, static_cast<uint32_t>(std::min<uint64_t>(
                                                (size - start) / length, UINT32_MAX)));
  uint32_t keptJammed = 0;
  uint64_t first = size;
  // A check that blanks a field writes into the record: it gets a copy.
  const bool inPlace = !judge_->blanks();
  const bool fineProgress = options_.has(kFineProgress);
  // Deleted and live slots are judged here, a slot with a jammed flag by
  // judgeJammedSlot: the loop runs once a slot of the table.
  // The run's logger, looked up once rather than once a slot.
  Logger& log = Log();
  // Where the model's fit and the values are judged ahead of the scan
  // (ahead_, stopped before the model it judges by goes): the verdicts of
  // the last two slots asked, the one handed out next among them.
  struct AheadEnd {
    ThoroughShell& shell;
    ~AheadEnd() { shell.ahead_.reset(); }
  } aheadEnd{*this};
  bool checkedAhead = false;
  struct Verdict {
    uint64_t position = UINT64_MAX;
    uint8_t verdict = 0;
  };
  Verdict recent[2];
  uint32_t newer = 0;
  auto verdictAt = [&](uint64_t position) -> std::optional<uint8_t> {
    for (const Verdict& v : recent) {
      if (v.position == position) return v.verdict;
    }
    return ahead_ ? ahead_->at(position) : std::nullopt;
  };
  // `verdict`, where given, is the slot's verdict from ahead_.
  // The slot's bytes at `record`, its progress reported.
  auto judgeSlot = [&](const uint8_t* record, uint64_t at, uint64_t number,
                       const uint8_t* verdict) {
    if (fineProgress) {
      reportScanProgress(progress, static_cast<uint32_t>(std::min<uint64_t>(number, UINT32_MAX)),
                         writing);
    }
    const int32_t logged = static_cast<int32_t>(std::min<uint64_t>(number, INT32_MAX));
    const uint8_t flag = record[0];
    if (flag == kDeletedRecord) {
      log.DebugNumber("The record at this position was deleted", logged);
      ++passedOver_.deleted;
    } else if (flag == kLiveRecord) {
      log.DebugNumber("This record is valid by its header byte:", logged);
      // Zero bytes where readers refuse them are where a zeroed stretch
      // begins or ends, no values a writer left: the model refuses them
      // where it judged the slot, else they are asked about here.
      const std::optional<uint8_t> judged =
          !checkedAhead ? std::nullopt : verdict != nullptr ? *verdict : verdictAt(at);
      if (judged ? (*judged & SlotsAhead::kPasses) != 0
          : record == record_.data() ? judge_->keepsLive(record_.data(), plan.zerosJudged_)
                                     : judge_->keepsLiveInPlace(record, plan.zerosJudged_)) {
        take(record, sink);
      } else {
        ++passedOver_.failedValueCheck;
      }
    } else {
      judgeJammedSlot(record, logged, sink, keptJammed);
    }
  };
  auto judgeAt = [&](uint64_t at, uint64_t number, const uint8_t* verdict = nullptr) {
    context_.pollBreak();
    if (first == size) first = at;
    const uint8_t* record = inPlace ? peekAt(at) : nullptr;
    if (record == nullptr) {
      readAt(at, record_);
      record = record_.data();
    }
    judgeSlot(record, at, number, verdict);
  };
  if (replay) {
    for (const SlotPlan::Run& run : plan.runs_) {
      const uint64_t number = (run.first - start) / length;
      for (uint64_t k = 0; k < run.slots; ++k) judgeAt(run.first + k * length, number + k);
    }
  } else {
    probe_.resize(length);
    std::vector<uint8_t> around(length + 2 * RecordModel::kReach);
    // Judged ahead only with the checks the scan makes unlogged and in
    // place; the fit alone where they log or blank. Slots judged ahead go
    // in runs where no line is logged of each.
    checkedAhead = inPlace && !log.IsWritingAt(kLevelError);
    const bool quietRuns = checkedAhead && !log.IsWritingAt(kLevelDebug);
    auto startAhead = [&](uint64_t from) {
      ahead_ = SlotsAhead::start(env_, table_.name(), *model, checkedAhead ? judge_ : nullptr,
                                 plan.zerosJudged_, from, size);
    };
    startAhead(start);
    // Restarted at a new alignment a bounded number of times: a table
    // misaligned every few records is judged by the scan alone.
    uint32_t restarts = ahead_ ? 256 : 0;
    auto fits = [&](uint64_t position) {
      RecordModel::Fit fit;
      if (std::optional<uint8_t> verdict = ahead_ ? ahead_->at(position) : std::nullopt) {
        newer ^= 1;
        recent[newer] = {position, *verdict};
        fit = SlotsAhead::fitOf(*verdict);
      } else {
        const uint8_t* slot = peekAt(position);
        if (slot == nullptr) {
          readAt(position, probe_);
          slot = probe_.data();
        }
        fit = model->judge(slot);
      }
      if (fit != RecordModel::Fit::kUnsure) return fit == RecordModel::Fit::kYes;
      // Records start after the header, so the bytes before one are there.
      readAt(position - RecordModel::kReach, around);
      return model->fitsAt(around.data(), around.size(), RecordModel::kReach);
    };
    FrameSync sync(start, size, static_cast<uint32_t>(length), fits);
    std::vector<uint8_t> copy, original;
    sync.tellCopies([&](uint64_t first, uint64_t second, uint64_t count) {
      copy.resize(static_cast<size_t>(count));
      original.resize(static_cast<size_t>(count));
      readAt(first, copy);
      readAt(second, original);
      return copy == original;
    });
    uint64_t last = size;
    uint64_t number = 0;
    auto judgeTaken = [&](uint64_t at, const uint8_t* verdict) {
      plan.add(at);
      const bool inStep = at == last + length;
      number = inStep ? number + 1 : (at - start) / length;
      last = at;
      judgeAt(at, number, verdict);
      if (!ahead_) return;
      ahead_->passed(at);
      if (!inStep && (at < ahead_->first() || (at - ahead_->first()) % length != 0) &&
          restarts != 0) {
        --restarts;
        ahead_.reset();
        startAhead(at);
      }
    };
    for (;;) {
      // In step with records judged ahead to fit: the sync hands them out
      // without asking, the one it held first.
      const uint8_t* verdicts = nullptr;
      if (const uint64_t count =
              ahead_ && sync.inStep() ? ahead_->fittingRun(sync.position(), &verdicts) : 0) {
        const uint64_t from = sync.takeFitting(count);
        // The verdicts go with ahead_: a restart at the held slot drops them.
        const uint32_t restartsBefore = restarts;
        judgeTaken(from, nullptr);
        if (restarts != restartsBefore) {
          for (uint64_t k = 1; k < count; ++k) judgeTaken(from + k * length, nullptr);
          continue;
        }
        for (uint64_t k = 1; k < count;) {
          const uint64_t at = from + k * length;
          const uint8_t* record = quietRuns ? peekAt(at) : nullptr;
          if (record == nullptr) {
            judgeTaken(at, verdicts + k - 1);
            ++k;
            continue;
          }
          // The slots the read block holds, in a row after the one before:
          // judged by their verdicts alone, the break polled once.
          const uint64_t held = std::min(count - k, (windowTo_ - at) / length);
          context_.pollBreak();
          plan.add(at, held);
          for (uint64_t j = 0; j < held; ++j, record += length) {
            judgeSlot(record, at + j * length, ++number, verdicts + k - 1 + j);
          }
          k += held;
          last = at + (held - 1) * length;
          ahead_->passed(last);
        }
        newer ^= 1;
        recent[newer] = {sync.position() - length, verdicts[count - 1]};
        continue;
      }
      const std::optional<uint64_t> at = sync.next();
      if (!at) break;
      judgeTaken(*at, nullptr);
    }
    plan.events_ = sync.events();
    // Only a whole scan is replayed: a break or a read failure leaves none.
    plan.decided_ = true;
  }
  std::vector<AlignmentEvent> events = plan.events_;
  // Bytes before the first record are where the records begin, not a loss.
  if (!events.empty() && events.front().first == start && first != size) {
    events.erase(events.begin());
    if (!events.empty() && events.front().kind == AlignmentEvent::kRealigned &&
        events.front().first == first) {
      events.erase(events.begin());
    }
    noteRepair("records found " + std::to_string(first - start) +
               " bytes after the header length, where they fit the table's records");
  }
  noteAlignmentEvents(events, kBestCaseStep, findings_);
  if (keptJammed != 0) {
    noteRepair(std::to_string(keptJammed) +
               " records with a jammed deletion flag kept, the flag restored to ' '");
  }
  return true;
}

bool ThoroughShell::soundUnderJammedFlag() {
  return looksLikeRecord(record_.data(), record_.size(), judge_->places()) &&
         judge_->fieldsPass(record_.data(), /*quiet=*/true) &&
         !judge_->zeroedValues(record_.data()) && !judge_->refusedByReaders(record_.data());
}

void ThoroughShell::judgeJammedSlot(const uint8_t* record, int32_t logged, RecordSink* sink,
                                    uint32_t& keptJammed) {
  const uint8_t flag = record[0];
  Log().DebugNumber("The record at this position is invalid", logged);
  Log().DebugNumber("Reason: header byte is jammed, value must be 0x20 or 0x2A, value is: ", flag);
  if (record != record_.data()) std::memcpy(record_.data(), record, record_.size());
  // The slot fits the table's records: only its flag was hit (not where a
  // zeroed stretch ends in it, the flag among the zeros).
  if (options_.has(kKeepJammedRecords) && soundUnderJammedFlag()) {
    record_[0] = kLiveRecord;
    take(record_.data(), sink);
    ++keptJammed;
    return;
  }
  ++passedOver_.jammedFlag;
}

}  // namespace kest
