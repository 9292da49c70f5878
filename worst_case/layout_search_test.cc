#include "worst_case/layout_search.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/test_support.h"
#include "worst_case/layout_reference_test.h"
#include "worst_case/whole_table_layout.h"

namespace kest {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

// Records of `length` bytes: a space, then uppercase text, digits and a
// logical column, with the kinds changing at fixed places.
Bytes structuredWindow(uint32_t length, uint32_t count, uint32_t seed) {
  std::mt19937 random(seed);
  const std::string letters = "ABCDEGHIJKLMOPQRSUVWXZ";
  Bytes window;
  for (uint32_t r = 0; r < count; ++r) {
    window.push_back(' ');
    for (uint32_t k = 1; k < length; ++k) {
      uint32_t zone = k * 3 / length;
      if (zone == 0) window.push_back(letters[random() % letters.size()]);
      else if (zone == 1) window.push_back('0' + random() % 10);
      else window.push_back(random() % 2 ? 'T' : 'F');
    }
  }
  return window;
}

TEST(ByteClassesTest, SizeSearchClassAndColumnLetterDisagreeOnlyOnNulAndQuestionMark) {
  struct Case {
    uint8_t byte;
    uint8_t sizeClass;
    char letter;
  };
  const Case cases[] = {
      {' ', 0, 'C'},  {0x00, 1, 'I'}, {'?', 1, 'I'}, {'T', 1, 'B'}, {'f', 1, 'B'},
      {'Y', 1, 'B'},  {'n', 1, 'B'},  {'+', 2, 'N'}, {'-', 2, 'N'}, {'.', 2, 'N'},
      {'0', 2, 'N'},  {'9', 2, 'N'},  {'a', 3, 'C'}, {'z', 3, 'C'}, {'A', 4, 'C'},
      {'Z', 4, 'C'},  {'*', 5, 'I'},  {',', 5, 'I'}, {0x0D, 5, 'I'}, {0xC4, 5, 'I'},
      {0xFF, 5, 'I'}, {'_', 5, 'I'},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.byte));
    EXPECT_EQ(SizeSearchClass(c.byte), c.sizeClass);
    EXPECT_EQ(ColumnTypeLetter(c.byte), c.letter);
  }
}

TEST(RecordLengthScoringTest, MatchesThePairByPairRules) {
  std::mt19937 random(7);
  std::vector<Bytes> windows;
  // Random bytes drawn from a few classes, so that some phases qualify.
  for (uint32_t size : {2048u, 2049u, 3000u, 5110u}) {
    Bytes w(size);
    const std::string alphabet = " T1aA*";
    for (uint8_t& b : w) b = alphabet[random() % alphabet.size()];
    windows.push_back(w);
  }
  // Every pair changes kind: each phase's sum reaches 255 in every block
  // of records that the scoring adds up in one go.
  Bytes alternating(70001);
  for (size_t i = 0; i < alternating.size(); ++i) alternating[i] = i % 2 ? 'A' : ' ';
  windows.push_back(alternating);
  windows.push_back(structuredWindow(37, 120, 1));
  windows.push_back(structuredWindow(100, 40, 2));
  windows.push_back(structuredWindow(511, 9, 3));
  for (const char* name : {"dbase_31.dbf", "dbase_03.dbf", "dbase_83.dbf"}) {
    windows.push_back(bytesOf(testing::readFile(testing::testData(name))));
  }
  for (const Bytes& w : windows) {
    SCOPED_TRACE(w.size());
    uint32_t n = static_cast<uint32_t>(w.size());
    EXPECT_EQ(scoreRecordLengths(w.data(), n, nullptr), testing::referenceScores(w.data(), n));
  }
}

