#include "dbf/memo_repair.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/fault_env.h"
#include "tests/test_support.h"

namespace kest {
namespace {

using testing::readFile;
using testing::TempDir;
using testing::writeFile;

// A table of records "<flag><10-digit memo reference>" beside a memo file
// of `kind`: sound memos "memo 1".."memo 3", one memo no record refers to,
// and whatever `damage` does to the file.
struct Source {
  std::string memo;
  std::vector<uint32_t> blocks;  // of the four memos, the orphan last
};
Source makeSource(MemoKind kind, uint32_t blockSize) {
  Source s;
  s.memo = makeMemoHeader(kind, blockSize, 0);
  for (const char* text : {"memo 1", "memo 2", "memo 3", "orphan"}) {
    s.blocks.push_back(static_cast<uint32_t>(s.memo.size() / blockSize));
    s.memo += encodeMemo(kind, blockSize, kFoxText, text);
  }
  return s;
}

std::string reference(uint32_t block) {
  std::string field(10, ' ');
  putMemoBlockNumber(reinterpret_cast<uint8_t*>(field.data()), 10, block);
  return field;
}

class MemoRepairTest : public ::testing::Test {
 protected:
  // Runs both passes over `records` (memo references) and returns the
  // rewritten references; the results go to out_.
  std::vector<std::string> repair(const std::string& tablePath, uint8_t version,
                                  std::vector<std::string> records, platform::Env* env) {
    MemoRepair memo(tablePath, env);
    std::vector<FieldPlace> places = {{'M', 1, 10, false}};
    memo.startPass(version, places, {"NOTES"});
    for (const std::string& r : records) memo.sample(bytesOf(" " + r), 11);
    repairs_ = RunFindings();
    memo.settle(&repairs_);
    memo.startPass(version, places, {"NOTES"});
    memo.create(out_.file("r.dbf"), nullptr);
    for (std::string& r : records) {
      std::string record = " " + r;
      memo.rewrite(reinterpret_cast<uint8_t*>(record.data()), record.size());
      r = record.substr(1);
    }
    memo.settle(&repairs_);
    memo.publish(&repairs_);
    memo.keep();
    emptied_ = memo.emptied();
    return records;
  }
  void freshOut() {
    std::filesystem::remove_all(out_.path());
    std::filesystem::create_directory(out_.path());
  }
  const uint8_t* bytesOf(const std::string& s) {
    scratch_ = s;
    return reinterpret_cast<const uint8_t*>(scratch_.data());
  }
  std::string memoText(const std::string& path, MemoKind kind, const std::string& field) {
    std::unique_ptr<platform::ReadableFile> file;
    EXPECT_TRUE(platform::Env::Default()->OpenReadOnly(path, &file).ok());
    MemoReader reader(file.get(), kind);
    return reader.read(memoBlockNumber(reinterpret_cast<const uint8_t*>(field.data()), 10), true)
        .bytes;
  }

