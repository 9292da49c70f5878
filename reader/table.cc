#include "reader/table.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

namespace kest::reader {
namespace {

uint16_t get16(const std::string& b, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(b[at]) |
                               (static_cast<uint8_t>(b[at + 1]) << 8));
}
uint32_t get32(const std::string& b, size_t at) {
  return static_cast<uint32_t>(get16(b, at)) | (static_cast<uint32_t>(get16(b, at + 2)) << 16);
}
uint8_t byteAt(const std::string& b, size_t at) {
  return at < b.size() ? static_cast<uint8_t>(b[at]) : 0;
}

std::string nameOf(const std::string& image, size_t at, size_t width) {
  std::string name = image.substr(at, width);
  size_t nul = name.find('\0');
  if (nul != std::string::npos) name.resize(nul);
  return name;
}

// Descriptor slots looked at when the header length cannot say how many
// there are: more fields than any version allows.
constexpr size_t kMaxSlotsWhenLost = 1024;

}  // namespace

bool hasNonPrintingByte(std::string_view name) {
  return std::any_of(name.begin(), name.end(), [](char c) {
    auto byte = static_cast<uint8_t>(c);
    return byte < 0x20 || byte >= 0x7F;
  });
}

std::unique_ptr<Table> Table::Open(const std::string& path, std::string* error,
                                   platform::Env* env) {
  std::unique_ptr<Table> table(new Table());
  table->path_ = path;
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) {
    *error = ec ? ec.message() : std::string("not a file");
    if (!std::filesystem::exists(path, ec)) *error = "no such file";
    return nullptr;
  }
  table->fileSize_ = std::filesystem::file_size(path, ec);
  if (ec) {
    *error = ec.message();
    return nullptr;
  }
  if (env == nullptr) env = platform::Env::Default();
  platform::Status opened = env->OpenReadOnly(path, &table->file_);
  if (!opened) {
    *error = "cannot be opened for reading";
    return nullptr;
  }
  table->fileSize_ = table->file_->Size();
  // The descriptors of any layout end within 64 KiB plus the dBase 7 lead.
  std::string image(static_cast<size_t>(std::min<uint64_t>(table->fileSize_, 65536 + 68)), '\0');
  size_t got = 0;
  if (!table->file_->ReadAt(0, image.data(), image.size(), &got) || got != image.size()) {
    *error = "read error in the header";
    return nullptr;
  }
  table->readLayout(image);
  return table;
}

void Table::readLayout(const std::string& raw) {
  std::string image = raw;
  if (image.size() < 68) image.resize(68, '\0');
  Header& h = header_;
  h.version = byteAt(image, 0);

  // dBase II: a 16-bit count and no header length; 32 slots of 16 bytes
  // from byte 8, the records after them.
  bool dbase2 = false;
  if (isDbase2Version(h.version)) {
    for (size_t slot = 0; slot <= 32; ++slot) {
      size_t at = 8 + 16 * slot;
      if (byteAt(image, at) == kTerminator) {
        dbase2 = slot > 0;
        break;
      }
      if (!knownFieldType(static_cast<char>(byteAt(image, at + 11)))) break;
    }
  }
  if (dbase2) {
    h.layout = Layout::kDbase2;
    h.recordCount = get16(image, 1);
    h.updateMonth = byteAt(image, 3);
    h.updateDay = byteAt(image, 4);
    h.updateYear = byteAt(image, 5);
    h.recordLength = get16(image, 6);
    h.headerLength = 8 + 32 * 16 + 1;
    for (size_t at = 8; at + 16 <= image.size() && byteAt(image, at) != kTerminator; at += 16) {
      Field f;
      f.name = nameOf(image, at, 11);
      f.type = static_cast<char>(byteAt(image, at + 11));
      f.length = byteAt(image, at + 12);
      f.decimals = byteAt(image, at + 15);
      fields_.push_back(f);
    }
    terminator_ = 8 + 16 * fields_.size();
  } else {
    h.layout = isLevel7Version(h.version) ? Layout::kDbase7 : Layout::kStandard;
    h.updateYear = byteAt(image, 1);
    h.updateMonth = byteAt(image, 2);
    h.updateDay = byteAt(image, 3);
    h.recordCount = get32(image, 4);
    h.headerLength = get16(image, 8);
    h.recordLength = get16(image, 10);
    h.tableFlags = byteAt(image, 28);
    h.codePage = byteAt(image, 29);
    size_t first = h.layout == Layout::kDbase7 ? 68 : 32;
    size_t width = h.layout == Layout::kDbase7 ? 48 : 32;
    // The header length bounds the slots when it can; a damaged one does
    // not, and then the scan goes on until a terminator or an empty slot.
    size_t limit = h.headerLength > first && h.headerLength <= raw.size()
                       ? h.headerLength
                       : std::min(raw.size(), first + width * kMaxSlotsWhenLost);
    // The terminator may be the header's last byte, with no slot after it.
    for (size_t at = first; at < limit; at += width) {
      if (byteAt(raw, at) == kTerminator) {
        terminator_ = at;
        break;
      }
      if (at + width > limit) break;
      if (std::all_of(raw.begin() + at, raw.begin() + at + width, [](char c) { return c == 0; }))
        break;
      Field f;
      if (h.layout == Layout::kDbase7) {
        f.name = nameOf(raw, at, 32);
        f.type = static_cast<char>(byteAt(raw, at + 32));
        f.length = byteAt(raw, at + 33);
        f.decimals = byteAt(raw, at + 34);
      } else {
        f.name = nameOf(raw, at, 11);
        f.type = static_cast<char>(byteAt(raw, at + 11));
        f.displacement = get32(raw, at + 12);
        f.length = byteAt(raw, at + 16);
        f.decimals = byteAt(raw, at + 17);
      }
      fields_.push_back(f);
    }
  }

  placeFields();
}

