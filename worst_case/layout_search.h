// The record layout search of the worst-case method, as pure steps over
// bytes already read: nothing here touches a file, the host or the log.
//
// A damaged table's header cannot be trusted, so the layout is worked out
// from the data area alone, which has three properties to lean on: records
// repeat at a fixed stride, each record begins with a deletion flag (space
// or '*'), and one column holds the same kind of character in most records.
//
//   1. scoreRecordLengths: every candidate length 2..511 is scored by how
//      many positions of a record of that length mark a change of character
//      kind in more than 80% of the records of the sample window.
//   2. chooseRecordLength: the best score, the smaller length on a tie.
//   3. findRecordOffset: the phase where spaces and '*' line up best, past
//      the records that may lie in the old header.
//   4. ColumnStatistics / columnLetters: a letter per record position from
//      the last records of the window.
//   5. cutIntoFields, makeDescriptors, makeLayoutHeader: invented fields
//      TMP_1, TMP_2, ... and the header of the result table.
#ifndef KEST_WORST_CASE_LAYOUT_SEARCH_H_
#define KEST_WORST_CASE_LAYOUT_SEARCH_H_

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <span>
#include <vector>

#include "dbf/dbf_format.h"

namespace kest {

// Tables shorter than this are not searched.
inline constexpr uint32_t kMinSearchableSize = 2048;
// The sample window: the first bytes of the table, at most this many.
inline constexpr uint32_t kSampleWindowSize = 131072;
// Candidate record lengths are 2 .. kMaxCandidateLength.
inline constexpr uint32_t kMinCandidateLength = 2;
inline constexpr uint32_t kMaxCandidateLength = 511;
// The old header is assumed to lie within this many bytes; the records it
// may cover are left out of the offset search and the count of records
// sampled for the column statistics follows from it.
inline constexpr uint32_t kHeaderZone = 2048;
// Header length of the result table; the first record starts there unless
// the invented descriptors need more room.
inline constexpr uint16_t kLayoutHeaderLength = 8192;
// An 'I' field never runs longer than a 32-bit integer.
inline constexpr uint32_t kMaxIntegerFieldLength = 4;

// Kind of a byte for the record length scoring: 0 space; 1 NUL and
// "TFYNtfyn?"; 2 "+-.0123456789"; 3 other lower-case letters; 4 other
// upper-case letters; 5 every other byte.
uint8_t SizeSearchClass(uint8_t byte);

// Column letter of a byte for the column statistics: 'B' for "TFYNtfyn",
// 'N' for "+-.0123456789", 'C' for space and the other ASCII letters, 'I'
// for every other byte (NUL and '?' included).
char ColumnTypeLetter(uint8_t byte);

// Scores indexed by candidate length; entries 0 and 1 stay 0.
using RecordLengthScores = std::array<uint32_t, kMaxCandidateLength + 1>;

// Scores every candidate length 2..511 on the `windowSize` bytes at
// `window`. `beforeCandidate`, when set, is called with each candidate
// length before it is scored (progress, break polls); whatever it throws
// passes out. Bytes outside the window are never read: for a candidate
// that divides the window exactly, the last pair of its last phase would
// need the byte after the window, and that pair counts as no change.
RecordLengthScores scoreRecordLengths(const uint8_t* window, uint32_t windowSize,
                                      const std::function<void(uint32_t)>& beforeCandidate);

// The score of one candidate length over a window, the classic way; the
// window's bytes are read once, when the scorer is made, and one scorer
// may score lengths on several threads at once.
class LengthScorer {
 public:
  LengthScorer(const uint8_t* window, uint32_t windowSize);
  // `length` is at least 1.
  uint32_t score(uint32_t length) const;

 private:
  uint32_t windowSize_;
  std::vector<uint8_t> changes_;  // 1 where byte q and q+1 differ in kind
};

// The same scoring for candidates 2..maxLength; entries 0 and 1 stay 0.
std::vector<uint32_t> scoreRecordLengthsUpTo(const uint8_t* window, uint32_t windowSize,
                                             uint32_t maxLength,
                                             const std::function<void(uint32_t)>& beforeCandidate);

// The first length whose score beats all before it (0 when none scores).
// Takes the window's scores and the whole table's longer list alike.
uint32_t chooseRecordLength(std::span<const uint32_t> scores);

// Records of `recordLength` bytes that the old header may cover.
inline uint32_t headerZoneRecords(uint32_t recordLength) {
  return kHeaderZone / recordLength;
}

// The phase 0..recordLength-1 whose byte is a space or '*' in the most
// records past the header zone (the smaller phase on a tie; 0 when no
// record is counted).
uint32_t findRecordOffset(const uint8_t* window, uint32_t windowSize, uint32_t recordLength);

// Per-position counts of 'B', 'C' and 'N' bytes over the live records
// sampled from the end of the window.
class ColumnStatistics {
 public:
  explicit ColumnStatistics(uint32_t recordLength);

  // Counts `record` (recordLength bytes) when its deletion flag is a
  // space; deleted or damaged records take no part.
  void add(const uint8_t* record);

  // The letters of positions 1..recordLength-1 (letters[k-1] is position
  // k), with `sampled` the number of records offered to add(), live or not.
  std::string columnLetters(uint32_t sampled) const;

 private:
  uint32_t recordLength_;
  std::vector<uint32_t> b_, c_, n_;
};

struct InventedField {
  char type;
  uint32_t displacement;
  uint32_t length;
};

// Cuts the positions whose letters are given (letters[k-1] for position k)
// into fields: runs of one letter, where a 'B' field is one position, an
// 'I' field at most four and an 'N' or 'C' field at most 255.
std::vector<InventedField> cutIntoFields(const std::string& letters);

// Descriptors "TMP_1", "TMP_2", ... for the fields, in order.
std::vector<DbfFieldDescriptor> makeDescriptors(const std::vector<InventedField>& fields);

// Header of the result table: version 0x30, last update 1-1-1, the record
// count and length, header length 8192 (or the real size of the header
// part when `fieldCount` descriptors do not fit in it), the rest zero.
DbfHeader makeLayoutHeader(uint32_t recordCount, uint32_t recordLength, size_t fieldCount);

}  // namespace kest

#endif  // KEST_WORST_CASE_LAYOUT_SEARCH_H_
