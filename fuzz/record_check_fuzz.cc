// Fuzzes the record check over descriptors and a record taken from the
// input, laid out as in a table so that real tables make good seeds:
//
//   byte 0      bit 0: the table has a memo companion; bit 1: memo fields
//               are judged as character fields (no companion was found)
//   bytes 1..4  the memo companion's size, little-endian
//   then        32-byte descriptors up to a slot that begins with the
//               terminator 0x0D (at most 32 of them); the bytes after the
//               terminator are one record, exactly as long as what is left
//
// The record lives in a buffer of exactly its length, so that a read or a
// blanking outside it is caught by AddressSanitizer. The check through the
// fields and the check through a plan must agree.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "dbf/record_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  bool memoPresent = data[0] & 1;
  bool memoAsCharacter = data[0] & 2;
  uint32_t memoSize = kest::le::Get32(data + 1);
  size_t at = 5;

  std::vector<kest::DbfFieldDescriptor> fields;
  while (fields.size() < kest::kMaxFieldSlots && at < size && data[at] != kest::kHeaderTerminator &&
         size - at >= sizeof(kest::DbfFieldDescriptor)) {
    kest::DbfFieldDescriptor descriptor;
    std::memcpy(descriptor.bytes, data + at, sizeof descriptor.bytes);
    fields.push_back(descriptor);
    at += sizeof descriptor.bytes;
  }
  if (at < size && data[at] == kest::kHeaderTerminator) ++at;

  std::vector<bool> flags;
  for (const kest::DbfFieldDescriptor& field : fields) {
    flags.push_back(memoAsCharacter && field.type() == 'M');
  }
  std::vector<kest::FieldPlace> places =
      kest::placeFields(fields, memoAsCharacter ? &flags : nullptr);

  std::vector<uint8_t> record(data + at, data + size);
  std::vector<uint8_t> planned = record;
  const bool valid = kest::checkRecord(record.data(), record.size(), places, memoPresent, memoSize);
  // A plan made for the record's length gathers the fields by rule and
  // reads the numeric ones a word at a time: it must judge and blank alike.
  const kest::RecordCheckPlan plan(places, planned.size());
  if (kest::checkRecord(planned.data(), plan, memoPresent, memoSize) != valid || planned != record) {
    std::abort();
  }
  return 0;
}
