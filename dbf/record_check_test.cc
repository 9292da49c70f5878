#include "dbf/record_check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace kest {
namespace {

using testing::LogCapture;
using Lines = std::vector<std::string>;

const char* const kRecordInvalid = "This record is not valid by one of its field values";

struct Outcome {
  bool valid;
  Lines log;
};

// Judges a record that holds `value` as its only field, placed at byte 1
// with the value's length (or `length`), and returns the verdict and every
// line the check logged. The check without a log, through the field and
// through a plan, must give the same verdict.
Outcome checkField(char type, const std::string& value, bool memoPresent = false,
                   uint32_t memoSize = 0, int length = -1) {
  LogCapture capture;
  const std::string record = " " + value;
  FieldPlace place;
  place.type = type;
  place.displacement = 1;
  place.length = length >= 0 ? static_cast<uint32_t>(length) : static_cast<uint32_t>(value.size());
  const std::vector<FieldPlace> places = {place};
  std::string logged = record, unlogged = record, planned = record;
  bool valid = checkRecord(reinterpret_cast<uint8_t*>(logged.data()), logged.size(), places,
                           memoPresent, memoSize);
  Lines lines = capture.messages();
  capture.logger().Disable();
  EXPECT_EQ(checkRecord(reinterpret_cast<uint8_t*>(unlogged.data()), unlogged.size(), places,
                        memoPresent, memoSize),
            valid)
      << type << " [" << value << "] without a log";
  const RecordCheckPlan plan(places, planned.size());
  EXPECT_EQ(checkRecord(reinterpret_cast<uint8_t*>(planned.data()), plan, memoPresent, memoSize),
            valid)
      << type << " [" << value << "] by a plan";
  EXPECT_FALSE(plan.blanks());
  EXPECT_EQ(checkRecordInPlace(reinterpret_cast<const uint8_t*>(record.data()), plan, memoPresent,
                               memoSize),
            valid)
      << type << " [" << value << "] in place";
  return {valid, lines};
}

Lines withVerdict(Lines lines, bool valid) {
  if (!valid) lines.push_back(kRecordInvalid);
  return lines;
}

// --- dates ----------------------------------------------------------------

struct DateCase {
  const char* value;
  bool valid;
  Lines errors;  // the lines after "Date field, value is [...]"
};

class DateRule : public ::testing::TestWithParam<DateCase> {};

TEST_P(DateRule, JudgesAndLogsEachComponent) {
  const DateCase& c = GetParam();
  Outcome outcome = checkField('D', c.value);
  EXPECT_EQ(outcome.valid, c.valid);
  Lines expected = {std::string("Date field, value is [") + c.value + "]"};
  expected.insert(expected.end(), c.errors.begin(), c.errors.end());
  EXPECT_EQ(outcome.log, withVerdict(expected, c.valid));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DateRule,
    ::testing::Values(
        DateCase{"20000229", true, {}},  // divisible by 400
        DateCase{"20040229", true, {}},  // divisible by 4
        DateCase{"21000229", false, {"Day is invalid [29]"}},  // by 100, not by 400
        DateCase{"20030229", false, {"Day is invalid [29]"}},
        DateCase{"20030228", true, {}},
        DateCase{"19691231", false, {"Year is invalid [1969]"}},
        DateCase{"19700101", true, {}},
        DateCase{"21001231", true, {}},
        DateCase{"21010101", false, {"Year is invalid [2101]"}},
        DateCase{"20010431", false, {"Day is invalid [31]"}},
        DateCase{"20010400", false, {"Day is invalid [0]"}},
        // A blank date: every component reads as 0.
        DateCase{"        ", false,
                 {"Year is invalid [0]", "Month is invalid [0]", "Day is invalid [0]"}},
        // Without a month the day is held against the longest month.
        DateCase{"20011331", false, {"Month is invalid [13]"}},
        DateCase{"20011332", false, {"Month is invalid [13]", "Day is invalid [32]"}},
        // The leap rule takes the year as parsed, even an invalid one; 400s
        // count only after 1500.
        DateCase{"16000229", false, {"Year is invalid [1600]"}},
        DateCase{"12000229", false, {"Year is invalid [1200]", "Day is invalid [29]"}},
        // Components read like strtol: white space, one sign, digits.
        DateCase{"2000+1+1", true, {}},
        DateCase{" 9991231", false, {"Year is invalid [999]"}},
        DateCase{"-0011231", false, {"Year is invalid [-1]"}},
        DateCase{"2001-1 5", false, {"Month is invalid [-1]"}},
        DateCase{"20x10101", false, {"Year is invalid [20]"}},
        DateCase{"2001 101", true, {}}));

TEST(DateRule, LengthIsTheOnlyFaultOfALongFieldWithAValidDate) {
  Outcome outcome = checkField('D', "20000229  ");
  EXPECT_FALSE(outcome.valid);
  EXPECT_EQ(outcome.log, (Lines{"Date field, value is [20000229  ]",
                                "The field length is not 8 chars", kRecordInvalid}));
}

TEST(DateRule, ShortFieldReadsItsComponentsOnlyFromItsOwnText) {
  // Four characters: the year is there, month and day find nothing.
  Outcome outcome = checkField('D', "1999");
  EXPECT_FALSE(outcome.valid);
  EXPECT_EQ(outcome.log,
            (Lines{"Date field, value is [1999]", "The field length is not 8 chars",
                   "Month is invalid [0]", "Day is invalid [0]", kRecordInvalid}));
  // Six: the month is cut to what is there.
  outcome = checkField('D', "200112");
  EXPECT_EQ(outcome.log,
            (Lines{"Date field, value is [200112]", "The field length is not 8 chars",
                   "Day is invalid [0]", kRecordInvalid}));
}

TEST(DateRule, NulEndsTheText) {
  Outcome outcome = checkField('D', std::string("2000\0\0\0\0", 8));
  EXPECT_FALSE(outcome.valid);
  EXPECT_EQ(outcome.log,
            (Lines{"Date field, value is [2000]", "The field length is not 8 chars",
                   "Month is invalid [0]", "Day is invalid [0]", kRecordInvalid}));
}

// --- numbers --------------------------------------------------------------

TEST(NumericRule, OnlyTheSetOfCharactersMatters) {
  for (const std::string value : {"1-2..3", "   42.50", "        ", "-", "0123456789"}) {
    Outcome outcome = checkField('N', value);
    EXPECT_TRUE(outcome.valid) << value;
    EXPECT_EQ(outcome.log, Lines{"Numeric field, value is [" + value + "]"}) << value;
  }
}

TEST(NumericRule, NulsAreAnEmptyValidText) {
  Outcome outcome = checkField('N', std::string(5, '\0'));
  EXPECT_TRUE(outcome.valid);
  EXPECT_EQ(outcome.log, Lines{"Numeric field, value is []"});
}

// Read in place, eight characters at a time, a field's last characters are
// read with a word of the record that holds them: the one ending where the
// field ends, or the record's first. Its other bytes are no part of the
// field, whatever they hold: bad characters after the field, zero bytes
// before it (a zero byte there must not end the field's text). Every
// length up to two words and a piece, at the record's start, end and
// inside it, in records shorter than a word too, a bad character and a
// zero byte at every place: the verdict is that of the first bad character
// standing before the first zero byte, through the fields and through a
// plan alike.
TEST(NumericRule, UnloggedVerdictAtEveryPlaceAndLength) {
  struct Surroundings {
    size_t before, after;  // bytes of the record around the field
    char filler;
  };
  const Surroundings cases[] = {
      {1, 0, ' '},  {1, 3, '+'}, {1, 3, '\0'}, {3, 0, '\0'},
      {6, 1, '+'},  {6, 9, '+'}, {9, 0, '\0'}, {9, 2, '\0'},
  };
  for (const Surroundings& around : cases) {
    for (size_t length = 1; length <= 19; ++length) {
      const std::vector<FieldPlace> places = {
          {'N', static_cast<uint32_t>(around.before), static_cast<uint32_t>(length), false}};
      const size_t recordLength = around.before + length + around.after;
      const RecordCheckPlan plan(places, recordLength);
      for (size_t bad = 0; bad <= length; ++bad) {
        for (size_t end = 0; end <= length; ++end) {
          std::vector<uint8_t> record(recordLength, static_cast<uint8_t>(around.filler));
          std::fill_n(record.begin() + around.before, length, '7');
          if (bad < length) record[around.before + bad] = '+';
          if (end < length) record[around.before + end] = '\0';
          const bool expected = bad == length || end <= bad;
          SCOPED_TRACE(::testing::Message() << "before " << around.before << ", after "
                                            << around.after << " of " << int(around.filler)
                                            << ", length " << length << ", bad at " << bad
                                            << ", end at " << end);
          EXPECT_EQ(checkRecord(record.data(), record.size(), places, false, 0), expected);
          EXPECT_EQ(checkRecord(record.data(), plan, false, 0), expected);
        }
      }
    }
  }
}

TEST(NumericRule, EachBadCharacterWritesThreeErrorLines) {
  struct Case {
    std::string value;
    Lines errors;
  };
  const Case cases[] = {
      {"+5", {"Data is invalid [+5]", "Symbol at this position is invalid [0]", "Symbol value [43]"}},
      {"1,5", {"Data is invalid [1,5]", "Symbol at this position is invalid [1]", "Symbol value [44]"}},
      {"****", {}},
      {"1e\xE9", {"Data is invalid [1e\xE9]", "Symbol at this position is invalid [1]",
                  "Symbol value [101]", "Data is invalid [1e\xE9]",
                  "Symbol at this position is invalid [2]", "Symbol value [-23]"}},
  };
  for (const Case& c : cases) {
    Outcome outcome = checkField('N', c.value);
    EXPECT_FALSE(outcome.valid) << c.value;
    if (c.errors.empty()) continue;
    Lines expected = {"Numeric field, value is [" + c.value + "]"};
    expected.insert(expected.end(), c.errors.begin(), c.errors.end());
    EXPECT_EQ(outcome.log, withVerdict(expected, false)) << c.value;
  }
}

TEST(NumericRule, ThreeBadCharactersGiveNineErrorLines) {
  Outcome outcome = checkField('N', "a1b2c");
  EXPECT_FALSE(outcome.valid);
  ASSERT_EQ(outcome.log.size(), 1u + 9u + 1u);
  EXPECT_EQ(outcome.log[4], "Data is invalid [a1b2c]");
  EXPECT_EQ(outcome.log[5], "Symbol at this position is invalid [2]");
  EXPECT_EQ(outcome.log[9], "Symbol value [99]");
}

// --- logical, integer, character, other ------------------------------------

TEST(LogicalRule, AcceptsTheNineValuesOnly) {
  for (char value : std::string("YyNnTtFf ")) {
    Outcome outcome = checkField('L', std::string(1, value));
    EXPECT_TRUE(outcome.valid) << value;
    EXPECT_TRUE(outcome.log.empty()) << value;
  }
  for (char value : std::string("?0123xX\x01")) {
    EXPECT_FALSE(checkField('L', std::string(1, value)).valid) << int(value);
  }
  // A NUL is no value either, though the text ends there.
  EXPECT_FALSE(checkField('L', std::string(1, '\0')).valid);
}

TEST(LogicalRule, LogsFieldNumberAndUnsignedByte) {
  LogCapture capture;
  std::string record = " x?\xFF";
  std::vector<FieldPlace> fields = {{'C', 1, 1, false}, {'L', 2, 1, false}, {'L', 3, 1, false}};
  EXPECT_FALSE(checkRecord(reinterpret_cast<uint8_t*>(record.data()), record.size(), fields,
                           false, 0));
  EXPECT_EQ(capture.messages(),
            (Lines{"Character field, value is [x]", "Boolean field invalid, field number: [1]",
                   "Invalid field value is: [63]", "Boolean field invalid, field number: [2]",
                   "Invalid field value is: [255]", kRecordInvalid}));
}

TEST(IntegerRule, LogsTheFirstByteSignedAndNeverFails) {
  Outcome outcome = checkField('I', "\xFF\x00\x00\x00");
  EXPECT_TRUE(outcome.valid);
  EXPECT_EQ(outcome.log, Lines{"Integer field, value is [-1]"});
  EXPECT_EQ(checkField('I', "\x7F\x01").log, Lines{"Integer field, value is [127]"});
}

TEST(CharacterRule, LogsTheTextUpToItsFirstNul) {
  Outcome outcome = checkField('C', std::string("ab\0cd", 5));
  EXPECT_TRUE(outcome.valid);
  EXPECT_EQ(outcome.log, Lines{"Character field, value is [ab]"});
}

TEST(OtherTypes, HaveNoRuleAndNoLogLine) {
  // Type letters match exactly: lowercase letters are other types.
  for (char type : std::string("FdnlmcYT0B")) {
    Outcome outcome = checkField(type, "garbage!");
    EXPECT_TRUE(outcome.valid) << type;
    EXPECT_TRUE(outcome.log.empty()) << type;
  }
}

// --- memo -----------------------------------------------------------------

TEST(MemoRule, BlockNumberIsBoundedOnlyWithACompanion) {
  struct Case {
    std::string value;
    bool memoPresent;
    uint32_t memoSize;
    bool valid;
  };
  const std::string fourSpaces = "    ";  // 0x20202020 = 538,976,288
  const Case cases[] = {
      {fourSpaces, false, 0, true},
      {fourSpaces, true, 131587, true},  // bound 538,980,352
      {fourSpaces, true, 131586, false},  // bound 538,976,256
      {"         5", true, 131586, false},  // a dBase III text number: same first bytes
      {std::string("\0\0\0\0", 4), true, 0, true},
      {std::string("\x01\0\0\0", 4), true, 0, false},  // an empty companion bounds at 0
      {std::string("\0\x10\0\0", 4), true, 1, true},  // 4096 = 4096 x 1
      {std::string("\x01\x10\0\0", 4), true, 1, false},
      // A companion of 1 MiB or more: the bound no longer fits in 32 bits.
      {"\xF0\xFF\xFF\xFF", true, 2u << 20, true},
      {"\xF0\xFF\xFF\xFF", true, 1u << 20, true},
      {"\xF0\xFF\xFF\xFF", true, (1u << 20) - 1, false},
  };
  for (const Case& c : cases) {
    Outcome outcome = checkField('M', c.value, c.memoPresent, c.memoSize);
    EXPECT_EQ(outcome.valid, c.valid) << c.value << " size " << c.memoSize;
  }
}

TEST(MemoRule, ErrorLineThenValueLine) {
  Outcome outcome = checkField('M', "    ", true, 0);
  EXPECT_EQ(outcome.log, (Lines{"Memo page number is too big [538976288]",
                                "Memo field, value is [    ]", kRecordInvalid}));
  outcome = checkField('M', "1234", false, 0);
  EXPECT_EQ(outcome.log, Lines{"Memo field, value is [1234]"});
}

TEST(MemoRule, ShortFieldCountsMissingBytesAsZero) {
  // Two bytes hold block 1; the bytes after the field must not join in.
  LogCapture capture;
  std::string record(" \x01\x00XX", 5);
  std::vector<FieldPlace> fields = {{'M', 1, 2, false}};
  EXPECT_TRUE(checkRecord(reinterpret_cast<uint8_t*>(record.data()), record.size(), fields,
                          true, 1));
  fields[0].length = 0;
  EXPECT_TRUE(checkRecord(reinterpret_cast<uint8_t*>(record.data()), record.size(), fields,
                          true, 0));
}

TEST(MemoRule, MemoAsCharacterIsBlankedAndNotLogged) {
  LogCapture capture;
  std::string record = " 0000000123rest";
  std::vector<FieldPlace> fields = {{'C', 1, 10, true}};
  EXPECT_TRUE(checkRecord(reinterpret_cast<uint8_t*>(record.data()), record.size(), fields,
                          true, 0));
  EXPECT_EQ(record, std::string(11, ' ') + "rest");
  EXPECT_TRUE(capture.messages().empty());
}

// --- the record as a whole --------------------------------------------------

TEST(RecordCheck, EveryFieldIsExaminedAfterAFailure) {
  LogCapture capture;
  std::string record = " 1,5abcd19690101T";
  std::vector<FieldPlace> fields = {
      {'N', 1, 3, false}, {'C', 4, 4, false}, {'D', 8, 8, false}, {'L', 16, 1, false}};
  EXPECT_FALSE(checkRecord(reinterpret_cast<uint8_t*>(record.data()), record.size(), fields,
                           false, 0));
  EXPECT_EQ(capture.messages(),
            (Lines{"Numeric field, value is [1,5]", "Data is invalid [1,5]",
                   "Symbol at this position is invalid [1]", "Symbol value [44]",
                   "Character field, value is [abcd]", "Date field, value is [19690101]",
                   "Year is invalid [1969]", kRecordInvalid}));
}

TEST(RecordCheck, NoFieldsIsValid) {
  LogCapture capture;
  uint8_t record[1] = {' '};
  EXPECT_TRUE(checkRecord(record, 1, {}, false, 0));
  EXPECT_TRUE(capture.messages().empty());
}

TEST(RecordCheck, FieldsReachingPastTheRecordReadZerosThere) {
  // The buffer holds bytes past the record that a careless read would see.
  LogCapture capture;
  std::string buffer = " 12XXXXXXXXXX";
  const size_t recordLength = 3;
  std::vector<FieldPlace> fields = {
      {'N', 1, 10, false},           // two bytes inside, eight outside
      {'N', 3, 5, false},            // starts right at the end
      {'D', 0xFFFFFFF0u, 8, false},  // a wild displacement
  };
  EXPECT_FALSE(checkRecord(reinterpret_cast<uint8_t*>(buffer.data()), recordLength, fields,
                           false, 0));
  EXPECT_EQ(capture.messages(),
            (Lines{"Numeric field, value is [12]", "Numeric field, value is []",
                   "Date field, value is []", "The field length is not 8 chars",
                   "Year is invalid [0]", "Month is invalid [0]", "Day is invalid [0]",
                   kRecordInvalid}));
  // An empty record may come without a buffer at all.
  for (bool logged : {false, true}) {
    logged ? capture.logger().Enable() : capture.logger().Disable();
    EXPECT_FALSE(checkRecord(nullptr, 0, fields, false, 0));
  }
}

TEST(RecordCheck, BlankingStaysInsideTheRecord) {
  std::string buffer = " abcdXXXX";
  const size_t recordLength = 5;
  std::vector<FieldPlace> fields = {{'C', 2, 200, true}, {'C', 0xFFFFFFFFu, 10, true}};
  EXPECT_TRUE(checkRecord(reinterpret_cast<uint8_t*>(buffer.data()), recordLength, fields,
                          false, 0));
  EXPECT_EQ(buffer, " a   XXXX");
}

// --- placing the fields -----------------------------------------------------

DbfFieldDescriptor descriptor(char type, uint8_t length, uint32_t displacement) {
  DbfFieldDescriptor d;
  d.setType(type);
  d.setLength(length);
  d.setDisplacement(displacement);
  return d;
}

TEST(PlaceFields, AllZeroDisplacementsAreLaidOutFromByteOne) {
  std::vector<DbfFieldDescriptor> fields = {descriptor('C', 10, 0), descriptor('D', 8, 0),
                                            descriptor('N', 5, 0)};
  EXPECT_TRUE(displacementsAllZero(fields));
  std::vector<FieldPlace> places = placeFields(fields, nullptr);
  ASSERT_EQ(places.size(), 3u);
  EXPECT_EQ(places[0].displacement, 1u);
  EXPECT_EQ(places[1].displacement, 11u);
  EXPECT_EQ(places[2].displacement, 19u);
  EXPECT_EQ(places[1].type, 'D');
  EXPECT_EQ(places[2].length, 5u);
}

TEST(PlaceFields, OneNonzeroDisplacementMeansAllAreTakenAsWritten) {
  std::vector<DbfFieldDescriptor> fields = {descriptor('C', 10, 0), descriptor('C', 7, 10)};
  EXPECT_FALSE(displacementsAllZero(fields));
  std::vector<FieldPlace> places = placeFields(fields, nullptr);
  EXPECT_EQ(places[0].displacement, 0u);  // starts at the deletion flag
  EXPECT_EQ(places[1].displacement, 10u);
}

TEST(PlaceFields, NoFieldsAreNotAllZero) {
  EXPECT_FALSE(displacementsAllZero({}));
  EXPECT_TRUE(placeFields({}, nullptr).empty());
}

TEST(PlaceFields, CarriesTheMemoAsCharacterFlags) {
  std::vector<DbfFieldDescriptor> fields = {descriptor('C', 4, 1), descriptor('C', 10, 5)};
  std::vector<bool> flags = {false, true};
  std::vector<FieldPlace> places = placeFields(fields, &flags);
  EXPECT_FALSE(places[0].memoAsCharacter);
  EXPECT_TRUE(places[1].memoAsCharacter);
}

}  // namespace
}  // namespace kest

