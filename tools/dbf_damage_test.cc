#include "tools/dbf_damage.h"

#include <filesystem>
#include <functional>

#include <gtest/gtest.h>

#include "tests/table_builder.h"
#include "tests/test_support.h"

namespace kest::tools {
namespace {

namespace fs = std::filesystem;
using kest::testing::TableBuilder;
using kest::testing::TempDir;

constexpr size_t kHeaderLength = 160;  // padded past the terminator at 128
constexpr size_t kRecordLength = 26;
constexpr size_t kRecords = 12;
constexpr size_t kDataEnd = kHeaderLength + kRecords * kRecordLength;

TableFiles healthyFiles() {
  TableBuilder builder;
  builder.field("NAME", 'C', 10).field("QTY", 'N', 5).field("NOTE", 'M', 10);
  builder.headerLength(kHeaderLength).padding(0xAA);
  for (size_t i = 0; i < kRecords; ++i) builder.record("row" + std::to_string(i), i % 5 ? ' ' : '*');
  std::string memo(1536, '\0');
  for (size_t i = 0; i < memo.size(); ++i) memo[i] = static_cast<char>(i * 7);
  return {builder.bytes(), {{".FPT", memo}}};
}

std::vector<size_t> differences(const std::string& a, const std::string& b) {
  std::vector<size_t> at;
  for (size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
    if (a[i] != b[i]) at.push_back(i);
  }
  return at;
}

uint32_t countOf(const std::string& table) {
  return le::Get32(reinterpret_cast<const uint8_t*>(table.data()) + 4);
}

// `damaged` is `original` with `length` bytes inserted at `at`.
void expectInsertion(const std::string& original, const std::string& damaged, size_t at) {
  ASSERT_GT(damaged.size(), original.size());
  size_t length = damaged.size() - original.size();
  EXPECT_NE(length % kRecordLength, 0u);
  EXPECT_EQ(damaged.substr(0, at), original.substr(0, at));
  EXPECT_EQ(damaged.substr(at + length), original.substr(at));
}

// What each mode may change, and that it changes it.
using Check = std::function<void(const TableFiles& original, const TableFiles& damaged)>;

void sameMemos(const TableFiles& original, const TableFiles& damaged) {
  ASSERT_EQ(damaged.memos.size(), 1u);
  EXPECT_EQ(damaged.memos[0].bytes, original.memos[0].bytes);
}

const std::vector<std::pair<DamageMode, Check>> kChecks = {
    {DamageMode::kCopy,
     [](const TableFiles& o, const TableFiles& d) {
       EXPECT_EQ(d.table, o.table);
       sameMemos(o, d);
     }},
    {DamageMode::kZeroHeader,
     [](const TableFiles& o, const TableFiles& d) {
       ASSERT_EQ(d.table.size(), o.table.size());
       EXPECT_EQ(d.table.substr(0, 32), std::string(32, '\0'));
       EXPECT_EQ(d.table.substr(32), o.table.substr(32));
       sameMemos(o, d);
     }},
    {DamageMode::kZeroHeaderArea,
     [](const TableFiles& o, const TableFiles& d) {
       ASSERT_EQ(d.table.size(), o.table.size());
       EXPECT_EQ(d.table.substr(0, 129), std::string(129, '\0'));  // terminator at 128
       EXPECT_EQ(d.table.substr(129), o.table.substr(129));         // padding kept
       sameMemos(o, d);
     }},
    {DamageMode::kInflateCount,
     [](const TableFiles& o, const TableFiles& d) {
       ASSERT_EQ(d.table.size(), o.table.size());
       for (size_t at : differences(o.table, d.table)) EXPECT_TRUE(at >= 4 && at < 8) << at;
       EXPECT_GT(countOf(d.table), kRecords);
       sameMemos(o, d);
     }},
    {DamageMode::kTruncateRecord,
     [](const TableFiles& o, const TableFiles& d) {
       ASSERT_GT(d.table.size(), kHeaderLength);
       ASSERT_LT(d.table.size(), kDataEnd);
       EXPECT_NE((d.table.size() - kHeaderLength) % kRecordLength, 0u);
       EXPECT_EQ(d.table, o.table.substr(0, d.table.size()));
       sameMemos(o, d);
     }},
    {DamageMode::kNoiseRecords,
     [](const TableFiles& o, const TableFiles& d) {
       ASSERT_EQ(d.table.size(), o.table.size());
       std::vector<size_t> changed = differences(o.table, d.table);
       EXPECT_FALSE(changed.empty());
       for (size_t at : changed) EXPECT_TRUE(at >= kHeaderLength && at < kDataEnd) << at;
       sameMemos(o, d);
     }},
    {DamageMode::kJamDeletionFlags,
     [](const TableFiles& o, const TableFiles& d) {
       ASSERT_EQ(d.table.size(), o.table.size());
       std::vector<size_t> changed = differences(o.table, d.table);
       EXPECT_FALSE(changed.empty());
       for (size_t at : changed) {
         ASSERT_TRUE(at >= kHeaderLength && at < kDataEnd) << at;
         EXPECT_EQ((at - kHeaderLength) % kRecordLength, 0u) << at;
         EXPECT_NE(d.table[at], ' ');
         EXPECT_NE(d.table[at], '*');
       }
       sameMemos(o, d);
     }},
    {DamageMode::kGarbageAfterHeader,
     [](const TableFiles& o, const TableFiles& d) {
       expectInsertion(o.table, d.table, kHeaderLength);
       sameMemos(o, d);
     }},
    {DamageMode::kGarbageMidRecords,
     [](const TableFiles& o, const TableFiles& d) {
       expectInsertion(o.table, d.table, kHeaderLength + kRecords / 2 * kRecordLength);
       sameMemos(o, d);
     }},
    {DamageMode::kDropMemo,
     [](const TableFiles& o, const TableFiles& d) {
       EXPECT_EQ(d.table, o.table);
       EXPECT_TRUE(d.memos.empty());
     }},
    {DamageMode::kCutMemo,
     [](const TableFiles& o, const TableFiles& d) {
       EXPECT_EQ(d.table, o.table);
       ASSERT_EQ(d.memos.size(), 1u);
       const std::string& cut = d.memos[0].bytes;
       EXPECT_GT(cut.size(), 0u);
       EXPECT_LT(cut.size(), o.memos[0].bytes.size());
       EXPECT_EQ(cut, o.memos[0].bytes.substr(0, cut.size()));
     }},
};

TEST(DamageModes, EachChangesWhatItSaysAndNothingElse) {
  ASSERT_EQ(kChecks.size(), damageModes().size());
  for (const auto& [mode, check] : kChecks) {
    for (uint64_t seed : {1u, 7u, 12345u}) {
      SCOPED_TRACE(std::string(damageModeName(mode)) + " seed " + std::to_string(seed));
      TableFiles original = healthyFiles();
      TableFiles damaged = original;
      DamageOutcome outcome = applyDamage(damaged, mode, seed);
      ASSERT_TRUE(outcome.applied) << outcome.text;
      check(original, damaged);
    }
  }
}

TEST(DamageModes, SameSeedSameBytes) {
  for (const DamageModeInfo& info : damageModes()) {
    SCOPED_TRACE(info.name);
    TableFiles first = healthyFiles(), second = healthyFiles();
    applyDamage(first, info.mode, 99);
    applyDamage(second, info.mode, 99);
    EXPECT_EQ(first.table, second.table);
    ASSERT_EQ(first.memos.size(), second.memos.size());
    for (size_t i = 0; i < first.memos.size(); ++i) EXPECT_EQ(first.memos[i].bytes, second.memos[i].bytes);
  }
}

TEST(DamageModes, RefusedWhereTheyCannotApplyAndLeaveTheFilesAlone) {
  TableFiles noMemo{healthyFiles().table, {}};
  TableFiles noRecords{TableBuilder().field("NAME", 'C', 10).bytes(), {}};
  TableFiles oneRecord{TableBuilder().field("NAME", 'C', 10).record("x").bytes(), {}};
  TableFiles shortFile{std::string(20, ' '), {}};
  TableFiles noLayout = noMemo;
  le::Put16(reinterpret_cast<uint8_t*>(noLayout.table.data()) + 10, 0);  // record length 0
  const std::vector<std::pair<DamageMode, TableFiles>> cases = {
      {DamageMode::kDropMemo, noMemo},          {DamageMode::kCutMemo, noMemo},
      {DamageMode::kTruncateRecord, noRecords}, {DamageMode::kNoiseRecords, noRecords},
      {DamageMode::kGarbageMidRecords, oneRecord}, {DamageMode::kZeroHeader, shortFile},
      {DamageMode::kZeroHeaderArea, shortFile}, {DamageMode::kInflateCount, noLayout},
  };
  for (const auto& [mode, files] : cases) {
    SCOPED_TRACE(damageModeName(mode));
    TableFiles kept = files;
    DamageOutcome outcome = applyDamage(kept, mode, 1);
    EXPECT_FALSE(outcome.applied);
    EXPECT_FALSE(outcome.text.empty());
    EXPECT_EQ(kept.table, files.table);
  }
}

// A real table with its memo spelled in capitals, through the files.
class DamageTableFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    source = kest::testing::copyTestData("memotest.dbf", dir);
    memo = kest::testing::copyTestData("memotest.FPT", dir);
    sourceBytes = kest::testing::readFile(source);
    memoBytes = kest::testing::readFile(memo);
  }
  DamageStatus run(DamageMode mode, const std::string& output, bool overwrite = false) {
    return damageTable({source, output, mode, 3, overwrite}, &message);
  }
  void expectSourceUntouched() {
    EXPECT_EQ(kest::testing::readFile(source), sourceBytes);
    EXPECT_EQ(kest::testing::readFile(memo), memoBytes);
  }

