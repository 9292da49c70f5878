// The thorough steps of the worst-case method, run through Method1 on
// bundled test tables damaged by the damage tool.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "Common/raised_code.h"
#include "Common/run_context.h"
#include "tests/independent_readers.h"
#include "tests/table_reader.h"
#include "tests/test_support.h"
#include "tools/dbf_damage.h"
#include "worst_case/layout_search.h"
#include "worst_case/method1.h"
#include "worst_case/whole_table_layout.h"

namespace kest {
namespace {

using testing::LogCapture;
using testing::readFile;
using testing::TableImage;
using testing::writeFile;

constexpr uint32_t kWorstCaseSteps = kWholeTableLayout | kPassingOffset | kShortestLength |
                                     kReaderSafeFields | kKeepJammedRecords;

class Options : public RunContext {
 public:
  explicit Options(uint32_t flags) { options_.flags = flags; }
  void reportProgress(int32_t) override {}
  bool breakRequested() const override { return false; }
  const RecoveryOptions& options() const override { return options_; }
  RecoveryReport* report() override { return &report_; }
  RecoveryReport report_;

 private:
  RecoveryOptions options_;
};

// The records after their deletion flag, live ones only.
std::multiset<std::string> liveBodies(const TableImage& table) {
  std::multiset<std::string> bodies;
  for (const std::string& record : table.records) {
    if (!record.empty() && record[0] == ' ') bodies.insert(record.substr(1));
  }
  return bodies;
}

class WholeTableLayoutTest : public ::testing::Test {
 protected:
  std::string source_;
  // The test table `name` damaged by `mode`, written into the test's folder.
  std::string damaged(const std::string& name, tools::DamageMode mode) {
    tools::TableFiles files;
    files.table = readFile(testing::testData(name));
    tools::DamageOutcome outcome = tools::applyDamage(files, mode, 1);
    EXPECT_TRUE(outcome.applied) << outcome.text;
    std::string path = dir.file(name.substr(name.rfind('/') + 1));
    writeFile(path, files.table);
    source_ = files.table;
    sourcePath_ = path;
    return path;
  }
  void TearDown() override {
    if (!sourcePath_.empty()) {
      EXPECT_EQ(readFile(sourcePath_), source_);
    }
  }

  testing::TempDir dir;

 private:
  std::string sourcePath_;
};

TEST_F(WholeTableLayoutTest, EachStepMovesOnlyWhatItsFlagNames) {
  // The header area of dbase_31 (95-byte records from byte 648) zeroed;
  // the classic window finds five records to a slot at a phase of spaces.
  struct Case {
    uint32_t flags;
    uint32_t recordSize;
    uint32_t recordOffset;
  };
  // Only the passing offset lands on the records' phase (648 % 95 = 78),
  // and where the records fit it begins at the first of them; the first
  // phase full of spaces is a column inside them.
  const Case cases[] = {
      {0, 475, 14},
      {kReaderSafeFields, 475, 14},
      {kWholeTableLayout, 665, 387},
      {kWholeTableLayout | kShortestLength, 95, 400},
      {kWholeTableLayout | kShortestLength | kPassingOffset, 95, 648},
  };
  std::string path = damaged("dbase_31.dbf", tools::DamageMode::kZeroHeaderArea);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.flags);
    Options options(c.flags);
    Method1 m(path.c_str(), platform::Env::Default(), &options);
    ASSERT_EQ(m.Parse(), 0);
    EXPECT_EQ(m.recordSize(), c.recordSize);
    EXPECT_EQ(m.recordOffset(), c.recordOffset);
    // Character fields whose bytes no reader converts from a guessed page.
    bool readerSafe = std::all_of(m.fields().begin(), m.fields().end(), [](const auto& f) {
      return f.type() == 'C' && f.flags() == kFieldNoTranslation;
    });
    EXPECT_EQ(readerSafe, (c.flags & kReaderSafeFields) != 0);
  }
}

