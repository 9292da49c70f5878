// The value of one field of a record, decoded by its type.
//
// C and V text in the table's character set, N and F as numbers, D as ISO
// dates, L as booleans, the binary Visual FoxPro types (I, B, Y, T) as
// numbers and timestamps (an I field of another width than 4, as the
// worst-case method writes them, as a little-endian integer of its width),
// memo fields as the text of their block (binary
// memos as base64). A blank field is null without complaint; bytes that
// cannot be what the type says give null and a reason, never a guess.
// This is not the recovery's record check (dbf/record_check.h), which only
// judges whether a record is kept and lets through values this decoder
// refuses; see there why the two differ.
#ifndef KEST_READER_FIELD_VALUE_H_
#define KEST_READER_FIELD_VALUE_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "reader/memo_file.h"
#include "reader/table.h"
#include "reader/text_decoder.h"

namespace kest::reader {

struct Value {
  enum class Kind { kNull, kBool, kInteger, kReal, kText, kDate, kTimestamp };
  Kind kind = Kind::kNull;
  bool boolean = false;
  int64_t integer = 0;
  double real = 0;
  // kText: UTF-8; kDate: YYYY-MM-DD; kTimestamp: YYYY-MM-DDTHH:MM:SS[.mmm];
  // kInteger: `integer` as std::to_chars writes it; kReal: the number as
  // written, for writers that keep text.
  std::string text;
};

// A value of the common field types as `FieldDecoder::decodeCommon` gives
// it, without a copy: `text` points into the record (or, for a date, into
// `iso`) and is valid while both are. Not copyable, as `text` may point
// into the view itself.
struct ValueView {
  ValueView() = default;
  ValueView(const ValueView&) = delete;
  ValueView& operator=(const ValueView&) = delete;
  // A view of a decoded value, valid while `value` is.
  explicit ValueView(const Value& value)
      : kind(value.kind),
        boolean(value.boolean),
        integer(value.integer),
        real(value.real),
        text(value.text) {}

  Value::Kind kind = Value::Kind::kNull;
  bool boolean = false;
  int64_t integer = 0;
  double real = 0;
  std::string_view text;  // as Value::text
  char iso[10] = {};
};

// What a column of this type holds once decoded, for typed outputs.
enum class ColumnKind { kText, kInteger, kReal, kBool, kDate, kTimestamp };
ColumnKind columnKind(const Field& field, const Header& header);

// A binary memo's value: the base64 of its bytes, with padding. The text
// of a run of bytes whose length is a multiple of 3 is the matching part
// of the whole's.
std::string base64(std::string_view bytes);

// Fields that hold no user data (the Visual FoxPro null-flags field) and
// are left out of every export.
bool isSystemField(const Field& field);

class FieldDecoder {
 public:
  // `memo` may be null (no companion): memo fields then fail with a reason.
  FieldDecoder(const Header& header, MemoFile* memo, TextDecoder* text)
      : header_(header), memo_(memo), text_(text) {}

  // Decodes `field` of `record`. False when the bytes cannot be decoded:
  // `value` is then null and `reason` says why, in a few words.
  bool decode(const Field& field, std::string_view record, Value* value, std::string* reason);

  // The same value as `decode` gives, for the values most fields hold (C
  // and V text that is ASCII the character set reads as itself, N and F
  // numbers in their plain forms, dates, logicals), at a fraction of its
  // cost: no copy and no allocation. False for anything else, blank
  // numbers of odd forms and every value `decode` refuses: `decode` then
  // says what the value is, or why it is none.
  bool decodeCommon(const Field& field, std::string_view record, ValueView* value) const;

  // A memo field's value in two steps, for a caller that takes a long memo
  // in pieces: `readMemo` reads the stored bytes, `memoValue` makes them
  // the value `decode` gives. kNone: no memo (a null value, no failure);
  // kFailed: null, for `reason`.
  enum class MemoBytes { kNone, kText, kBinary, kFailed };
  MemoBytes readMemo(const Field& field, std::string_view record, std::string* raw,
                     std::string* reason);
  bool memoValue(MemoBytes read, std::string_view raw, Value* value, std::string* reason);
  // Why a text memo that does not decode is null.
  std::string notTextReason() const;

 private:

  const Header& header_;
  MemoFile* memo_;
  TextDecoder* text_;
};

}  // namespace kest::reader

#endif  // KEST_READER_FIELD_VALUE_H_
