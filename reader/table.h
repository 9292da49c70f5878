// Reading a .dbf table as it stands on disk, for the tools that show a table
// or take its data elsewhere; the recovery methods do not use it.
//
// Three header layouts are known: dBase II (8-byte header, 16-byte
// descriptors), the common one of dBase III to Visual FoxPro (32-byte header
// and descriptors), and dBase 7 (48-byte descriptors from byte 68). What the
// header and descriptors say is kept as read, damaged or not; judging it is
// the caller's business. Records are streamed through a buffer of bounded
// size. A Table is used by one thread at a time; it only reads its file.
#ifndef KEST_READER_TABLE_H_
#define KEST_READER_TABLE_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dbf/table_rules.h"
#include "platform/env.h"

namespace kest::reader {

enum class Layout { kDbase2, kStandard, kDbase7 };

inline constexpr uint8_t kLiveFlag = kest::kLiveRecord;
inline constexpr uint8_t kDeletedFlag = kest::kDeletedRecord;
inline constexpr uint8_t kTerminator = kest::kHeaderTerminator;
using kest::kEndOfFile;

struct Header {
  Layout layout = Layout::kStandard;
  uint8_t version = 0;
  // The last-update bytes as stored: year (since 1900), month, day.
  uint8_t updateYear = 0, updateMonth = 0, updateDay = 0;
  uint32_t recordCount = 0;
  uint32_t headerLength = 0;  // bytes before the first record
  uint32_t recordLength = 0;  // bytes per record, deletion flag included
  uint8_t tableFlags = 0;
  uint8_t codePage = 0;  // the language driver byte; 0 when not recorded
};

struct Field {
  std::string name;  // bytes up to the first NUL, as stored
  char type = 'C';
  uint32_t displacement = 0;  // as the descriptor says; 0 where the layout has none
  uint32_t offset = 0;        // where the reader takes the field from
  uint8_t length = 0;
  uint8_t decimals = 0;
};

// Versions, type letters and the rules of a sound header: dbf/table_rules.h.
// True when the name holds a byte below 0x20 or at and above 0x7F.
bool hasNonPrintingByte(std::string_view name);

class Table {
 public:
  // Opens the file and reads its header and descriptors. nullptr and a
  // reason when the file cannot be opened or read at all; a file of any
  // content opens (a zeroed header reads as a table of no fields). Reads
  // go through `env` (null: the platform's own).
  static std::unique_ptr<Table> Open(const std::string& path, std::string* error,
                                     platform::Env* env = nullptr);

  const std::string& path() const { return path_; }
  const Header& header() const { return header_; }
  const std::vector<Field>& fields() const { return fields_; }
  uint64_t fileSize() const { return fileSize_; }
  // Where the byte 0x0D that ends the descriptors stands; nullopt when no
  // descriptor slot begins with it.
  std::optional<uint64_t> terminatorOffset() const { return terminator_; }
  // What the header says of the layout, for headerFault: the one judgement
  // of whether a header can describe its table, shared with the recovery.
  HeaderFacts headerFacts() const;
  // Reads the table by another header than its own, as a recovery that
  // rebuilt it would: its version, header and record length and record
  // count; the fields are placed anew.
  void assumeLayout(uint8_t version, uint32_t headerLength, uint32_t recordLength,
                    uint32_t recordCount);

  // Whole records the file holds after the header, whatever the count says.
  uint64_t recordsInFile() const;
  // Records a reader walks: the header's count, cut to the whole records
  // the file holds.
  uint64_t readableRecords() const;

  // Reads record `index` (from 0); false past the end or on a read error.
  // The view stays valid until the next call. Reads ahead recordsPerRead()
  // records from `index` when the record is not in the buffer already.
  bool record(uint64_t index, std::string_view* bytes);

  // Records a read takes: at least kBufferBytes of them, so that the
  // platform's read-ahead block is passed over and the bytes are copied
  // once, straight into the buffer.
  uint64_t recordsPerRead() const;

  static constexpr size_t kBufferBytes = 1 << 20;

 private:
  Table() = default;
  void readLayout(const std::string& image);
  void placeFields();

  std::string path_;
  std::unique_ptr<platform::ReadableFile> file_;
  Header header_;
  std::vector<Field> fields_;
  uint64_t fileSize_ = 0;
  std::optional<uint64_t> terminator_;
  std::string buffer_;
  uint64_t bufferFirst_ = 0, bufferCount_ = 0;
};

}  // namespace kest::reader

#endif  // KEST_READER_TABLE_H_
