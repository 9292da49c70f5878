// The rules of the table format that every reader of a table applies alike:
// which version bytes and field types exist, which descriptors can be
// believed, and when a header's own fields cannot describe its table. The
// recovery methods, the table reader of inspect and export, and the damage
// tool all take them from here, so that what inspect predicts is what a
// recovery does. Pure functions over bytes: no file, no log.
#ifndef KEST_DBF_TABLE_RULES_H_
#define KEST_DBF_TABLE_RULES_H_

#include <cstdint>
#include <optional>
#include <vector>

#include "dbf/dbf_format.h"

namespace kest {

// --- versions --------------------------------------------------------------

// What a version byte usually means, e.g. "FoxPro 2 with memo"; "unknown"
// for a byte no dBASE/FoxPro version writes.
const char* versionMeaning(uint8_t version);
bool knownVersion(uint8_t version);
// dBase II: an 8-byte header and 16-byte descriptors.
inline bool isDbase2Version(uint8_t version) { return version == 0x02; }
// Level 7: 48-byte descriptors from byte 68.
inline bool isLevel7Version(uint8_t version) { return (version & 0x07) == 0x04; }
// Visual FoxPro: a database back link after the terminator, binary types,
// the _NullFlags field.
inline bool isVisualFoxProVersion(uint8_t version) { return version >= 0x30 && version <= 0x32; }
// The versions whose writers record each field's place in its descriptor
// (the FoxPro ones); dBase III and IV leave whatever was in memory there.
bool recordsDisplacements(uint8_t version);

// Bytes of database back link Visual FoxPro keeps after the terminator.
inline constexpr uint32_t kBackLinkLength = 263;

// --- field types -----------------------------------------------------------

// Type letters some dBASE or FoxPro version writes, and those only Visual
// FoxPro writes.
inline constexpr char kKnownFieldTypes[] = "CNFLDMBGPIYTVWQ0@+O";
inline constexpr char kVisualFoxProOnlyTypes[] = "IYTVWQ0";
bool knownFieldType(char type);
bool visualFoxProOnlyType(char type);

// A descriptor that can be believed when nothing else vouches for it: a
// printable first name byte, a known type and a length.
bool plausibleDescriptor(const DbfFieldDescriptor& field);

// The 32-byte descriptors from byte 32 of `bytes` (the start of the table)
// up to the terminator, when there is at least one, every one is plausible,
// and the record they make fits in 16 bits. `recordLength` is 1 (the
// deletion flag) plus the fields' lengths.
struct StandingDescriptors {
  std::vector<DbfFieldDescriptor> fields;
  uint32_t terminatorAt = 0;
  uint32_t recordLength = 0;
};
std::optional<StandingDescriptors> standingDescriptors(const uint8_t* bytes, uint32_t size);

// The version byte of a header rebuilt from `fields`: Visual FoxPro where a
// back link follows the terminator or a type only it writes is there, else
// a memo version where a memo field is (FoxPro's with an .fpt companion,
// dBase III's without), else the plain one.
uint8_t rebuiltVersion(const std::vector<DbfFieldDescriptor>& fields, bool backLink,
                       bool fptCompanion);

// --- the header's own fields -----------------------------------------------

// What is known of a table's layout; a part not looked at stays unset.
struct HeaderFacts {
  uint8_t version = 0;
  // Unset for a layout that stores none (dBase II).
  std::optional<uint32_t> headerLength;
  uint32_t recordLength = 0;
  uint64_t fileSize = 0;
  // 1 plus the lengths of the descriptors read; unset when none were read.
  std::optional<uint64_t> fieldsEnd;
  // Where the descriptors' terminator stands, when one was found.
  std::optional<uint64_t> terminatorAt;
};

enum class HeaderFault {
  kNone,
  kNoRecordLength,         // record length 0
  kRecordTooShort,         // shorter than its own fields
  kNoFields,               // no descriptor, records longer than the flag
  kHeaderLengthTooShort,   // ends before the descriptors do
  kHeaderLengthPastFile,   // beyond the end of the file
  kUnknownVersionNoEnd,    // a version no writer uses and no terminator
};

// The first reason the header's own fields cannot describe the table, or
// kNone. A recovery that finds one rebuilds the header from standing
// descriptors or works the layout out of the records.
HeaderFault headerFault(const HeaderFacts& facts);
// The fault in words, e.g. "the record length is 0"; empty for kNone.
const char* headerFaultText(HeaderFault fault);

}  // namespace kest

#endif  // KEST_DBF_TABLE_RULES_H_
