// The layout of a .dbf table as the engine reads and writes it.
//
// A table is a 32-byte header, 32-byte field descriptors, the terminator
// 0x0D, padding up to `headerLength`, fixed-length records (deletion flag
// first) and the end-of-file byte 0x1A. Header and descriptors are kept as
// their raw images, so that every byte the engine does not interpret is
// carried over unchanged; the accessors read and write little-endian
// numbers whatever the host's byte order.
#ifndef KEST_DBF_DBF_FORMAT_H_
#define KEST_DBF_DBF_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/env.h"

namespace kest {

class LLFile;

inline constexpr uint8_t kHeaderTerminator = 0x0D;
inline constexpr uint8_t kEndOfFile = 0x1A;
inline constexpr uint8_t kLiveRecord = 0x20;     // ' '
inline constexpr uint8_t kDeletedRecord = 0x2A;  // '*'
inline constexpr uint32_t kMaxFieldSlots = 32;
// A field's length is stored in one byte of its descriptor.
inline constexpr uint32_t kMaxFieldLength = 255;

namespace le {
inline uint16_t Get16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
}  // namespace le

struct DbfHeader {
  // Where the record count stands, for a writer that corrects it in place.
  static constexpr size_t kRecordCountOffset = 4;

  uint8_t bytes[32] = {};

  uint8_t version() const { return bytes[0]; }
  void setVersion(uint8_t v) { bytes[0] = v; }
  // lastUpdate: bytes 1..3 (year, month, day), not interpreted.
  uint32_t recordCount() const { return le::Get32(bytes + kRecordCountOffset); }
  void setRecordCount(uint32_t v) { le::Put32(bytes + kRecordCountOffset, v); }
  uint16_t headerLength() const { return le::Get16(bytes + 8); }
  void setHeaderLength(uint16_t v) { le::Put16(bytes + 8, v); }
  uint16_t recordLength() const { return le::Get16(bytes + 10); }
  void setRecordLength(uint16_t v) { le::Put16(bytes + 10, v); }
  uint8_t tableFlags() const { return bytes[28]; }
  void setTableFlags(uint8_t v) { bytes[28] = v; }
};
static_assert(sizeof(DbfHeader) == 32, "the table header is 32 bytes on disk");

struct DbfFieldDescriptor {
  uint8_t bytes[32] = {};

  // The name, up to its first NUL (at most 11 characters).
  std::string name() const;
  // Writes `name` (at most 11 characters), NUL-padded.
  void setName(const std::string& name);
  char type() const { return static_cast<char>(bytes[11]); }
  void setType(char t) { bytes[11] = static_cast<uint8_t>(t); }
  uint32_t displacement() const { return le::Get32(bytes + 12); }
  void setDisplacement(uint32_t v) { le::Put32(bytes + 12, v); }
  uint8_t length() const { return bytes[16]; }
  void setLength(uint8_t v) { bytes[16] = v; }
  uint8_t decimals() const { return bytes[17]; }
  // Visual FoxPro's field flags (0 elsewhere): kFieldNoTranslation, ...
  uint8_t flags() const { return bytes[18]; }
  void setFlags(uint8_t v) { bytes[18] = v; }
};
// The field's bytes are shown as stored, never converted between code pages.
inline constexpr uint8_t kFieldNoTranslation = 0x04;
static_assert(sizeof(DbfFieldDescriptor) == 32, "a field descriptor is 32 bytes on disk");

// min(32, (headerLength - 32) / 32) in unsigned 32-bit arithmetic, so a
// header length below 32 wraps around and gives 32.
uint32_t fieldSlotCount(uint16_t headerLength);

// Reads up to `slotCount` descriptors from the file's current position,
// stopping at a slot whose first byte is the header terminator.
std::vector<DbfFieldDescriptor> readFieldList(LLFile& file, uint32_t slotCount);

// Bytes that the header, `fieldCount` descriptors and the terminator take.
uint32_t headerBytesNeeded(size_t fieldCount);

// Writes header, descriptors, terminator and zero padding up to the header
// length. When the pieces need more than `header.headerLength()`, the
// header length written is the real size instead, so that the records that
// follow start where the written header says. Fails, with the write's
// Status, when a write fails or comes up short. `afterHeader`, when set,
// runs once the 32 header bytes are out and before the descriptors (a
// writer polls the user break there); whatever it raises passes through.
// `afterTerminator` (a back link) opens the padding, as far as the header
// length leaves room for it.
platform::Status writeTableHeader(platform::WritableFile& out, DbfHeader header,
                                  const std::vector<DbfFieldDescriptor>& fields,
                                  const std::function<void()>& afterHeader = {},
                                  const std::vector<uint8_t>& afterTerminator = {});

// Writes the end-of-file byte; fails when the write fails.
platform::Status writeEndOfFile(platform::WritableFile& out);

}  // namespace kest

#endif  // KEST_DBF_DBF_FORMAT_H_
