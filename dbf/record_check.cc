#include "dbf/record_check.h"

#include <array>
#include <cstring>

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

// The log of the check, silent for a quiet probe.
struct CheckLog {
  bool on;
  void Info(const char* m) const { if (on) Log().Info(m); }
  void InfoString(const char* m, const char* t) const { if (on) Log().InfoString(m, t); }
  void InfoNumber(const char* m, int32_t n) const { if (on) Log().InfoNumber(m, n); }
  void Error(const char* m) const { if (on) Log().Error(m); }
  void ErrorString(const char* m, const char* t) const { if (on) Log().ErrorString(m, t); }
  void ErrorNumber(const char* m, int32_t n) const { if (on) Log().ErrorNumber(m, n); }
};

// Spaces or zero bytes only: a date the program left empty.
bool isBlankDate(const char* text) {
  for (size_t k = 0; k < kDateTextLength && text[k] != '\0'; ++k) {
    if (text[k] != ' ') return false;
  }
  return true;
}

bool isLeapYear(uint32_t year) {
  return (year % 4 == 0 && year % 100 != 0) || (year % 400 == 0 && year > 1500);
}

bool isParseSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A date component read as a signed decimal number the way the C library
// reads one: leading white space, one optional sign, digits up to the first
// non-digit, 0 without digits. Only the component's `width` characters are
// looked at, and the text's NUL ends it early: a text shorter than eight
// characters gives its later components fewer characters, or none.
int32_t parseComponent(const char* text, uint32_t textLength, uint32_t start,
                       uint32_t width) {
  if (start >= textLength) return 0;
  const char* p = text + start;
  const char* end = text + (textLength - start < width ? textLength : start + width);
  while (p < end && isParseSpace(*p)) ++p;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    ++p;
  }
  int32_t value = 0;
  for (; p < end && *p >= '0' && *p <= '9'; ++p) value = value * 10 + (*p - '0');
  return negative ? -value : value;
}