// The scoring stops summing a run of phases once none of them can reach
// the mark any more. Phases that miss all their allowance first and then
// change kind in every record sit exactly at the mark: one miss fewer
// counts, one more does not. Lengths with few records (one byte lane
// holds a phase's count) and with many.
TEST(RecordLengthScoringTest, AStopAtTheMarkNeverLosesAPhase) {
  struct Window {
    Bytes bytes;
    uint32_t maxLength;
  };
  std::vector<Window> windows;
  for (uint32_t length : {700u, 1500u, 20u, 37u}) {
    const uint32_t size = length < 100 ? 6000 : 9000;
    const uint32_t t = size / length;
    const uint32_t allowed = t - t * 80 / 100;
    for (uint32_t misses : {allowed - 1, allowed}) {
      Bytes w(size, ' ');
      for (uint32_t k = misses; k < t; ++k) {
        for (uint32_t p = 3; p < length; p += 5) w[p + k * length] = 'A';
      }
      windows.push_back({w, length < 100 ? 300 : kMaxWholeTableLength});
    }
  }
  windows.push_back({structuredWindow(900, 8, 6), kMaxWholeTableLength});
  Bytes table = bytesOf(testing::readFile(testing::testData("dbase_f5.dbf")));
  table.resize(std::min<size_t>(table.size(), 9000));
  windows.push_back({table, kMaxWholeTableLength});
  for (const Window& w : windows) {
    uint32_t n = static_cast<uint32_t>(w.bytes.size());
    EXPECT_EQ(scoreRecordLengthsUpTo(w.bytes.data(), n, w.maxLength, nullptr),
              testing::referenceScoresUpTo(w.bytes.data(), n, w.maxLength))
        << "window " << &w - windows.data();
  }
}

TEST(RecordLengthScoringTest, FullWindowMatchesThePairByPairRules) {
  Bytes w = bytesOf(testing::readFile(testing::testData("dbase_f5.dbf")));
  w.resize(kSampleWindowSize);
  EXPECT_EQ(scoreRecordLengths(w.data(), kSampleWindowSize, nullptr),
            testing::referenceScores(w.data(), kSampleWindowSize));
}

TEST(RecordLengthScoringTest, TheByteAfterTheWindowNeverCounts) {
  // For length 256 in a window of 2048, phase 255 holds the pairs at
  // 255, 511, ..., 2047; the last needs byte 2048. Six of the seven pairs
  // inside change kind: one short of the 80% mark (more than 6 of 8).
  // Phase 254 changes kind in seven pairs and qualifies.
  Bytes buffer(2049, 'A');
  for (uint32_t k = 0; k < 8; ++k) {
    if (k != 6) buffer[255 + 256 * k] = '1';
  }
  for (uint8_t after : {uint8_t{'A'}, uint8_t{'1'}}) {
    buffer[2048] = after;
    RecordLengthScores scores = scoreRecordLengths(buffer.data(), 2048, nullptr);
    EXPECT_EQ(scores[256], 1u * 10000 / 256) << "byte after the window: " << after;
  }
}

TEST(RecordLengthScoringTest, CallsBackBeforeEachCandidateAndLetsItsThrowPass) {
  Bytes w = structuredWindow(20, 120, 4);
  std::vector<uint32_t> seen;
  scoreRecordLengths(w.data(), static_cast<uint32_t>(w.size()),
                     [&](uint32_t j) { seen.push_back(j); });
  ASSERT_EQ(seen.size(), 510u);
  EXPECT_EQ(seen.front(), 2u);
  EXPECT_EQ(seen.back(), 511u);

  uint32_t last = 0;
  EXPECT_THROW(scoreRecordLengths(w.data(), static_cast<uint32_t>(w.size()),
                                  [&](uint32_t j) {
                                    last = j;
                                    if (j == 40) throw 5;
                                  }),
               int);
  EXPECT_EQ(last, 40u);
}

TEST(RecordLengthChoiceTest, BestScoreWinsAndTiesGoToTheSmallerLength) {
  struct Case {
    std::vector<std::pair<uint32_t, uint32_t>> scores;  // length, score
    uint32_t chosen;
  };
  const Case cases[] = {
      {{}, 0},
      {{{100, 500}, {200, 500}}, 100},
      {{{200, 500}, {100, 499}}, 200},
      {{{2, 1}, {511, 2}}, 511},
      {{{300, 7}, {150, 7}, {450, 7}}, 150},
  };
  for (const Case& c : cases) {
    RecordLengthScores scores{};
    for (auto [length, score] : c.scores) scores[length] = score;
    EXPECT_EQ(chooseRecordLength(scores), c.chosen);
  }
}

TEST(RecordLengthChoiceTest, AMultipleOfTheRecordLengthTiesAndLoses) {
  Bytes w = structuredWindow(100, 30, 5);
  RecordLengthScores scores = scoreRecordLengths(w.data(), static_cast<uint32_t>(w.size()), nullptr);
  EXPECT_GT(scores[100], 0u);
  EXPECT_EQ(scores[200], scores[100]);
  EXPECT_EQ(chooseRecordLength(scores), 100u);
}

