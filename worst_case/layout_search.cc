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

std::vector<uint32_t> scoreRecordLengthsUpTo(const uint8_t* window, uint32_t windowSize,
                                             uint32_t maxLength,
                                             const std::function<void(uint32_t)>& beforeCandidate) {
  std::vector<uint32_t> scores(static_cast<size_t>(maxLength) + 1, 0);
  // Whether the kind of character changes between byte q and byte q+1 is
  // the same question for every candidate length, so it is answered once,
  // as a byte 0 or 1. The last byte has no successor inside the window: no
  // change. Zero bytes follow, so that the vector reads below may run past
  // the last record without leaving the buffer.
  constexpr uint32_t kLanes = 16;
  std::vector<uint8_t> changes(static_cast<size_t>(windowSize) + kLanes, 0);
  for (uint32_t q = 0; q + 1 < windowSize; ++q) {
    changes[q] = kClassTable.of[window[q]] != kClassTable.of[window[q + 1]];
  }

  // Phase p of candidate j sums changes[p + k*j] over the t records k. The
  // records are summed sixteen phases to a vector of byte lanes, one lane
  // per phase, the vector kept in a register while it runs down a block of
  // records; a lane holds at most 255, so a block is 255 records. Lanes
  // past the record's end are read but never counted. A vector's lanes lie
  // in memory in lane order on every machine.
  typedef uint8_t ByteLanes __attribute__((vector_size(kLanes)));
  constexpr uint32_t kRecordsPerBlock = 255;
  const uint32_t maxVectors = (maxLength + kLanes - 1) / kLanes;
  std::vector<uint32_t> counts(static_cast<size_t>(maxVectors) * kLanes);
  for (uint32_t j = kMinCandidateLength; j <= maxLength; ++j) {
    if (beforeCandidate) beforeCandidate(j);
    uint32_t t = windowSize / j;
    uint32_t vectors = (j + kLanes - 1) / kLanes;
    // No whole record: no phase changes at a boundary, and the score stays 0.
    if (t == 0) continue;
    // The first block sets the counts of this candidate's phases, the
    // later ones add to them: only those lanes are read.
    for (uint32_t k = 0; k < t; k += kRecordsPerBlock) {
      const uint32_t records = std::min(t - k, kRecordsPerBlock);
      const uint8_t* block = changes.data() + static_cast<size_t>(k) * j;
      for (uint32_t v = 0; v < vectors; ++v) {
        ByteLanes sum{};
        const uint8_t* column = block + v * kLanes;
        for (uint32_t r = 0; r < records; ++r, column += j) {
          ByteLanes lanes;
          std::memcpy(&lanes, column, kLanes);
          sum += lanes;
        }
        uint8_t laneBytes[kLanes];
        std::memcpy(laneBytes, &sum, kLanes);
        uint32_t* phaseCounts = counts.data() + v * kLanes;
        if (k == 0) {
          for (uint32_t p = 0; p < kLanes; ++p) phaseCounts[p] = laneBytes[p];
        } else {
          for (uint32_t p = 0; p < kLanes; ++p) phaseCounts[p] += laneBytes[p];
        }
      }
    }
    uint32_t threshold = static_cast<uint32_t>(static_cast<uint64_t>(t) * 80 / 100);
    uint32_t boundaryPhases = 0;
    for (uint32_t p = 0; p < j; ++p) boundaryPhases += counts[p] > threshold;
    scores[j] = boundaryPhases * 10000 / j;
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
