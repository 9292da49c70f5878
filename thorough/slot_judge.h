// How a thorough scan judges one record slot by its values: the record
// check of the table's fields, planned once for the record length, with the
// run's leniency. Pure over the slot's bytes.
#ifndef KEST_THOROUGH_SLOT_JUDGE_H_
#define KEST_THOROUGH_SLOT_JUDGE_H_

#include <cstdint>
#include <vector>

#include "dbf/record_check.h"

namespace kest {

enum class SlotKind { kLive, kDeleted, kJammedButSound, kFailed };

class SlotJudge {
 public:
  // Slots of `length` bytes holding `places`; memo references are held
  // against a memo file of `memoSize` bytes when `memoPresent`.
  SlotJudge(std::vector<FieldPlace> places, uint32_t length, bool memoPresent, uint32_t memoSize,
            bool relaxedValues);

  uint32_t length() const { return length_; }
  const std::vector<FieldPlace>& places() const { return places_; }
  // The check writes into the record (it blanks a field): judge a copy.
  bool blanks() const { return plan_.blanks(); }

  // Whether the fields of the `length()` bytes at `record` pass; `quiet`
  // logs nothing. A blanking check writes into them.
  bool fieldsPass(uint8_t* record, bool quiet) const;
  // fieldsPass, logged, where the check blanks nothing.
  bool fieldsPassInPlace(const uint8_t* record) const;
  // Whether a live slot a scan by the records found is kept: its fields
  // pass (logged) and, unless the record model refused them already
  // (`zerosJudged`), no zero bytes readers refuse stand in it. In place
  // where the check blanks nothing; keepsLive on a copy, which a blanking
  // check writes into.
  bool keepsLiveInPlace(const uint8_t* record, bool zerosJudged) const {
    return fieldsPassInPlace(record) && (zerosJudged || !zeroBytesRefused(record));
  }
  bool keepsLive(uint8_t* record, bool zerosJudged) const {
    return fieldsPass(record, /*quiet=*/false) && (zerosJudged || !zeroBytesRefused(record));
  }
  // The slot by its flag and its fields, logging nothing.
  SlotKind judge(uint8_t* record) const;
  // Whether a few zero bytes in a row stand where numbers and dates are
  // written as text: a zeroed stretch of the table begins or ends in the
  // slot, and readers refuse such values. Judged apart from the fields
  // where the record model has not judged the slot already.
  bool zeroedValues(const uint8_t* record) const;
  // Whether a value of the slot is one readers refuse and no writer
  // leaves: a number with a space among its digits, a logical of a zero
  // byte. A stretch of foreign or zeroed bytes leaves such values at its
  // edge; the relaxed check lets them pass in records that are there.
  bool refusedByReaders(const uint8_t* record) const;
  // zeroedValues, or a logical of a zero byte: the zero bytes readers
  // refuse. Every slot a scan writes is asked, so most are told by one
  // search over the stretch of numbers, dates and logicals.
  bool zeroBytesRefused(const uint8_t* record) const;

 private:
  RecordCheckMode mode(bool quiet) const;

  std::vector<FieldPlace> places_;
  uint32_t length_;
  RecordCheckPlan plan_;
  bool memoPresent_;
  uint32_t memoSize_;
  bool relaxedValues_;
  // Per byte of the record: 1 inside a field of numbers or dates as text.
  std::vector<uint8_t> textValues_;
  // The stretch of the record those fields cover; empty without any.
  uint32_t valuesFrom_ = UINT32_MAX;
  uint32_t valuesTo_ = 0;
  // Where the logicals and the numbers lie, whole inside the record: every
  // written slot is asked about them, so they are sorted out once.
  std::vector<uint32_t> logicals_;
  struct Span {
    uint32_t from;
    uint32_t length;
  };
  std::vector<Span> numbers_;
  // The stretch of the record the numbers, dates and logicals cover.
  uint32_t zeroFrom_ = UINT32_MAX;
  uint32_t zeroTo_ = 0;
  // Its bytes as words of the record: the high bit of each byte in the
  // stretch at `at`; none in a record shorter than a word.
  struct ZeroWord {
    uint32_t at;
    uint64_t mask;
  };
  std::vector<ZeroWord> zeroWords_;
};

}  // namespace kest

#endif  // KEST_THOROUGH_SLOT_JUDGE_H_
