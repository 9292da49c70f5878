// Deterministic tables for the benchmarks: the same arguments give the
// same bytes on every machine.
//
// A table has the fields of a small customer file: NAME C 30, CITY C 20,
// AMOUNT N 12 (two decimals), QTY N 6, DUE D 8, PAID L 1, and with a memo
// companion NOTE M, every fourth record holding a note (some of them
// longer than one block). The memo kind decides the rest: a Visual FoxPro
// table (0x30, a binary block number of 4 bytes, .fpt of 64-byte blocks),
// FoxPro 2 (0xF5, ten digits, .fpt of 64-byte blocks), dBase III (0x83,
// ten digits, .dbt of 512-byte blocks ended by 1A 1A) or dBase IV (0x8B,
// ten digits, .dbt of 512-byte blocks headed FF FF 08 00 and a length
// that counts the head). A ledger (no memo) has only numbers, a date and a
// logical: ACCOUNT N 8, POSTED D 8, AMOUNT N 12.2, BALANCE N 14.2, QTY N 6,
// CLOSED L 1. Per mille shares of the records are
// deleted ('*') or damaged (a wrong deletion flag, a letter in a number, a
// month 13, a '?' for a logical value), chosen by a fixed pseudo-random
// sequence.
#ifndef KEST_BENCH_TABLE_GENERATOR_H_
#define KEST_BENCH_TABLE_GENERATOR_H_

#include <cstdint>
#include <string>
#include <vector>

namespace kest::bench {

enum class MemoKind { kVisualFoxPro, kFoxPro2, kDbase3, kDbase4 };

struct TableShape {
  uint64_t records = 0;
  bool memo = false;
  MemoKind memoKind = MemoKind::kVisualFoxPro;
  bool ledger = false;  // the ledger's fields instead of the customer file's; no memo
  uint32_t deletedPerMille = 60;
  uint32_t damagedPerMille = 10;
  uint64_t seed = 1;
  // The notes of the first three records with one run to this many bytes
  // (the note's own text over and over), for the bound of an export's
  // memory; 0: notes as usual.
  uint64_t longMemoBytes = 0;
};

// The bytes of one record (`recordLength(shape)` bytes, deletion flag first).
// `memoBlock` is the memo block of its note, 0 for none.
std::string makeRecord(const TableShape& shape, uint64_t index, uint32_t memoBlock);
uint32_t recordLength(const TableShape& shape);
// The header and descriptors of the table, up to the first record.
std::string makeHeaderPart(const TableShape& shape);

// Writes `path` (and, with a memo, the .fpt or .dbt of the same stem); false when
// a file cannot be written.
bool writeTable(const std::string& path, const TableShape& shape);

}  // namespace kest::bench

#endif  // KEST_BENCH_TABLE_GENERATOR_H_
