// dbfrecover inspect and export, called in-process: the damage inspect
// names, what export writes and leaves out, and their command lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "dbf/memo_layout.h"
#include "host/cli_text.h"
#include "host/export.h"
#include "host/table_survey.h"
#include "host/options.h"
#include "reader/text_decoder.h"
#include "tests/fault_env.h"
#include "tests/table_builder.h"
#include "tests/test_support.h"
#include "tools/dbf_damage.h"

namespace kest::host {
namespace {

using testing::TableBuilder;
using testing::TempDir;

nlohmann::json inspectJson(const std::string& path) {
  InspectOptions options;
  options.tables = {path};
  options.json = true;
  std::ostringstream out;
  int status = RunInspect(options, out);
  nlohmann::json report = nlohmann::json::parse(out.str());
  EXPECT_EQ(report["exit"], status);
  return report;
}

// Each damage the damage tool does, to tables of the three memo layouts,
// and how the recovery will take the layout.
struct DamageCase {
  tools::DamageMode mode;
  const char* verdict;      // how the closing line begins, on every table
  const char* callsVerdict;  // the whole line on the first table, with seed 1
  const char* path = "header";
  const char* step = nullptr;  // part of a step the recovery will take about it
};

TEST(Inspect, NamesEveryDamageTheDamageToolDoes) {
  using tools::DamageMode;
  const char* kTables[] = {"foxprodb/calls.dbf", "dbase_83.dbf", "dbase_8b.dbf"};
  const DamageCase cases[] = {
      {DamageMode::kCopy, "healthy", "healthy"},
      {DamageMode::kZeroHeader, "header destroyed (the record length is 0): ",
       "header destroyed (the record length is 0): the recovery will rebuild it from the "
       "field descriptors",
       "rebuilt header"},
      {DamageMode::kZeroHeaderArea, "header and field descriptors destroyed: ",
       "header and field descriptors destroyed: the recovery will have to work the record "
       "layout out of the records",
       "worked-out layout"},
      {DamageMode::kInflateCount, "record count larger than the file: ",
       "record count larger than the file: the last 2 records are missing or the count is "
       "wrong",
       "header", "correct the record count to the "},
      {DamageMode::kTruncateRecord, "file cut short inside record ",
       "file cut short inside record 2: the last 15 records are missing or incomplete",
       "header", "leaving out the one the end cuts through"},
      {DamageMode::kNoiseRecords, "records are garbled (overwritten, most likely)",
       "4 records are garbled (overwritten, most likely): neither the deletion flag nor the "
       "values can be read, first 6, 9, 13, 15"},
      {DamageMode::kJamDeletionFlags, "records have a deletion flag that is neither",
       "4 records have a deletion flag that is neither live nor deleted (jammed), first 6, 9, "
       "13, 15",
       "header", "keep the records whose only fault is a jammed deletion flag"},
      {DamageMode::kGarbageAfterHeader, "stray bytes between the header and the first record",
       "84 stray bytes between the header and the first record: every record is out of step"},
      {DamageMode::kGarbageMidRecords, "stray bytes before record ",
       "84 stray bytes before record 9: the records from there on are out of step", "header",
       "past the stray bytes"},
      {DamageMode::kDropMemo, "memo companion missing: ",
       "memo companion missing: the memo texts cannot be read", "header", "block numbers"},
      {DamageMode::kCutMemo, "memo file cut short: ",
       "memo file cut short: it holds 241 bytes, its header counts 27 blocks of 64", "header",
       "past the cut"},
  };
  for (const DamageCase& c : cases) {
    for (const char* name : kTables) {
      SCOPED_TRACE(std::string(tools::damageModeName(c.mode)) + " on " + name);
      TempDir dir;
      tools::DamageRequest request;
      request.source = testing::testData(name);
      request.output = dir.file(std::filesystem::path(name).filename().string());
      request.mode = c.mode;
      std::string message;
      ASSERT_EQ(tools::damageTable(request, &message), tools::kDamageDone) << message;
      nlohmann::json report = inspectJson(request.output);
      std::string verdict = report["verdict"];
      if (name == kTables[0]) {
        EXPECT_EQ(verdict, c.callsVerdict);
      }
      EXPECT_NE(verdict.find(c.verdict), std::string::npos) << verdict;
      EXPECT_EQ(report["exit"], c.mode == DamageMode::kCopy ? kInspectHealthy : kInspectDamaged);
      EXPECT_EQ(report["recovery"]["path"], c.path);
      if (c.step != nullptr) {
        EXPECT_NE(report["recovery"]["steps"].dump().find(c.step), std::string::npos)
            << report["recovery"]["steps"].dump();
      }
      if (c.mode == DamageMode::kZeroHeader) {
        // The rebuilt layout is the source's: every record is read by it.
        nlohmann::json source = inspectJson(request.source);
        EXPECT_EQ(report["recovery"]["headerLength"], source["header"]["headerLength"]);
        EXPECT_EQ(report["recovery"]["recordLength"], source["header"]["recordLength"]);
        EXPECT_EQ(report["records"]["live"], source["records"]["live"]);
      }
    }
  }
}

// Sound tables that are unusual are healthy, and say what sets them apart.
TEST(Inspect, UnusualButSoundTablesAreHealthy) {
  struct Case {
    const char* table;
    std::vector<std::string> variants;
  };
  const std::string backLink = "a 263-byte database back link after the field descriptors";
  const std::string nullFlags =
      "field _NullFlags records which values are null (system data, not exported)";
  const Case cases[] = {
      {"dbase_03.dbf", {}},
      {"dbase_02.dbf", {"the 8-byte header and 16-byte field descriptors of dBase II"}},
      {"dbase_30.dbf", {"version 0x30: Visual FoxPro", backLink}},
      {"dbase_31.dbf",
       {"version 0x31: Visual FoxPro with autoincrement fields", backLink, nullFlags}},
      {"dbase_32.dbf",
       {"version 0x32: Visual FoxPro with varchar or varbinary fields", backLink, nullFlags}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.table);
    nlohmann::json report = inspectJson(testing::testData(c.table));
    EXPECT_EQ(report["verdict"], "healthy");
    EXPECT_EQ(report["recovery"]["path"], "header");
    EXPECT_EQ(report["variants"], nlohmann::json(c.variants));
  }
}

TEST(Inspect, NamesDescriptorsThatCannotBeRightAndValuesThatFail) {
  TempDir dir;
  TableBuilder builder;
  builder.field("OK", 'N', 3).field("BAD\x01", 'Z', 2).field("FAR", 'C', 4, 90);
  builder.recordLength(10).record("  1").record("x 2").record("  3");
  builder.write(dir.file("t.dbf"));
  nlohmann::json report = inspectJson(dir.file("t.dbf"));
  EXPECT_EQ(report["fields"][0]["problems"].size(), 0u);
  EXPECT_EQ(
      report["fields"][1]["problems"],
      nlohmann::json({"type letter no dBASE/FoxPro version uses", "name with non-printing bytes"}));
  EXPECT_EQ(report["fields"][2]["problems"], nlohmann::json({"place or length beyond the record"}));
  EXPECT_EQ(report["records"]["failures"][0]["field"], "OK");
  EXPECT_EQ(report["records"]["failures"][0]["reason"], "not a number");
  EXPECT_EQ(report["records"]["failures"][0]["first"], nlohmann::json({2}));
  EXPECT_EQ(report["exit"], kInspectDamaged);
}

TEST(Inspect, AMissingTableIsUnreadableAndTheWorstStatusWins) {
  TempDir dir;
  InspectOptions options;
  options.tables = {testing::testData("foxprodb/setup.dbf"), dir.file("none.dbf")};
  std::ostringstream out;
  EXPECT_EQ(RunInspect(options, out), kInspectUnreadable);
  EXPECT_NE(out.str().find("verdict: unreadable: no such file"), std::string::npos);
}

struct CommandRun {
  int status;
  std::string out, err;
};
CommandRun runMain(int (*main)(int, char**, std::ostream&, std::ostream&),
                   std::vector<std::string> words) {
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  std::ostringstream out, err;
  int status = main(static_cast<int>(argv.size()), argv.data(), out, err);
  return {status, out.str(), err.str()};
}

TEST(Export, LeavesOutDeletedRecordsAndNullsWhatCannotBeDecoded) {
  TempDir dir;
  TableBuilder builder;
  builder.field("NAME", 'C', 5).field("N", 'N', 3);
  builder.record("ann    1").record("bob    2", '*').record("cy   x 3");
  builder.write(dir.file("t.dbf"));
  std::filesystem::create_directory(dir.file("out"));

  CommandRun run =
      runMain(ExportMain, {"export", "-f", "jsonl", dir.file("t.dbf"), "-o", dir.file("out")});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(testing::readFile(dir.file("out/t.jsonl")),
            "{\"NAME\":\"ann\",\"N\":1}\n{\"NAME\":\"cy\",\"N\":null}\n");
  EXPECT_NE(run.out.find("2 records to"), std::string::npos);
  EXPECT_NE(run.out.find(
                "1 deleted left out; 1 value could not be decoded, left null: N (not a number) 1"),
            std::string::npos)
      << run.out;

  // Nothing that exists is replaced.
  run = runMain(ExportMain,
                {"export", "--deleted", "-f", "jsonl", dir.file("t.dbf"), "-o", dir.file("out")});
  EXPECT_EQ(run.status, 5);
  EXPECT_NE(run.err.find("exists already"), std::string::npos);

  // The last -o counts and "--" ends the options, as with the recovering command.
  std::filesystem::remove(dir.file("out/t.jsonl"));
  run = runMain(ExportMain, {"export", "-o", dir.file("elsewhere"), "--deleted", "-o",
                             dir.file("out"), "--", dir.file("t.dbf")});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(testing::readFile(dir.file("out/t.csv")),
            "_deleted,NAME,N\r\nfalse,ann,1\r\ntrue,bob,2\r\nfalse,cy,\r\n");
}

// A number with decimals goes into JSON as the JSON library writes its
// double, whether the text as written is taken or the double formatted.
TEST(Export, JsonNumbersAreTheLibrarysOwn) {
  const char* kNumbers[] = {"1.5",     "-0.5",  "0.0001",          "0.00001",          "10.10",
                            "007.25",  ".5",    "123456789.012345", "1234567890.123456", "-0.0",
                            "99999.9", "0.123", "1.000000000000001"};
  TempDir dir;
  TableBuilder builder;
  builder.field("N", 'F', 18);
  for (const char* number : kNumbers) {
    std::string text = number;
    builder.record(std::string(18 - text.size(), ' ') + text);
  }
  builder.write(dir.file("n.dbf"));
  ASSERT_EQ(runMain(ExportMain, {"export", "-f", "jsonl", dir.file("n.dbf"), "-o", dir.path()})
                .status,
            0);
  std::vector<std::string> lines = testing::splitLines(testing::readFile(dir.file("n.jsonl")));
  ASSERT_EQ(lines.size(), std::size(kNumbers));
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i], "{\"N\":" + nlohmann::json(std::strtod(kNumbers[i], nullptr)).dump() + "}")
        << kNumbers[i];
  }
}

