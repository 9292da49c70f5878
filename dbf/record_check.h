// The record check: does a record's every field hold a plausible value
// for its type? Both recovery methods judge records with it.
//
// It is the recovery's judgement of a record, not a decoder of its values,
// and it differs from the table reader's decoder (reader/field_value.h) on
// purpose: it judges only C, D, N, L and M fields, by the bytes they may
// hold, and the classic check must stay as results already made rely on
// it. The decoder must turn each value into a typed one for export, so it
// asks more (a date that is a calendar date, a number that parses) and
// knows every type. A record this check keeps may so hold a value export
// gives as null; what a recovery keeps is what this check passes.
//
// The check judges and logs; it repairs nothing, except that a memo field
// turned into a character field (the table has no memo companion) is
// blanked in the record buffer. A failed field never stops the check:
// every field is examined and every failure logged.
#ifndef KEST_DBF_RECORD_CHECK_H_
#define KEST_DBF_RECORD_CHECK_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "dbf/dbf_format.h"

namespace kest {

// Where a field lies in the record and how it is judged.
struct FieldPlace {
  char type = 'C';
  uint32_t displacement = 0;  // from the deletion flag at 0
  uint32_t length = 0;
  bool memoAsCharacter = false;  // blank it, do not log it
};

// Places the fields by their descriptors' displacements. When every
// descriptor has displacement 0 (classic dBase III tables and shapefiles
// leave it unset), the fields are placed one after another from byte 1.
// `memoAsCharacter` may be null (no field flagged) or hold one flag per field.
std::vector<FieldPlace> placeFields(const std::vector<DbfFieldDescriptor>& fields,
                                    const std::vector<bool>* memoAsCharacter);

// True when every descriptor has displacement 0 (and there is at least one).
bool displacementsAllZero(const std::vector<DbfFieldDescriptor>& fields);

// Judges one record of `recordLength` bytes and logs what it finds. Field
// bytes that lie beyond the record read as zero, and blanking writes only
// inside it. For damaged fields: a date text shorter than eight characters
// gives its components only the characters it has; with no valid month the
// day is held against 31; a memo field shorter than four bytes counts the
// missing bytes of its block number as zero. Allocates nothing.
bool checkRecord(uint8_t* record, size_t recordLength,
                 const std::vector<FieldPlace>& fields, bool memoPresent,
                 uint32_t memoSize);

// How a thorough run asks for its judgement. The classic check above is
// checkRecord with both off.
struct RecordCheckMode {
  // Values a sound table holds although the rules above refuse them count
  // as empty values: a blank date (spaces or zero bytes), a date before
  // 1970 or after 2100 that is still a calendar date, a '?' logical (not
  // yet set) and a logical of zero bytes.
  bool relaxedValues = false;
  // Judge without a log line, for a probe of where records lie: such a
  // judgement is not the judgement of a record the run keeps or passes over.
  bool quiet = false;
};

bool checkRecord(uint8_t* record, size_t recordLength,
                 const std::vector<FieldPlace>& fields, bool memoPresent,
                 uint32_t memoSize, const RecordCheckMode& mode);

// The check of one table's records of one length, sorted out once: a scan
// that judges every record of that length makes one plan and hands it to
// checkRecord instead of the fields. Judged without a log, a record then
// costs only the fields the check reads or blanks, gathered by rule, their
// bytes already measured against the record; with a log the plan's copy of
// the fields is walked as above. Either way the verdict, the blanking and
// every log line are those of checkRecord over the same fields and record
// length. Making a plan allocates; judging with one does not.
class RecordCheckPlan {
 public:
  RecordCheckPlan(const std::vector<FieldPlace>& fields, size_t recordLength);
  RecordCheckPlan(RecordCheckPlan&&) noexcept;
  RecordCheckPlan& operator=(RecordCheckPlan&&) noexcept;
  ~RecordCheckPlan();

  const std::vector<FieldPlace>& fields() const { return fields_; }
  size_t recordLength() const { return recordLength_; }
  // Whether the check writes into the record: it blanks a memo field held
  // as a character field.
  bool blanks() const { return blanks_; }

  struct Steps;  // what the check without a log does, rule by rule
  const Steps& steps() const { return *steps_; }

 private:
  std::vector<FieldPlace> fields_;
  size_t recordLength_;
  bool blanks_;
  std::unique_ptr<const Steps> steps_;
};

// `record` holds plan.recordLength() bytes (or none when that is 0).
bool checkRecord(uint8_t* record, const RecordCheckPlan& plan, bool memoPresent,
                 uint32_t memoSize);
bool checkRecord(uint8_t* record, const RecordCheckPlan& plan, bool memoPresent,
                 uint32_t memoSize, const RecordCheckMode& mode);

// checkRecord through a plan that blanks nothing (!plan.blanks()), which
// only reads the record: a scan may judge it where it lies in a buffer
// that is not its own.
bool checkRecordInPlace(const uint8_t* record, const RecordCheckPlan& plan, bool memoPresent,
                        uint32_t memoSize);
bool checkRecordInPlace(const uint8_t* record, const RecordCheckPlan& plan, bool memoPresent,
                        uint32_t memoSize, const RecordCheckMode& mode);

}  // namespace kest

#endif  // KEST_DBF_RECORD_CHECK_H_
