#include "dbf/record_check.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstring>
#include <map>

#include "Common/logger/logger.h"

namespace kest {

namespace {

constexpr uint32_t kDateTextLength = 8;
constexpr uint32_t kFirstYear = 1970;
constexpr uint32_t kLastYear = 2100;
constexpr uint64_t kMemoBlockFactor = 4096;
constexpr uint8_t kDaysInMonth[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
// With no valid month there is no month length; the day is held against the
// longest month, so a day of 0 or above 31 is still reported.
constexpr uint32_t kLongestMonth = 31;

// One byte-indexed table per character class, built at compile time, so
// the per-character tests of the hot loop are a single load.
using CharTable = std::array<bool, 256>;

constexpr CharTable makeTable(const char* members) {
  CharTable table{};
  for (const char* c = members; *c != '\0'; ++c) table[static_cast<uint8_t>(*c)] = true;
  return table;
}

// No plus sign and no comma: a value written by the table's own program
// never holds one, so either points at damage.
constexpr CharTable kNumericChars = makeTable(" -.01234567890");
constexpr CharTable kLogicalValues = makeTable("YyNnTtFf ");
// A logical a program has not set yet; a zero byte reads as end of text.
constexpr CharTable kRelaxedLogicalValues = makeTable("YyNnTtFf ?");
// The calendar a relaxed date may come from: birth dates and the like reach
// far back.
constexpr uint32_t kRelaxedFirstYear = 1;
constexpr uint32_t kRelaxedLastYear = 9999;

// A field's bytes as the rules read them: the part of the field that lies
// inside the record, at most kMaxFieldLength bytes; past them the field
// reads as zero bytes. Its text ends at the first zero byte.
struct FieldBytes {
  const char* chars;
  size_t count;

  char at(size_t k) const { return k < count ? chars[k] : '\0'; }
  // The text's length, counted no further than `limit`.
  size_t textLength(size_t limit) const {
    const size_t reach = count < limit ? count : limit;
    if (reach == 0) return 0;
    const void* nul = std::memchr(chars, '\0', reach);
    return nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - chars) : reach;
  }
};

// The log of the check. A check whose lines go nowhere is made without it
// (kLogged false): not one text is composed and no log is asked. A logged
// check hands the rules the field's text as a NUL-ended copy for its lines.
template <bool kLogged>
struct CheckLog {
  const char* text = nullptr;
  void Info(const char* m) const { if constexpr (kLogged) Log().Info(m); }
  void InfoText(const char* m) const { if constexpr (kLogged) Log().InfoString(m, text); }
  void InfoNumber(const char* m, int32_t n) const { if constexpr (kLogged) Log().InfoNumber(m, n); }
  void Error(const char* m) const { if constexpr (kLogged) Log().Error(m); }
  void ErrorText(const char* m) const { if constexpr (kLogged) Log().ErrorString(m, text); }
  void ErrorNumber(const char* m, int32_t n) const { if constexpr (kLogged) Log().ErrorNumber(m, n); }
};

// Spaces or zero bytes only: a date the program left empty.
bool isBlankDate(const FieldBytes& field) {
  for (size_t k = 0; k < kDateTextLength && field.at(k) != '\0'; ++k) {
    if (field.at(k) != ' ') return false;
  }
  return true;
}

bool isLeapYear(uint32_t year) {
  return (year % 4 == 0 && year % 100 != 0) || (year % 400 == 0 && year > 1500);
}

constexpr CharTable kParseSpaces = makeTable(" \t\n\v\f\r");

// A date component read as a signed decimal number the way the C library
// reads one: leading white space, one optional sign, digits up to the first
// non-digit, 0 without digits. Only the component's `width` characters are
// looked at, and the text's end ends it early: a text shorter than eight
// characters gives its later components fewer characters, or none.
int32_t parseComponent(const char* text, size_t textLength, size_t start, size_t width) {
  if (start >= textLength) return 0;
  const char* p = text + start;
  const char* end = text + (textLength - start < width ? textLength : start + width);
  while (p < end && kParseSpaces[static_cast<uint8_t>(*p)]) ++p;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    ++p;
  }
  int32_t value = 0;
  for (; p < end && *p >= '0' && *p <= '9'; ++p) value = value * 10 + (*p - '0');
  return negative ? -value : value;
}

// Eight characters tested at once, as the bytes of one 64-bit word, the
// first character in the lowest byte. Each test leaves bit 7 of a byte set
// where the byte passes and every other bit clear.
constexpr uint64_t kEveryByte = 0x0101010101010101ull;
constexpr uint64_t kHighBits = 0x8080808080808080ull;
constexpr uint64_t kLowBits = 0x7F7F7F7F7F7F7F7Full;

inline uint64_t loadWord(const char* text) {
  uint64_t word;
  std::memcpy(&word, text, sizeof word);
  if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
  return word;
}

// No carry crosses a byte: each byte's low seven bits plus at most 0x7F
// stay below 0x100.
uint64_t digitBytes(uint64_t word) {
  const uint64_t low = word & kLowBits;
  const uint64_t atLeast0 = low + (0x80 - '0') * kEveryByte;
  const uint64_t beyond9 = low + (0x80 - '9' - 1) * kEveryByte;
  return atLeast0 & ~beyond9 & ~word & kHighBits;
}

inline uint64_t zeroBytes(uint64_t word) {
  return ~(((word & kLowBits) + kLowBits) | word) & kHighBits;
}

// The bytes that are not characters of kNumericChars, a zero byte among
// them: kNumericChars is the space and '-' to '9' but '/'. The tests read
// a byte's low seven bits; a byte with its high bit set is none of them.
// Only each byte's high bit is the answer; a mask of high bits takes it.
inline uint64_t nonNumericHighBits(uint64_t word) {
  const uint64_t low = word & kLowBits;
  const uint64_t fromMinus = low + (0x80 - '-') * kEveryByte;
  const uint64_t beyond9 = low + (0x80 - '9' - 1) * kEveryByte;
  const uint64_t notSlash = (low ^ ('/' * kEveryByte)) + kLowBits;
  const uint64_t notSpace = (low ^ (' ' * kEveryByte)) + kLowBits;
  const uint64_t numeric = (fromMinus & ~beyond9 & notSlash) | ~notSpace;
  return ~numeric | word;
}

inline uint64_t nonNumericBytes(uint64_t word) { return nonNumericHighBits(word) & kHighBits; }

// Eight digits and nothing after them: how nearly every date is stored.
inline bool isDigitDate(const FieldBytes& field) {
  if (field.count < kDateTextLength) return false;
  if (field.count > kDateTextLength && field.chars[kDateTextLength] != '\0') return false;
  return digitBytes(loadWord(field.chars)) == kHighBits;
}

struct DateParts {
  int32_t year, month, day;
};

// Each pair of digits becomes one number in its first byte: ten times the
// first digit and the second, below 100, so no byte carries.
inline DateParts digitDateParts(const char* chars) {
  const uint64_t digits = loadWord(chars) - '0' * kEveryByte;
  const uint64_t pairs = (digits * 10 + (digits >> 8)) & 0x00FF00FF00FF00FFull;
  return {static_cast<int32_t>((pairs & 0xFF) * 100 + ((pairs >> 16) & 0xFF)),
          static_cast<int32_t>((pairs >> 32) & 0xFF), static_cast<int32_t>((pairs >> 48) & 0xFF)};
}

template <bool kLogged>
bool checkDate(const FieldBytes& field, const CheckLog<kLogged>& log,
               const RecordCheckMode& mode) {
  log.InfoText("Date field, value is");
  if (mode.relaxedValues && isBlankDate(field)) return true;
  const uint32_t firstYear = mode.relaxedValues ? kRelaxedFirstYear : kFirstYear;
  const uint32_t lastYear = mode.relaxedValues ? kRelaxedLastYear : kLastYear;
  bool valid = true;
  int32_t year = 0, month = 0, day = 0;
  if (isDigitDate(field)) {
    const DateParts date = digitDateParts(field.chars);
    year = date.year;
    month = date.month;
    day = date.day;
  } else {
    // Whether the text is longer than a date is all that counts of its
    // length: the components lie in its first eight characters.
    const size_t textLength = field.textLength(kDateTextLength + 1);
    if (textLength != kDateTextLength) {
      valid = false;
      log.Error("The field length is not 8 chars");
    }
    year = parseComponent(field.chars, textLength, 0, 4);
    month = parseComponent(field.chars, textLength, 4, 2);
    day = parseComponent(field.chars, textLength, 6, 2);
  }
  // The components are compared as unsigned numbers, so a negative one is
  // out of range; they are logged as read.
  if (static_cast<uint32_t>(year) < firstYear || static_cast<uint32_t>(year) > lastYear) {
    valid = false;
    log.ErrorNumber("Year is invalid", year);
  }
  bool monthValid = static_cast<uint32_t>(month) >= 1 && static_cast<uint32_t>(month) <= 12;
  if (!monthValid) {
    valid = false;
    log.ErrorNumber("Month is invalid", month);
  }
  uint32_t daysInMonth = kLongestMonth;
  if (monthValid) {
    daysInMonth = kDaysInMonth[month - 1];
    if (month == 2 && isLeapYear(static_cast<uint32_t>(year))) daysInMonth = 29;
  }
  if (day == 0 || static_cast<uint32_t>(day) > daysInMonth) {
    valid = false;
    log.ErrorNumber("Day is invalid", day);
  }
  return valid;
}

template <bool kLogged>
bool checkLogical(const FieldBytes& field, size_t fieldNumber, const CheckLog<kLogged>& log,
                  const RecordCheckMode& mode) {
  uint8_t value = static_cast<uint8_t>(field.at(0));
  if (kLogicalValues[value]) return true;
  if (mode.relaxedValues && (value == 0 || kRelaxedLogicalValues[value])) return true;
  log.InfoNumber("Boolean field invalid, field number:", static_cast<int32_t>(fieldNumber));
  log.InfoNumber("Invalid field value is:", value);
  return false;
}

// Blank, or digits after leading spaces: how dBase and FoxPro 2 keep a
// block number in a memo field of ten characters.
bool isTextBlockNumber(const FieldBytes& field) {
  size_t k = 0;
  while (field.at(k) == ' ') ++k;
  while (field.at(k) >= '0' && field.at(k) <= '9') ++k;
  return field.at(k) == '\0';
}

// The block number is the field's first four bytes as stored, not its
// text: a binary number holds zero bytes. A field shorter than four bytes
// contributes the bytes it has; the missing ones count as zero.
template <bool kLogged>
bool checkMemo(const FieldBytes& field, uint32_t length, bool memoPresent, uint32_t memoSize,
               const CheckLog<kLogged>& log, const RecordCheckMode& mode) {
  bool valid = true;
  if (mode.relaxedValues && length != 4 && isTextBlockNumber(field)) {
    // Read as binary, the digits are a number no memo file reaches.
  } else if (memoPresent) {
    const uint8_t number[4] = {static_cast<uint8_t>(field.at(0)), static_cast<uint8_t>(field.at(1)),
                               static_cast<uint8_t>(field.at(2)), static_cast<uint8_t>(field.at(3))};
    uint32_t block = le::Get32(number);
    // 4096 x memoSize outgrows 32 bits for a companion of 1 MiB or more.
    if (block > kMemoBlockFactor * memoSize) {
      valid = false;
      log.ErrorNumber("Memo page number is too big", static_cast<int32_t>(block));
    }
  }
  log.InfoText("Memo field, value is");
  return valid;
}

template <bool kLogged>
bool checkNumeric(const FieldBytes& field, const CheckLog<kLogged>& log) {
  log.InfoText("Numeric field, value is");
  bool valid = true;
  for (size_t k = 0; k < field.count && field.chars[k] != '\0'; ++k) {
    if (kNumericChars[static_cast<uint8_t>(field.chars[k])]) continue;
    valid = false;
    log.ErrorText("Data is invalid");
    log.ErrorNumber("Symbol at this position is invalid", static_cast<int32_t>(k));
    log.ErrorNumber("Symbol value", static_cast<int8_t>(field.chars[k]));
  }
  return valid;
}

// The walk of a check with a log: each field's text is copied out for its
// lines, and every rule writes its own.
bool checkFieldsLogged(uint8_t* record, size_t recordLength, const std::vector<FieldPlace>& fields,
                       bool memoPresent, uint32_t memoSize, const RecordCheckMode& mode) {
  CheckLog<true> log;
  bool valid = true;
  // A field is at most 255 bytes long, and its text ends with a NUL.
  char text[kMaxFieldLength + 1];
  log.text = text;
  // The walk reads the list through its own pointers: blanking writes
  // through `record`, which could otherwise alias the list's.
  const FieldPlace* const first = fields.data();
  const size_t count = fields.size();
  for (size_t j = 0; j < count; ++j) {
    const FieldPlace& field = first[j];
    // Damaged descriptors point anywhere; only the part of a field that
    // lies inside the record is read or written.
    const uint32_t displacement = field.displacement;
    const uint32_t length = field.length;
    auto insideRecord = [&] {
      if (displacement >= recordLength) return size_t{0};
      const size_t rest = recordLength - displacement;
      return rest < length ? rest : size_t{length};
    };

    switch (field.type) {
      case 'C':
        if (field.memoAsCharacter) {
          if (const size_t inside = insideRecord(); inside != 0) {
            std::memset(record + displacement, ' ', inside);
          }
          continue;
        }
        // The value is only wanted by the log.
        if (!Log().IsEnabledFor(kLevelInfo)) continue;
        break;
      case 'D':
      case 'I':
      case 'L':
      case 'M':
      case 'N':
        break;
      default:
        continue;  // no rule for this type, not even a log line
    }

    const size_t inside = insideRecord();
    const size_t textLength = length < kMaxFieldLength ? length : kMaxFieldLength;
    // A field wholly outside the record has no address: its displacement
    // may lie past any buffer, and the record may have none.
    FieldBytes bytes{reinterpret_cast<const char*>(record) + (inside != 0 ? displacement : 0),
                     inside < textLength ? inside : textLength};
    // The text of the lines: the field's bytes, zero past the record's end.
    if (bytes.count != 0) std::memcpy(text, bytes.chars, bytes.count);
    std::memset(text + bytes.count, 0, textLength - bytes.count + 1);
    bytes.chars = text;

    switch (field.type) {
      case 'C':
        log.InfoText("Character field, value is");
        break;
      case 'D':
        valid &= checkDate(bytes, log, mode);
        break;
      case 'I':
        log.InfoNumber("Integer field, value is", static_cast<int8_t>(bytes.at(0)));
        break;
      case 'L':
        valid &= checkLogical(bytes, j, log, mode);
        break;
      case 'M':
        valid &= checkMemo(bytes, length, memoPresent, memoSize, log, mode);
        break;
      case 'N':
        valid &= checkNumeric(bytes, log);
        break;
    }
  }
  if (!valid) log.Info("This record is not valid by one of its field values");
  return valid;
}

// --- the check without a log --------------------------------------------
//
// Only the verdict and the blanking are wanted: the rules read the record's
// own bytes, and only the fields that have a rule, or are blanked, are
// visited at all. Handed the fields, the check works out each field's step
// as it walks them; a plan works the steps out once and gathers them by
// rule.

// What the check does with one field.
enum class Rule : uint8_t { kBlank, kDate, kLogical, kMemo, kNumeric, kShortNumeric };

struct Step {
  Rule rule = Rule::kBlank;
  uint32_t at = 0;      // the field's first byte, 0 when none lies in the record
  uint32_t count = 0;   // its bytes in the record; a judged field reads no
                        // more than kMaxFieldLength of them
  uint32_t length = 0;  // as the field list gives it
  // A numeric field's bytes past its whole words (all of them in a field
  // shorter than a word) are read as the record's word at tailAt, the
  // bytes whose high bit tailMask holds. A record shorter than a word has
  // no such word: there the field is kShortNumeric.
  size_t tailAt = 0;
  uint64_t tailMask = 0;
};

// The step taken for `field` in a record of `recordLength` bytes; false
// when there is none: a character field's value is only wanted by the log,
// an integer is logged and never judged, other types have no rule, and a
// numeric field without a byte in the record has no character to refuse.
inline bool planStep(const FieldPlace& field, size_t recordLength, Step& step) {
  switch (field.type) {
    case 'C':
      if (!field.memoAsCharacter) return false;
      step.rule = Rule::kBlank;
      break;
    case 'D':
      step.rule = Rule::kDate;
      break;
    case 'L':
      step.rule = Rule::kLogical;
      break;
    case 'M':
      step.rule = Rule::kMemo;
      break;
    case 'N':
      step.rule = Rule::kNumeric;
      break;
    default:
      return false;
  }
  // Damaged descriptors point anywhere; only the part of a field that lies
  // inside the record is read or written, and a field wholly outside it has
  // no address: its displacement may lie past any buffer, and the record
  // may have none.
  const uint32_t displacement = field.displacement;
  const uint32_t length = field.length;
  size_t inside = 0;
  if (displacement < recordLength) {
    const size_t rest = recordLength - displacement;
    inside = rest < length ? rest : length;
  }
  step.at = inside != 0 ? displacement : 0;
  step.length = length;
  if (step.rule == Rule::kBlank) {
    step.count = static_cast<uint32_t>(inside);
    return inside != 0;
  }
  step.count = static_cast<uint32_t>(inside < kMaxFieldLength ? inside : kMaxFieldLength);
  if (step.rule != Rule::kNumeric) return true;
  if (step.count == 0) return false;
  // The bytes past the field's whole words are read with the word that
  // ends where the field ends, or with the record's first word when the
  // field ends inside that; either lies inside the record. The word's
  // other bytes are masked off: those before the field's own are outside
  // it or were read with its whole words already.
  const size_t rest = step.count % 8;
  step.tailMask = 0;
  if (rest == 0) return true;
  const size_t end = size_t{step.at} + step.count;
  if (end >= 8) {
    step.tailAt = end - 8;
    step.tailMask = kHighBits << (8 * (8 - rest));
  } else if (recordLength >= 8) {
    step.tailAt = 0;
    step.tailMask = (kHighBits << (8 * step.at)) & (kHighBits >> (8 * (8 - end)));
  } else {
    step.rule = Rule::kShortNumeric;
  }
  return true;
}

inline FieldBytes bytesOf(const uint8_t* record, const Step& step) {
  return {reinterpret_cast<const char*>(record) + step.at, step.count};
}

// The first byte of `word` among `faults` decides the numeric rule: a zero
// byte ends the text before any bad character, any other byte is one.
inline bool firstFaultEndsText(uint64_t word, uint64_t faults) {
  return (zeroBytes(word) & faults & (~faults + 1)) != 0;
}

// The numeric rule without its lines, eight characters at a time.
inline bool numericInPlace(const uint8_t* record, const Step& step) {
  const char* const chars = reinterpret_cast<const char*>(record) + step.at;
  for (uint32_t k = 0; k + 8 <= step.count; k += 8) {
    const uint64_t word = loadWord(chars + k);
    if (const uint64_t faults = nonNumericBytes(word); faults != 0) {
      return firstFaultEndsText(word, faults);
    }
  }
  if (step.tailMask == 0) return true;
  const uint64_t word = loadWord(reinterpret_cast<const char*>(record) + step.tailAt);
  const uint64_t faults = nonNumericHighBits(word) & step.tailMask;
  return faults == 0 || firstFaultEndsText(word, faults);
}

// A record shorter than a word holds only short fields; they are read a
// character at a time.
bool shortNumericInPlace(const FieldBytes& field) {
  for (size_t k = 0; k < field.count; ++k) {
    const uint8_t c = static_cast<uint8_t>(field.chars[k]);
    if (!kNumericChars[c]) return c == 0;
  }
  return true;
}

constexpr CheckLog<false> kNoLog;

// Nearly every date is eight digits of a calendar date, and passes here;
// the date rule judges any other text (29 February among them).
inline bool dateInPlace(const FieldBytes& field, const RecordCheckMode& mode) {
  if (isDigitDate(field)) {
    const DateParts date = digitDateParts(field.chars);
    const uint32_t firstYear = mode.relaxedValues ? kRelaxedFirstYear : kFirstYear;
    const uint32_t lastYear = mode.relaxedValues ? kRelaxedLastYear : kLastYear;
    const uint32_t month = static_cast<uint32_t>(date.month) - 1;
    if (static_cast<uint32_t>(date.year) - firstYear <= lastYear - firstYear && month < 12 &&
        static_cast<uint32_t>(date.day) - 1 < kDaysInMonth[month]) {
      return true;
    }
  }
  return checkDate(field, kNoLog, mode);
}

inline bool takeStep(uint8_t* record, const Step& step, bool memoPresent, uint32_t memoSize,
                     const RecordCheckMode& mode) {
  switch (step.rule) {
    case Rule::kBlank:
      std::memset(record + step.at, ' ', step.count);
      return true;
    case Rule::kDate:
      return dateInPlace(bytesOf(record, step), mode);
    case Rule::kLogical:
      return checkLogical(bytesOf(record, step), 0, kNoLog, mode);
    case Rule::kMemo:
      return checkMemo(bytesOf(record, step), step.length, memoPresent, memoSize, kNoLog, mode);
    case Rule::kNumeric:
      return numericInPlace(record, step);
    case Rule::kShortNumeric:
      return shortNumericInPlace(bytesOf(record, step));
  }
  return true;
}

// Every field is visited after a failure too: a later one may still be
// blanked. The walk reads the list through its own pointers: blanking
// writes through `record`, which could otherwise alias the list's.
bool checkFieldsUnlogged(uint8_t* record, size_t recordLength,
                         const std::vector<FieldPlace>& fields, bool memoPresent,
                         uint32_t memoSize, const RecordCheckMode& mode) {
  bool valid = true;
  const FieldPlace* const first = fields.data();
  const size_t count = fields.size();
  for (size_t j = 0; j < count; ++j) {
    Step step;
    if (planStep(first[j], recordLength, step)) {
      valid &= takeStep(record, step, memoPresent, memoSize, mode);
    }
  }
  return valid;
}

// Eight bytes of the record that the numeric fields cover, those whose
// high bit `mask` holds.
struct NumericWord {
  size_t at;
  uint64_t mask;
};

}  // namespace