  TempDir dir;
  std::string source, memo, sourceBytes, memoBytes, message;
};

TEST_F(DamageTableFiles, EveryModeWritesTheCopyWithItsCompanionAndOnlyReadsTheSource) {
  for (const DamageModeInfo& info : damageModes()) {
    SCOPED_TRACE(info.name);
    std::string output = dir.file(std::string(info.name) + ".dbf");
    ASSERT_EQ(run(info.mode, output), kDamageDone) << message;
    EXPECT_TRUE(kest::testing::exists(output));
    EXPECT_EQ(kest::testing::exists(dir.file(std::string(info.name) + ".FPT")),
              info.mode != DamageMode::kDropMemo);
    expectSourceUntouched();
  }
}

TEST_F(DamageTableFiles, RefusesToWriteOverTheSourceOrItsCompanions) {
#ifdef _WIN32
  GTEST_SKIP() << "the case reaches the source through a symbolic link, which Wine does not make";
#endif
  fs::create_symlink(source, dir.file("link.dbf"));
  for (const std::string& output : {source, memo, dir.file("memotest.fpt"), dir.file("link.dbf"),
                                    dir.file("MEMOTEST.dbf")}) {
    SCOPED_TRACE(output);
    EXPECT_EQ(run(DamageMode::kNoiseRecords, output, true), kDamageCannotWrite) << message;
    expectSourceUntouched();
  }
  EXPECT_FALSE(kest::testing::exists(dir.file("MEMOTEST.FPT")));
}

