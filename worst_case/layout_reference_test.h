// A slow, literal reading of the record layout rules, one byte at a time,
// for the tests to hold the search against. It shares nothing with the
// search but the two byte classifications.
#ifndef KEST_WORST_CASE_LAYOUT_REFERENCE_TEST_H_
#define KEST_WORST_CASE_LAYOUT_REFERENCE_TEST_H_

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "worst_case/layout_search.h"

namespace kest::testing {

// Scores of the record lengths 2..maxLength (index = length). A pair whose
// second byte lies past the window is not counted.
inline std::vector<uint32_t> referenceScoresUpTo(const uint8_t* window, uint32_t n,
                                                 uint32_t maxLength) {
  std::vector<uint32_t> scores(maxLength + 1, 0);
  for (uint32_t j = 2; j <= maxLength; ++j) {
    int32_t t = static_cast<int32_t>(n / j);
    uint32_t boundary = 0;
    for (uint32_t p = 0; p < j; ++p) {
      int32_t differing = 0;
      for (int32_t k = 0; k < t; ++k) {
        uint32_t q = p + static_cast<uint32_t>(k) * j;
        if (q + 1 >= n) continue;
        differing += SizeSearchClass(window[q]) != SizeSearchClass(window[q + 1]);
      }
      if (differing > t * 80 / 100) ++boundary;
    }
    scores[j] = boundary * 10000 / j;
  }
  return scores;
}

// Scores of the record lengths 2..511.
inline RecordLengthScores referenceScores(const uint8_t* window, uint32_t n) {
  std::vector<uint32_t> upTo = referenceScoresUpTo(window, n, 511);
  RecordLengthScores scores{};
  std::copy(upTo.begin(), upTo.end(), scores.begin());
  return scores;
}

struct ReferenceLayout {
  uint32_t size = 0;
  uint32_t offset = 0;
  uint32_t recordCount = 0;
  std::string letters;  // positions 1..size-1
  std::string fields;   // "C1:2 N3:3 ..." type, displacement, length
};

// The layout of a table whose whole content is `table`.
inline ReferenceLayout referenceLayout(const std::string& table) {
  ReferenceLayout layout;
  uint32_t n = static_cast<uint32_t>(std::min<size_t>(table.size(), 131072));
  const uint8_t* window = reinterpret_cast<const uint8_t*>(table.data());
  RecordLengthScores scores = referenceScores(window, n);
  uint32_t best = 0;
  for (uint32_t j = 0; j < 512; ++j) {
    if (scores[j] > scores[best]) best = j;
  }
  layout.size = best;
  if (best == 0) return layout;

  uint32_t size = best;
  uint32_t records = n / size;
  uint32_t zone = 2048 / size;
  uint32_t bestCount = 0;
  for (uint32_t p = 0; p < size; ++p) {
    uint32_t count = 0;
    for (uint32_t r = zone + 1; r < records; ++r) {
      char c = table[p + r * size];
      if (c == ' ' || c == '*') ++count;
    }
    if (count > bestCount) {
      bestCount = count;
      layout.offset = p;
    }
  }
  layout.recordCount = records;

  auto byteAt = [&](uint64_t at) -> uint8_t {
    return at < table.size() ? static_cast<uint8_t>(table[at]) : 0;
  };
  uint32_t thr80 = zone * 80 / 100;
  uint32_t thr90 = zone * 90 / 100;
  for (uint32_t k = 1; k < size; ++k) {
    uint32_t nCount = 0, bCount = 0, cCount = 0;
    for (uint32_t r = records - zone; r < records; ++r) {
      uint64_t start = layout.offset + static_cast<uint64_t>(r) * size;
      if (byteAt(start) != ' ') continue;
      char letter = ColumnTypeLetter(byteAt(start + k));
      nCount += letter == 'N';
      bCount += letter == 'B';
      cCount += letter == 'C';
    }
    layout.letters += nCount >= thr80                ? 'N'
                      : bCount >= thr90              ? 'B'
                      : cCount + bCount >= thr80     ? 'C'
                                                     : 'I';
  }

  uint32_t k = 1;
  while (k < size) {
    char type = layout.letters[k - 1];
    uint32_t length = 1;
    uint32_t limit = type == 'B' ? 1 : type == 'I' ? 4 : 255;
    while (k + length < size && layout.letters[k + length - 1] == type && length < limit) {
      ++length;
    }
    layout.fields += type + std::to_string(k) + ":" + std::to_string(length) + " ";
    k += length;
  }
  return layout;
}

}  // namespace kest::testing

#endif  // KEST_WORST_CASE_LAYOUT_REFERENCE_TEST_H_