// A plan's steps gathered by rule. Reads commute, and blanking commutes
// with every read of bytes it does not write: when no blanked field meets
// a judged one, the record is blanked first and each rule then runs over
// its own fields. Fields that meet are taken in the list's order instead,
// as the walk takes them.
struct RecordCheckPlan::Steps {
  bool byRule = false;
  std::vector<Step> blanks, numerics, dates, logicals, memos;
  // Every byte of every numeric field, a word at a time: when none is a
  // fault (a zero byte is one), every numeric field passes, and only then
  // are they judged one by one. Only in a record of a word or more.
  std::vector<NumericWord> numericWords;
};

namespace {

using Steps = RecordCheckPlan::Steps;

bool meet(const Step& a, const Step& b) {
  return a.count != 0 && b.count != 0 && a.at < size_t{b.at} + b.count &&
         b.at < size_t{a.at} + a.count;
}

std::unique_ptr<const Steps> planSteps(const std::vector<FieldPlace>& fields,
                                       size_t recordLength) {
  auto steps = std::make_unique<Steps>();
  std::vector<Step> judged;
  for (const FieldPlace& field : fields) {
    Step step;
    if (!planStep(field, recordLength, step)) continue;
    switch (step.rule) {
      case Rule::kBlank:
        steps->blanks.push_back(step);
        continue;
      case Rule::kDate:
        steps->dates.push_back(step);
        break;
      case Rule::kLogical:
        steps->logicals.push_back(step);
        break;
      case Rule::kMemo:
        steps->memos.push_back(step);
        break;
      case Rule::kNumeric:
      case Rule::kShortNumeric:
        steps->numerics.push_back(step);
        break;
    }
    judged.push_back(step);
  }
  if (recordLength < 8) return steps;
  for (const Step& blank : steps->blanks) {
    for (const Step& step : judged) {
      if (meet(blank, step)) return steps;
    }
  }
  steps->byRule = true;
  // The record read as words from its start, the last one moved back to
  // end where the record ends: a numeric byte is tested in the word of the
  // eight bytes it falls in.
  std::map<size_t, uint64_t> words;
  for (const Step& step : steps->numerics) {
    for (size_t k = step.at; k < size_t{step.at} + step.count; ++k) {
      const size_t from = k - k % 8;
      const size_t at = from + 8 <= recordLength ? from : recordLength - 8;
      words[at] |= uint64_t{0x80} << (8 * (k - at));
    }
  }
  for (const auto& [at, mask] : words) steps->numericWords.push_back({at, mask});
  return steps;
}

bool numericsValid(const uint8_t* record, const Steps& steps) {
  uint64_t faults = 0;
  for (const NumericWord& word : steps.numericWords) {
    faults |= nonNumericHighBits(loadWord(reinterpret_cast<const char*>(record) + word.at)) &
              word.mask;
  }
  if (faults == 0) return true;
  // A record of a word or more holds no kShortNumeric field.
  bool valid = true;
  for (const Step& step : steps.numerics) valid &= numericInPlace(record, step);
  return valid;
}

// Made for each mode, the rules' tests of the mode drop out of the loops.
template <bool kRelaxed>
bool takeStepsByRule(uint8_t* record, const Steps& steps, bool memoPresent, uint32_t memoSize) {
  constexpr RecordCheckMode mode{kRelaxed, true};
  for (const Step& step : steps.blanks) std::memset(record + step.at, ' ', step.count);
  bool valid = numericsValid(record, steps);
  for (const Step& step : steps.dates) valid &= dateInPlace(bytesOf(record, step), mode);
  for (const Step& step : steps.logicals) {
    valid &= checkLogical(bytesOf(record, step), 0, kNoLog, mode);
  }
  for (const Step& step : steps.memos) {
    valid &= checkMemo(bytesOf(record, step), step.length, memoPresent, memoSize, kNoLog, mode);
  }
  return valid;
}

}  // namespace