TEST(Export, CommandLinesThatCannotRunAreUsageErrors) {
  TempDir dir;
  std::string table = testing::testData("foxprodb/setup.dbf");
  const std::vector<std::vector<std::string>> wrong = {
      {"export", table},
      {"export", "-o", dir.path()},
      {"export", "--format", "xml", table, "-o", dir.path()},
      {"export", table, "-o", dir.file("no-such-folder")},
      {"export", "--encoding", "NO-SUCH-SET", table, "-o", dir.path()},
      {"export", "--bogus", table, "-o", dir.path()},
  };
  for (const auto& words : wrong) {
    CommandRun run = runMain(ExportMain, words);
    EXPECT_EQ(run.status, 2) << words.back() << run.err;
    EXPECT_NE(run.err.find("Try 'dbfrecover export --help'"), std::string::npos);
  }
  EXPECT_EQ(runMain(InspectMain, {"inspect"}).status, 2);
  CommandRun help = runMain(ExportMain, {"export", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: dbfrecover export", 0), 0u);
  EXPECT_NE(help.out.find("Examples:\n  dbfrecover export "), std::string::npos);
  help = runMain(InspectMain, {"inspect", "-h"});
  EXPECT_EQ(help.out.rfind("Usage: dbfrecover inspect", 0), 0u);
  EXPECT_NE(help.out.find("Examples:\n  dbfrecover inspect "), std::string::npos);
  // The recovering command's help leads to both.
  EXPECT_NE(helpText().find("dbfrecover inspect --help, export --help"), std::string::npos);
}

// A table of more than 8 MiB is formatted on two threads in batches:
// every record is there once, in its place, with the counts of the
// closing line summed over the batches.
std::vector<std::string> entriesOf(const std::string& folder);

TEST(Export, ALargeTableKeepsItsRecordsInOrder) {
  TempDir dir;
  TableBuilder builder;
  builder.field("ID", 'N', 7).field("PAD", 'C', 92);
  const int kRecords = 100000;  // 100 bytes each
  for (int i = 0; i < kRecords; ++i) {
    char id[8];
    std::snprintf(id, sizeof id, "%7d", i);
    // Every 1000th deleted, every 777th with an ID that is no number; a
    // pad that JSON escapes to six times its size, so that a batch's text
    // fills up and is formatted on in turn.
    builder.record((i % 777 == 5 ? std::string("  x") + (id + 3) : std::string(id)) +
                       std::string(92, '\x01'),
                   i % 1000 == 3 ? '*' : ' ');
  }
  builder.write(dir.file("big.dbf"));
  for (const char* format : {"csv", "jsonl"}) {
    SCOPED_TRACE(format);
    std::string out = dir.file(format);
    std::filesystem::create_directory(out);
    CommandRun run = runMain(ExportMain, {"export", "-f", format, dir.file("big.dbf"), "-o", out});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("99900 records to"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("100 deleted left out; 129 values could not be decoded, left null: "
                           "ID (not a number) 129"),
              std::string::npos)
        << run.out;
    std::vector<std::string> lines = testing::splitLines(
        testing::readFile(out + "/big." + format));
    std::string csv = std::string(format) == "csv" ? "" : "x";
    size_t row = csv.empty() ? 1 : 0;  // after the CSV header
    for (int i = 0; i < kRecords; ++i) {
      if (i % 1000 == 3) continue;
      ASSERT_LT(row, lines.size());
      std::string id = i % 777 == 5 ? (csv.empty() ? "" : "null") : std::to_string(i);
      std::string begins = csv.empty() ? id + "," : "{\"ID\":" + id + ",";
      ASSERT_EQ(lines[row].rfind(begins, 0), 0u) << "record " << i << ": " << lines[row];
      ++row;
    }
    EXPECT_EQ(row, lines.size());
  }

  // A deletion flag that is neither, late in the table: the threads stop
  // midway, the output begun is abandoned, and the recovery's result is
  // exported in its place.
  std::string bytes = testing::readFile(dir.file("big.dbf"));
  size_t headerLength = static_cast<uint8_t>(bytes[8]) | static_cast<uint8_t>(bytes[9]) << 8;
  bytes[headerLength + 90000 * 100] = 'x';
  testing::writeFile(dir.file("flag.dbf"), bytes);
  std::string out = dir.file("flag");
  std::filesystem::create_directory(out);
  CommandRun run = runMain(ExportMain, {"export", dir.file("flag.dbf"), "-o", out});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("damaged (a record's deletion flag is neither live nor deleted)"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(entriesOf(out), std::vector<std::string>{"flag.csv"});
}

// What a folder holds, by name.
std::vector<std::string> entriesOf(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A memo longer than a piece goes out in pieces cut at awkward places: a
// double-byte character whose second byte is a quote or backslash in
// ASCII, a character of UTF-8, an escape, a base64 group, a spill of the
// row half-written. What comes out is what the whole value gives, a text
// that turns out not to decode deep inside is null as a whole, and a write
// that fails midway leaves nothing.
TEST(Export, ALongMemoGoesInPiecesAsItWouldWhole) {
  struct Case {
    const char* encoding;
    std::string sample, invalid;
  };
  const Case cases[] = {
      {"CP932",
       "\x83\x5c\x95\x5c\"a,b\"\r\n\x93\xfa\x96\x7b\x8c\xea\xb1\x83\x65\x83\x4c\x83\x58{}\\ x",
       "\x81\x20"},
      {"CP1252", "caf\xe9 \x80 \"q\", r\r\nplain words and more plain words here", "\x81"},
      {"UTF-8", "\xf0\x9f\x98\x80 smile \xe2\x82\xac \"q\",\r\n\xc3\xa9 plain words here", "\xc3\x28"},
  };
  auto repeat = [](const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += text;
    return out;
  };
  constexpr uint32_t kBlock = 64;
  auto blockNumber = [](const std::string& memo) {  // of the next memo put there
    std::string digits = std::to_string(memo.size() / kBlock);
    return std::string(10 - digits.size(), ' ') + digits;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.encoding);
    ASSERT_TRUE(reader::TextDecoder(c.encoding).cuttable());
    TempDir dir;
    // Text and binary memos side by side; the last text claims more bytes
    // than the file holds.
    const std::vector<std::string> texts = {
        c.sample, "\x01" + repeat(c.sample, 12000),
        repeat(c.sample, 20) + c.invalid + c.sample, repeat(c.sample, 3)};
    std::string memo = makeMemoHeader(MemoKind::kFoxPro, kBlock, 0);
    TableBuilder builder;
    builder.version(0xF5).field("NOTE", 'M', 10).field("PIC", 'G', 10);
    for (size_t i = 0; i < texts.size(); ++i) {
      std::string binary;
      for (size_t b = 0; b < 300 + i; ++b) binary += static_cast<char>(b * 7 + i);
      const std::string pic = blockNumber(memo);
      memo += encodeMemo(MemoKind::kFoxPro, kBlock, kFoxPicture, binary);
      const std::string note = blockNumber(memo);
      memo += encodeMemo(MemoKind::kFoxPro, kBlock, kFoxText, texts[i]);
      builder.record(note + pic);
    }
    memo.resize(memo.size() - 2 * kBlock);
    builder.write(dir.file("t.dbf"));
    testing::writeFile(dir.file("t.fpt"), memo);

    for (const char* format : {"csv", "jsonl"}) {
      SCOPED_TRACE(format);
      const std::string output = dir.file(std::string("t.") + format);
      auto exportWith = [&](size_t pieceBytes, platform::Env* env, std::string* lines) {
        ExportOptions options;
        options.format = format;
        options.encoding = c.encoding;
        options.tables = {dir.file("t.dbf")};
        options.output = dir.path();
        options.memoPieceBytes = pieceBytes;
        options.env = env;
        std::ostringstream out, err;
        int status = RunExport(options, out, err);
        *lines = out.str() + err.str();
        std::string written = testing::exists(output) ? testing::readFile(output) : "";
        std::filesystem::remove(output);
        return status == kExitOk ? written : "exit " + std::to_string(status);
      };
      std::string lines, linesInPieces;
      const std::string whole = exportWith(ExportOptions().memoPieceBytes, nullptr, &lines);
      // Windows reads every byte of some code pages (CP1252's holes as
      // control characters): there the memo with the odd byte is text.
      std::string decoded;
      if (!reader::TextDecoder(c.encoding).decode(c.invalid, &decoded)) {
        EXPECT_NE(lines.find("2 values could not be decoded, left null: NOTE (memo block"),
                  std::string::npos)
            << lines;
        EXPECT_NE(lines.find("NOTE (memo is not text in " + std::string(c.encoding) + ") 1"),
                  std::string::npos)
            << lines;
      } else {
        EXPECT_NE(lines.find("1 value could not be decoded, left null: NOTE (memo block"),
                  std::string::npos)
            << lines;
      }
      for (size_t pieceBytes : {4, 5, 7, 64}) {
        EXPECT_EQ(exportWith(pieceBytes, nullptr, &linesInPieces), whole) << pieceBytes;
        EXPECT_EQ(linesInPieces, lines);
      }
      testing::FaultEnv failing;
      failing.FailAt(testing::FaultKind::kAppend, 2);
      EXPECT_EQ(exportWith(5, &failing, &linesInPieces), "exit 5");
      EXPECT_TRUE(failing.fired());
      EXPECT_EQ(entriesOf(dir.path()), (std::vector<std::string>{"t.dbf", "t.fpt"}));
    }
  }
}

// A write, sync, rename or folder sync that fails leaves nothing under the
// output's name and no partial file beside it; in a run that succeeds the
// partial name is gone too.
TEST(Export, AnOutputAppearsWholeOrNotAtAll) {
  using testing::FaultKind;
  TempDir dir;
  std::string table = testing::copyTestData("foxprodb/calls.dbf", dir);
  for (const char* format : {"csv", "jsonl", "sqlite"}) {
    bool sqlite = std::string(format) == "sqlite";
    if (sqlite && ExportFormats().size() < 3) continue;
    for (FaultKind kind : {FaultKind::kCreate, FaultKind::kAppend, FaultKind::kSync,
                           FaultKind::kClose, FaultKind::kRename, FaultKind::kSyncFolder}) {
      if (sqlite && kind != FaultKind::kCreate && kind != FaultKind::kRename &&
          kind != FaultKind::kSyncFolder) {
        continue;  // SQLite writes its pages itself
      }
      SCOPED_TRACE(std::string(format) + ", failing " + testing::faultKindName(kind));
      std::string out = dir.file(std::string("out-") + format + "-" + testing::faultKindName(kind));
      std::filesystem::create_directory(out);
      testing::FaultEnv env;
      env.FailAt(kind, 1);
      ExportOptions options;
      options.format = format;
      options.tables = {table};
      options.output = sqlite ? out + "/calls.db" : out;
      options.env = &env;
      std::ostringstream lines, errors;
      EXPECT_EQ(RunExport(options, lines, errors), kExitCannotCreate);
      EXPECT_TRUE(env.fired());
      EXPECT_EQ(entriesOf(out), std::vector<std::string>{}) << errors.str();
      options.env = nullptr;
      EXPECT_EQ(RunExport(options, lines, errors), kExitOk) << errors.str();
      EXPECT_EQ(entriesOf(out),
                std::vector<std::string>{sqlite ? std::string("calls.db") : "calls." + std::string(format)});
    }
  }
  // A partial name that is there already (an export killed midway) is
  // never taken over.
  std::string out = dir.file("taken");
  std::filesystem::create_directory(out);
  testing::writeFile(out + "/calls.csv.partial", "left");
  CommandRun run = runMain(ExportMain, {"export", table, "-o", out});
  EXPECT_EQ(run.status, kExitCannotCreate);
  EXPECT_NE(run.err.find("calls.csv.partial: exists already"), std::string::npos) << run.err;
  EXPECT_EQ(entriesOf(out), std::vector<std::string>{"calls.csv.partial"});
}

// A damaged table is exported as the default recovery brings it back,
// and the closing line says so; one nothing can be made of is unreadable.
TEST(Export, ADamagedTableIsExportedAsTheRecoveryBringsItBack) {
  using tools::DamageMode;
  TempDir dir;
  std::string healthy = testing::copyTestData("foxprodb/calls.dbf", dir);
  testing::copyTestData("foxprodb/calls.FPT", dir);
  std::filesystem::create_directory(dir.file("healthy"));
  ASSERT_EQ(runMain(ExportMain, {"export", healthy, "-o", dir.file("healthy")}).status, 0);
  const std::string whole = testing::readFile(dir.file("healthy/calls.csv"));
  struct Case {
    DamageMode mode;
    const char* damage;
    bool sameRecords;  // every record comes back as it was
  };
  const Case cases[] = {
      {DamageMode::kZeroHeader, "damaged (the header gives no record layout)", true},
      {DamageMode::kInflateCount, "damaged (the file ends before the records its header counts)",
       true},
      {DamageMode::kGarbageAfterHeader,
       "damaged (a record's deletion flag is neither live nor deleted)", true},
      {DamageMode::kJamDeletionFlags,
       "damaged (a record's deletion flag is neither live nor deleted)", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(tools::damageModeName(c.mode));
    std::string folder = dir.file(tools::damageModeName(c.mode));
    std::filesystem::create_directory(folder);
    tools::DamageRequest request;
    request.source = healthy;
    request.output = folder + "/calls.dbf";
    request.mode = c.mode;
    std::string message;
    ASSERT_EQ(tools::damageTable(request, &message), tools::kDamageDone) << message;
    CommandRun run = runMain(ExportMain, {"export", request.output, "-o", folder});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find(c.damage), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("exported what the recovery brings back"), std::string::npos);
    if (c.sameRecords) {
      EXPECT_EQ(testing::readFile(folder + "/calls.csv"), whole);
    }
  }
  testing::writeFile(dir.file("zeros.dbf"), std::string(4096, '\0'));
  CommandRun run = runMain(ExportMain, {"export", dir.file("zeros.dbf"), "-o", dir.path()});
  EXPECT_EQ(run.status, kExitUnreadable);
  EXPECT_NE(run.err.find("cannot be read: the header gives no record layout, and the recovery "
                         "failed"),
            std::string::npos)
      << run.err;
  EXPECT_FALSE(testing::exists(dir.file("zeros.csv")));
}

}  // namespace
}  // namespace kest::host
