#include "worst_case/whole_table_layout.h"

#include <algorithm>
#include <cstring>

#include "Common/share_work.h"
#include "worst_case/layout_search.h"

namespace kest {

namespace {

// Candidates a thread takes at a time in scoreSample: about a millisecond
// of work, and as often a progress report and a break poll.
constexpr uint32_t kCandidatesPerShare = 64;

bool isFlag(uint8_t byte) { return byte == kLiveRecord || byte == kDeletedRecord; }

// The first whole slot of `phase` (a table position) inside a window.
uint32_t firstSlotIn(const SampleWindow& window, uint32_t recordLength, uint32_t phase) {
  uint32_t into = (phase + recordLength - window.start % recordLength) % recordLength;
  return into;
}

// Calls `visit(slot)` for every slot of `phase` lying whole in a window.
template <typename Visit>
void forEachSlot(const TableSample& sample, uint32_t recordLength, uint32_t phase, Visit visit) {
  for (const SampleWindow& window : sample.windows) {
    uint32_t size = static_cast<uint32_t>(window.bytes.size());
    for (uint32_t at = firstSlotIn(window, recordLength, phase);
         at + recordLength <= size; at += recordLength) {
      visit(window.bytes.data() + at);
    }
  }
}

}  // namespace

std::vector<WindowPlace> planSampleWindows(uint32_t dataStart, uint32_t tableSize) {
  std::vector<WindowPlace> places;
  if (dataStart >= tableSize) return places;
  uint64_t data = tableSize - dataStart;
  uint64_t capacity = static_cast<uint64_t>(kWholeTableWindows) * kSampleWindowSize;
  // One window while the data fits in the memory the windows may take:
  // then every slot of every phase is whole in it, and phases compare on
  // the same records.
  if (data <= capacity) {
    places.push_back({dataStart, static_cast<uint32_t>(data)});
    return places;
  }
  uint64_t gap = (data - kSampleWindowSize) / (kWholeTableWindows - 1);
  for (uint32_t w = 0; w + 1 < kWholeTableWindows; ++w) {
    places.push_back({static_cast<uint32_t>(dataStart + gap * w), kSampleWindowSize});
  }
  places.push_back({tableSize - kSampleWindowSize, kSampleWindowSize});
  return places;
}

uint32_t skipLeadingZeros(const uint8_t* bytes, uint32_t size) {
  uint32_t at = 0;
  while (at < size && bytes[at] == 0) ++at;
  return at;
}

uint32_t longestCandidate(const TableSample& sample) {
  uint32_t shortest = 0;
  for (const SampleWindow& window : sample.windows) {
    uint32_t size = static_cast<uint32_t>(window.bytes.size());
    if (shortest == 0 || size < shortest) shortest = size;
  }
  return std::min(kMaxWholeTableLength, shortest / kMinScoredRecords);
}

uint32_t scoredCandidates(const TableSample& sample) {
  uint32_t longest = longestCandidate(sample);
  if (longest < kMinCandidateLength) return 0;
  return (longest - kMinCandidateLength + 1) * static_cast<uint32_t>(sample.windows.size());
}

// The candidates of all windows as one list of independent items, window
// by window, each scored once into its own entry; the windows' bytes are
// read once, when the scorers are made.
class CandidateScoring {
 public:
  explicit CandidateScoring(const TableSample& sample)
      : longest_(longestCandidate(sample)),
        perWindow_(longest_ >= kMinCandidateLength ? longest_ - kMinCandidateLength + 1 : 0),
        windows_(static_cast<uint32_t>(sample.windows.size())) {
    if (perWindow_ == 0) return;
    scorers_.reserve(windows_);
    for (const SampleWindow& window : sample.windows) {
      scorers_.emplace_back(window.bytes.data(), static_cast<uint32_t>(window.bytes.size()));
    }
    scores_.assign(scoredCandidates(sample), 0);
  }

