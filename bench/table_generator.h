// Deterministic tables for the benchmarks: the same arguments give the
// same bytes on every machine.
//
// A table has the fields of a small customer file: NAME C 30, CITY C 20,
// AMOUNT N 12 (two decimals), QTY N 6, DUE D 8, PAID L 1, and with a memo
// companion NOTE M 4 (a binary block number into the .fpt beside it, every
// fourth record holding a note). Per mille shares of the records are
// deleted ('*') or damaged (a wrong deletion flag, a letter in a number, a
// month 13, a '?' for a logical value), chosen by a fixed pseudo-random
// sequence.
#ifndef KEST_BENCH_TABLE_GENERATOR_H_
#define KEST_BENCH_TABLE_GENERATOR_H_

#include <cstdint>
#include <string>
#include <vector>

namespace kest::bench {

struct TableShape {
  uint64_t records = 0;
  bool memo = false;
  uint32_t deletedPerMille = 60;
  uint32_t damagedPerMille = 10;
  uint64_t seed = 1;
};

// The bytes of one record (`recordLength(shape)` bytes, deletion flag first).
// `memoBlock` is the .fpt block of its note, 0 for none.
std::string makeRecord(const TableShape& shape, uint64_t index, uint32_t memoBlock);
uint32_t recordLength(const TableShape& shape);
// The header and descriptors of the table, up to the first record.
std::string makeHeaderPart(const TableShape& shape);

// Writes `path` (and, with a memo, the .fpt of the same stem); false when
// a file cannot be written.
bool writeTable(const std::string& path, const TableShape& shape);

}  // namespace kest::bench

#endif  // KEST_BENCH_TABLE_GENERATOR_H_