namespace kest {
namespace {

// What a sound table holds that the classic rules refuse: accepted in the
// relaxed mode only, which still refuses what damage leaves.
TEST(RelaxedValues, AcceptWhatSoundTablesHoldAndNothingMore) {
  struct Case {
    char type;
    std::string value;
    bool classic, relaxed;
  } cases[] = {
      {'D', "        ", false, true},
      {'D', std::string(8, '\0'), false, true},
      {'D', "16761108", false, true},
      {'D', "19551015", false, true},
      {'D', "19551315", false, false},
      {'D', "1955 0x1", false, false},
      {'L', "?", false, true},
      {'L', std::string(1, '\0'), false, true},
      {'L', "x", false, false},
      {'M', "         7", false, true},
      {'M', "          ", false, true},
      {'M', "   12a    ", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(1, c.type) + " [" + c.value + "]");
    for (bool relaxed : {false, true}) {
      std::string record = " " + c.value;
      FieldPlace place;
      place.type = c.type;
      place.displacement = 1;
      place.length = static_cast<uint32_t>(c.value.size());
      RecordCheckMode mode;
      mode.relaxedValues = relaxed;
      // A memo companion of 64 bytes: a text block number read as binary
      // is far beyond it.
      std::string planned = record;
      EXPECT_EQ(checkRecord(reinterpret_cast<uint8_t*>(record.data()), record.size(), {place},
                            true, 64, mode),
                relaxed ? c.relaxed : c.classic);
      EXPECT_EQ(checkRecord(reinterpret_cast<uint8_t*>(planned.data()),
                            RecordCheckPlan({place}, planned.size()), true, 64, mode),
                relaxed ? c.relaxed : c.classic);
    }
  }
}

TEST(QuietCheck, JudgesAsTheLoggedOneWithoutALine) {
  testing::LogCapture capture;
  std::string record = " 19551315x";
  std::vector<FieldPlace> places = {{'D', 1, 8, false}, {'L', 9, 1, false}};
  RecordCheckMode quiet;
  quiet.quiet = true;
  EXPECT_FALSE(checkRecord(reinterpret_cast<uint8_t*>(record.data()), record.size(), places,
                           false, 0, quiet));
  EXPECT_TRUE(capture.messages().empty());
  EXPECT_FALSE(checkRecord(reinterpret_cast<uint8_t*>(record.data()), record.size(), places,
                           false, 0));
  EXPECT_FALSE(capture.messages().empty());
}

// A check with a log reads copies of the field texts, one without reads
// the record in place, field by field or through a plan made for the
// record's length: all must judge every record alike, in every mode, and
// blank the same bytes. Records of bytes a damaged table holds (digits,
// spaces, zero bytes, letters, signs, the neighbours of the numeric
// characters and bytes with the high bit set) over fields of every type and
// of lengths that end at the record's end or reach past it: numeric fields
// of every length of a last piece of a word, side by side or apart, fields
// of no length, blanked fields over judged ones before and after them.
TEST(UnloggedCheck, JudgesAsTheLoggedOne) {
  const std::vector<FieldPlace> layouts[] = {
      {{'D', 1, 8, false}, {'N', 9, 5, false}, {'L', 14, 1, false}, {'M', 15, 10, false}},
      {{'D', 1, 6, false}, {'D', 7, 10, false}, {'M', 17, 4, false}, {'M', 21, 2, false}},
      {{'C', 1, 3, true}, {'I', 4, 4, false}, {'N', 8, 20, false}, {'L', 20, 0, false}},
      {{'N', 1, 8, false}, {'N', 9, 17, false}, {'D', 26, 8, false}, {'N', 34, 9, false}},
      {{'N', 1, 300, false}, {'D', 5, 8, false}, {'C', 2, 30, false}, {'X', 3, 4, false}},
      {{'N', 1, 1, false}, {'N', 2, 2, false}, {'N', 4, 3, false}, {'N', 7, 4, false},
       {'N', 11, 5, false}, {'N', 16, 6, false}, {'N', 22, 7, false}, {'N', 29, 12, false}},
      {{'N', 3, 2, false}, {'L', 1, 1, false}, {'N', 12, 9, false}, {'D', 30, 8, false},
       {'N', 25, 3, false}},
      {{'N', 1, 0, false}, {'D', 5, 0, false}, {'M', 2, 0, false}, {'L', 9, 0, false},
       {'N', 4, 6, false}},
      {{'C', 4, 4, true}, {'N', 1, 12, false}, {'D', 9, 8, false}, {'C', 14, 3, true}},
      {{'N', 2, 7, false}, {'C', 1, 30, false}, {'C', 20, 8, true}, {'N', 24, 10, false}},
  };
  const char alphabet[] = "0123456789 -.\0?TFyx+,\t19\xB0\xAD\xA0\x80/:!\x1F";
  uint32_t seed = 7;
  auto next = [&seed] { return seed = seed * 1103515245u + 12345u, seed >> 16; };
  LogCapture capture;
  for (const std::vector<FieldPlace>& places : layouts) {
    for (int round = 0; round < 400; ++round) {
      std::string record(1 + next() % 40, ' ');
      // Every other record holds only what sound numbers and dates hold.
      const size_t letters = round % 2 == 0 ? sizeof alphabet - 1 : 14;
      for (char& c : record) c = alphabet[next() % letters];
      const RecordCheckPlan plan(places, record.size());
      for (bool relaxed : {false, true}) {
        RecordCheckMode mode;
        mode.relaxedValues = relaxed;
        const bool memoPresent = next() % 2 == 0;
        std::string unlogged = record, logged = record, quiet = record, planned = record;
        capture.logger().Disable();
        bool plain = checkRecord(reinterpret_cast<uint8_t*>(unlogged.data()), unlogged.size(),
                                 places, memoPresent, 8, mode);
        bool byPlan =
            checkRecord(reinterpret_cast<uint8_t*>(planned.data()), plan, memoPresent, 8, mode);
        capture.logger().Enable();
        bool withLog = checkRecord(reinterpret_cast<uint8_t*>(logged.data()), logged.size(),
                                   places, memoPresent, 8, mode);
        mode.quiet = true;
        bool quietly = checkRecord(reinterpret_cast<uint8_t*>(quiet.data()), quiet.size(), places,
                                   memoPresent, 8, mode);
        SCOPED_TRACE(::testing::PrintToString(record) + (relaxed ? " relaxed" : " classic"));
        EXPECT_EQ(plain, withLog);
        EXPECT_EQ(quietly, withLog);
        EXPECT_EQ(byPlan, withLog);
        EXPECT_EQ(unlogged, logged);
        EXPECT_EQ(quiet, logged);
        EXPECT_EQ(planned, logged);
      }
    }
  }
}

// A plan judges with its own copy of the fields and length: the fields it
// was made from may go, and a check with a log writes the lines the fields
// would have given, blanking included.
TEST(RecordCheckPlan, LogsAsTheFieldsDo) {
  LogCapture capture;
  const std::string record = " 12a4\0x2001023119991301?q  77";
  auto places = std::make_unique<std::vector<FieldPlace>>(std::vector<FieldPlace>{
      {'N', 1, 6, false}, {'D', 7, 8, false}, {'D', 15, 8, false}, {'L', 23, 1, false},
      {'C', 24, 3, true}, {'N', 27, 4, false}, {'I', 1, 2, false}, {'C', 7, 4, false}});
  std::string byFields = record;
  EXPECT_FALSE(checkRecord(reinterpret_cast<uint8_t*>(byFields.data()), byFields.size(),
                           *places, false, 0));
  const Lines lines = capture.messages();
  ASSERT_FALSE(lines.empty());
  const RecordCheckPlan plan(*places, record.size());
  places.reset();
  std::string byPlan = record;
  EXPECT_FALSE(checkRecord(reinterpret_cast<uint8_t*>(byPlan.data()), plan, false, 0));
  Lines twice = lines;
  twice.insert(twice.end(), lines.begin(), lines.end());
  EXPECT_EQ(capture.messages(), twice);
  EXPECT_EQ(byPlan, byFields);
}

// A blanked field that lies over a judged one is blanked where the list
// puts it: a field judged after it reads the spaces, one judged before it
// the bytes as they were.
TEST(RecordCheckPlan, BlanksWhereTheListPutsTheField) {
  struct Case {
    std::vector<FieldPlace> places;
    bool valid;
  };
  const Case cases[] = {
      {{{'C', 1, 2, true}, {'N', 1, 10, false}}, true},
      {{{'N', 1, 10, false}, {'C', 1, 2, true}}, false},
      {{{'N', 3, 8, false}, {'C', 1, 2, true}, {'D', 1, 8, false}}, false},
      {{{'C', 1, 2, true}, {'N', 3, 8, false}}, true},
  };
  for (const Case& c : cases) {
    for (bool logged : {false, true}) {
      LogCapture capture;
      logged ? capture.logger().Enable() : capture.logger().Disable();
      std::string byFields = " ab12345678";
      std::string byPlan = byFields;
      EXPECT_EQ(checkRecord(reinterpret_cast<uint8_t*>(byFields.data()), byFields.size(),
                            c.places, false, 0),
                c.valid);
      EXPECT_EQ(checkRecord(reinterpret_cast<uint8_t*>(byPlan.data()),
                            RecordCheckPlan(c.places, byPlan.size()), false, 0),
                c.valid);
      EXPECT_EQ(byFields, "   12345678");
      EXPECT_EQ(byPlan, byFields);
      EXPECT_TRUE(RecordCheckPlan(c.places, byPlan.size()).blanks());
    }
  }
  // Only a character field that stands for a memo field is blanked.
  EXPECT_FALSE(RecordCheckPlan({{'C', 1, 2, false}, {'N', 3, 8, true}}, 11).blanks());
}

}  // namespace
}  // namespace kest
