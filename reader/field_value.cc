#include "reader/field_value.h"

#include <charconv>
#include <cstdio>
#include <cstring>

namespace kest::reader {
namespace {

bool visualFoxPro(const Header& header) { return isVisualFoxProVersion(header.version); }

// Fields are padded with blanks (spaces or NULs), often most of their
// width: trimmed eight bytes a step while eight are blank.
constexpr uint64_t kBlanks = 0x2020202020202020u;
bool eightBlank(const char* at) {
  uint64_t w;
  std::memcpy(&w, at, 8);
  return (w | kBlanks) == kBlanks;  // each byte 0x00 or 0x20
}

std::string_view trimRight(std::string_view text) {
  while (text.size() >= 8 && eightBlank(text.data() + text.size() - 8)) text.remove_suffix(8);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.remove_suffix(1);
  return text;
}
std::string_view trim(std::string_view text) {
  text = trimRight(text);
  while (text.size() >= 8 && eightBlank(text.data())) text.remove_prefix(8);
  while (!text.empty() && (text.front() == ' ' || text.front() == '\0')) text.remove_prefix(1);
  return text;
}

bool allDigits(std::string_view text) {
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return !text.empty();
}

int daysInMonth(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

// What the bytes of a D field hold: nothing (blanks, zeros), a date as
// its eight digits YYYYMMDD, or what is not one.
enum class DateForm { kBlank, kDate, kNotDate, kNotCalendar };
DateForm readDate(std::string_view bytes, std::string_view* digits) {
  std::string_view text = bytes;
  // Most dates are eight digits and no blank: told by one word.
  constexpr uint64_t kTops = 0xF0F0F0F0F0F0F0F0u, kZeros = 0x3030303030303030u;
  uint64_t w = 0;
  if (text.size() == 8) std::memcpy(&w, text.data(), 8);
  if ((w & kTops) != kZeros || ((w + 0x0606060606060606u) & kTops) != kZeros || w == kZeros) {
    text = trim(bytes);
    bool zeros = true;
    for (char c : text) zeros = zeros && c == '0';
    if (zeros) return DateForm::kBlank;
    if (text.size() != 8 || !allDigits(text)) return DateForm::kNotDate;
  }
  auto number = [&](size_t at, size_t width) {
    int n = 0;
    for (size_t i = at; i < at + width; ++i) n = n * 10 + (text[i] - '0');
    return n;
  };
  int month = number(4, 2), day = number(6, 2);
  if (month < 1 || month > 12 || day < 1 || (day > 28 && day > daysInMonth(number(0, 4), month))) {
    return DateForm::kNotCalendar;
  }
  *digits = text;
  return DateForm::kDate;
}

// YYYY-MM-DD of the eight digits YYYYMMDD.
void isoDate(std::string_view digits, char* iso) {
  std::memcpy(iso, digits.data(), 4);
  iso[4] = '-';
  std::memcpy(iso + 5, digits.data() + 4, 2);
  iso[7] = '-';
  std::memcpy(iso + 8, digits.data() + 6, 2);
}

enum class Logical { kTrue, kFalse, kBlank, kNeither };
Logical readLogical(std::string_view bytes) {
  switch (bytes.empty() ? ' ' : bytes[0]) {
    case 'T': case 't': case 'Y': case 'y': return Logical::kTrue;
    case 'F': case 'f': case 'N': case 'n': return Logical::kFalse;
    case ' ': case '?': case '\0': return Logical::kBlank;
    default: return Logical::kNeither;
  }
}

// Days since 1970-01-01 to a civil date, proleptic Gregorian.
void civilFromDays(int64_t days, int* year, int* month, int* day) {
  days += 719468;
  int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  int64_t dayOfEra = days - era * 146097;
  int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  int64_t mp = (5 * dayOfYear + 2) / 153;
  *day = static_cast<int>(dayOfYear - (153 * mp + 2) / 5 + 1);
  *month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *year = static_cast<int>(yearOfEra + era * 400 + (*month <= 2 ? 1 : 0));
}

int64_t little(std::string_view bytes, size_t width) {
  uint64_t v = 0;
  for (size_t i = 0; i < width; ++i) v |= uint64_t{static_cast<uint8_t>(bytes[i])} << (8 * i);
  if (width < 8 && (v >> (8 * width - 1)) != 0) v |= ~uint64_t{0} << (8 * width);
  return static_cast<int64_t>(v);
}

// dBase 7 stores numbers big-endian with the sign bit flipped, so that they
// sort as bytes.
uint64_t dbase7Bits(std::string_view bytes) {
  uint64_t v = 0;
  for (char c : bytes) v = (v << 8) | static_cast<uint8_t>(c);
  return v;
}

// Empties `value` and keeps its text's room for the next value.
void clear(Value* value) {
  value->kind = Value::Kind::kNull;
  value->boolean = false;
  value->integer = 0;
  value->real = 0;
  value->text.clear();
}

void setReal(Value* value, double real, std::string_view text) {
  value->kind = Value::Kind::kReal;
  value->real = real;
  value->text.assign(text);
}

// An IEEE double from its bits, with its text to 17 digits (enough to
// read the same double back).
void setDoubleBits(Value* value, uint64_t bits) {
  double real;
  std::memcpy(&real, &bits, sizeof real);
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", real);
  setReal(value, real, text);
}

void setInteger(Value* value, int64_t integer) {
  value->kind = Value::Kind::kInteger;
  value->integer = integer;
  char text[24];
  auto [end, error] = std::to_chars(text, text + sizeof text, integer);
  value->text.assign(text, end);
}

// Up to 15 digits and 22 decimals both sides of the division are exact
// doubles, and one division rounds once: the double strtod would give.
bool exactlyDivided(size_t digits, size_t decimals) { return digits <= 15 && decimals <= 22; }
double quotient(uint64_t mantissa, size_t decimals, bool negative) {
  static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                       1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                       1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  double real = static_cast<double>(mantissa) / kPowers[decimals];
  return negative ? -real : real;
}

bool decodeNumber(std::string_view text, Value* value) {
  text = trim(text);
  // Blank numbers as some writers leave them: a lone point or sign, or
  // nothing. Known blank without a look when the number has a digit.
  auto blank = [&] {
    for (char c : text) {
      if (c != ' ' && c != '.' && c != '-') return false;
    }
    return true;
  };
  if (text.empty()) return true;
  const bool negative = text[0] == '-';
  size_t at = negative || text[0] == '+' ? 1 : 0;
  size_t digits = 0, points = 0, decimals = 0;
  uint64_t mantissa = 0;
  for (size_t i = at; i < text.size(); ++i) {
    char c = text[i];
    if (c >= '0' && c <= '9') {
      ++digits;
      decimals += points;
      if (digits <= 19) mantissa = mantissa * 10 + static_cast<uint64_t>(c - '0');
    } else if (c == '.') {
      ++points;
    } else {
      return blank();
    }
  }
  if (digits == 0) return blank();
  if (points > 1) return false;
  std::string_view number = text[0] == '+' ? text.substr(1) : text;
  if (points == 0 && digits <= 18) {
    setInteger(value, negative ? -static_cast<int64_t>(mantissa) : static_cast<int64_t>(mantissa));
    return true;
  }
  const char* end = number.data() + number.size();
  if (points == 0) {
    int64_t integer = 0;
    auto [stop, error] = std::from_chars(number.data(), end, integer);
    if (error == std::errc() && stop == end) {
      setInteger(value, integer);
      return true;
    }
  }
  double real = 0;
  if (exactlyDivided(digits, decimals)) {
    real = quotient(mantissa, decimals, negative);
  } else {
    // from_chars reads these as strtod would, but without the locale's
    // say in the decimal point.
    auto [stop, error] = std::from_chars(number.data(), end, real);
    if (error != std::errc() || stop != end) {
      real = std::strtod(std::string(number).c_str(), nullptr);
    }
  }
  setReal(value, real, number);
  return true;
}

// The plain forms of a number, which decodeNumber reads to the same value
// and text: an optional minus, digits, at most one point. An integer only
// as to_chars writes it (no leading zero, no "-0"), so that its text as
// written is its text decoded; a number with a point only where its
// double is one exact division. False for any other form, blank ones
// included but for a field of blanks.
bool plainNumber(std::string_view bytes, ValueView* value) {
  std::string_view text = trim(bytes);
  if (text.empty()) return true;
  const bool negative = text[0] == '-';
  size_t digits = 0, points = 0, decimals = 0;
  uint64_t mantissa = 0;
  for (size_t i = negative ? 1 : 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= '0' && c <= '9') {
      ++digits;
      decimals += points;
      mantissa = mantissa * 10 + static_cast<uint64_t>(c - '0');
    } else if (c == '.' && points == 0) {
      ++points;
    } else {
      return false;
    }
  }
  if (digits == 0) return false;
  if (points == 0) {
    const bool leadingZero = text[negative ? 1 : 0] == '0' && (digits > 1 || negative);
    if (digits > 18 || leadingZero) return false;
    value->kind = Value::Kind::kInteger;
    value->integer = negative ? -static_cast<int64_t>(mantissa) : static_cast<int64_t>(mantissa);
  } else {
    if (!exactlyDivided(digits, decimals)) return false;
    value->kind = Value::Kind::kReal;
    value->real = quotient(mantissa, decimals, negative);
  }
  value->text = text;
  return true;
}

}  // namespace

std::string base64(std::string_view bytes) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t n = uint32_t{static_cast<uint8_t>(bytes[i])} << 16;
    if (i + 1 < bytes.size()) n |= uint32_t{static_cast<uint8_t>(bytes[i + 1])} << 8;
    if (i + 2 < bytes.size()) n |= static_cast<uint8_t>(bytes[i + 2]);
    out += kAlphabet[(n >> 18) & 63];
    out += kAlphabet[(n >> 12) & 63];
    out += i + 1 < bytes.size() ? kAlphabet[(n >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? kAlphabet[n & 63] : '=';
  }
  return out;
}

ColumnKind columnKind(const Field& field, const Header& header) {
  switch (field.type) {
    case 'N': return field.decimals == 0 ? ColumnKind::kInteger : ColumnKind::kReal;
    case 'F':
    case 'O':
    case 'Y': return ColumnKind::kReal;
    case 'I':
    case '+': return ColumnKind::kInteger;
    case 'B': return visualFoxPro(header) ? ColumnKind::kReal : ColumnKind::kText;
    case 'L': return ColumnKind::kBool;
    case 'D': return ColumnKind::kDate;
    case 'T': return ColumnKind::kTimestamp;
    default: return ColumnKind::kText;
  }
}

bool isSystemField(const Field& field) { return field.type == '0'; }

bool FieldDecoder::decode(const Field& field, std::string_view record, Value* value,
                          std::string* reason) {
  clear(value);
  if (uint64_t{field.offset} + field.length > record.size()) {
    *reason = "lies beyond the record";
    return false;
  }
  std::string_view bytes = record.substr(field.offset, field.length);
  auto fail = [&](const std::string& why) {
    clear(value);
    *reason = why;
    return false;
  };
  const bool dbase7 = header_.layout == Layout::kDbase7;
  switch (field.type) {
    case 'C':
    case 'V': {
      if (!text_->decode(trimRight(bytes), &value->text))
        return fail("not text in " +
                    (text_->encoding().empty() ? std::string("ASCII") : text_->encoding()));
      value->kind = Value::Kind::kText;
      return true;
    }
    case 'N':
    case 'F': return decodeNumber(bytes, value) || fail("not a number");
    case 'D': {
      std::string_view digits;
      switch (readDate(bytes, &digits)) {
        case DateForm::kBlank: return true;
        case DateForm::kNotDate: return fail("not a date");
        case DateForm::kNotCalendar: return fail("not a calendar date");
        case DateForm::kDate: break;
      }
      value->kind = Value::Kind::kDate;
      char iso[10];
      isoDate(digits, iso);
      value->text.assign(iso, sizeof iso);
      return true;
    }
    case 'L': {
      Logical logical = readLogical(bytes);
      if (logical == Logical::kNeither) return fail("not a logical value");
      if (logical != Logical::kBlank) value->kind = Value::Kind::kBool;
      value->boolean = logical == Logical::kTrue;
      return true;
    }
    case 'I':
    case '+': {
      // The worst-case method writes binary columns of any width as I.
      if (!dbase7 && !bytes.empty() && bytes.size() <= 8) {
        setInteger(value, little(bytes, bytes.size()));
        return true;
      }
      if (bytes.size() != 4) return fail("not 4 bytes long");
      {
        setInteger(value,
                   static_cast<int32_t>(static_cast<uint32_t>(dbase7Bits(bytes)) ^ 0x80000000u));
      }
      return true;
    }
    case 'O': {
      if (bytes.size() != 8) return fail("not 8 bytes long");
      uint64_t bits = dbase7Bits(bytes);
      setDoubleBits(value, (bits >> 63) != 0 ? bits & ~(uint64_t{1} << 63) : ~bits);
      return true;
    }
    case 'Y': {
      if (bytes.size() != 8) return fail("not 8 bytes long");
      int64_t units = little(bytes, 8);
      char text[32];
      uint64_t magnitude =
          units < 0 ? 0 - static_cast<uint64_t>(units) : static_cast<uint64_t>(units);
      std::snprintf(text, sizeof text, "%s%llu.%04llu", units < 0 ? "-" : "",
                    static_cast<unsigned long long>(magnitude / 10000),
                    static_cast<unsigned long long>(magnitude % 10000));
      setReal(value, static_cast<double>(units) / 10000.0, text);
      return true;
    }
    case 'T': {
      if (bytes.size() != 8) return fail("not 8 bytes long");
      int64_t julianDay = little(bytes.substr(0, 4), 4);
      int64_t millis = little(bytes.substr(4, 4), 4);
      if (julianDay == 0 && millis == 0) return true;
      if (julianDay < 1721426 || julianDay > 5373484 || millis < 0 || millis >= 86400000) {
        return fail("not a timestamp");
      }
      int year, month, day;
      civilFromDays(julianDay - 2440588, &year, &month, &day);
      int64_t seconds = millis / 1000;
      char text[64];
      int length =
          std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", year, month, day,
                        static_cast<int>(seconds / 3600), static_cast<int>(seconds / 60 % 60),
                        static_cast<int>(seconds % 60));
      // Milliseconds as stored, only when there are any.
      if (millis % 1000 != 0 && length > 0 && length < 40) {
        std::snprintf(text + length, sizeof text - length, ".%03d",
                      static_cast<int>(millis % 1000));
      }
      value->kind = Value::Kind::kTimestamp;
      value->text = text;
      return true;
    }
    default: break;
  }
  if (field.type == 'B' && visualFoxPro(header_)) {
    if (bytes.size() != 8) return fail("not 8 bytes long");
    setDoubleBits(value, static_cast<uint64_t>(little(bytes, 8)));
    return true;
  }
  if (isMemoType(field.type, header_)) {
    std::string raw;
    MemoBytes read = readMemo(field, record, &raw, reason);
    return memoValue(read, raw, value, reason);
  }
  return fail(std::string("type '") + (knownFieldType(field.type) ? field.type : '?') +
              "' is not decoded");
}

