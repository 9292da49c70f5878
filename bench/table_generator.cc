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
  uint8_t decimals;
};

const Field kFields[] = {{"NAME", 'C', 30, 0}, {"CITY", 'C', 20, 0}, {"AMOUNT", 'N', 12, 2},
                         {"QTY", 'N', 6, 0},   {"DUE", 'D', 8, 0},   {"PAID", 'L', 1, 0},
                         {"NOTE", 'M', 4, 0}};
constexpr size_t kFieldCount = sizeof kFields / sizeof kFields[0];
const Field kLedgerFields[] = {{"ACCOUNT", 'N', 8, 0}, {"POSTED", 'D', 8, 0},
                               {"AMOUNT", 'N', 12, 2}, {"BALANCE", 'N', 14, 2},
                               {"QTY", 'N', 6, 0},     {"CLOSED", 'L', 1, 0}};
constexpr size_t kLedgerFieldCount = sizeof kLedgerFields / sizeof kLedgerFields[0];
constexpr uint32_t kBacklinkLength = 263;  // Visual FoxPro tables carry one

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

const Field* fieldsOf(const TableShape& shape) { return shape.ledger ? kLedgerFields : kFields; }
size_t fieldCount(const TableShape& shape) {
  if (shape.ledger) return kLedgerFieldCount;
  return shape.memo ? kFieldCount : kFieldCount - 1;
}

bool binaryMemoNumber(const TableShape& shape) { return shape.memoKind == MemoKind::kVisualFoxPro; }
uint8_t memoFieldLength(const TableShape& shape) { return binaryMemoNumber(shape) ? 4 : 10; }
bool dbaseMemo(const TableShape& shape) {
  return shape.memoKind == MemoKind::kDbase3 || shape.memoKind == MemoKind::kDbase4;
}
uint32_t memoBlockSize(const TableShape& shape) { return dbaseMemo(shape) ? 512 : 64; }

uint8_t versionOf(const TableShape& shape) {
  if (!shape.memo) return 0x03;
  switch (shape.memoKind) {
    case MemoKind::kFoxPro2: return 0xF5;
    case MemoKind::kDbase3: return 0x83;
    case MemoKind::kDbase4: return 0x8B;
    default: return 0x30;
  }
}

// The note of record `index`: one sentence, with follow-ups for some, and
// every sixteenth long enough to span blocks of any kind.
std::string noteFor(uint64_t index) {
  std::string note = "Called on " + std::to_string(index % 28 + 1) + ".3., wants record " +
                     std::to_string(index) + " kept.";
  size_t followUps = index % 16 == 0 ? 24 : index % 3;
  for (size_t i = 1; i <= followUps; ++i) {
    note += "\r\nFollow-up " + std::to_string(i) + ": asked again about order " +
            std::to_string(index * 7 + i) + ".";
  }
  return note;
}

// A memo block as the kind stores it, padded to whole blocks.
std::string memoEntry(const TableShape& shape, const std::string& note) {
  std::string entry;
  uint8_t head[8] = {0};
  switch (shape.memoKind) {
    case MemoKind::kDbase3:
      entry = note + "\x1a\x1a";
      break;
    case MemoKind::kDbase4:
      head[0] = 0xFF, head[1] = 0xFF, head[2] = 0x08;
      le::Put32(head + 4, static_cast<uint32_t>(note.size() + 8));
      entry.assign(reinterpret_cast<char*>(head), 8);
      entry += note;
      break;
    default:  // big-endian type (1, text) and length
      head[3] = 1;
      for (int i = 0; i < 4; ++i) head[4 + i] = static_cast<uint8_t>(note.size() >> (24 - 8 * i));
      entry.assign(reinterpret_cast<char*>(head), 8);
      entry += note;
      break;
  }
  uint32_t block = memoBlockSize(shape);
  entry.resize((entry.size() + block - 1) / block * block, '\0');
  return entry;
}

// The memo header: the next free block, and where the kind keeps it, the
// block size (FoxPro: both big-endian; dBase: little-endian).
std::string memoHeader(const TableShape& shape, uint32_t nextBlock) {
  std::string head(512, '\0');
  auto* p = reinterpret_cast<uint8_t*>(head.data());
  if (dbaseMemo(shape)) {
    le::Put32(p, nextBlock);
    if (shape.memoKind == MemoKind::kDbase3) {
      p[16] = 0x03;
    } else {
      le::Put16(p + 20, static_cast<uint16_t>(memoBlockSize(shape)));
    }
  } else {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(nextBlock >> (24 - 8 * i));
    p[6] = static_cast<uint8_t>(memoBlockSize(shape) >> 8);
    p[7] = static_cast<uint8_t>(memoBlockSize(shape));
  }
  return head;
}

}  // namespace

uint32_t recordLength(const TableShape& shape) {
  uint32_t length = 1;
  const Field* fields = fieldsOf(shape);
  for (size_t i = 0; i < fieldCount(shape); ++i) {
    length += fields[i].type == 'M' ? memoFieldLength(shape) : fields[i].length;
  }
  return length;
}

