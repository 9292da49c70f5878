#include "best_case/method0.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "Common/logger/logger.h"
#include "Common/raised_code.h"
#include "thorough/record_alignment.h"
#include "thorough/record_model.h"
#include "dbf/memo_companion.h"
#include "dbf/table_kind.h"
#include "dbf/table_rules.h"
#include "dbf/table_template.h"

namespace kest {

namespace {

constexpr uint8_t kNoMemoVersion = 0x03;
constexpr uint8_t kIndexAttached = 0x01;  // bit 0 of tableFlags

// A thorough scan takes the descriptors up to the terminator, not only
// the first 32 slots the classic scan reads: a table of 145 fields keeps
// them all.
uint32_t allFieldSlots(uint16_t headerLength) {
  return headerLength >= 64 ? (headerLength - 32u) / 32u : fieldSlotCount(headerLength);
}

// Where records are looked for when they do not begin where they should:
// a run of this many slots decides, and at least kMinRun of them must be
// there to judge a phase by.
constexpr uint32_t kRun = 16;
constexpr uint32_t kMinRun = 2;
// How far past a faulty slot realignment looks: a few records, and at least
// a few disk blocks of foreign bytes.
constexpr uint64_t kSkipRecords = 8;
constexpr uint64_t kSkipBytes = 4096;
constexpr uint64_t kMaxSkip = 1u << 20;


// A level-7 header: 32 bytes, the language driver's name, then field
// descriptors of 48 bytes (a 32-byte name, the type, the length, the
// decimals).
constexpr uint32_t kLevel7DescriptorsAt = 68;
constexpr uint32_t kLevel7DescriptorLength = 48;
constexpr uint32_t kLevel7TypeAt = 32;
constexpr size_t kPlainNameLength = 10;
constexpr uint8_t kLevel7MemoVersion = 0x8B;
// The types a reader of 32-byte descriptors reads as a level-7 table
// means them; memo types only with a companion to read them from.
constexpr const char* kPlainTypes = "CNFLD";
constexpr const char* kMemoTypes = "MBGP";

bool isLevel7(const DbfHeader& header) { return isLevel7Version(header.version()); }

// A record whose flag is jammed is kept only when the rest of it looks like
// a record: not a stretch of zero bytes (a block the disk lost), and its
// character fields free of control bytes (random bytes are not).
bool looksLikeRecordBytes(const std::vector<uint8_t>& record,
                          const std::vector<FieldPlace>& places) {
  bool allZero = true;
  for (size_t k = 1; k < record.size() && allZero; ++k) allZero = record[k] == 0;
  if (allZero) return false;
  for (const FieldPlace& place : places) {
    if (place.type != 'C' || place.memoAsCharacter) continue;
    for (uint32_t k = 0; k < place.length; ++k) {
      size_t at = size_t{place.displacement} + k;
      if (at >= record.size()) break;
      uint8_t c = record[at];
      if (c < 0x20 && c != 0 && c != '\t' && c != '\r' && c != '\n') return false;
    }
  }
  return true;
}

// What a slot's text fields say of where the records lie: each text field
// that holds something counts +1 when it begins with it (programs write
// text left-aligned, padded with spaces) and -1 when it begins with a
// space. A phase that puts its flags in a column of padding passes the
// record check in a table of text fields, but its fields begin inside the
// padding, and so with spaces; a phase that is off by some bytes begins
// them with spaces about as often as with text.
int32_t alignmentEvidence(const std::vector<uint8_t>& record,
                          const std::vector<FieldPlace>& places) {
  int32_t evidence = 0;
  for (const FieldPlace& place : places) {
    if (place.type != 'C' || place.memoAsCharacter || place.length < 2) continue;
    if (uint64_t{place.displacement} + place.length > record.size()) continue;
    const uint8_t* field = record.data() + place.displacement;
    bool blank = true;
    for (uint32_t k = 0; k < place.length && blank; ++k) blank = field[k] == ' ' || field[k] == 0;
    if (!blank) evidence += field[0] == ' ' ? -1 : 1;
  }
  return evidence;
}

// A trailing part of a record that is more than the end-of-file mark.
bool partialRecordAtEnd(uint64_t dataBytes, uint32_t recordLength, uint8_t lastByte) {
  uint64_t rest = dataBytes % recordLength;
  return rest > 1 || (rest == 1 && lastByte != kEndOfFile);
}

// A piece of the result that could not be written whole (disk full, a
// failing device): a result with a hole is no result.
const char kWriteFailedText[] = "Method0::Flush(): the result table could not be written whole";

}  // namespace

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
  level7_ = false;

