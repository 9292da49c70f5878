#include "worst_case/layout_search.h"

#include <algorithm>
#include <cstring>

namespace kest {

namespace {

constexpr bool IsOneOf(uint8_t byte, const char* set) {
  for (const char* c = set; *c != '\0'; ++c) {
    if (static_cast<uint8_t>(*c) == byte) return true;
  }
  return false;
}

constexpr const char* kLogicalLetters = "TFYNtfyn";
constexpr const char* kNumericCharacters = "+-.01234567890";

constexpr uint8_t ClassOf(uint8_t byte) {
  if (byte == ' ') return 0;
  if (byte == 0 || byte == '?' || IsOneOf(byte, kLogicalLetters)) return 1;
  if (IsOneOf(byte, kNumericCharacters)) return 2;
  if (byte >= 'a' && byte <= 'z') return 3;
  if (byte >= 'A' && byte <= 'Z') return 4;
  return 5;
}

struct ClassTable {
  uint8_t of[256];
  constexpr ClassTable() : of() {
    for (int b = 0; b < 256; ++b) of[b] = ClassOf(static_cast<uint8_t>(b));
  }
};
constexpr ClassTable kClassTable;

}  // namespace

uint8_t SizeSearchClass(uint8_t byte) { return kClassTable.of[byte]; }

char ColumnTypeLetter(uint8_t byte) {
  if (IsOneOf(byte, kLogicalLetters)) return 'B';
  if (IsOneOf(byte, kNumericCharacters)) return 'N';
  if (byte == ' ' || (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z')) return 'C';
  return 'I';
}

RecordLengthScores scoreRecordLengths(const uint8_t* window, uint32_t windowSize,
                                      const std::function<void(uint32_t)>& beforeCandidate) {
  std::vector<uint32_t> scored =
      scoreRecordLengthsUpTo(window, windowSize, kMaxCandidateLength, beforeCandidate);
  RecordLengthScores scores{};
  std::copy(scored.begin(), scored.end(), scores.begin());
  return scores;
}

namespace {

// Phase p of candidate length j sums changes[p + k*j] over the t records
// k; it is a boundary when more than `threshold` of those pairs change
// kind. The sums are taken sixteen phases at a time, in a vector of byte
// lanes kept in a register while it runs down the records. A phase that
// has missed t - threshold pairs can no longer be a boundary: once every
// lane of a vector has, the vector stops, and for a wrong length most
// vectors stop early. The counts are those of the full sums.
constexpr uint32_t kLanes = 16;
typedef uint8_t ByteLanes __attribute__((vector_size(kLanes)));

struct PhaseRun {
  const uint8_t* column;  // changes of the vector's first phase in record 0
  uint32_t length;        // j, the distance between records
  uint32_t records;       // t
  uint32_t threshold;
  uint32_t phases;        // lanes that are phases of this length, 1..16
};

inline __attribute__((always_inline)) ByteLanes loadLanes(const uint8_t* at) {
  ByteLanes lanes;
  std::memcpy(&lanes, at, kLanes);
  return lanes;
}

// Four records a turn into two sums: the loop's own count and pointer
// cost less than the additions. The lanes add modulo 256 in any order,
// and no count here passes 255.
inline __attribute__((always_inline)) ByteLanes sumRecords(const uint8_t*& column,
                                                           uint32_t length, uint32_t records,
                                                           ByteLanes sum) {
  const uint8_t* at = column;
  ByteLanes other{};
  uint32_t r = 0;
  for (; r + 4 <= records; r += 4, at += 4 * size_t{length}) {
    sum += loadLanes(at) + loadLanes(at + length);
    other += loadLanes(at + 2 * size_t{length}) + loadLanes(at + 3 * size_t{length});
  }
  for (; r < records; ++r, at += length) sum += loadLanes(at);
  column = at;
  return sum + other;
}

bool anyLane(ByteLanes mask) {
  uint64_t words[2];
  std::memcpy(words, &mask, sizeof words);
  return (words[0] | words[1]) != 0;
}

// At most 255 records: every count fits its byte lane.
uint32_t boundaryPhasesOfFewRecords(PhaseRun run) {
  const uint32_t allowedMisses = run.records - run.threshold;
  // Steps of whole turns of sumRecords.
  const uint32_t stride = (std::max(run.records / 8, 8u) + 3) & ~3u;
  const uint32_t first = (allowedMisses + stride + 3) & ~3u;
  const uint8_t* column = run.column;
  ByteLanes sum{};
  // No lane can have missed enough before allowedMisses records, and
  // few have by then: the first look is a stride further on.
  for (uint32_t k = 0; k < run.records;) {
    const uint32_t step = k == 0 ? first : stride;
    const uint32_t records = std::min(run.records - k, step);
    sum = sumRecords(column, run.length, records, sum);
    k += records;
    // Alive while some lane has missed fewer pairs than allowed.
    if (k < run.records && !anyLane(sum > static_cast<uint8_t>(k - allowedMisses))) return 0;
  }
  uint8_t counts[kLanes];
  std::memcpy(counts, &sum, kLanes);
  uint32_t boundaries = 0;
  for (uint32_t p = 0; p < run.phases; ++p) boundaries += counts[p] > run.threshold;
  return boundaries;
}

// Any number of records, in blocks of 255 added into 32-bit counts.
uint32_t boundaryPhasesOfManyRecords(PhaseRun run) {
  constexpr uint32_t kRecordsPerBlock = 255;
  const uint32_t allowedMisses = run.records - run.threshold;
  const uint32_t stride = std::clamp(run.records / 16, 8u, kRecordsPerBlock);
  const uint8_t* column = run.column;
  uint32_t counts[kLanes] = {};
  for (uint32_t k = 0; k < run.records;) {
    const uint32_t step = k < allowedMisses ? std::min(allowedMisses - k, kRecordsPerBlock) : stride;
    const uint32_t records = std::min(run.records - k, step);
    ByteLanes sum = sumRecords(column, run.length, records, ByteLanes{});
    uint8_t laneBytes[kLanes];
    std::memcpy(laneBytes, &sum, kLanes);
    for (uint32_t p = 0; p < kLanes; ++p) counts[p] += laneBytes[p];
    k += records;
    if (k >= allowedMisses && k < run.records) {
      bool alive = false;
      for (uint32_t p = 0; p < kLanes && !alive; ++p) alive = k - counts[p] < allowedMisses;
      if (!alive) return 0;
    }
  }
  uint32_t boundaries = 0;
  for (uint32_t p = 0; p < run.phases; ++p) boundaries += counts[p] > run.threshold;
  return boundaries;
}

}  // namespace

LengthScorer::LengthScorer(const uint8_t* window, uint32_t windowSize)
    : windowSize_(windowSize), changes_(static_cast<size_t>(windowSize) + kLanes, 0) {
  // Whether the kind of character changes between byte q and byte q+1 is
  // the same question for every candidate length, so it is answered once,
  // as a byte 0 or 1. The last byte has no successor inside the window: no
  // change. Zero bytes follow, so that the vector reads may run past the
  // last record without leaving the buffer (lanes past the record's end
  // are read but never counted).
  for (uint32_t q = 0; q + 1 < windowSize; ++q) {
    changes_[q] = kClassTable.of[window[q]] != kClassTable.of[window[q + 1]];
  }
}

uint32_t LengthScorer::score(uint32_t j) const {
  const uint32_t t = windowSize_ / j;
  // No whole record: no phase changes at a boundary, and the score stays 0.
  if (t == 0) return 0;
  PhaseRun run{nullptr, j, t, static_cast<uint32_t>(static_cast<uint64_t>(t) * 80 / 100), 0};
  uint32_t boundaryPhases = 0;
  for (uint32_t first = 0; first < j; first += kLanes) {
    run.column = changes_.data() + first;
    run.phases = std::min(kLanes, j - first);
    boundaryPhases += t <= 255 ? boundaryPhasesOfFewRecords(run) : boundaryPhasesOfManyRecords(run);
  }
  return boundaryPhases * 10000 / j;
}

std::vector<uint32_t> scoreRecordLengthsUpTo(const uint8_t* window, uint32_t windowSize,
                                             uint32_t maxLength,
                                             const std::function<void(uint32_t)>& beforeCandidate) {
  std::vector<uint32_t> scores(static_cast<size_t>(maxLength) + 1, 0);
  LengthScorer scorer(window, windowSize);
  for (uint32_t j = kMinCandidateLength; j <= maxLength; ++j) {
    if (beforeCandidate) beforeCandidate(j);
    scores[j] = scorer.score(j);
  }
  return scores;
}

uint32_t chooseRecordLength(std::span<const uint32_t> scores) {
  uint32_t best = 0;
  uint32_t bestScore = 0;
  for (uint32_t j = 0; j < scores.size(); ++j) {
    if (scores[j] > bestScore) {
      bestScore = scores[j];
      best = j;
    }
  }
  return best;
}

uint32_t findRecordOffset(const uint8_t* window, uint32_t windowSize, uint32_t recordLength) {
  uint32_t recordCount = windowSize / recordLength;
  uint32_t firstCounted = headerZoneRecords(recordLength) + 1;
  uint32_t best = 0;
  uint32_t bestCount = 0;
  for (uint32_t p = 0; p < recordLength; ++p) {
    uint32_t count = 0;
    for (uint32_t r = firstCounted; r < recordCount; ++r) {
      uint8_t flag = window[p + r * recordLength];
      count += flag == kLiveRecord || flag == kDeletedRecord;
    }
    if (count > bestCount) {
      bestCount = count;
      best = p;
    }
  }
  return best;
}

ColumnStatistics::ColumnStatistics(uint32_t recordLength)
    : recordLength_(recordLength),
      b_(recordLength, 0),
      c_(recordLength, 0),
      n_(recordLength, 0) {}

void ColumnStatistics::add(const uint8_t* record) {
  if (record[0] != kLiveRecord) return;
  for (uint32_t k = 1; k < recordLength_; ++k) {
    switch (ColumnTypeLetter(record[k])) {
      case 'B': ++b_[k]; break;
      case 'C': ++c_[k]; break;
      case 'N': ++n_[k]; break;
      default: break;
    }
  }
}

std::string ColumnStatistics::columnLetters(uint32_t sampled) const {
  uint32_t thr80 = static_cast<uint32_t>(static_cast<uint64_t>(sampled) * 80 / 100);
  uint32_t thr90 = static_cast<uint32_t>(static_cast<uint64_t>(sampled) * 90 / 100);
  std::string letters;
  for (uint32_t k = 1; k < recordLength_; ++k) {
    char letter = 'I';
    if (n_[k] >= thr80) {
      letter = 'N';
    } else if (b_[k] >= thr90) {
      letter = 'B';
    } else if (c_[k] + b_[k] >= thr80) {
      letter = 'C';
    }
    letters.push_back(letter);
  }
  return letters;
}

std::vector<InventedField> cutIntoFields(const std::string& letters) {
  std::vector<InventedField> fields;
  size_t start = 0;
  while (start < letters.size()) {
    char type = letters[start];
    size_t limit = type == 'B'   ? 1
                   : type == 'I' ? kMaxIntegerFieldLength
                                 : kMaxFieldLength;
    size_t end = start + 1;
    while (end < letters.size() && end - start < limit && letters[end] == type) ++end;
    fields.push_back({type, static_cast<uint32_t>(start + 1), static_cast<uint32_t>(end - start)});
    start = end;
  }
  return fields;
}

std::vector<DbfFieldDescriptor> makeDescriptors(const std::vector<InventedField>& fields) {
  std::vector<DbfFieldDescriptor> descriptors;
  descriptors.reserve(fields.size());
  for (size_t i = 0; i < fields.size(); ++i) {
    DbfFieldDescriptor d;
    d.setName("TMP_" + std::to_string(i + 1));
    d.setType(fields[i].type);
    d.setDisplacement(fields[i].displacement);
    d.setLength(static_cast<uint8_t>(fields[i].length));
    descriptors.push_back(d);
  }
  return descriptors;
}

DbfHeader makeLayoutHeader(uint32_t recordCount, uint32_t recordLength, size_t fieldCount) {
  DbfHeader header;
  header.setVersion(0x30);
  header.bytes[1] = 1;
  header.bytes[2] = 1;
  header.bytes[3] = 1;
  header.setRecordCount(recordCount);
  // 8192 holds 254 descriptors; with more, the records must start after
  // the last one, or a reader would take descriptors for records.
  uint32_t needed = headerBytesNeeded(fieldCount);
  header.setHeaderLength(static_cast<uint16_t>(std::max<uint32_t>(kLayoutHeaderLength, needed)));
  header.setRecordLength(static_cast<uint16_t>(recordLength));
  return header;
}

}  // namespace kest
