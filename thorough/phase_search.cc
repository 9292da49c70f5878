#include "thorough/phase_search.h"

#include <algorithm>
#include <array>
#include <tuple>
#include <utility>

#include "dbf/dbf_format.h"

namespace kest {

namespace {

// At least this many slots of a run must be there to judge a phase by.
constexpr uint32_t kMinRun = 2;
// How far past a faulty slot realignment looks: a few records, and at least
// a few disk blocks of foreign bytes.
constexpr uint64_t kSkipRecords = 8;
constexpr uint64_t kSkipBytes = 4096;
constexpr uint64_t kMaxSkip = 1u << 20;

}  // namespace

// A phase that puts its flags in a column of padding passes the record
// check in a table of text fields, but its fields begin inside the padding,
// and so with spaces; a phase that is off by some bytes begins them with
// spaces about as often as with text.
int32_t alignmentEvidence(const uint8_t* record, size_t length,
                          const std::vector<FieldPlace>& places) {
  int32_t evidence = 0;
  for (const FieldPlace& place : places) {
    if (place.type != 'C' || place.memoAsCharacter || place.length < 2) continue;
    if (uint64_t{place.displacement} + place.length > length) continue;
    const uint8_t* field = record + place.displacement;
    bool blank = true;
    for (uint32_t k = 0; k < place.length && blank; ++k) blank = field[k] == ' ' || field[k] == 0;
    if (!blank) evidence += field[0] == ' ' ? -1 : 1;
  }
  return evidence;
}

uint32_t filledFields(const uint8_t* record, size_t length, const std::vector<FieldPlace>& places) {
  uint32_t filled = 0;
  for (const FieldPlace& place : places) {
    if (uint64_t{place.displacement} + place.length > length) continue;
    const uint8_t* field = record + place.displacement;
    for (uint32_t k = 0; k < place.length; ++k) {
      if (field[k] != ' ' && field[k] != 0) {
        ++filled;
        break;
      }
    }
  }
  return filled;
}

PhaseSearch::PhaseSearch(const SlotJudge& judge, ReadBytes read, std::function<void()> poll,
                         bool alignedText)
    : judge_(judge),
      read_(std::move(read)),
      poll_(std::move(poll)),
      alignedText_(alignedText),
      probe_(judge.length()) {
  hints_.kinds = kindsOfFields(judge_.places(), judge_.length());
  hints_.textFields = textFieldsOf(judge_.places(), judge_.length());
  layout_ = RecordModel::ofLayout(judge_.length(), hints_);
}

uint64_t PhaseSearch::reach() const {
  return std::min<uint64_t>(kMaxSkip, kSkipRecords * judge_.length() + kSkipBytes);
}

uint64_t PhaseSearch::layoutStart(uint64_t start, uint64_t end) {
  // A few slots decide; judged once a run, where the slots' values alone
  // must tell records, so it costs a large table nothing per slot.
  constexpr uint64_t kSlots = 64;
  constexpr uint64_t kLongest = 4096;
  const uint32_t length = judge_.length();
  if (length < 2 || length > kLongest || start >= end) return 0;
  std::vector<uint8_t> bytes(static_cast<size_t>(std::min<uint64_t>(end - start, kSlots * length)));
  read_(start, bytes.size(), bytes.data());
  // Where the layout fits at a few phases alike, the one whose text fields
  // begin with their text most often is taken, then the one whose fields
  // hold something most often (a phase a byte off reads a number's leading
  // padding as a blank number), then the one whose slots pass the record
  // check most often; a tie leaves the phase as it is.
  uint64_t best = 0;
  std::tuple<int32_t, uint32_t, uint32_t> bestSupport{INT32_MIN, 0, 0};
  bool tied = false;
  for (uint32_t phase : RecordModel::layoutPhases(bytes.data(), bytes.size(), length, hints_)) {
    const uint32_t available = static_cast<uint32_t>(
        std::min<uint64_t>(kPhaseRun, (end - start - phase) / length));
    int32_t alignment = 0;
    uint32_t filled = 0;
    const uint32_t passing = passingRun(start + phase, end, available, nullptr, nullptr);
    for (uint32_t k = 0; k < available; ++k) {
      const uint8_t* slot = bytes.data() + phase + k * length;
      const size_t size = std::min<size_t>(length, bytes.size() - phase - k * length);
      alignment += alignmentEvidence(slot, size, judge_.places());
      filled += filledFields(slot, size, judge_.places());
    }
    const std::tuple<int32_t, uint32_t, uint32_t> support{alignment, filled, passing};
    if (support == bestSupport) tied = true;
    if (support > bestSupport) {
      best = phase;
      bestSupport = support;
      tied = false;
    }
  }
  return tied ? 0 : best;
}

bool PhaseSearch::readsAsText(uint64_t start, uint64_t end) {
  constexpr uint64_t kSample = 64 * 1024;
  if (start >= end) return false;
  std::vector<uint8_t> sample(static_cast<size_t>(std::min(kSample, end - start)));
  read_(start, sample.size(), sample.data());
  return kest::readsAsText(sample.data(), sample.size());
}

std::optional<EndAnchored> PhaseSearch::endAnchored(uint64_t start, uint64_t size) {
  // Judged once a run, over at most this many slots.
  constexpr uint64_t kFewSlots = 64;
  const uint64_t length = judge_.length();
  if (length < 2 || size < 1 || start >= size - 1) return std::nullopt;
  uint8_t last = 0;
  read_(size - 1, 1, &last);
  if (last != kEndOfFile) return std::nullopt;
  const uint64_t span = size - 1 - start;
  const uint64_t slots = span / length;
  if (span % length == 0 || slots == 0 || slots > kFewSlots) return std::nullopt;
  std::vector<uint8_t> bytes(static_cast<size_t>(span));
  read_(start, bytes.size(), bytes.data());
  probe_.resize(length);
  auto fits = [&](uint64_t at, bool strictly) {
    const uint8_t* slot = bytes.data() + at;
    if (!strictly) return layout_.fitsLayout(slot);
    if (!layout_.fitsLayoutStrictly(slot)) return false;
    std::copy(slot, slot + length, probe_.begin());
    return judge_.fieldsPass(probe_.data(), /*quiet=*/true) && !judge_.zeroBytesRefused(slot);
  };
  uint64_t ahead = 0;
  while (ahead < slots && fits(ahead * length, false)) ++ahead;
  uint64_t behind = 0;
  while (behind < slots && fits(span - (behind + 1) * length, false)) ++behind;
  if (behind == 0) return std::nullopt;
  // As many records as both runs hold without overlapping. A record only
  // one run reaches is decided; those both reach are where the bytes were
  // inserted or removed, before each or after it. There the strict layout
  // and the record check speak (a slot a few bytes off fits the lenient
  // layout about as often as a record does in a table of text): the place
  // of the break where most slots fit strictly decides those all such
  // places agree on.
  const uint64_t placed = std::min(ahead + behind, slots);
  const uint64_t from = placed - behind;  // the first record both reach
  auto atHeader = [&](uint64_t k) { return k * length; };
  auto atEnd = [&](uint64_t k) { return span - (placed - k) * length; };
  // Where the strict layout leaves places alike, the records only one run
  // reaches say which kinds of byte each place of a record holds; a
  // reading of the bytes in between that matches them more is the record.
  std::vector<uint8_t> kinds(static_cast<size_t>(length), 0);
  uint32_t known = 0;
  auto learn = [&](uint64_t at) {
    ++known;
    for (uint64_t j = 0; j < length; ++j) kinds[j] |= uint8_t(1u << byteKind(bytes[at + j]));
  };
  for (uint64_t k = 0; k < from; ++k) learn(atHeader(k));
  for (uint64_t k = ahead; k < placed; ++k) learn(atEnd(k));
  auto matching = [&](uint64_t at) {
    uint64_t matched = 0;
    if (known < 2) return matched;
    for (uint64_t j = 0; j < length; ++j) {
      matched += (kinds[j] >> byteKind(bytes[at + j])) & 1u;
    }
    return matched;
  };
  // Per record both runs reach, read either way: strict fits first, then
  // the places that match, then the fields that hold something (a reading
  // a few bytes off takes a number's padding for a blank number).
  using Support = std::array<uint64_t, 3>;
  auto supportOf = [&](uint64_t at) -> Support {
    return {fits(at, true), matching(at),
            filledFields(bytes.data() + at, length, judge_.places())};
  };
  std::vector<Support> byHeader, byEnd;
  for (uint64_t k = from; k < ahead; ++k) {
    byHeader.push_back(supportOf(atHeader(k)));
    byEnd.push_back(supportOf(atEnd(k)));
  }
  Support best{};
  uint64_t breakFirst = from;
  uint64_t breakLast = from;
  for (uint64_t cut = from; cut <= ahead; ++cut) {
    Support support{};
    for (uint64_t k = from; k < ahead; ++k) {
      const Support& read = k < cut ? byHeader[k - from] : byEnd[k - from];
      for (size_t i = 0; i < support.size(); ++i) support[i] += read[i];
    }
    if (cut == from || support > best) {
      best = support;
      breakFirst = breakLast = cut;
    } else if (support == best) {
      breakLast = cut;
    }
  }
  // Bytes copied and inserted before a record may read as it does at
  // either place: then either place gives the record.
  auto alike = [&](uint64_t k) {
    return std::equal(bytes.begin() + atHeader(k), bytes.begin() + atHeader(k) + length,
                      bytes.begin() + atEnd(k));
  };
  while (breakFirst < breakLast && alike(breakFirst)) ++breakFirst;
  while (breakLast > breakFirst && alike(breakLast - 1)) --breakLast;
  // Every slot at the header's phase fits it: only a reading that fits
  // better says the records moved.
  if (ahead == slots && breakLast == ahead) return std::nullopt;
  EndAnchored anchored;
  anchored.first = static_cast<uint32_t>(breakFirst);
  anchored.last = static_cast<uint32_t>(placed - breakLast);
  anchored.lastFrom = size - 1 - anchored.last * length;
  anchored.undecided = static_cast<uint32_t>(breakLast - breakFirst);
  return anchored;
}

bool PhaseSearch::fitsLayout(const uint8_t* slot) const { return layout_.fitsLayout(slot); }

bool PhaseSearch::layoutHolds(uint64_t start, uint64_t end) {
  const uint32_t length = judge_.length();
  if (length < 2 || start >= end) return false;
  // A few slots: bytes inserted in the middle of a table of ten records
  // leave half of its slots misread.
  constexpr uint64_t kFirstSlots = 4;
  const uint32_t available =
      static_cast<uint32_t>(std::min<uint64_t>(kFirstSlots, (end - start) / length));
  uint32_t fitting = 0;
  passingRun(start, end, available, nullptr, nullptr, &fitting);
  return available >= 2 && fitting == available;
}

uint32_t PhaseSearch::passingRun(uint64_t position, uint64_t end, uint32_t count, uint32_t* sound,
                                 int32_t* alignment, uint32_t* fitting, uint32_t* filled) {
  const uint64_t length = judge_.length();
  uint32_t passing = 0;
  if (sound != nullptr) *sound = 0;
  if (alignment != nullptr) *alignment = 0;
  if (fitting != nullptr) *fitting = 0;
  if (filled != nullptr) *filled = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t at = position + i * length;
    if (at + length > end) break;
    read_(at, probe_.size(), probe_.data());
    // Before the judge, which may blank a field. A jammed flag over fields
    // that fit still stands where a record does.
    if (fitting != nullptr) {
      const uint8_t flag = probe_[0];
      if (flag != kLiveRecord && flag != kDeletedRecord) probe_[0] = kLiveRecord;
      if (layout_.fitsLayout(probe_.data())) ++*fitting;
      probe_[0] = flag;
    }
    if (filled != nullptr) *filled += filledFields(probe_.data(), probe_.size(), judge_.places());
    const SlotKind slot = judge_.judge(probe_.data());
    if (slot == SlotKind::kLive || slot == SlotKind::kDeleted) ++passing;
    if (sound != nullptr && slot != SlotKind::kFailed) ++*sound;
    if (alignment != nullptr && slot != SlotKind::kFailed) {
      *alignment += alignmentEvidence(probe_.data(), probe_.size(), judge_.places());
    }
  }
  return passing;
}