  uint32_t items() const { return static_cast<uint32_t>(scores_.size()); }
  // Safe on two items at once.
  void score(uint32_t item) {
    scores_[item] = scorers_[item / perWindow_].score(kMinCandidateLength + item % perWindow_);
  }
  // Once every item is scored: the averages over the windows.
  std::vector<uint32_t> totals() const {
    std::vector<uint32_t> total(static_cast<size_t>(longest_) + 1, 0);
    if (perWindow_ == 0) return total;
    for (uint32_t item = 0; item < items(); ++item) {
      total[kMinCandidateLength + item % perWindow_] += scores_[item];
    }
    for (uint32_t& score : total) score /= windows_;
    return total;
  }

 private:
  uint32_t longest_;
  uint32_t perWindow_;
  uint32_t windows_;
  std::vector<LengthScorer> scorers_;
  std::vector<uint32_t> scores_;
};

SampleScoringAhead::SampleScoringAhead(TableSample sample, platform::Env* env)
    : sample_(std::move(sample)), scoring_(std::make_unique<CandidateScoring>(sample_)) {
  ahead_ = std::make_unique<WorkAhead>(
      scoring_->items(), kCandidatesPerShare, [this](uint32_t item) { scoring_->score(item); },
      env);
}

// The second thread stops before the scores and the sample it reads go.
SampleScoringAhead::~SampleScoringAhead() { ahead_.reset(); }

std::vector<uint32_t> SampleScoringAhead::finish(
    const std::function<void(uint32_t, uint32_t)>& beforeCandidate) {
  const uint32_t work = scoring_->items();
  ahead_->finish([&](uint32_t done) {
    if (beforeCandidate) beforeCandidate(done, work);
  });
  return scoring_->totals();
}

std::vector<uint32_t> scoreSample(const TableSample& sample,
                                  const std::function<void(uint32_t, uint32_t)>& beforeCandidate) {
  CandidateScoring scoring(sample);
  const uint32_t work = scoring.items();
  shareWork(
      work, kCandidatesPerShare, [&](uint32_t item) { scoring.score(item); },
      [&](uint32_t done) {
        if (beforeCandidate) beforeCandidate(done, work);
      });
  return scoring.totals();
}

bool readTableSample(uint32_t tableSize, const ReadSampleBytes& read, TableSample* sample) {
  sample->tableSize = tableSize;
  sample->windows.clear();
  uint32_t head = std::min(tableSize, kSampleWindowSize);
  std::vector<uint8_t> first(head);
  // An empty table has no first window to read (and no buffer to read into).
  if (head != 0) read(0, head, first.data());
  // A table all zeros as far as the first window reaches holds no record
  // there; the search starts after it.
  sample->dataStart = skipLeadingZeros(first.data(), head);
  if (tableSize - sample->dataStart < kMinWholeTableData) return false;
  for (const WindowPlace& place : planSampleWindows(sample->dataStart, tableSize)) {
    std::vector<uint8_t> bytes(place.size);
    read(place.start, place.size, bytes.data());
    sample->windows.push_back({place.start, std::move(bytes)});
  }
  return true;
}

std::vector<uint32_t> flaggedSlotsByPhase(const TableSample& sample, uint32_t recordLength,
                                          std::vector<uint32_t>* slots) {
  std::vector<uint32_t> flagged(recordLength, 0);
  if (slots != nullptr) slots->assign(recordLength, 0);
  for (uint32_t p = 0; p < recordLength; ++p) {
    forEachSlot(sample, recordLength, p, [&](const uint8_t* slot) {
      flagged[p] += isFlag(slot[0]);
      if (slots != nullptr) ++(*slots)[p];
    });
  }
  return flagged;
}

namespace {

// Whether the slots of `recordLength` that begin with a deletion flag at
// `phase` also hold one every `divisor` bytes, nearly always: then they are
// records of `divisor` bytes, several to a slot.
bool splitsIntoFlaggedRecords(const TableSample& sample, uint32_t recordLength, uint32_t phase,
                              uint32_t divisor) {
  uint64_t slots = 0;
  uint64_t starts = 0;
  uint64_t inner = 0;
  uint64_t flagged = 0;
  forEachSlot(sample, recordLength, phase, [&](const uint8_t* slot) {
    ++slots;
    if (!isFlag(slot[0])) return;
    ++starts;
    for (uint32_t at = divisor; at < recordLength; at += divisor) {
      ++inner;
      flagged += isFlag(slot[at]);
    }
  });
  // Damage spoils the flags inside a slot as often as at its start; the
  // inner ones must hold as well as the starts do, give or take.
  return inner != 0 &&
         flagged * 100 * slots + inner * slots * kSplitFlagSlack >= inner * starts * 100;
}

}  // namespace

uint32_t shortestFittingLength(const TableSample& sample, const std::vector<uint32_t>& scores,
                               uint32_t recordLength) {
  if (recordLength >= scores.size()) return recordLength;
  std::vector<uint32_t> flagged = flaggedSlotsByPhase(sample, recordLength);
  uint32_t phase = static_cast<uint32_t>(
      std::max_element(flagged.begin(), flagged.end()) - flagged.begin());
  for (uint32_t d = kMinCandidateLength; d < recordLength; ++d) {
    if (recordLength % d != 0) continue;
    if (uint64_t{scores[d]} * 2 < uint64_t{scores[recordLength]}) continue;
    if (splitsIntoFlaggedRecords(sample, recordLength, phase, d)) return d;
  }
  return recordLength;
}

std::string sampleColumnLetters(const TableSample& sample, uint32_t recordLength,
                                uint32_t phase) {
  uint32_t whole = 0;
  forEachSlot(sample, recordLength, phase, [&](const uint8_t*) { ++whole; });
  // Every step-th slot, so that the sample spreads over the table.
  uint32_t step = std::max<uint32_t>(1, whole / kColumnSampleSlots);
  char letterOf[256];
  for (int byte = 0; byte < 256; ++byte) letterOf[byte] = ColumnTypeLetter(static_cast<uint8_t>(byte));
  std::vector<uint32_t> b(recordLength, 0), n(recordLength, 0);
  uint32_t live = 0;
  uint32_t seen = 0;
  forEachSlot(sample, recordLength, phase, [&](const uint8_t* slot) {
    if (seen++ % step != 0 || slot[0] != kLiveRecord) return;
    ++live;
    for (uint32_t k = 1; k < recordLength; ++k) {
      char letter = letterOf[slot[k]];
      b[k] += letter == 'B';
      n[k] += letter == 'N';
    }
  });
  std::string letters;
  for (uint32_t k = 1; k < recordLength; ++k) {
    char letter = 'C';
    if (live != 0 && n[k] == live) {
      letter = 'N';
    } else if (live != 0 && b[k] == live) {
      letter = 'B';
    }
    letters.push_back(letter);
  }
  return letters;
}

namespace {

// The classic values, judged without a log line.
constexpr RecordCheckMode kSlotCheckMode{false, true};

}  // namespace

SlotCheck::SlotCheck(const std::vector<FieldPlace>& places, uint32_t recordLength)
    : recordLength_(recordLength),
      plan_(places, recordLength),
      copy_(plan_.blanks() ? recordLength : 0) {}

bool SlotCheck::passes(const uint8_t* slot) {
  if (!isFlag(slot[0])) return false;
  if (plan_.blanks()) {
    std::memcpy(copy_.data(), slot, recordLength_);
    return checkRecord(copy_.data(), plan_, false, 0, kSlotCheckMode);
  }
  return checkRecordInPlace(slot, plan_, false, 0, kSlotCheckMode);
}

std::vector<FieldPlace> placesAtPhase(const TableSample& sample, uint32_t recordLength,
                                      uint32_t phase) {
  return placeFields(
      makeDescriptors(cutIntoFields(sampleColumnLetters(sample, recordLength, phase))), nullptr);
}

uint32_t passingOffset(const TableSample& sample, uint32_t recordLength) {
  std::vector<uint32_t> flagged = flaggedSlotsByPhase(sample, recordLength);
  uint32_t most = *std::max_element(flagged.begin(), flagged.end());
  if (most == 0) return 0;
  // The last record ends at the end of the file or just before its
  // end-of-file mark.
  const SampleWindow& last = sample.windows.back();
  bool markAtEnd = last.start + last.bytes.size() == sample.tableSize && !last.bytes.empty() &&
                   last.bytes.back() == kEndOfFile;
  auto ends = [&](uint32_t p) {
    uint32_t tail = (sample.tableSize - p) % recordLength;
    return tail == (markAtEnd ? 1u : 0u);
  };
  std::vector<uint32_t> ranked;
  for (uint32_t p = 0; p < recordLength; ++p) {
    if (uint64_t{flagged[p]} * 10 >= uint64_t{most} * 9) ranked.push_back(p);
  }
  // A phase inside the records loses the slot that the ends of the data
  // cut in two; the phase of the records keeps it.
  std::stable_sort(ranked.begin(), ranked.end(), [&](uint32_t a, uint32_t b) {
    if (flagged[a] != flagged[b]) return flagged[a] > flagged[b];
    return ends(a) && !ends(b);
  });
  if (ranked.size() > kOffsetCandidates) ranked.resize(kOffsetCandidates);
  auto passingAt = [&](uint32_t p) {
    SlotCheck check(placesAtPhase(sample, recordLength, p), recordLength);
    uint32_t passing = 0;
    forEachSlot(sample, recordLength, p, [&](const uint8_t* slot) {
      passing += check.passes(slot);
    });
    return passing;
  };
  uint32_t best = ranked.front();
  uint32_t bestPassing = 0;
  for (uint32_t p : ranked) {
    uint32_t passing = passingAt(p);
    if (passing > bestPassing) {
      best = p;
      bestPassing = passing;
    }
  }
  // Only one phase ends where a table with its end-of-file mark ends: that
  // one is the records' own unless far fewer of its slots pass (a column
  // of spaces inside the records passes where damaged flags do not).
  if (markAtEnd) {
    uint32_t own = (sample.tableSize - 1) % recordLength;
    if (own != best) {
      uint32_t passing = passingAt(own);
      if (uint64_t{passing} * 100 >= uint64_t{bestPassing} * kEndPhaseShare) best = own;
    }
  }
  return best;
}

uint32_t nextPassingSlot(const uint8_t* bytes, uint32_t size, uint32_t failed, SlotCheck& check) {
  const uint32_t recordLength = check.recordLength();
  uint32_t stride = failed + recordLength;
  if (size < 2 * recordLength) return stride;
  // A damaged record or two leave the stride standing: it goes on when any
  // of the next slots at the stride passes.
  for (uint32_t k = 1; k <= kResyncReach && (k + 1) * uint64_t{recordLength} <= size; ++k) {
    if (check.passes(bytes + k * recordLength)) return failed + k * recordLength;
  }
  uint32_t reach = std::min(kResyncReach * recordLength, size - recordLength);
  for (uint32_t shift = 1; shift <= reach; ++shift) {
    uint32_t run = std::min(kResyncRun, (size - shift) / recordLength);
    uint32_t r = 0;
    while (r < run && check.passes(bytes + shift + r * recordLength)) ++r;
    if (run != 0 && r == run) return failed + shift;
  }
  return stride;
}

std::vector<DbfFieldDescriptor> readerSafeDescriptors(std::vector<DbfFieldDescriptor> fields) {
  // The bytes of an invented field are of no known code page, and may be
  // no text at all: a reader shows them as they are, where it would refuse
  // the high bytes of a page it guessed.
  for (DbfFieldDescriptor& field : fields) {
    field.setType('C');
    field.setFlags(kFieldNoTranslation);
  }
  return fields;
}

}  // namespace kest