  TempDir in_, out_;
  std::string scratch_;
  RunFindings repairs_;
  std::vector<MemoRepair::Emptied> emptied_;
};

TEST_F(MemoRepairTest, KeepsExactlyTheSoundMemosAndNamesTheRest) {
  struct Case {
    MemoKind kind;
    uint8_t version;
    const char* table;
    const char* memoName;
    uint32_t blockSize;
    bool zeroHeader;
  } cases[] = {
      {MemoKind::kFoxPro, 0xF5, "t.dbf", "T.FPT", 64, false},
      {MemoKind::kFoxPro, 0x30, "t.dbf", "t.fpt", 32, true},  // block size lost
      {MemoKind::kDbase3, 0x83, "t.dbf", "t.dbt", 512, false},
      {MemoKind::kDbase4, 0x8B, "T.DBF", "t.dbt", 1024, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(memoKindName(c.kind));
    TempDir in;
    Source s = makeSource(c.kind, c.blockSize);
    // Memo 2 overwritten, its head included; memo 3 cut short, the rest
    // of its block zeros.
    std::string damaged = s.memo.substr(0, s.blocks[2] * c.blockSize + 3);
    damaged.resize((s.blocks[2] + 1) * c.blockSize, '\0');
    damaged += s.memo.substr(s.blocks[3] * c.blockSize);
    damaged.replace(s.blocks[1] * c.blockSize, 8, std::string(8, '\x07'));
    if (c.zeroHeader) damaged.replace(0, 512, std::string(512, '\0'));
    writeFile(in.file(c.memoName), damaged);
    const std::string table = in.file(c.table);
    writeFile(table, "table");
    freshOut();
    std::vector<std::string> records = {reference(s.blocks[0]), reference(s.blocks[1]),
                                        reference(s.blocks[2]), reference(0),
                                        reference(99999)};
    std::vector<std::string> got = repair(table, c.version, records, platform::Env::Default());

    const std::string memoPath = out_.file(std::string("r") + memoExtension(c.kind));
    EXPECT_EQ(memoText(memoPath, c.kind, got[0]), "memo 1");
    for (size_t i = 1; i < got.size(); ++i) EXPECT_EQ(got[i], reference(0)) << i;
    ASSERT_EQ(emptied_.size(), 3u);
    EXPECT_EQ(emptied_[0].record, 2u);
    EXPECT_EQ(emptied_[0].field, "NOTES");
    EXPECT_EQ(emptied_[2].fault, MemoFault::kPastEnd);
    // The header counts the blocks the file holds.
    std::string fresh = readFile(memoPath);
    MemoHeader header = parseMemoHeader(c.kind, reinterpret_cast<const uint8_t*>(fresh.data()),
                                        fresh.size());
    EXPECT_EQ(uint64_t{header.nextFreeBlock} * c.blockSize, fresh.size());
    EXPECT_EQ(header.blockSize, c.blockSize);
    // The side file names the emptied references and holds the orphan.
    std::string side = readFile(out_.file("r_memos.txt"));
    EXPECT_NE(side.find("record 5, NOTES: block 99,999 lies past the end of the memo file"),
              std::string::npos)
        << side;
    EXPECT_NE(side.find("orphan"), std::string::npos) << side;
    EXPECT_NE(repairs_.plainText().find("record 3, NOTES: block"), std::string::npos);
  }
}

TEST_F(MemoRepairTest, AMissingMemoFileGivesAnEmptyOneAndEmptyReferences) {
  writeFile(in_.file("t.dbf"), "table");
  std::vector<std::string> got =
      repair(in_.file("t.dbf"), 0xF5, {reference(8), reference(0)}, platform::Env::Default());
  EXPECT_EQ(got, (std::vector<std::string>{reference(0), reference(0)}));
  EXPECT_EQ(readFile(out_.file("r.fpt")), makeMemoHeader(MemoKind::kFoxPro, 64, 8));
  EXPECT_FALSE(testing::exists(out_.file("r_memos.txt")));
  ASSERT_EQ(repairs_.texts().size(), 1u);
  EXPECT_NE(repairs_.texts()[0].find("no memo file beside the table"), std::string::npos);
}

// Every read of the source and every write, sync, close and rename of the
// memo repair failing in turn: it raises (a refused read as a failing disk,
// never as a damaged memo), and withdrawing leaves nothing under either
// name; or the call was never reached and the result is whole.
TEST_F(MemoRepairTest, AFailedWriteLeavesNothingBehind) {
  Source s = makeSource(MemoKind::kFoxPro, 64);
  writeFile(in_.file("t.fpt"), s.memo);
  writeFile(in_.file("t.dbf"), "table");
  const std::vector<std::string> records = {reference(s.blocks[0]), reference(77)};
  for (testing::FaultKind kind : {testing::FaultKind::kRead, testing::FaultKind::kCreate,
                                  testing::FaultKind::kAppend,
                                  testing::FaultKind::kWriteAt, testing::FaultKind::kSync,
                                  testing::FaultKind::kClose, testing::FaultKind::kRename}) {
    for (uint64_t n = 1; n <= 3; ++n) {
      SCOPED_TRACE(std::to_string(static_cast<int>(kind)) + " #" + std::to_string(n));
      freshOut();
      testing::FaultEnv env;
      env.FailAt(kind, n);
      bool raised = false;
      try {
        repair(in_.file("t.dbf"), 0xF5, records, &env);
      } catch (...) {
        raised = true;
      }
      EXPECT_EQ(raised, env.fired());
      if (raised) {
        EXPECT_TRUE(std::filesystem::is_empty(out_.path()));
      } else {
        EXPECT_TRUE(testing::exists(out_.file("r.fpt")));
      }
      EXPECT_EQ(readFile(in_.file("t.fpt")), s.memo);
    }
  }
}

}  // namespace
}  // namespace kest