std::string makeHeaderPart(const TableShape& shape) {
  const size_t fields = fieldCount(shape);
  const uint32_t backlink = versionOf(shape) == 0x30 ? kBacklinkLength : 0;
  const uint32_t headerLength = 32 + 32 * static_cast<uint32_t>(fields) + 1 + backlink;
  DbfHeader header;
  header.setVersion(versionOf(shape));
  header.bytes[1] = 125;  // last update 2025-06-01
  header.bytes[2] = 6;
  header.bytes[3] = 1;
  header.setRecordCount(static_cast<uint32_t>(shape.records));
  header.setHeaderLength(static_cast<uint16_t>(headerLength));
  header.setRecordLength(static_cast<uint16_t>(recordLength(shape)));
  std::string out(reinterpret_cast<const char*>(header.bytes), sizeof header.bytes);
  uint32_t displacement = 1;
  const Field* field = fieldsOf(shape);
  for (size_t i = 0; i < fields; ++i) {
    DbfFieldDescriptor d;
    d.setName(field[i].name);
    d.setType(field[i].type);
    uint8_t length = field[i].type == 'M' ? memoFieldLength(shape) : field[i].length;
    d.setLength(length);
    d.setDisplacement(displacement);
    d.bytes[17] = field[i].decimals;
    displacement += length;
    out.append(reinterpret_cast<const char*>(d.bytes), sizeof d.bytes);
  }
  out.push_back(static_cast<char>(kHeaderTerminator));
  out.append(backlink, '\0');
  return out;
}

// A ledger row: nothing but digits, spaces, a point and one letter, the
// kind of record a misaligned slot of itself still passes a value check for.
std::string makeLedgerRecord(const TableShape& shape, uint64_t index, uint64_t r) {
  char text[64];
  std::snprintf(text, sizeof text, " %8u%04u%02u%02u%12.2f%14.2f%6u%c",
                static_cast<unsigned>(10000 + index % 90000000),
                1990 + static_cast<unsigned>((r >> 20) % 35),
                1 + static_cast<unsigned>((r >> 28) % 12),
                1 + static_cast<unsigned>((r >> 32) % 28),
                static_cast<double>((r >> 16) % 10000000) / 100.0,
                static_cast<double>((r >> 8) % 1000000000) / 100.0,
                static_cast<unsigned>((r >> 40) % 1000), "TF"[(r >> 36) % 2]);
  std::string record(text, recordLength(shape));
  const uint32_t share = static_cast<uint32_t>((r >> 44) % 1000);
  if (share < shape.deletedPerMille) {
    record[0] = static_cast<char>(kDeletedRecord);
  } else if (share < shape.deletedPerMille + shape.damagedPerMille) {
    switch ((r >> 54) % 4) {
      case 0: record[0] = '#'; break;                      // a jammed deletion flag
      case 1: record[1 + 8 + 8 + 3] = 'x'; break;          // a letter in AMOUNT
      case 2: std::memcpy(&record[1 + 8 + 4], "13", 2); break;  // month 13
      default: record[1 + 8 + 8 + 12 + 14 + 6] = '?'; break;  // CLOSED
    }
  }
  return record;
}

std::string makeRecord(const TableShape& shape, uint64_t index, uint32_t memoBlock) {
  const uint64_t r = Mix(shape.seed * 0x100000001B3ull + index);
  if (shape.ledger) return makeLedgerRecord(shape, index, r);
  char text[128];
  std::snprintf(text, sizeof text, " %-30.30s%-20.20s%12.2f%6u%04u%02u%02u%c",
                (std::string(kNames[r % 10]) + " " + std::to_string(index)).c_str(),
                kCities[(r >> 8) % 10], static_cast<double>((r >> 16) % 10000000) / 100.0,
                static_cast<unsigned>((r >> 40) % 1000), 1990 + static_cast<unsigned>((r >> 20) % 35),
                1 + static_cast<unsigned>((r >> 28) % 12), 1 + static_cast<unsigned>((r >> 32) % 28),
                "TFYN"[(r >> 36) % 4]);
  std::string record(text, recordLength(shape) - (shape.memo ? memoFieldLength(shape) : 0));
  if (shape.memo && binaryMemoNumber(shape)) {
    uint8_t block[4];
    le::Put32(block, memoBlock);
    record.append(reinterpret_cast<const char*>(block), 4);
  } else if (shape.memo) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%10u", memoBlock);
    record += memoBlock == 0 ? std::string(10, ' ') : std::string(digits, 10);
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
  const uint32_t blockSize = memoBlockSize(shape);
  uint32_t nextBlock = (512 + blockSize - 1) / blockSize;
  if (shape.memo) {
    std::string memoPath =
        path.substr(0, path.find_last_of('.')) + (dbaseMemo(shape) ? ".dbt" : ".fpt");
    memo.open(memoPath, std::ios::binary | std::ios::trunc);
    memo << memoHeader(shape, 0);
    memo << std::string(nextBlock * blockSize - 512, '\0');
  }
  table << makeHeaderPart(shape);
  std::string buffer;
  for (uint64_t i = 0; i < shape.records; ++i) {
    uint32_t block = 0;
    if (shape.memo && i % 4 == 0) {
      std::string note = noteFor(i);
      if (shape.longMemoBytes > 0 && i < 12) {
        const std::string once = note + "\r\n";
        note.clear();
        while (note.size() < shape.longMemoBytes) note += once;
        note.resize(shape.longMemoBytes);
      }
      std::string entry = memoEntry(shape, note);
      memo.write(entry.data(), static_cast<std::streamsize>(entry.size()));
      block = nextBlock;
      nextBlock += static_cast<uint32_t>(entry.size() / blockSize);
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
    memo.seekp(0);
    memo << memoHeader(shape, nextBlock);
    if (!memo) return false;
  }
  return static_cast<bool>(table);
}

}  // namespace kest::bench
