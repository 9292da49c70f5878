// Fuzzes the record layout search over a sample window taken whole from
// the input, step by step as the worst-case method runs it, and checks
// what the steps promise each other: a chosen length among the candidates,
// a phase inside the record, fields that tile positions 1..length-1
// within their type's bounds, and a header that leaves room for its
// descriptors.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "worst_case/layout_search.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kest;
  // The method searches no table shorter than this and no more of one
  // than the window; the steps are held to the same bounds.
  if (size < kMinSearchableSize) return 0;
  auto windowSize = static_cast<uint32_t>(std::min<size_t>(size, kSampleWindowSize));
  // An exact-size copy: a read past the window is caught.
  std::vector<uint8_t> window(data, data + windowSize);

  RecordLengthScores scores = scoreRecordLengths(window.data(), windowSize, nullptr);
  uint32_t length = chooseRecordLength(scores);
  if (length == 0) return 0;
  require(length >= kMinCandidateLength && length <= kMaxCandidateLength);

  uint32_t offset = findRecordOffset(window.data(), windowSize, length);
  require(offset < length);

  // The last records of the window, read from the table as the method
  // does: past the end of the input the bytes read as zero.
  uint32_t recordCount = windowSize / length;
  uint32_t sampled = headerZoneRecords(length);
  require(sampled <= recordCount);
  ColumnStatistics statistics(length);
  std::vector<uint8_t> record(length);
  for (uint32_t r = recordCount - sampled; r < recordCount; ++r) {
    size_t start = offset + static_cast<size_t>(r) * length;
    for (uint32_t k = 0; k < length; ++k) {
      record[k] = start + k < size ? data[start + k] : 0;
    }
    statistics.add(record.data());
  }

  std::string letters = statistics.columnLetters(sampled);
  require(letters.size() == length - 1);
  std::vector<InventedField> fields = cutIntoFields(letters);
  uint32_t next = 1;
  for (const InventedField& field : fields) {
    require(field.displacement == next && field.length >= 1);
    require(field.length <= (field.type == 'B'   ? 1
                             : field.type == 'I' ? kMaxIntegerFieldLength
                                                 : kMaxFieldLength));
    next += field.length;
  }
  require(next == length);

  std::vector<DbfFieldDescriptor> descriptors = makeDescriptors(fields);
  require(descriptors.size() == fields.size());
  DbfHeader header = makeLayoutHeader(recordCount, length, descriptors.size());
  require(header.recordLength() == length && header.recordCount() == recordCount);
  require(header.headerLength() >= headerBytesNeeded(descriptors.size()));
  return 0;
}
