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

bool isLeapYear(uint32_t year) {
  return (year % 4 == 0 && year % 100 != 0) || (year % 400 == 0 && year > 1500);
}

bool isParseSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A field's value as the rules read it: the field's bytes inside the
// record (at most 255), zero past the record's end, ending at the first
// NUL as a text would. The rules look at the bytes where they lie; the
// NUL-ended copy exists only for the log, made when a line that shows the
// value is really written.
class FieldValue {
 public:
  FieldValue(const uint8_t* bytes, size_t copied)
      : bytes_(reinterpret_cast<const char*>(bytes)), copied_(copied) {}

  // The length of the text: up to its first NUL. Fields are short; a
  // plain loop beats a call into the C library here.
  size_t length() const {
    size_t n = 0;
    while (n < copied_ && bytes_[n] != '\0') ++n;
    return n;
  }
  const char* bytes() const { return bytes_; }
  size_t copied() const { return copied_; }
  uint8_t first() const { return copied_ != 0 ? static_cast<uint8_t>(bytes_[0]) : 0; }
  // The first four bytes as stored, NULs and all, zero past the copied ones.
  uint32_t first32() const {
    uint8_t four[4] = {};
    std::memcpy(four, bytes_, copied_ < 4 ? copied_ : 4);
    return le::Get32(four);
  }
  const char* text() {
    if (!made_) {
      std::memcpy(text_, bytes_, copied_);
      text_[copied_] = '\0';
      made_ = true;
    }
    return text_;
  }

 private:
  const char* bytes_;
  size_t copied_;
  bool made_ = false;
  char text_[kMaxFieldLength + 1];
};

void logValue(int32_t level, const char* message, FieldValue& value) {
  if (!Log().IsWritingAt(level)) return;
  if (level == kLevelError) {
    Log().ErrorString(message, value.text());
  } else {
    Log().InfoString(message, value.text());
  }
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

bool checkDate(FieldValue& value) {
  logValue(kLevelInfo, "Date field, value is", value);
  bool valid = true;
  const char* text = value.bytes();
  uint32_t textLength = static_cast<uint32_t>(value.length());
  if (textLength != kDateTextLength) {
    valid = false;
    Log().Error("The field length is not 8 chars");
  }
  // The components are compared as unsigned numbers, so a negative one is
  // out of range; they are logged as read.
  int32_t year = parseComponent(text, textLength, 0, 4);
  if (static_cast<uint32_t>(year) < kFirstYear || static_cast<uint32_t>(year) > kLastYear) {
    valid = false;
    Log().ErrorNumber("Year is invalid", year);
  }
  int32_t month = parseComponent(text, textLength, 4, 2);
  bool monthValid = static_cast<uint32_t>(month) >= 1 && static_cast<uint32_t>(month) <= 12;
  if (!monthValid) {
    valid = false;
    Log().ErrorNumber("Month is invalid", month);
  }
  int32_t day = parseComponent(text, textLength, 6, 2);
  uint32_t daysInMonth = kLongestMonth;
  if (monthValid) {
    daysInMonth = kDaysInMonth[month - 1];
    if (month == 2 && isLeapYear(static_cast<uint32_t>(year))) daysInMonth = 29;
  }
  if (day == 0 || static_cast<uint32_t>(day) > daysInMonth) {
    valid = false;
    Log().ErrorNumber("Day is invalid", day);
  }
  return valid;
}

bool checkLogical(const FieldValue& value, size_t fieldNumber) {
  uint8_t first = value.first();
  if (kLogicalValues[first]) return true;
  Log().InfoNumber("Boolean field invalid, field number:", static_cast<int32_t>(fieldNumber));
  Log().InfoNumber("Invalid field value is:", first);
  return false;
}

// The block number is the field's first four bytes as stored, not its
// text: a binary number holds zero bytes. A field shorter than four bytes
// contributes the bytes it has; the missing ones count as zero.
bool checkMemo(FieldValue& value, bool memoPresent, uint32_t memoSize) {
  bool valid = true;
  if (memoPresent) {
    uint32_t block = value.first32();
    // 4096 x memoSize outgrows 32 bits for a companion of 1 MiB or more.
    if (block > kMemoBlockFactor * memoSize) {
      valid = false;
      Log().ErrorNumber("Memo page number is too big", static_cast<int32_t>(block));
    }
  }
  logValue(kLevelInfo, "Memo field, value is", value);
  return valid;
}

bool checkNumeric(FieldValue& value) {
  logValue(kLevelInfo, "Numeric field, value is", value);
  bool valid = true;
  const char* text = value.bytes();
  const size_t copied = value.copied();
  for (size_t k = 0; k < copied && text[k] != '\0'; ++k) {
    if (kNumericChars[static_cast<uint8_t>(text[k])]) continue;
    valid = false;
    logValue(kLevelError, "Data is invalid", value);
    Log().ErrorNumber("Symbol at this position is invalid", static_cast<int32_t>(k));
    Log().ErrorNumber("Symbol value", static_cast<int8_t>(text[k]));
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
  bool valid = true;
  for (size_t j = 0; j < fields.size(); ++j) {
    const FieldPlace& field = fields[j];
    // Damaged descriptors point anywhere; only the part of a field that
    // lies inside the record is read or written.
    size_t inside = 0;
    if (field.displacement < recordLength) {
      inside = recordLength - field.displacement;
      if (inside > field.length) inside = field.length;
    }
    if (field.type == 'C' && field.memoAsCharacter) {
      if (inside != 0) std::memset(record + field.displacement, ' ', inside);
      continue;
    }

    const size_t textLength = field.length < kMaxFieldLength ? field.length : kMaxFieldLength;
    FieldValue value(inside != 0 ? record + field.displacement : record,
                     inside < textLength ? inside : textLength);
    switch (field.type) {
      case 'C':
        logValue(kLevelInfo, "Character field, value is", value);
        break;
      case 'D':
        valid &= checkDate(value);
        break;
      case 'I':
        Log().InfoNumber("Integer field, value is", static_cast<int8_t>(value.first()));
        break;
      case 'L':
        valid &= checkLogical(value, j);
        break;
      case 'M':
        valid &= checkMemo(value, memoPresent, memoSize);
        break;
      case 'N':
        valid &= checkNumeric(value);
        break;
      default:
        break;  // no rule for this type, not even a log line
    }
  }
  if (!valid) Log().Info("This record is not valid by one of its field values");
  return valid;
}

}  // namespace kest