void Table::placeFields() {
  const Header& h = header_;
  // Displacements are believed only when every field has one that fits the
  // record; otherwise (unset, or stale memory addresses as dBase III
  // leaves them) the fields follow one another from byte 1.
  const bool byDisplacement =
      h.layout == Layout::kStandard && !fields_.empty() &&
      std::all_of(fields_.begin(), fields_.end(), [&](const Field& f) {
        return f.displacement >= 1 && f.displacement + f.length <= h.recordLength;
      });
  uint32_t next = 1;
  for (Field& f : fields_) {
    f.offset = byDisplacement ? f.displacement : next;
    next += f.length;
  }
}

HeaderFacts Table::headerFacts() const {
  HeaderFacts facts;
  facts.version = header_.version;
  if (header_.layout != Layout::kDbase2) facts.headerLength = header_.headerLength;
  facts.recordLength = header_.recordLength;
  facts.fileSize = fileSize_;
  uint64_t fieldsEnd = 1;
  for (const Field& f : fields_) fieldsEnd += f.length;
  facts.fieldsEnd = fieldsEnd;
  facts.terminatorAt = terminator_;
  return facts;
}

void Table::assumeLayout(uint8_t version, uint32_t headerLength, uint32_t recordLength,
                         uint32_t recordCount) {
  header_.version = version;
  header_.headerLength = headerLength;
  header_.recordLength = recordLength;
  header_.recordCount = recordCount;
  bufferCount_ = 0;
  placeFields();
}

uint64_t Table::recordsInFile() const {
  if (header_.recordLength == 0 || fileSize_ <= header_.headerLength) return 0;
  return (fileSize_ - header_.headerLength) / header_.recordLength;
}

uint64_t Table::readableRecords() const {
  return std::min<uint64_t>(header_.recordCount, recordsInFile());
}

uint64_t Table::recordsPerRead() const {
  const uint32_t length = std::max<uint32_t>(1, header_.recordLength);
  return (kBufferBytes + length - 1) / length;
}

bool Table::record(uint64_t index, std::string_view* bytes) {
  const uint32_t length = header_.recordLength;
  // The buffer holds only records of the file: a record found there needs
  // no other check.
  if (index - bufferFirst_ >= bufferCount_) {
    if (length == 0 || index >= recordsInFile()) return false;
    uint64_t count = std::min<uint64_t>(recordsPerRead(), recordsInFile() - index);
    buffer_.resize(static_cast<size_t>(count * length));
    size_t got = 0;
    if (!file_->ReadAt(header_.headerLength + index * length, buffer_.data(), buffer_.size(),
                       &got) ||
        got != buffer_.size()) {
      bufferCount_ = 0;
      return false;
    }
    bufferFirst_ = index;
    bufferCount_ = count;
  }
  *bytes = std::string_view(buffer_).substr(static_cast<size_t>((index - bufferFirst_) * length),
                                            length);
  return true;
}

}  // namespace kest::reader