bool displacementsAllZero(const std::vector<DbfFieldDescriptor>& fields) {
  if (fields.empty()) return false;
  for (const DbfFieldDescriptor& field : fields) {
    if (field.displacement() != 0) return false;
  }
  return true;
}

std::vector<FieldPlace> placeFields(const std::vector<DbfFieldDescriptor>& fields,
                                    const std::vector<bool>* memoAsCharacter) {
  // Tables that leave every displacement at 0 imply each field's place by
  // the lengths before it; read literally, every field would start at the
  // deletion flag. One nonzero displacement means the table places its
  // fields itself, and then every field goes where its descriptor says.
  bool sequential = displacementsAllZero(fields);
  std::vector<FieldPlace> places;
  places.reserve(fields.size());
  uint32_t next = 1;
  for (size_t i = 0; i < fields.size(); ++i) {
    FieldPlace place;
    place.type = fields[i].type();
    place.length = fields[i].length();
    place.displacement = sequential ? next : fields[i].displacement();
    next += place.length;
    place.memoAsCharacter = memoAsCharacter != nullptr && i < memoAsCharacter->size() &&
                            (*memoAsCharacter)[i];
    places.push_back(place);
  }
  return places;
}

namespace {

constexpr RecordCheckMode kClassicCheck{};

// The check writes at ERROR and INFO only; a log that takes no ERROR line
// takes no INFO line either.
inline bool logsTheCheck(const RecordCheckMode& mode) {
  return !mode.quiet && Log().IsWritingAt(kLevelError);
}

inline bool judgeRecord(uint8_t* record, size_t recordLength, const std::vector<FieldPlace>& fields,
                        bool memoPresent, uint32_t memoSize, const RecordCheckMode& mode) {
  if (logsTheCheck(mode)) {
    return checkFieldsLogged(record, recordLength, fields, memoPresent, memoSize, mode);
  }
  return checkFieldsUnlogged(record, recordLength, fields, memoPresent, memoSize, mode);
}

inline bool judgeRecord(uint8_t* record, const RecordCheckPlan& plan, bool memoPresent,
                        uint32_t memoSize, const RecordCheckMode& mode) {
  if (logsTheCheck(mode)) {
    return checkFieldsLogged(record, plan.recordLength(), plan.fields(), memoPresent, memoSize,
                             mode);
  }
  if (!plan.steps().byRule) {
    return checkFieldsUnlogged(record, plan.recordLength(), plan.fields(), memoPresent, memoSize,
                               mode);
  }
  return mode.relaxedValues ? takeStepsByRule<true>(record, plan.steps(), memoPresent, memoSize)
                            : takeStepsByRule<false>(record, plan.steps(), memoPresent, memoSize);
}

}  // namespace