TEST_F(WholeTableLayoutTest, BringsBackEveryIntactRecordInATableEveryReaderOpens) {
  struct Case {
    const char* table;
    tools::DamageMode mode;
  };
  const Case cases[] = {
      {"dbase_31.dbf", tools::DamageMode::kZeroHeaderArea},
      {"dbase_03.dbf", tools::DamageMode::kZeroHeaderArea},
      {"dbase_83.dbf", tools::DamageMode::kGarbageAfterHeader},
      {"foxprodb/calls.dbf", tools::DamageMode::kZeroHeader},
  };
  std::string python = testing::dbfreadPython();
  int number = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.table) + " " + tools::damageModeName(c.mode));
    ++number;
    std::multiset<std::string> original =
        liveBodies(TableImage::Read(testing::testData(c.table)));
    std::string path = damaged(c.table, c.mode);
    std::string out = dir.file("out" + std::to_string(number));
    ASSERT_TRUE(platform::Env::Default()->CreateFolder(out));
    Options options(kWorstCaseSteps);
    {
      Method1 m(path.c_str(), platform::Env::Default(), &options);
      ASSERT_EQ(m.Parse(), 0);
      ASSERT_EQ(m.Flush(out.c_str()), 0);
    }
    EXPECT_FALSE(options.report_.findings.empty());
    std::string result = out + "/RECOVERED.DBF";
    TableImage image = TableImage::Read(result);
    std::string why;
    EXPECT_TRUE(image.whole(&why)) << why;
    for (const DbfFieldDescriptor& field : image.fields) EXPECT_EQ(field.type(), 'C');

    // Every record of the result came whole from the table, none twice
    // more often than the table holds it, and every intact one is there.
    std::multiset<std::string> got = liveBodies(image);
    std::string bytes = readFile(path);
    ASSERT_EQ(bytes, source_) << "the damaged table changed";
    for (const std::string& body : got) {
      EXPECT_NE(bytes.find(body), std::string::npos);
      EXPECT_LE(got.count(body), original.count(body));
    }
    size_t intact = 0;
    size_t found = 0;
    for (auto it = original.begin(); it != original.end(); it = original.upper_bound(*it)) {
      if (bytes.find(*it) == std::string::npos) continue;
      intact += original.count(*it);
      found += std::min(original.count(*it), got.count(*it));
    }
    EXPECT_EQ(found, intact);

    if (!python.empty()) {
      EXPECT_TRUE(testing::opensInDbfread(python, result));
    }
    if (testing::ogrinfoAvailable()) {
      std::string said;
      EXPECT_EQ(testing::ogrinfo(result, &said), 0) << said;
    }
  }
}

// A run leaves out the scan of a layout that could not win even if every
// slot passed: the bound it weighs holds every record a scan passes, after
// realignment too, and a scan left out reads no slot.
TEST_F(WholeTableLayoutTest, TheBoundBeforeTheScanHoldsEveryRecordItPasses) {
  struct Passing : RecordSink {
    void take(const uint8_t*, size_t) override { ++count; }
    uint64_t count = 0;
  };
  for (tools::DamageMode mode : {tools::DamageMode::kZeroHeaderArea,
                                 tools::DamageMode::kInsertMidRecords}) {
    SCOPED_TRACE(tools::damageModeName(mode));
    std::string path = damaged("dbase_31.dbf", mode);
    Options options(kAllRecoveryFlags);
    uint64_t most = 0;
    Passing passing;
    Method1 scanned(path.c_str(), platform::Env::Default(), &options);
    scanned.setCouldWin([&](uint32_t, uint64_t bound) {
      most = bound;
      return true;
    });
    ASSERT_EQ(scanned.Parse(&passing), 0);
    EXPECT_GT(passing.count, 0u);
    EXPECT_LE(passing.count, most);

    Method1 left(path.c_str(), platform::Env::Default(), &options);
    left.setCouldWin([](uint32_t, uint64_t) { return false; });
    ASSERT_EQ(left.Parse(), 0);
    EXPECT_EQ(left.recordsRead(), 0);
    EXPECT_EQ(left.recordSize(), scanned.recordSize());
  }
}

// One check judges many slots: its verdict is the record check's over a
// copy, the slot keeps its bytes also where the places blank a field, and
// an open log takes no line of it and stays open.
TEST(SlotCheckTest, JudgesLikeTheRecordCheckAndLeavesSlotAndLogAlone) {
  auto place = [](char type, uint32_t at, uint32_t length, bool memoAsCharacter) {
    FieldPlace field;
    field.type = type;
    field.displacement = at;
    field.length = length;
    field.memoAsCharacter = memoAsCharacter;
    return field;
  };
  const std::vector<FieldPlace> plain = {place('N', 1, 4, false), place('C', 5, 3, false)};
  const std::vector<FieldPlace> blanking = {place('N', 1, 4, false), place('C', 5, 3, true)};
  struct Case {
    const std::vector<FieldPlace>* places;
    std::string slot;
    bool passes;
  };
  const Case cases[] = {
      {&plain, "  123abc", true},    {&plain, "*  12abc", true},
      {&plain, " 12x3abc", false},   {&plain, "X 123abc", false},
      {&blanking, " 1234abc", true}, {&blanking, " -1.2xyz", true},
      {&blanking, " 12+3abc", false}, {&blanking, "?1234abc", false},
  };
  LogCapture capture;
  SlotCheck plainCheck(plain, 8), blankingCheck(blanking, 8);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.slot);
    SlotCheck& check = c.places == &plain ? plainCheck : blankingCheck;
    const std::string& slot = c.slot;
    std::string judged = slot;
    EXPECT_EQ(check.passes(reinterpret_cast<const uint8_t*>(judged.data())), c.passes);
    EXPECT_EQ(judged, slot);
    std::string copy = slot;
    capture.logger().Disable();
    const bool recordPasses =
        checkRecord(reinterpret_cast<uint8_t*>(copy.data()), copy.size(), *c.places, false, 0);
    capture.logger().Enable();
    EXPECT_EQ(c.passes, (slot[0] == ' ' || slot[0] == '*') && recordPasses);
  }
  EXPECT_TRUE(capture.messages().empty());
  EXPECT_TRUE(capture.logger().IsWritingAt(kLevelInfo));
}

