#include "bench/table_generator.h"

#include <cstdio>
#include <cstring>
#include <fstream>

#include "dbf/dbf_format.h"

namespace kest::bench {

namespace {

struct Field {
  const char* name;
  char type;
  uint8_t length;
};

const Field kFields[] = {{"NAME", 'C', 30}, {"CITY", 'C', 20}, {"AMOUNT", 'N', 12},
                         {"QTY", 'N', 6},   {"DUE", 'D', 8},   {"PAID", 'L', 1},
                         {"NOTE", 'M', 4}};
constexpr size_t kFieldCount = sizeof kFields / sizeof kFields[0];
constexpr uint32_t kMemoBlockSize = 64;
constexpr uint32_t kBacklinkLength = 263;  // the tables with a memo carry one

const char* const kNames[] = {"Miller", "Okafor", "Lindqvist", "Nakamura", "Dubois",
                              "Kowalski", "Haddad", "Ferreira", "Schmidt", "Novak"};
const char* const kCities[] = {"Lyon", "Porto", "Gdansk", "Osaka", "Tampere",
                               "Leeds", "Graz", "Bergen", "Cluj", "Aarhus"};

// splitmix64: the sequence every shape and index is drawn from.
uint64_t Mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

size_t fieldCount(const TableShape& shape) { return shape.memo ? kFieldCount : kFieldCount - 1; }

}  // namespace

uint32_t recordLength(const TableShape& shape) {
  uint32_t length = 1;
  for (size_t i = 0; i < fieldCount(shape); ++i) length += kFields[i].length;
  return length;
}

std::string makeHeaderPart(const TableShape& shape) {
  const size_t fields = fieldCount(shape);
  const uint32_t headerLength =
      32 + 32 * static_cast<uint32_t>(fields) + 1 + (shape.memo ? kBacklinkLength : 0);
  DbfHeader header;
  header.setVersion(shape.memo ? 0x30 : 0x03);
  header.bytes[1] = 125;  // last update 2025-06-01
  header.bytes[2] = 6;
  header.bytes[3] = 1;
  header.setRecordCount(static_cast<uint32_t>(shape.records));
  header.setHeaderLength(static_cast<uint16_t>(headerLength));
  header.setRecordLength(static_cast<uint16_t>(recordLength(shape)));
  std::string out(reinterpret_cast<const char*>(header.bytes), sizeof header.bytes);
  uint32_t displacement = 1;
  for (size_t i = 0; i < fields; ++i) {
    DbfFieldDescriptor d;
    d.setName(kFields[i].name);
    d.setType(kFields[i].type);
    d.setLength(kFields[i].length);
    d.setDisplacement(displacement);
    if (kFields[i].type == 'N' && kFields[i].length == 12) d.bytes[17] = 2;
    displacement += kFields[i].length;
    out.append(reinterpret_cast<const char*>(d.bytes), sizeof d.bytes);
  }
  out.push_back(static_cast<char>(kHeaderTerminator));
  if (shape.memo) out.append(kBacklinkLength, '\0');
  return out;
}

std::string makeRecord(const TableShape& shape, uint64_t index, uint32_t memoBlock) {
  const uint64_t r = Mix(shape.seed * 0x100000001B3ull + index);
  char text[128];
  std::snprintf(text, sizeof text, " %-30.30s%-20.20s%12.2f%6u%04u%02u%02u%c",
                (std::string(kNames[r % 10]) + " " + std::to_string(index)).c_str(),
                kCities[(r >> 8) % 10], static_cast<double>((r >> 16) % 10000000) / 100.0,
                static_cast<unsigned>((r >> 40) % 1000), 1990 + static_cast<unsigned>((r >> 20) % 35),
                1 + static_cast<unsigned>((r >> 28) % 12), 1 + static_cast<unsigned>((r >> 32) % 28),
                "TFYN"[(r >> 36) % 4]);
  std::string record(text, recordLength(shape) - (shape.memo ? 4 : 0));
  if (shape.memo) {
    uint8_t block[4];
    le::Put32(block, memoBlock);
    record.append(reinterpret_cast<const char*>(block), 4);
  }
  const uint32_t share = static_cast<uint32_t>((r >> 44) % 1000);
  if (share < shape.deletedPerMille) {
    record[0] = static_cast<char>(kDeletedRecord);
  } else if (share < shape.deletedPerMille + shape.damagedPerMille) {
    switch ((r >> 54) % 4) {
      case 0: record[0] = '#'; break;              // a jammed deletion flag
      case 1: record[1 + 30 + 20 + 3] = 'x'; break;  // a letter in AMOUNT
      case 2: std::memcpy(&record[1 + 30 + 20 + 12 + 6 + 4], "13", 2); break;  // month 13
      default: record[1 + 30 + 20 + 12 + 6 + 8] = '?'; break;  // PAID
    }
  }
  return record;
}

bool writeTable(const std::string& path, const TableShape& shape) {
  std::ofstream table(path, std::ios::binary | std::ios::trunc);
  std::ofstream memo;
  uint32_t nextBlock = 512 / kMemoBlockSize;
  if (shape.memo) {
    std::string memoPath = path.substr(0, path.find_last_of('.')) + ".fpt";
    memo.open(memoPath, std::ios::binary | std::ios::trunc);
    memo.write(std::string(512, '\0').data(), 512);
  }
  table << makeHeaderPart(shape);
  std::string buffer;
  for (uint64_t i = 0; i < shape.records; ++i) {
    uint32_t block = 0;
    if (shape.memo && i % 4 == 0) {
      // A text note, padded to whole blocks.
      std::string note = "Called on " + std::to_string(i % 28 + 1) + ".3., wants record " +
                         std::to_string(i) + " kept.";
      std::string entry(8, '\0');
      entry[3] = 1;  // text
      entry[4] = static_cast<char>(note.size() >> 24);
      entry[5] = static_cast<char>(note.size() >> 16);
      entry[6] = static_cast<char>(note.size() >> 8);
      entry[7] = static_cast<char>(note.size());
      entry += note;
      entry.resize((entry.size() + kMemoBlockSize - 1) / kMemoBlockSize * kMemoBlockSize, '\0');
      memo.write(entry.data(), static_cast<std::streamsize>(entry.size()));
      block = nextBlock;
      nextBlock += static_cast<uint32_t>(entry.size() / kMemoBlockSize);
    }
    buffer += makeRecord(shape, i, block);
    if (buffer.size() >= (1u << 20)) {
      table.write(buffer.data(), static_cast<std::streamsize>(buffer.size()));
      buffer.clear();
    }
  }
  buffer.push_back(static_cast<char>(kEndOfFile));
  table.write(buffer.data(), static_cast<std::streamsize>(buffer.size()));
  if (shape.memo) {
    // The memo header: the next free block and the block size, big-endian.
    memo.seekp(0);
    const char head[8] = {static_cast<char>(nextBlock >> 24), static_cast<char>(nextBlock >> 16),
                          static_cast<char>(nextBlock >> 8),  static_cast<char>(nextBlock),
                          0, 0, 0, static_cast<char>(kMemoBlockSize)};
    memo.write(head, sizeof head);
    if (!memo) return false;
  }
  return static_cast<bool>(table);
}

}  // namespace kest::bench