  std::unique_ptr<uint8_t[]> head = table_->ReadAlloc(0, sizeof header_.bytes);
  std::memcpy(header_.bytes, head.get(), sizeof header_.bytes);
  std::optional<std::vector<DbfFieldDescriptor>> rebuiltFields;
  // Level-7 descriptors are not the 32-byte ones the rebuild judges by.
  const bool level7 = !template_ && options_.has(kLevel7Descriptors) && isLevel7(header_);
  if (template_) {
    rebuiltFields = templateLayout();
  } else if (options_.has(kRebuildHeader) && !level7) {
    rebuiltFields = rebuildHeader();
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
  if (options_.has(kFixRecordCount)) recordCount = fixRecordCount(recordCount);
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
  if (level7) readLevel7Fields();
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
  if (options_.has(kRebuildHeader)) placeInsideRecords(recordLength);

  validRecords_ = 0;
  record_.assign(recordLength, 0);
  if (options_.classic()) {
    classicScan(recordCount, sink);
  } else {
    planCheck();
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
    if (!options_.has(kRealignRecords) || !evidenceScan(taker, writing)) {
      thoroughScan(recordCount, taker, writing);
    }
    if (memoRepair_) memoRepair_->settle(findings_);
    check_.reset();
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

void Method0::placeInsideRecords(uint32_t recordLength) {
  bool inside = true;
  for (const FieldPlace& place : places_) {
    inside &= uint64_t{place.displacement} + place.length <= recordLength;
  }
  if (inside) return;
  // Displacements that put fields past the record's end are junk left by
  // the writer; the fields lie one after another.
  std::vector<DbfFieldDescriptor> sequential = fields_;
  for (DbfFieldDescriptor& field : sequential) field.setDisplacement(0);
  places_ = placeFields(sequential, &memoAsCharacter_);
  Log().Info("Method0: field displacements lie outside the record, fields are placed one after another");
}

std::optional<std::vector<DbfFieldDescriptor>> Method0::rebuildHeader() {
  const uint64_t size = table_->size64();
  if (size <= sizeof header_.bytes) return std::nullopt;
  const uint32_t area = static_cast<uint32_t>(std::min<uint64_t>(size, 0xFFFF + 1));
  std::unique_ptr<uint8_t[]> bytes = table_->ReadAlloc(0, area);

  std::optional<StandingDescriptors> standing = standingDescriptors(bytes.get(), area);
  if (!standing) return std::nullopt;
  std::vector<DbfFieldDescriptor>& fields = standing->fields;
  const uint32_t terminator = standing->terminatorAt;
  const uint32_t fieldsEnd = standing->recordLength;
  std::vector<FieldPlace> places = placeFields(fields, nullptr);

  // Only a header that cannot describe the table is replaced.
  HeaderFacts facts;
  facts.version = header_.version();
  facts.headerLength = header_.headerLength();
  facts.recordLength = header_.recordLength();
  facts.fileSize = size;
  facts.fieldsEnd = fieldsEnd;
  facts.terminatorAt = terminator;
  if (headerFault(facts) == HeaderFault::kNone) return std::nullopt;

  // The header length is the terminator's end, or that and a back link;
  // the records tell which.
  const uint32_t rebuiltLength = fieldsEnd;
  uint32_t rebuiltHeaderLength = terminator + 1;
  uint32_t withBackLink = terminator + 1 + kBackLinkLength;
  if (withBackLink + uint64_t{rebuiltLength} <= size && withBackLink <= 0xFFFF) {
    std::vector<FieldPlace> saved = std::move(places_);
    places_ = std::move(places);
    record_.assign(rebuiltLength, 0);
    planCheck();
    uint32_t plain = passingRun(rebuiltHeaderLength, size, kRun);
    uint32_t linked = passingRun(withBackLink, size, kRun);
    check_.reset();
    places_ = std::move(saved);
    if (linked > plain) rebuiltHeaderLength = withBackLink;
  }
  if (rebuiltHeaderLength > size) return std::nullopt;

  uint8_t version = rebuiltVersion(fields, rebuiltHeaderLength == withBackLink, memoPresent_);
  const uint32_t count = static_cast<uint32_t>((size - rebuiltHeaderLength) / rebuiltLength);

  DbfHeader rebuilt;
  rebuilt.setVersion(version);
  rebuilt.setRecordCount(count);
  rebuilt.setHeaderLength(static_cast<uint16_t>(rebuiltHeaderLength));
  rebuilt.setRecordLength(static_cast<uint16_t>(rebuiltLength));
  header_ = rebuilt;
  Log().Info("Method0: header rebuilt from the field descriptors");
  noteRepair("header rebuilt from the field descriptors (" +
                     std::to_string(fields.size()) + " fields, record length " +
                     std::to_string(rebuiltLength) + ", header length " +
                     std::to_string(rebuiltHeaderLength) + ", " + std::to_string(count) +
                     " records by the file size)");
  uint8_t last = 0;
  table_->ReadAt(static_cast<uint32_t>(size - 1), 1, &last);
  if (partialRecordAtEnd(size - rebuiltHeaderLength, rebuiltLength, last)) {
    ++passedOver_.cutOffByEndOfFile;
  }
  return std::move(fields);
}

std::vector<DbfFieldDescriptor> Method0::templateLayout() {
  const uint64_t size = table_->size64();
  std::vector<uint8_t> own(static_cast<size_t>(std::min<uint64_t>(
      size, sizeof(DbfHeader) + template_->fields.size() * sizeof(DbfFieldDescriptor))));
  readAt(0, own);
  std::string agreement = compareWithTemplate(*template_, own.data(), own.size());
  // Whatever the table's own header says, the records are cut by the
  // template's layout, and every whole slot the file holds is looked at:
  // a count that survived may be stale or part of the damage.
  header_ = template_->header;
  const uint32_t headerLength = header_.headerLength();
  const uint32_t recordLength = header_.recordLength();
  const uint64_t slots = size > headerLength ? (size - headerLength) / recordLength : 0;
  header_.setRecordCount(static_cast<uint32_t>(std::min<uint64_t>(slots, 0xFFFFFFFFu)));
  char version[8];
  std::snprintf(version, sizeof version, "0x%02X", header_.version());
  noteRepair("structure taken from the template: " + std::to_string(template_->fields.size()) +
             " fields, record length " + std::to_string(recordLength) + ", header length " +
             std::to_string(headerLength) + ", version " + version);
  findings_->add(kBestCaseStep, FindingKind::kNote, std::move(agreement));
  Log().Info("Method0: the table is read by the template's structure");
  return template_->fields;
}

void Method0::readLevel7Fields() {
  const uint32_t headerLength = header_.headerLength();
  std::vector<DbfFieldDescriptor> fields;
  std::vector<uint8_t> slot(kLevel7DescriptorLength);
  for (uint32_t at = kLevel7DescriptorsAt; at + kLevel7DescriptorLength < headerLength;
       at += kLevel7DescriptorLength) {
    readAt(at, slot);
    if (slot[0] == kHeaderTerminator) break;
    DbfFieldDescriptor field;
    const char* name = reinterpret_cast<const char*>(slot.data());
    field.setName(std::string(name, strnlen(name, kPlainNameLength)));
    field.setType(static_cast<char>(slot[kLevel7TypeAt]));
    field.setLength(slot[kLevel7TypeAt + 1]);
    field.bytes[17] = slot[kLevel7TypeAt + 2];
    // Displacements stay 0: the fields lie one after another.
    fields.push_back(field);
  }
  level7_ = true;
  noteRepair("level-7 field descriptors (" + std::to_string(fields.size()) +
                     " fields) written in the 32-byte layout");
  fields_ = std::move(fields);
}

void Method0::plainLevel7Header(DbfHeader& header, std::vector<DbfFieldDescriptor>& fields) const {
  header.setVersion(writesMemo() ? kLevel7MemoVersion : kNoMemoVersion);
  header.setHeaderLength(static_cast<uint16_t>(headerBytesNeeded(fields.size())));
  for (DbfFieldDescriptor& field : fields) {
    char type = field.type();
    bool memo = type != '\0' && std::strchr(kMemoTypes, type) != nullptr;
    if (memo && writesMemo()) {
      field.setType('M');
    } else if (type == '\0' || std::strchr(kPlainTypes, type) == nullptr) {
      field.setType('C');
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

uint32_t Method0::fixRecordCount(uint32_t recordCount) {
  const uint64_t size = table_->size64();
  const uint32_t headerLength = header_.headerLength();
  const uint32_t recordLength = header_.recordLength();
  if (recordLength == 0 || headerLength > size) return recordCount;
  const uint64_t dataBytes = size - headerLength;
  const uint64_t whole = dataBytes / recordLength;
  if (recordCount <= whole) return recordCount;
  const auto fitting = static_cast<uint32_t>(whole);
  Log().InfoNumber("Method0: record count corrected from the file size to", static_cast<int32_t>(fitting));
  noteRepair("record count " + std::to_string(recordCount) + " corrected to " +
                     std::to_string(fitting) + " from the file size");
  uint8_t last = 0;
  if (size != 0) table_->ReadAt(static_cast<uint32_t>(size - 1), 1, &last);
  if (partialRecordAtEnd(dataBytes, recordLength, last)) ++passedOver_.cutOffByEndOfFile;
  return fitting;
}

void Method0::readAt(uint64_t position, std::vector<uint8_t>& buffer) {
  size_t got = 0;
  if (position <= std::numeric_limits<uint32_t>::max()) {
    got = table_->ReadAt(static_cast<uint32_t>(position), static_cast<uint32_t>(buffer.size()),
                         buffer.data());
  }
  if (got < buffer.size()) std::memset(buffer.data() + got, 0, buffer.size() - got);
}

bool Method0::looksLikeRecord(const std::vector<uint8_t>& record) const {
  return looksLikeRecordBytes(record, places_);
}

void Method0::planCheck() { check_.emplace(places_, record_.size()); }

RecordCheckMode Method0::checkMode(bool quiet) const {
  RecordCheckMode mode;
  mode.relaxedValues = options_.has(kRelaxedValues);
  mode.quiet = quiet;
  return mode;
}

bool Method0::checkFields(std::vector<uint8_t>& record, bool quiet) {
  if (places_.empty()) return true;
  const RecordCheckMode mode = checkMode(quiet);
  // A plan judges records of the length it was made for only.
  if (!check_ || check_->recordLength() != record.size()) {
    return checkRecord(record.data(), record.size(), places_, memoPresent_, memoSize_, mode);
  }
  return checkRecord(record.data(), *check_, memoPresent_, memoSize_, mode);
}

const uint8_t* Method0::peekAt(uint64_t position) {
  if (position > std::numeric_limits<uint32_t>::max()) return nullptr;
  return table_->Peek(static_cast<uint32_t>(position), static_cast<uint32_t>(record_.size()));
}

bool Method0::checkFieldsInPlace(const uint8_t* record) {
  if (places_.empty()) return true;
  return checkRecordInPlace(record, *check_, memoPresent_, memoSize_, checkMode(/*quiet=*/false));
}

Method0::Slot Method0::probe(uint64_t position) {
  probe_.resize(record_.size());
  readAt(position, probe_);
  uint8_t flag = probe_[0];
  bool sound = checkFields(probe_, /*quiet=*/true);
  if (flag == kLiveRecord) return sound ? Slot::kLive : Slot::kFailed;
  if (flag == kDeletedRecord) return sound ? Slot::kDeleted : Slot::kFailed;
  return sound ? Slot::kJammedButSound : Slot::kFailed;
}

uint32_t Method0::passingRun(uint64_t position, uint64_t end, uint32_t count, uint32_t* sound,
                             int32_t* alignment) {
  const uint64_t length = record_.size();
  uint32_t passing = 0;
  if (sound != nullptr) *sound = 0;
  if (alignment != nullptr) *alignment = 0;
  for (uint32_t i = 0; i < count; ++i) {
    uint64_t at = position + i * length;
    if (at + length > end) break;
    Slot slot = probe(at);
    if (slot == Slot::kLive || slot == Slot::kDeleted) ++passing;
    if (sound != nullptr && slot != Slot::kFailed) ++*sound;
    if (alignment != nullptr && slot != Slot::kFailed) {
      *alignment += alignmentEvidence(probe_, places_);
    }
  }
  return passing;
}

uint64_t Method0::realignedSkip(uint64_t position, uint64_t end, const PhaseSupport& here) {
  const uint32_t passingHere = here.sound;
  const uint32_t slotsHere = here.slots;
  const uint64_t length = record_.size();
  if (position >= end) return 0;
  uint64_t reach = std::min<uint64_t>(kMaxSkip, kSkipRecords * length + kSkipBytes);
  reach = std::min<uint64_t>(reach, end - position);
  // The flags of the candidates come from one read; the runs from the file.
  std::vector<uint8_t> window(static_cast<size_t>(reach) + 1);
  readAt(position, window);
  auto isFlag = [](uint8_t b) { return b == kLiveRecord || b == kDeletedRecord; };
  // Every phase in reach is weighed, not the first that passes: in a table
  // of text fields a column of spaces passes for a column of flags, and the
  // true phase passes more often than such a column does.
  uint64_t best = 0;
  uint32_t bestPassing = 0;
  for (uint64_t skip = 1; skip < reach; ++skip) {
    if (skip % 4096 == 0) context_->pollBreak();
    if (!isFlag(window[skip])) continue;
    if (skip + length < reach && !isFlag(window[skip + length])) continue;
    const uint64_t start = position + skip;
    const uint32_t available =
        static_cast<uint32_t>(std::min<uint64_t>(kRun, (end - start) / length));
    if (available < kMinRun) break;
    int32_t alignment = 0;
    const uint32_t passing = passingRun(start, end, available, nullptr, &alignment);
    if (passing * 4 < available * 3 || passing <= bestPassing) continue;
    // Only a phase whose records pass clearly more often than the scan's
    // own phase holds sound fields: by a quarter of the slots at least. In
    // a table of text fields a column of spaces passes for a column of
    // flags; the scan's phase is not given up for it.
    const uint64_t slots = slotsHere != 0 ? slotsHere : 1;
    const bool passesClearlyBetter =
        4 * uint64_t{passing} * slots >= 4 * uint64_t{passingHere} * available + available * slots;
    // Where text fields pass whatever lies in them, the sound slots of the
    // scan's phase say little: a phase that passes at least as often as
    // its live and deleted records do, and whose text fields begin with
    // their text more often by half a field a slot at least, is the better
    // one.
    const int64_t alignedMore =
        int64_t{alignment} * slots - int64_t{here.alignment} * available;
    const bool alignsClearlyBetter =
        options_.has(kAlignedText) && uint64_t{passing} * slots >= uint64_t{here.passing} * available &&
        2 * alignedMore >= int64_t{available} * int64_t(slots);
    if (!passesClearlyBetter && !alignsClearlyBetter) continue;
    best = skip;
    bestPassing = passing;
  }
  // The faulty slots end where the header's phase resumes: no new phase.
  return best % length == 0 ? 0 : best;
}

void Method0::reportScanProgress(ProgressSteps& steps, uint32_t done, bool writing) {
  // Within the ranges the run reports around the scans: 10..20 for the
  // counting pass, 70..95 for the writing one.
  if (steps.movesAt(done)) {
    context_->reportProgress((writing ? 70 : 10) + static_cast<int32_t>(steps.step(done)));
  }
}

void Method0::thoroughScan(uint32_t recordCount, RecordSink* sink, bool writing) {
  const uint64_t length = record_.size();
  const uint64_t size = table_->size64();
  const uint64_t start = header_.headerLength();
  const bool realign = options_.has(kRealignRecords);
  const bool keepJammed = options_.has(kKeepJammedRecords);
  uint64_t shift = 0;
  uint32_t keptJammed = 0;
  // After a search that found no new phase, the stretch it looked at is
  // not searched again.
  uint64_t searchedTo = 0;
  bool previousPassed = false;
  ProgressSteps progress(writing ? 25 : 10, recordCount);
  // Deleted records and sound live ones are judged and taken where the
  // read block holds them, when the check only reads them; any other slot
  // is looked at further, around it, in a copy of its own.
  const bool inPlace = check_ && check_->recordLength() == length && !check_->blanks();
  for (uint32_t m = 0; m < recordCount; ++m) {
    context_->pollBreak();
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
    if (flag == kLiveRecord) {
      Log().DebugNumber("This record is valid by its header byte:", number);
      if (record == record_.data() ? checkFields(record_, /*quiet=*/false)
                                   : checkFieldsInPlace(record)) {
        if (sink != nullptr) sink->take(record, record_.size());
        if (validRecords_ < std::numeric_limits<int32_t>::max()) ++validRecords_;
        previousPassed = true;
        continue;
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
    const uint32_t ahead = static_cast<uint32_t>(
        std::min<uint64_t>(kRun, position + length <= size ? (size - position - length) / length : 0));
    // Jammed flags over sound fields still stand where records stand: they
    // speak for the phase although they do not pass.
    PhaseSupport here;
    here.slots = ahead;
    const uint32_t passingAhead =
        ahead != 0 ? passingRun(position + length, size, ahead, &here.sound, &here.alignment) : 0;
    here.passing = passingAhead;
    // Slots whose text fields begin with spaces more often than with text
    // pass in a column of padding or off by some bytes, not where records
    // stand.
    const bool misaligned = options_.has(kAlignedText) && here.alignment < 0;
    const bool phaseHolds = ahead != 0 && passingAhead * 4 >= ahead * 3 && !misaligned;
    uint64_t skip = 0;
    if (!phaseHolds && position >= searchedTo) {
      skip = realignedSkip(position, size, here);
      if (skip == 0) searchedTo = position + std::min<uint64_t>(kMaxSkip, kSkipRecords * length + kSkipBytes) / 2;
    }
    if (realign && skip != 0) {
      shift += skip;
      Log().InfoNumber("Method0: records found further on by bytes", static_cast<int32_t>(skip));
      noteRepair(m == 0 && shift == skip
                             ? "records found " + std::to_string(skip) +
                                   " bytes after the header length"
                             : "records found " + std::to_string(skip) +
                                   " bytes further on, after record " + std::to_string(m));
      --m;
      continue;
    }
    if (flag == kLiveRecord) {
      ++passedOver_.failedValueCheck;
      continue;
    }
    // A jammed flag over sound fields is kept only where records stand:
    // at least half the slots after it (or the one before the last) pass,
    // and no other phase passes clearly better.
    const bool amongRecords = ahead != 0 ? passingAhead * 2 >= ahead : passedBefore;
    if (keepJammed && skip == 0 && amongRecords && looksLikeRecord(record_) &&
        checkFields(record_, /*quiet=*/true)) {
      record_[0] = kLiveRecord;
      if (sink != nullptr) sink->take(record_.data(), record_.size());
      if (validRecords_ < std::numeric_limits<int32_t>::max()) ++validRecords_;
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

bool Method0::evidenceScan(RecordSink* sink, bool writing) {
  const uint64_t length = record_.size();
  const uint64_t size = table_->size64();
  const uint64_t start = header_.headerLength();
  if (length < 2 || start >= size) return false;
  ReadBytes read = [this](uint64_t position, size_t count, uint8_t* out) {
    std::vector<uint8_t> buffer(count);
    readAt(position, buffer);
    std::memcpy(out, buffer.data(), count);
  };
  RecordHints hints;
  hints.kinds = kindsOfFields(places_, static_cast<uint32_t>(length));
  hints.textFields = textFieldsOf(places_, static_cast<uint32_t>(length));
  hints.recordAt = start;
  const RecordModel model =
      RecordModel::learn(sampleClusters(read, start, size, static_cast<uint32_t>(length)),
                         static_cast<uint32_t>(length), hints);
  if (!model.strong()) {
    Log().Info("Method0: the records do not tell a record from bytes a few places off");
    return false;
  }
  Log().InfoNumber("Method0: records told by the table's own, from samples:",
                   static_cast<int32_t>(model.samples()));
  auto slotAt = [this](uint64_t position) {
    const uint8_t* slot = peekAt(position);
    if (slot == nullptr) {
      readAt(position, probe_);
      slot = probe_.data();
    }
    return slot;
  };
  probe_.resize(length);
  std::vector<uint8_t> around(length + 2 * RecordModel::kReach);
  auto fits = [&](uint64_t position) {
    const RecordModel::Fit fit = model.judge(slotAt(position));
    if (fit != RecordModel::Fit::kUnsure) return fit == RecordModel::Fit::kYes;
    // Records start after the header, so the bytes before one are there.
    readAt(position - RecordModel::kReach, around);
    return model.fitsAt(around.data(), around.size(), RecordModel::kReach);
  };
  FrameSync sync(start, size, static_cast<uint32_t>(length), fits);
  ProgressSteps progress(writing ? 25 : 10, static_cast<uint32_t>(
                                                std::min<uint64_t>((size - start) / length, UINT32_MAX)));
  uint32_t keptJammed = 0;
  uint64_t first = size;
  // A check that blanks a field writes into the record: it gets a copy.
  const bool inPlace = check_ && check_->recordLength() == length && !check_->blanks();
  while (std::optional<uint64_t> at = sync.next()) {
    context_->pollBreak();
    const uint64_t number = (*at - start) / length;
    if (options_.has(kFineProgress)) {
      reportScanProgress(progress, static_cast<uint32_t>(std::min<uint64_t>(number, UINT32_MAX)),
                         writing);
    }
    if (first == size) first = *at;
    const uint8_t* record = inPlace ? peekAt(*at) : nullptr;
    if (record == nullptr) {
      readAt(*at, record_);
      record = record_.data();
    }
    judgeFittingSlot(record, number, sink, keptJammed);
  }
  std::vector<AlignmentEvent> events = sync.events();
  // Bytes before the first record are where the records begin, not a loss.
  if (!events.empty() && events.front().first == start && first != size) {
    const AlignmentEvent lead = events.front();
    events.erase(events.begin());
    if (!events.empty() && events.front().kind == AlignmentEvent::kRealigned &&
        events.front().first == first) {
      events.erase(events.begin());
    }
    (void)lead;
    noteRepair("records found " + std::to_string(first - start) +
               " bytes after the header length, where they fit the table's records");
  }
  noteAlignmentEvents(events, kBestCaseStep, *findings_);
  if (keptJammed != 0) {
    noteRepair(std::to_string(keptJammed) +
               " records with a jammed deletion flag kept, the flag restored to ' '");
  }
  return true;
}

void Method0::judgeFittingSlot(const uint8_t* record, uint64_t number, RecordSink* sink,
                               uint32_t& keptJammed) {
  const int32_t logged = static_cast<int32_t>(std::min<uint64_t>(number, INT32_MAX));
  const uint8_t flag = record[0];
  if (flag == kDeletedRecord) {
    Log().DebugNumber("The record at this position was deleted", logged);
    ++passedOver_.deleted;
    return;
  }
  if (flag == kLiveRecord) {
    Log().DebugNumber("This record is valid by its header byte:", logged);
    if (record == record_.data() ? checkFields(record_, /*quiet=*/false)
                                 : checkFieldsInPlace(record)) {
      if (sink != nullptr) sink->take(record, record_.size());
      if (validRecords_ < std::numeric_limits<int32_t>::max()) ++validRecords_;
    } else {
      ++passedOver_.failedValueCheck;
    }
    return;
  }
  Log().DebugNumber("The record at this position is invalid", logged);
  Log().DebugNumber("Reason: header byte is jammed, value must be 0x20 or 0x2A, value is: ", flag);
  if (record != record_.data()) std::memcpy(record_.data(), record, record_.size());
  // The slot fits the table's records: only its flag was hit.
  if (options_.has(kKeepJammedRecords) && looksLikeRecord(record_) &&
      checkFields(record_, /*quiet=*/true)) {
    record_[0] = kLiveRecord;
    if (sink != nullptr) sink->take(record_.data(), record_.size());
    if (validRecords_ < std::numeric_limits<int32_t>::max()) ++validRecords_;
    ++keptJammed;
    return;
  }
  ++passedOver_.jammedFlag;
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
  if (level7_) plainLevel7Header(header, fields);
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

int32_t Method0::Flush(const char* path) {
  Log().Info("In Method0::Flush()");
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
    // The second pass starts its repairs afresh; what the header kept or
    // changed of the table's kind belongs with them.
    for (const std::string& change : kindChanges_) noteRepair(change);
    if (!databaseNote_.empty()) findings_->add(kBestCaseStep, FindingKind::kNote, databaseNote_);
    context_->pollBreak();
    writer.writeEndMark();
    context_->pollBreak();
    if (memoRepair_) memoRepair_->publish(findings_);
    writer.close();
    return 0;
  });
  if (memoRepair_) rc == 0 ? memoRepair_->keep() : memoRepair_->withdraw();
  // A result that could not even be created leaves no closing line.
  if (rc == kCannotCreateResult) return rc;
  Log().InfoNumber("Exiting Method0::Flush(), rc = ", rc);
  return rc;
}

}  // namespace kest
