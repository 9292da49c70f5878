#include "tests/table_reader.h"

#include <algorithm>
#include <utility>

#include "tests/test_support.h"

namespace kest::testing {

TableImage TableImage::FromBytes(std::string bytes) {
  TableImage t;
  t.bytes = std::move(bytes);
  std::copy_n(t.bytes.begin(), std::min<size_t>(32, t.bytes.size()), t.header.bytes);
  for (size_t at = 32; at + 32 <= t.header.headerLength() && at < t.bytes.size(); at += 32) {
    if (static_cast<uint8_t>(t.bytes[at]) == kHeaderTerminator) break;
    DbfFieldDescriptor d;
    std::copy_n(t.bytes.begin() + static_cast<std::ptrdiff_t>(at),
                std::min<size_t>(32, t.bytes.size() - at), d.bytes);
    t.fields.push_back(d);
  }
  for (uint32_t i = 0; i < t.header.recordCount(); ++i) {
    size_t at = t.header.headerLength() + size_t{i} * t.header.recordLength();
    if (at >= t.bytes.size()) break;
    t.records.push_back(t.bytes.substr(at, t.header.recordLength()));
  }
  return t;
}

TableImage TableImage::Read(const std::string& path) { return FromBytes(readFile(path)); }

TableImage::TableImage(const std::string& path) : TableImage(Read(path)) {}

bool TableImage::whole(std::string* why) const {
  std::string ignored;
  std::string& reason = why != nullptr ? *why : ignored;
  if (bytes.size() < 33) {
    reason = "shorter than a header (" + std::to_string(bytes.size()) + " bytes)";
    return false;
  }
  size_t terminator = 32 + 32 * fields.size();
  if (terminator >= bytes.size() || static_cast<uint8_t>(bytes[terminator]) != kHeaderTerminator) {
    reason = "no terminator after the " + std::to_string(fields.size()) + " descriptors";
    return false;
  }
  uint64_t expected = uint64_t{header.headerLength()} +
                      uint64_t{header.recordCount()} * header.recordLength() + 1;
  if (bytes.size() != expected) {
    reason = std::to_string(bytes.size()) + " bytes, the header declares " +
             std::to_string(expected);
    return false;
  }
  if (static_cast<uint8_t>(bytes.back()) != kEndOfFile) {
    reason = "no end mark";
    return false;
  }
  return true;
}

}  // namespace kest::testing
