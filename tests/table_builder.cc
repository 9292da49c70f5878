#include "tests/table_builder.h"

#include <algorithm>

#include "tests/test_support.h"

namespace kest::testing {

TableBuilder::TableBuilder() {
  header_.setVersion(0x03);
  header_.bytes[1] = 124;  // 2024-01-15
  header_.bytes[2] = 1;
  header_.bytes[3] = 15;
}

TableBuilder& TableBuilder::field(const std::string& name, char type, uint8_t length,
                                  int64_t displacement) {
  DbfFieldDescriptor d;
  d.setName(name);
  d.setType(type);
  d.setLength(length);
  uint32_t place = displacement >= 0 ? static_cast<uint32_t>(displacement) : nextDisplacement_;
  d.setDisplacement(place);
  nextDisplacement_ = std::max(nextDisplacement_, place + length);
  fields_.push_back(d);
  return *this;
}

TableBuilder& TableBuilder::record(const std::string& body, char flag) {
  records_.emplace_back(flag, body);
  return *this;
}

TableBuilder& TableBuilder::version(uint8_t v) { header_.setVersion(v); return *this; }
TableBuilder& TableBuilder::recordCount(uint32_t n) { recordCount_ = n; return *this; }
TableBuilder& TableBuilder::headerLength(uint16_t n) { headerLength_ = n; return *this; }
TableBuilder& TableBuilder::recordLength(uint16_t n) { recordLength_ = n; return *this; }
TableBuilder& TableBuilder::tableFlags(uint8_t f) { header_.setTableFlags(f); return *this; }
TableBuilder& TableBuilder::padding(uint8_t byte) { padding_ = byte; return *this; }
TableBuilder& TableBuilder::beforeTerminator(const std::string& bytes) {
  beforeTerminator_ = bytes;
  return *this;
}
TableBuilder& TableBuilder::endOfFile(bool on) { endOfFile_ = on; return *this; }

uint16_t TableBuilder::currentRecordLength() const {
  if (recordLength_ >= 0) return static_cast<uint16_t>(recordLength_);
  uint32_t length = 1;
  for (const DbfFieldDescriptor& d : fields_) length = std::max(length, d.displacement() + d.length());
  return static_cast<uint16_t>(length);
}

uint16_t TableBuilder::currentHeaderLength() const {
  if (headerLength_ >= 0) return static_cast<uint16_t>(headerLength_);
  return static_cast<uint16_t>(32 + 32 * fields_.size() + beforeTerminator_.size() + 1);
}

std::string TableBuilder::bytes() const {
  DbfHeader header = header_;
  header.setRecordCount(recordCount_ >= 0 ? static_cast<uint32_t>(recordCount_)
                                          : static_cast<uint32_t>(records_.size()));
  header.setHeaderLength(currentHeaderLength());
  header.setRecordLength(currentRecordLength());

  std::string out(reinterpret_cast<const char*>(header.bytes), 32);
  for (const DbfFieldDescriptor& d : fields_) out.append(reinterpret_cast<const char*>(d.bytes), 32);
  out += beforeTerminator_;
  out += static_cast<char>(kHeaderTerminator);
  if (out.size() < header.headerLength()) {
    out.append(header.headerLength() - out.size(), static_cast<char>(padding_));
  } else {
    out.resize(header.headerLength());  // a header length that cuts the descriptors
  }
  for (const auto& [flag, body] : records_) {
    std::string rec = std::string(1, flag) + body;
    rec.resize(header.recordLength(), ' ');
    out += rec;
  }
  if (endOfFile_) out += static_cast<char>(kEndOfFile);
  return out;
}

void TableBuilder::write(const std::string& path) const { writeFile(path, bytes()); }

}  // namespace kest::testing