bool FieldDecoder::decodeCommon(const Field& field, std::string_view record,
                                ValueView* value) const {
  value->kind = Value::Kind::kNull;
  value->boolean = false;
  value->text = {};
  if (uint64_t{field.offset} + field.length > record.size()) return false;
  std::string_view bytes = record.substr(field.offset, field.length);
  switch (field.type) {
    case 'C':
    case 'V': {
      std::string_view text = trimRight(bytes);
      if (!text_->keepsAscii() || !TextDecoder::isAscii(text)) return false;
      value->kind = Value::Kind::kText;
      value->text = text;
      return true;
    }
    case 'N':
    case 'F': return plainNumber(bytes, value);
    case 'D': {
      std::string_view digits;
      DateForm form = readDate(bytes, &digits);
      if (form == DateForm::kDate) {
        value->kind = Value::Kind::kDate;
        isoDate(digits, value->iso);
        value->text = std::string_view(value->iso, sizeof value->iso);
      }
      return form == DateForm::kBlank || form == DateForm::kDate;
    }
    case 'L': {
      Logical logical = readLogical(bytes);
      if (logical != Logical::kBlank) value->kind = Value::Kind::kBool;
      value->boolean = logical == Logical::kTrue;
      return logical != Logical::kNeither;
    }
    default: return false;
  }
}