uint64_t PhaseSearch::realignedSkip(uint64_t position, uint64_t end, const PhaseSupport& here) {
  const uint32_t passingHere = here.sound;
  const uint32_t slotsHere = here.slots;
  const uint64_t length = judge_.length();
  if (position >= end) return 0;
  const uint64_t reach = std::min<uint64_t>(this->reach(), end - position);
  // The flags of the candidates come from one read; the runs from the file.
  std::vector<uint8_t> window(static_cast<size_t>(reach) + 1);
  read_(position, window.size(), window.data());
  auto isFlag = [](uint8_t b) { return b == kLiveRecord || b == kDeletedRecord; };
  // Every phase in reach is weighed, not the first that passes: in a table
  // of text fields a column of spaces passes for a column of flags, and the
  // true phase passes more often than such a column does.
  uint64_t best = 0;
  std::tuple<uint32_t, int32_t, uint32_t, uint32_t> bestSupport{0, INT32_MIN, 0, 0};
  for (uint64_t skip = 1; skip < reach; ++skip) {
    if (skip % 4096 == 0) poll_();
    if (!isFlag(window[skip])) continue;
    if (skip + length < reach && !isFlag(window[skip + length])) continue;
    const uint64_t start = position + skip;
    const uint32_t available =
        static_cast<uint32_t>(std::min<uint64_t>(kPhaseRun, (end - start) / length));
    if (available < kMinRun) break;
    int32_t alignment = 0;
    uint32_t fitting = 0;
    uint32_t filled = 0;
    const uint32_t passing =
        passingRun(start, end, available, nullptr, &alignment, &fitting, &filled);
    // Bytes inserted as copies of a record pass as well a few places off
    // the records' phase: where the fields' layout tells, it decides first,
    // then text that begins its fields, then fields that hold something.
    const std::tuple<uint32_t, int32_t, uint32_t, uint32_t> support{fitting, alignment, filled,
                                                                    passing};
    if (passing * 4 < available * 3 || support <= bestSupport) continue;
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
        alignedText_ && uint64_t{passing} * slots >= uint64_t{here.passing} * available &&
        2 * alignedMore >= int64_t{available} * int64_t(slots);
    // Where the scan's phase holds slots that pass but do not fit the
    // fields' layout, a phase whose slots nearly all fit it, by a quarter of
    // the slots more, is where the records went.
    const bool fitsClearlyBetter =
        10 * uint64_t{fitting} >= 9 * uint64_t{available} &&
        4 * uint64_t{fitting} * slots >= 4 * uint64_t{here.fitting} * available + available * slots;
    if (!passesClearlyBetter && !alignsClearlyBetter && !fitsClearlyBetter) continue;
    best = skip;
    bestSupport = support;
  }
  // The faulty slots end where the header's phase resumes: no new phase.
  return best % length == 0 ? 0 : best;
}

}  // namespace kest