bool checkDate(const char* text, const RecordCheckMode& mode) {
  const CheckLog log{!mode.quiet};
  log.InfoString("Date field, value is", text);
  if (mode.relaxedValues && isBlankDate(text)) return true;
  const uint32_t firstYear = mode.relaxedValues ? kRelaxedFirstYear : kFirstYear;
  const uint32_t lastYear = mode.relaxedValues ? kRelaxedLastYear : kLastYear;
  bool valid = true;
  uint32_t textLength = static_cast<uint32_t>(std::strlen(text));
  if (textLength != kDateTextLength) {
    valid = false;
    log.Error("The field length is not 8 chars");
  }
  // The components are compared as unsigned numbers, so a negative one is
  // out of range; they are logged as read.
  int32_t year = parseComponent(text, textLength, 0, 4);
  if (static_cast<uint32_t>(year) < firstYear || static_cast<uint32_t>(year) > lastYear) {
    valid = false;
    log.ErrorNumber("Year is invalid", year);
  }
  int32_t month = parseComponent(text, textLength, 4, 2);
  bool monthValid = static_cast<uint32_t>(month) >= 1 && static_cast<uint32_t>(month) <= 12;
  if (!monthValid) {
    valid = false;
    log.ErrorNumber("Month is invalid", month);
  }
  int32_t day = parseComponent(text, textLength, 6, 2);
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

bool checkLogical(const char* text, size_t fieldNumber, const RecordCheckMode& mode) {
  const CheckLog log{!mode.quiet};
  uint8_t value = static_cast<uint8_t>(text[0]);
  if (kLogicalValues[value]) return true;
  if (mode.relaxedValues && (value == 0 || kRelaxedLogicalValues[value])) return true;
  log.InfoNumber("Boolean field invalid, field number:", static_cast<int32_t>(fieldNumber));
  log.InfoNumber("Invalid field value is:", value);
  return false;
}

// The block number is the field's first four bytes as stored, not its
// text: a binary number holds zero bytes. A field shorter than four bytes
// contributes the bytes it has; the missing ones count as zero.
// Blank, or digits after leading spaces: how dBase and FoxPro 2 keep a
// block number in a memo field of ten characters.
bool isTextBlockNumber(const char* text) {
  size_t k = 0;
  while (text[k] == ' ') ++k;
  while (text[k] >= '0' && text[k] <= '9') ++k;
  return text[k] == '\0';
}

bool checkMemo(const char* text, uint32_t length, bool memoPresent, uint32_t memoSize,
               const RecordCheckMode& mode) {
  const CheckLog log{!mode.quiet};
  bool valid = true;
  if (mode.relaxedValues && length != 4 && isTextBlockNumber(text)) {
    // Read as binary, the digits are a number no memo file reaches.
  } else if (memoPresent) {
    uint32_t block = le::Get32(reinterpret_cast<const uint8_t*>(text));
    // 4096 x memoSize outgrows 32 bits for a companion of 1 MiB or more.
    if (block > kMemoBlockFactor * memoSize) {
      valid = false;
      log.ErrorNumber("Memo page number is too big", static_cast<int32_t>(block));
    }
  }
  log.InfoString("Memo field, value is", text);
  return valid;
}

bool checkNumeric(const char* text, const CheckLog& log) {
  log.InfoString("Numeric field, value is", text);
  bool valid = true;
  for (size_t k = 0; text[k] != '\0'; ++k) {
    if (kNumericChars[static_cast<uint8_t>(text[k])]) continue;
    valid = false;
    log.ErrorString("Data is invalid", text);
    log.ErrorNumber("Symbol at this position is invalid", static_cast<int32_t>(k));
    log.ErrorNumber("Symbol value", static_cast<int8_t>(text[k]));
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

bool checkRecord(uint8_t* record, size_t recordLength, const std::vector<FieldPlace>& fields,
                 bool memoPresent, uint32_t memoSize) {
  return checkRecord(record, recordLength, fields, memoPresent, memoSize, RecordCheckMode{});
}

bool checkRecord(uint8_t* record, size_t recordLength, const std::vector<FieldPlace>& fields,
                 bool memoPresent, uint32_t memoSize, const RecordCheckMode& mode) {
  const CheckLog log{!mode.quiet};
  bool valid = true;
  // A field is at most 255 bytes long; three spare bytes let a memo field
  // shorter than four bytes read its block number without a special case.
  char text[kMaxFieldLength + 4];
  for (size_t j = 0; j < fields.size(); ++j) {
    const FieldPlace& field = fields[j];
    // Damaged descriptors point anywhere; only the part of a field that
    // lies inside the record is read or written.
    size_t inside = 0;
    if (field.displacement < recordLength) {
      inside = recordLength - field.displacement;
      if (inside > field.length) inside = field.length;
    }

    switch (field.type) {
      case 'C':
        if (field.memoAsCharacter) {
          if (inside != 0) std::memset(record + field.displacement, ' ', inside);
          continue;
        }
        // The value is only wanted by the log; skip the copy when it goes nowhere.
        if (mode.quiet || !Log().IsEnabledFor(kLevelInfo)) continue;
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

    // The field text: the field's bytes, zero past the record's end, then NUL.
    size_t textLength = field.length < kMaxFieldLength ? field.length : kMaxFieldLength;
    size_t copied = inside < textLength ? inside : textLength;
    if (copied != 0) std::memcpy(text, record + field.displacement, copied);
    std::memset(text + copied, 0, textLength - copied + 4);

    switch (field.type) {
      case 'C':
        log.InfoString("Character field, value is", text);
        break;
      case 'D':
        valid &= checkDate(text, mode);
        break;
      case 'I':
        log.InfoNumber("Integer field, value is", static_cast<int8_t>(text[0]));
        break;
      case 'L':
        valid &= checkLogical(text, j, mode);
        break;
      case 'M':
        valid &= checkMemo(text, field.length, memoPresent, memoSize, mode);
        break;
      case 'N':
        valid &= checkNumeric(text, log);
        break;
    }
  }
  if (!valid) log.Info("This record is not valid by one of its field values");
  return valid;
}

}  // namespace kest