TEST_F(DamageTableFiles, ExistingOutputsNeedForceAndStaleCompanionsGo) {
  std::string output = dir.file("out.dbf");
  kest::testing::writeFile(dir.file("out.fpt"), "stale memo");
  EXPECT_EQ(run(DamageMode::kDropMemo, output), kDamageCannotWrite);
  EXPECT_FALSE(kest::testing::exists(output));
  EXPECT_EQ(run(DamageMode::kDropMemo, output, true), kDamageDone) << message;
  EXPECT_FALSE(kest::testing::exists(dir.file("out.fpt")));
  EXPECT_EQ(memoCompanionPaths(output), std::vector<std::string>{});
}

TEST_F(DamageTableFiles, StatusesForWhatCannotBeDone) {
  EXPECT_EQ(damageTable({dir.file("missing.dbf"), dir.file("o.dbf"), DamageMode::kCopy, 1, false},
                        &message),
            kDamageCannotRead);
  EXPECT_EQ(damageTable({dir.path(), dir.file("o.dbf"), DamageMode::kCopy, 1, false}, &message),
            kDamageCannotRead);
  EXPECT_EQ(run(DamageMode::kCopy, dir.file("no/such/folder/o.dbf")), kDamageCannotWrite);
  fs::remove(memo);
  EXPECT_EQ(run(DamageMode::kCutMemo, dir.file("o.dbf")), kDamageNotApplicable);
  EXPECT_FALSE(kest::testing::exists(dir.file("o.dbf")));
}

}  // namespace
}  // namespace kest::tools