FieldDecoder::MemoBytes FieldDecoder::readMemo(const Field& field, std::string_view record,
                                               std::string* raw, std::string* reason) {
  raw->clear();
  auto fail = [&](const std::string& why) {
    *reason = why;
    return MemoBytes::kFailed;
  };
  if (uint64_t{field.offset} + field.length > record.size()) return fail("lies beyond the record");
  std::string_view bytes = record.substr(field.offset, field.length);
  uint32_t block = 0;
  if (bytes.size() == 4) {
    block = static_cast<uint32_t>(little(bytes, 4));
  } else {
    std::string_view digits = trim(bytes);
    if (digits.empty()) return MemoBytes::kNone;
    if (!allDigits(digits) || digits.size() > 10) return fail("memo pointer is not a block number");
    uint64_t wide = std::stoull(std::string(digits));
    if (wide > UINT32_MAX) return fail("memo pointer is not a block number");
    block = static_cast<uint32_t>(wide);
  }
  if (block == 0) return MemoBytes::kNone;
  if (memo_ == nullptr) return fail("memo companion missing");
  switch (memo_->read(block, raw)) {
    case MemoRead::kNone: return MemoBytes::kNone;
    case MemoRead::kOutsideFile:
      return fail("memo block " + std::to_string(block) + " leads outside the memo file");
    case MemoRead::kTooLong:
      return fail("memo block " + std::to_string(block) + " is longer than 16 MiB");
    case MemoRead::kDamaged:
      return fail("memo block " + std::to_string(block) + " is damaged");
    case MemoRead::kText: break;
  }
  return field.type == 'M' ? MemoBytes::kText : MemoBytes::kBinary;
}

bool FieldDecoder::memoValue(MemoBytes read, std::string_view raw, Value* value,
                             std::string* reason) {
  clear(value);
  switch (read) {
    case MemoBytes::kNone: return true;
    case MemoBytes::kFailed: return false;
    case MemoBytes::kBinary:
      value->kind = Value::Kind::kText;
      value->text = base64(raw);
      return true;
    case MemoBytes::kText: break;
  }
  value->kind = Value::Kind::kText;
  if (text_->decode(raw, &value->text)) return true;
  clear(value);
  *reason = notTextReason();
  return false;
}

std::string FieldDecoder::notTextReason() const {
  return "memo is not text in " +
         (text_->encoding().empty() ? std::string("ASCII") : text_->encoding());
}

}  // namespace kest::reader