TEST(RecordOffsetTest, PhaseWithMostFlagsPastTheHeaderZone) {
  // Records of 50 bytes: n = 40, so records 41 .. R-1 are looked at.
  const uint32_t length = 50;
  struct Case {
    const char* name;
    uint32_t records;
    std::vector<std::pair<uint32_t, char>> columns;  // phase, byte in every record
    uint32_t offset;
  };
  const Case cases[] = {
      {"spaces at phase 7", 60, {{7, ' '}}, 7},
      {"asterisks count too", 60, {{9, '*'}}, 9},
      {"tie goes to the smaller phase", 60, {{30, ' '}, {12, '*'}}, 12},
      {"nothing found gives 0", 60, {}, 0},
      {"no records past the header zone", 41, {{7, ' '}}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes w(length * c.records, 'x');
    for (uint32_t r = 0; r < c.records; ++r) {
      for (auto [phase, byte] : c.columns) w[r * length + phase] = byte;
    }
    EXPECT_EQ(findRecordOffset(w.data(), static_cast<uint32_t>(w.size()), length), c.offset);
  }
}

TEST(RecordOffsetTest, HeaderZoneRecordsAndDeletionFlagsDecide) {
  const uint32_t length = 50;  // n = 40
  Bytes w(length * 100, 'x');
  for (uint32_t r = 0; r < 100; ++r) {
    // The flag: live or deleted, half and half.
    w[r * length + 3] = r % 2 ? '*' : ' ';
    // A text column with spaces in 70% of the records: more spaces than
    // the flag column, fewer than spaces and asterisks together.
    if (r % 10 < 7) w[r * length + 20] = ' ';
  }
  // Spaces in every record of the header zone count for nothing.
  for (uint32_t r = 0; r <= 41; ++r) w[r * length + 1] = ' ';
  EXPECT_EQ(findRecordOffset(w.data(), static_cast<uint32_t>(w.size()), length), 3u);
}

std::string columnLettersOf(const std::vector<std::string>& records) {
  ColumnStatistics statistics(static_cast<uint32_t>(records[0].size()));
  for (const std::string& record : records) {
    statistics.add(reinterpret_cast<const uint8_t*>(record.data()));
  }
  return statistics.columnLetters(static_cast<uint32_t>(records.size()));
}

TEST(ColumnLettersTest, LettersByColumnContent) {
  // Ten records; thr80 = 8, thr90 = 9. Columns after the flag:
  //   1 digits          -> N
  //   2 T and F         -> B
  //   3 '?'             -> I (not B, though '?' ranks with T/F for scoring)
  //   4 NUL             -> I
  //   5 letters         -> C
  //   6 spaces          -> C
  //   7 8 Y + 2 'A'     -> C (B below thr90, B + C reaches thr80)
  //   8 9 'n' + 1 'A'   -> B
  //   9 8 digits, 2 '!' -> N
  //  10 7 digits, 3 'A' -> I (neither kind reaches thr80)
  //  11 7 letters, 3 '!'-> I
  std::vector<std::string> records;
  for (int r = 0; r < 10; ++r) {
    std::string record = " ";
    record += static_cast<char>('0' + r);
    record += r % 2 ? 'T' : 'F';
    record += '?';
    record += '\0';
    record += static_cast<char>('a' + r);
    record += ' ';
    record += r < 8 ? 'Y' : 'A';
    record += r < 9 ? 'n' : 'A';
    record += r < 8 ? '5' : '!';
    record += r < 7 ? '5' : 'A';
    record += r < 7 ? 'q' : '!';
    records.push_back(record);
  }
  EXPECT_EQ(columnLettersOf(records), "NBIICCCBNII");
}

TEST(ColumnLettersTest, OnlyLiveRecordsAreCountedButAllAreSampled) {
  // Letters in every record; the share of records with another flag
  // decides whether the live ones still reach thr80.
  struct Case {
    int deleted;  // of ten
    char flag;
    std::string letters;
  };
  const Case cases[] = {
      {0, '*', "CN"},
      {2, '*', "CN"},
      {3, '*', "II"},
      {3, 0x00, "II"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.deleted);
    std::vector<std::string> records;
    for (int r = 0; r < 10; ++r) {
      records.push_back(std::string(1, r < c.deleted ? c.flag : ' ') + "A1");
    }
    EXPECT_EQ(columnLettersOf(records), c.letters);
  }
}

TEST(ColumnLettersTest, FourSampledRecordsOfTheLongestLength) {
  // Length 511 samples n = 4: thr80 = thr90 = 3.
  std::vector<std::string> records(4, " " + std::string(510, '7'));
  records[0][1] = 'x';  // 3 digits of 4: N
  records[0][2] = 'x';  // 2 digits and 2 letters: I
  records[1][2] = 'x';
  std::string letters = columnLettersOf(records);
  ASSERT_EQ(letters.size(), 510u);
  EXPECT_EQ(letters.substr(0, 3), "NIN");
}

std::string describe(const std::vector<InventedField>& fields) {
  std::string text;
  for (const InventedField& f : fields) {
    text += f.type + std::to_string(f.displacement) + ":" + std::to_string(f.length) + " ";
  }
  return text;
}

TEST(FieldCuttingTest, RunsOfOneLetterWithTheirLimits) {
  struct Case {
    std::string letters;
    std::string fields;
  };
  const Case cases[] = {
      {"CCNNNBBI", "C1:2 N3:3 B6:1 B7:1 I8:1 "},
      {"IIIIIIIIII", "I1:4 I5:4 I9:2 "},
      {"BB", "B1:1 B2:1 "},
      {"NNNCCCIIIIINN", "N1:3 C4:3 I7:4 I11:1 N12:2 "},
      {std::string(300, 'C'), "C1:255 C256:45 "},
      {std::string(510, 'N'), "N1:255 N256:255 "},
      {"C" + std::string(256, 'N'), "C1:1 N2:255 N257:1 "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.letters.substr(0, 20));
    std::vector<InventedField> fields = cutIntoFields(c.letters);
    EXPECT_EQ(describe(fields), c.fields);
    uint32_t covered = 0;
    for (const InventedField& f : fields) {
      EXPECT_EQ(f.displacement, covered + 1);
      covered += f.length;
    }
    EXPECT_EQ(covered, c.letters.size());
  }
}

TEST(DescriptorsTest, NamedTmpWithTypeDisplacementAndLength) {
  std::vector<DbfFieldDescriptor> d = makeDescriptors(cutIntoFields("CCNNNBBI"));
  ASSERT_EQ(d.size(), 5u);
  const char* names[] = {"TMP_1", "TMP_2", "TMP_3", "TMP_4", "TMP_5"};
  const char types[] = {'C', 'N', 'B', 'B', 'I'};
  const uint32_t displacements[] = {1, 3, 6, 7, 8};
  const uint8_t lengths[] = {2, 3, 1, 1, 1};
  for (size_t i = 0; i < d.size(); ++i) {
    EXPECT_EQ(d[i].name(), names[i]);
    EXPECT_EQ(d[i].type(), types[i]);
    EXPECT_EQ(d[i].displacement(), displacements[i]);
    EXPECT_EQ(d[i].length(), lengths[i]);
    EXPECT_EQ(d[i].decimals(), 0);
    for (int b = 5; b < 11; ++b) EXPECT_EQ(d[i].bytes[b], 0) << "name byte " << b;
    for (int b = 18; b < 32; ++b) EXPECT_EQ(d[i].bytes[b], 0) << "byte " << b;
  }
}

TEST(LayoutHeaderTest, FixedBytesAndAHeaderLengthThatHoldsTheFields) {
  struct Case {
    size_t fields;
    uint16_t headerLength;
  };
  const Case cases[] = {{1, 8192}, {254, 8192}, {255, 8193}, {510, 16353}};
  for (const Case& c : cases) {
    DbfHeader h = makeLayoutHeader(14563, 9, c.fields);
    const uint8_t expected[12] = {0x30, 1, 1, 1, 0xE3, 0x38, 0, 0,
                                  static_cast<uint8_t>(c.headerLength),
                                  static_cast<uint8_t>(c.headerLength >> 8), 9, 0};
    for (int b = 0; b < 12; ++b) EXPECT_EQ(h.bytes[b], expected[b]) << c.fields << " byte " << b;
    for (int b = 12; b < 32; ++b) EXPECT_EQ(h.bytes[b], 0) << c.fields << " byte " << b;
  }
}

}  // namespace
}  // namespace kest