// The classic check goes straight to the walk, without a mode of its own
// made for every record.
bool checkRecord(uint8_t* record, size_t recordLength, const std::vector<FieldPlace>& fields,
                 bool memoPresent, uint32_t memoSize) {
  return judgeRecord(record, recordLength, fields, memoPresent, memoSize, kClassicCheck);
}

bool checkRecord(uint8_t* record, size_t recordLength, const std::vector<FieldPlace>& fields,
                 bool memoPresent, uint32_t memoSize, const RecordCheckMode& mode) {
  return judgeRecord(record, recordLength, fields, memoPresent, memoSize, mode);
}

RecordCheckPlan::RecordCheckPlan(const std::vector<FieldPlace>& fields, size_t recordLength)
    : fields_(fields),
      recordLength_(recordLength),
      blanks_(std::any_of(fields.begin(), fields.end(),
                          [](const FieldPlace& field) {
                            return field.type == 'C' && field.memoAsCharacter;
                          })),
      steps_(planSteps(fields, recordLength)) {}
RecordCheckPlan::RecordCheckPlan(RecordCheckPlan&&) noexcept = default;
RecordCheckPlan& RecordCheckPlan::operator=(RecordCheckPlan&&) noexcept = default;
RecordCheckPlan::~RecordCheckPlan() = default;

bool checkRecord(uint8_t* record, const RecordCheckPlan& plan, bool memoPresent,
                 uint32_t memoSize) {
  return judgeRecord(record, plan, memoPresent, memoSize, kClassicCheck);
}

bool checkRecord(uint8_t* record, const RecordCheckPlan& plan, bool memoPresent,
                 uint32_t memoSize, const RecordCheckMode& mode) {
  return judgeRecord(record, plan, memoPresent, memoSize, mode);
}

bool checkRecordInPlace(const uint8_t* record, const RecordCheckPlan& plan, bool memoPresent,
                        uint32_t memoSize) {
  return checkRecordInPlace(record, plan, memoPresent, memoSize, kClassicCheck);
}

bool checkRecordInPlace(const uint8_t* record, const RecordCheckPlan& plan, bool memoPresent,
                        uint32_t memoSize, const RecordCheckMode& mode) {
  // Only blanking writes into the record, and this plan blanks nothing.
  assert(!plan.blanks());
  return judgeRecord(const_cast<uint8_t*>(record), plan, memoPresent, memoSize, mode);
}

}  // namespace kest
