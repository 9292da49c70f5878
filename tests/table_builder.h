// Builds .dbf table images for tests: a header, field descriptors, the
// terminator, padding and records, with every byte under the test's control.
#ifndef KEST_TESTS_TABLE_BUILDER_H_
#define KEST_TESTS_TABLE_BUILDER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "dbf/dbf_format.h"

namespace kest::testing {

class TableBuilder {
 public:
  TableBuilder();

  // Adds a field placed right after the fields before it (from byte 1),
  // unless `displacement` is given.
  TableBuilder& field(const std::string& name, char type, uint8_t length,
                      int64_t displacement = -1);
  // Adds a record: `flag` then `body`, padded with spaces (or cut) to the
  // record length.
  TableBuilder& record(const std::string& body, char flag = ' ');
  // Overrides; by default they follow from the fields and records.
  TableBuilder& version(uint8_t v);
  TableBuilder& recordCount(uint32_t n);
  TableBuilder& headerLength(uint16_t n);
  TableBuilder& recordLength(uint16_t n);
  TableBuilder& tableFlags(uint8_t flags);
  // Bytes written between the terminator and `headerLength`.
  TableBuilder& padding(uint8_t byte);
  // Bytes placed between the last descriptor and the terminator (counted in
  // the default header length), e.g. to move the terminator off a slot start.
  TableBuilder& beforeTerminator(const std::string& bytes);
  TableBuilder& endOfFile(bool on);

  uint16_t currentRecordLength() const;
  uint16_t currentHeaderLength() const;
  const std::vector<DbfFieldDescriptor>& fields() const { return fields_; }

  std::string bytes() const;
  // Writes bytes() to `path`.
  void write(const std::string& path) const;

 private:
  std::vector<DbfFieldDescriptor> fields_;
  std::vector<std::pair<char, std::string>> records_;
  uint32_t nextDisplacement_ = 1;
  DbfHeader header_;
  int64_t recordCount_ = -1, headerLength_ = -1, recordLength_ = -1;
  uint8_t padding_ = 0;
  std::string beforeTerminator_;
  bool endOfFile_ = true;
};

}  // namespace kest::testing

#endif  // KEST_TESTS_TABLE_BUILDER_H_
