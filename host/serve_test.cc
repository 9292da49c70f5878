// The pieces of `dbfrecover serve` below HTTP: which names and requests it
// takes, and its files under failing I/O. The page and the API end to end
// are held in a browser by serve_test.py.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/serve.h"
#include "host/serve_files.h"
#include "tests/fault_env.h"
#include "tests/test_support.h"

namespace kest::host {
namespace {

using testing::FaultEnv;
using testing::FaultKind;
using testing::TempDir;

TEST(ServeNames, APathIsRefusedAndALabelKept) {
  for (const char* refused : {"", ".", "..", "../x.dbf", "a/b.dbf", "a\\b.dbf", "C:x.dbf",
                              "/etc/passwd", "x\n.dbf", "x\x7f.dbf"}) {
    EXPECT_FALSE(uploadLabel(refused)) << refused;
  }
  for (const char* kept : {"CALLS.DBF", "Kunden 2024.dbf", "..hidden.dbf", "a..b.fpt"}) {
    EXPECT_EQ(uploadLabel(kept).value_or(""), kept);
  }
  struct Case {
    const char* label;
    const char* download;
  } cases[] = {{"Kunden 2024", "Kunden_2024"}, {"a.b.c", "a_b.c"}, {"...", "table"},
               {"M\xc3\xbcller", "M__ller"}, {".dbf", "_dbf"}};
  for (const Case& c : cases) EXPECT_EQ(downloadName(c.label, "table"), c.download) << c.label;
  EXPECT_EQ(labelExtension("CALLS.FPT"), "fpt");
  EXPECT_EQ(labelExtension(".dbt"), "");
}

TEST(ServeRequests, OnlyOurHostAndTheWholeTokenPass) {
  EXPECT_TRUE(hostIsOurs("127.0.0.1:8080", 8080));
  EXPECT_TRUE(hostIsOurs("localhost:8080", 8080));
  for (const char* foreign : {"127.0.0.1:8081", "127.0.0.1", "attacker.example:8080",
                              "127.0.0.1:8080.attacker.example", "", "[::1]:8080"}) {
    EXPECT_FALSE(hostIsOurs(foreign, 8080)) << foreign;
  }
  EXPECT_TRUE(tokenMatches("0123abcd", "0123abcd"));
  for (const char* wrong : {"", "0123abc", "0123abcd0", "0123abce", "0123ABCD"}) {
    EXPECT_FALSE(tokenMatches(wrong, "0123abcd")) << wrong;
  }
  EXPECT_FALSE(tokenMatches("", ""));
}

TEST(ServeZip, CrcIsTheZipOne) {
  EXPECT_EQ(zipCrc32("123456789", 9), 0xCBF43926u);
  EXPECT_EQ(zipCrc32("6789", 4, zipCrc32("12345", 5)), 0xCBF43926u);
}

// Reads a little-endian field of `bytes`.
uint32_t field(const std::string& bytes, size_t at, int size) {
  uint32_t value = 0;
  for (int i = size - 1; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

// Every I/O call of an upload and of a zip, failed in turn: each either
// ends whole or fails and leaves no file behind.
TEST(ServeFiles, EveryFailedCallLeavesNothingOrAWholeFile) {
  TempDir dir;
  std::string table(70000, 'T'), memo = "memo";
  testing::writeFile(dir.file("t.dbf"), table);
  testing::writeFile(dir.file("t.fpt"), memo);
  std::string upload = dir.file("upload"), zip = dir.file("result.zip");
  auto run = [&](platform::Env* env) {
    UploadFile file(env, upload, 1 << 20);
    bool received = file.Open() && file.Append(table.data(), 40000) &&
                    file.Append(table.data() + 40000, table.size() - 40000) && file.Finish();
    bool zipped = bool(writeStoredZip(env, zip, {{"T.DBF", upload}, {"T.FPT", dir.file("t.fpt")}}));
    return std::make_pair(received, zipped);
  };

  FaultEnv env;
  ASSERT_EQ(run(&env), std::make_pair(true, true));
  std::string archive = testing::readFile(zip);
  // The central directory's entries hold the CRCs and sizes of the contents.
  size_t end = archive.size() - 22;
  ASSERT_EQ(field(archive, end, 4), 0x06054b50u);
  EXPECT_EQ(field(archive, end + 10, 2), 2u);
  size_t central = field(archive, end + 16, 4);
  EXPECT_EQ(field(archive, central + 16, 4), zipCrc32(table.data(), table.size()));
  EXPECT_EQ(field(archive, central + 24, 4), table.size());
  EXPECT_EQ(archive.size(), 2 * 30 + 5 + 5 + table.size() + memo.size() + 2 * 46 + 10 + 22);

  std::vector<std::pair<FaultKind, uint64_t>> counts;
  for (FaultKind kind : testing::allFaultKinds()) counts.emplace_back(kind, env.calls(kind));
  for (auto [kind, count] : counts) {
    for (uint64_t n = 1; n <= count; ++n) {
      SCOPED_TRACE(std::string(testing::faultKindName(kind)) + " #" + std::to_string(n));
      platform::Env::Default()->RemoveFile(upload);
      platform::Env::Default()->RemoveFile(zip);
      env.Reset();
      env.FailAt(kind, n);
      auto [received, zipped] = run(&env);
      EXPECT_EQ(received, testing::exists(upload));
      if (received) {
        EXPECT_EQ(testing::readFile(upload), table);
      }
      EXPECT_EQ(zipped, testing::exists(zip));
      if (zipped) {
        EXPECT_EQ(testing::readFile(zip), archive);
      }
    }
  }
}

TEST(ServeFiles, AnUploadPastItsLimitIsRemoved) {
  TempDir dir;
  UploadFile file(platform::Env::Default(), dir.file("big"), 10);
  ASSERT_TRUE(file.Open());
  EXPECT_TRUE(file.Append("0123456789", 10));
  EXPECT_FALSE(file.Append("x", 1));
  EXPECT_TRUE(file.tooLarge());
  EXPECT_FALSE(file.Finish());
  EXPECT_FALSE(testing::exists(dir.file("big")));
}

}  // namespace
}  // namespace kest::host