// Shared between two threads, the scoring still gives each window's classic
// scores averaged, and reports every candidate once, in order.
TEST(ScoreSampleTest, AveragesTheWindowsClassicScoresAndReportsEachCandidateInOrder) {
  TableSample sample;
  uint32_t seed = 7;
  for (uint32_t length : {37u, 37u, 41u}) {
    SampleWindow window;
    window.start = static_cast<uint32_t>(sample.windows.size()) * 100000;
    for (uint32_t at = 0; at < 9000; ++at) {
      seed = seed * 1103515245 + 12345;
      uint32_t column = at % length;
      window.bytes.push_back(column == 0 ? ' ' : column < 12 ? 'a' + seed % 26 : '0' + seed % 10);
    }
    sample.windows.push_back(std::move(window));
  }
  const uint32_t longest = longestCandidate(sample);
  std::vector<uint32_t> expected(longest + 1, 0);
  for (const SampleWindow& window : sample.windows) {
    std::vector<uint32_t> scores = scoreRecordLengthsUpTo(
        window.bytes.data(), static_cast<uint32_t>(window.bytes.size()), longest, nullptr);
    for (uint32_t j = 0; j <= longest; ++j) expected[j] += scores[j];
  }
  for (uint32_t& score : expected) score /= static_cast<uint32_t>(sample.windows.size());

  const uint32_t work = (longest - kMinCandidateLength + 1) * 3;
  EXPECT_EQ(scoredCandidates(sample), work);
  // At once, and begun ahead while the caller is elsewhere: the same.
  for (bool ahead : {false, true}) {
    SCOPED_TRACE(ahead ? "begun ahead" : "at once");
    std::vector<uint32_t> dones;
    auto before = [&](uint32_t done, uint32_t total) {
      EXPECT_EQ(total, work);
      dones.push_back(done);
    };
    SampleScoringAhead early(sample);
    EXPECT_EQ(ahead ? early.finish(before) : scoreSample(sample, before), expected);
    ASSERT_EQ(dones.size(), work);
    for (uint32_t k = 0; k < work; ++k) ASSERT_EQ(dones[k], k);
  }

  // A break in the middle passes out.
  EXPECT_THROW(scoreSample(sample,
                           [&](uint32_t done, uint32_t) {
                             if (done == work / 2) throw RaisedCode{-1};
                           }),
               RaisedCode);
}

// Each phase counts the slots of it that lie whole in a window, and those
// among them that begin with a deletion flag, whatever byte of the table
// a window starts at; a window shorter than a slot holds none.
TEST(FlaggedSlotsTest, CountsEveryWholeSlotOfEachPhaseOnce) {
  TableSample sample;
  uint32_t seed = 11;
  for (uint32_t start : {0u, 1003u, 50001u}) {
    SampleWindow window{start, {}};
    for (uint32_t at = 0; at < (start == 1003 ? 5u : 4000u); ++at) {
      seed = seed * 1103515245 + 12345;
      window.bytes.push_back("* aZ9"[(seed >> 16) % 5]);
    }
    sample.windows.push_back(std::move(window));
  }
  for (uint32_t length : {2u, 7u, 64u, 333u}) {
    SCOPED_TRACE(length);
    std::vector<uint32_t> flagged(length, 0), slots(length, 0), gotSlots;
    // Phase by phase, slot by slot.
    for (uint32_t phase = 0; phase < length; ++phase) {
      for (const SampleWindow& window : sample.windows) {
        uint32_t at = 0;
        while ((window.start + at) % length != phase) ++at;
        for (; at + length <= window.bytes.size(); at += length) {
          ++slots[phase];
          flagged[phase] += window.bytes[at] == ' ' || window.bytes[at] == '*';
        }
      }
    }
    EXPECT_EQ(flaggedSlotsByPhase(sample, length, &gotSlots), flagged);
    EXPECT_EQ(gotSlots, slots);
  }
}

}  // namespace
}  // namespace kest
