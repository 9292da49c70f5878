#include "thorough/header_rebuild.h"

#include <algorithm>
#include <cstdio>

#include "dbf/table_rules.h"
#include "thorough/phase_search.h"
#include "thorough/record_count.h"

namespace kest {

uint32_t allFieldSlots(uint16_t headerLength) {
  return headerLength >= 64 ? (headerLength - 32u) / 32u : fieldSlotCount(headerLength);
}

std::optional<RebuiltHeader> rebuildHeader(const ReadBytes& read, const DbfHeader& own,
                                           uint64_t fileSize, bool memoPresent,
                                           uint32_t memoSize, bool relaxedValues) {
  const uint64_t size = fileSize;
  if (size <= sizeof own.bytes) return std::nullopt;
  const uint32_t area = static_cast<uint32_t>(std::min<uint64_t>(size, 0xFFFF + 1));
  std::vector<uint8_t> bytes(area);
  read(0, area, bytes.data());

  std::optional<StandingDescriptors> standing = standingDescriptors(bytes.data(), area);
  if (!standing) return std::nullopt;
  std::vector<DbfFieldDescriptor>& fields = standing->fields;
  const uint32_t terminator = standing->terminatorAt;
  const uint32_t fieldsEnd = standing->recordLength;

  // Only a header that cannot describe the table is replaced.
  HeaderFacts facts;
  facts.version = own.version();
  facts.headerLength = own.headerLength();
  facts.recordLength = own.recordLength();
  facts.fileSize = size;
  facts.fieldsEnd = fieldsEnd;
  facts.terminatorAt = terminator;
  if (headerFault(facts) == HeaderFault::kNone) return std::nullopt;

  // The header length is the terminator's end, or that and a back link;
  // the records tell which.
  const uint32_t rebuiltLength = fieldsEnd;
  uint32_t rebuiltHeaderLength = terminator + 1;
  const uint32_t withBackLink = terminator + 1 + kBackLinkLength;
  if (withBackLink + uint64_t{rebuiltLength} <= size && withBackLink <= 0xFFFF) {
    const SlotJudge judge(placeFields(fields, nullptr), rebuiltLength, memoPresent, memoSize,
                          relaxedValues);
    PhaseSearch search(judge, read, [] {}, /*alignedText=*/false);
    const uint32_t plain = search.passingRun(rebuiltHeaderLength, size, kPhaseRun);
    const uint32_t linked = search.passingRun(withBackLink, size, kPhaseRun);
    if (linked > plain) rebuiltHeaderLength = withBackLink;
  }
  if (rebuiltHeaderLength > size) return std::nullopt;

  const uint8_t version =
      rebuiltVersion(fields, rebuiltHeaderLength == withBackLink, memoPresent);
  const uint32_t count = static_cast<uint32_t>((size - rebuiltHeaderLength) / rebuiltLength);

  RebuiltHeader rebuilt;
  rebuilt.header.setVersion(version);
  rebuilt.header.setRecordCount(count);
  rebuilt.header.setHeaderLength(static_cast<uint16_t>(rebuiltHeaderLength));
  rebuilt.header.setRecordLength(static_cast<uint16_t>(rebuiltLength));
  rebuilt.fields = std::move(fields);
  uint8_t last = 0;
  read(size - 1, 1, &last);
  rebuilt.cutOff = partialRecordAtEnd(size - rebuiltHeaderLength, rebuiltLength, last);
  return rebuilt;
}

std::optional<std::vector<FieldPlace>> placesInsideRecord(
    const std::vector<FieldPlace>& places, const std::vector<DbfFieldDescriptor>& fields,
    std::vector<bool>* memoAsCharacter, uint32_t recordLength) {
  bool inside = true;
  for (const FieldPlace& place : places) {
    inside &= uint64_t{place.displacement} + place.length <= recordLength;
  }
  if (inside) return std::nullopt;
  std::vector<DbfFieldDescriptor> sequential = fields;
  for (DbfFieldDescriptor& field : sequential) field.setDisplacement(0);
  return placeFields(sequential, memoAsCharacter);
}

TemplateLayout layoutByTemplate(const TableTemplate& layout, const uint8_t* own, size_t ownSize,
                                uint64_t fileSize) {
  TemplateLayout result;
  result.agreement = compareWithTemplate(layout, own, ownSize);
  // Whatever the table's own header says, the records are cut by the
  // template's layout, and every whole slot the file holds is looked at:
  // a count that survived may be stale or part of the damage.
  result.header = layout.header;
  const uint32_t headerLength = result.header.headerLength();
  const uint32_t recordLength = result.header.recordLength();
  const uint64_t slots = fileSize > headerLength ? (fileSize - headerLength) / recordLength : 0;
  result.header.setRecordCount(static_cast<uint32_t>(std::min<uint64_t>(slots, 0xFFFFFFFFu)));
  char version[8];
  std::snprintf(version, sizeof version, "0x%02X", result.header.version());
  result.repair = "structure taken from the template: " + std::to_string(layout.fields.size()) +
                  " fields, record length " + std::to_string(recordLength) + ", header length " +
                  std::to_string(headerLength) + ", version " + version;
  return result;
}

}  // namespace kest
