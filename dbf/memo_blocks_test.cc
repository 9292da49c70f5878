#include "dbf/memo_blocks.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/test_support.h"

namespace kest {
namespace {

using testing::TempDir;
using testing::writeFile;

TEST(MemoBlockNumber, ReadsBinaryAndTextNumbers) {
  struct Case {
    std::string field;
    uint32_t block;
  } cases[] = {
      {std::string("\x05\x00\x00\x00", 4), 5},
      {std::string("\x00\x01\x00\x00", 4), 256},
      {"         7", 7},
      {"0000000012", 12},
      {"          ", 0},
      {"   12 4   ", 0},
      {"  x1      ", 0},
      {"9999999999", 0},  // beyond 32 bits
  };
  for (const Case& c : cases) {
    EXPECT_EQ(memoBlockNumber(reinterpret_cast<const uint8_t*>(c.field.data()),
                              static_cast<uint32_t>(c.field.size())),
              c.block)
        << c.field;
  }
}

// A FoxPro companion of 64-byte blocks: its header, then a memo of 20 bytes
// at block 1 and one at block 2 that claims 100 but is cut after 10.
std::string FoxProMemo() {
  std::string memo(64, '\0');
  memo[7] = 64;
  std::string first(64, '\0');
  first[3] = 1;
  first[7] = 20;
  std::string second(8, '\0');
  second[3] = 1;
  second[7] = 100;
  return memo + first + second + std::string(10, 'x');
}

// A dBase IV companion of 512-byte blocks whose memo at block 1 claims 40
// bytes, its 8-byte header included, and holds 30.
std::string DbaseFourMemo() {
  std::string memo(512, '\0');
  memo[21] = 2;
  std::string block("\xff\xff\x08\x08\x28\x00\x00\x00", 8);
  return memo + block + std::string(22, 'y');
}

TEST(MemoBlocks, TellsWhichMemosLieWholeInsideTheCompanion) {
  struct Case {
    const char* memoName;
    std::string bytes;
    uint8_t version;
    uint32_t block;
    bool inside;
  } cases[] = {
      {"t.fpt", FoxProMemo(), 0xF5, 0, true},
      {"t.fpt", FoxProMemo(), 0xF5, 1, true},
      {"t.fpt", FoxProMemo(), 0xF5, 2, false},   // its text is cut
      {"t.fpt", FoxProMemo(), 0xF5, 3, false},   // its header is gone
      {"T.FPT", FoxProMemo(), 0x30, 9, false},
      {"t.dbt", DbaseFourMemo(), 0x8B, 1, false},
      {"t.dbt", DbaseFourMemo(), 0x8B, 2, false},
      {"t.dbt", DbaseFourMemo() + "yyyyyyyyyy", 0x8B, 1, true},
      {"t.dbt", std::string(600, 'z'), 0x83, 40, true},  // ends at its mark
  };
  for (const Case& c : cases) {
    TempDir dir;
    writeFile(dir.file("t.dbf"), "table");
    writeFile(dir.file(c.memoName), c.bytes);
    std::unique_ptr<MemoBlocks> blocks =
        MemoBlocks::Open(dir.file("t.dbf"), c.version, platform::Env::Default());
    ASSERT_NE(blocks, nullptr) << c.memoName;
    EXPECT_EQ(blocks->wholeInside(c.block), c.inside) << c.memoName << " block " << c.block;
    EXPECT_EQ(testing::readFile(dir.file(c.memoName)), c.bytes);
  }
  TempDir none;
  writeFile(none.file("t.dbf"), "table");
  EXPECT_EQ(MemoBlocks::Open(none.file("t.dbf"), 0xF5, platform::Env::Default()), nullptr);
}

}  // namespace
}  // namespace kest
