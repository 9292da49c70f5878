#include "dbf/index_format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/index_builder.h"
#include "tests/test_support.h"

namespace kest {
namespace {

using testing::TagSpec;

IndexBytes over(const std::string& file) {
  return [file](uint64_t offset, size_t count) {
    if (offset >= file.size()) return std::vector<uint8_t>();
    size_t got = std::min<size_t>(count, file.size() - offset);
    return std::vector<uint8_t>(file.begin() + offset, file.begin() + offset + got);
  };
}

const TagSpec kById{"CUSTID", "CUST_ID", "", true, false};
const TagSpec kByName{"NAME", "UPPER(NAME)+DTOS(SINCE)", "!DELETED()", false, true};

TEST(IndexTags, AreReadFromEachLayout) {
  struct Case {
    const char* what;
    IndexKind kind;
    std::string file;
    std::vector<TagSpec> want;
  } cases[] = {
      {"cdx", IndexKind::kCompound, testing::compoundIndex({kById, kByName}), {kById, kByName}},
      {"idx", IndexKind::kSingleCompact, testing::compactIndex(kByName),
       {{"STEM", kByName.key, kByName.filter, false, true}}},
      {"ntx", IndexKind::kClipper, testing::clipperIndex(kByName), {kByName}},
      {"ndx", IndexKind::kDbase3, testing::dbase3Index(kById), {{"STEM", "CUST_ID", ""}}},
      {"mdx", IndexKind::kMultiple, testing::multipleIndex({kById, kByName}),
       {{"CUSTID", "CUST_ID", ""}, {"NAME", kByName.key, ""}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::optional<std::vector<IndexTag>> tags = readIndexTags(c.kind, over(c.file), "STEM");
    ASSERT_TRUE(tags.has_value());
    ASSERT_EQ(tags->size(), c.want.size());
    for (size_t i = 0; i < c.want.size(); ++i) {
      EXPECT_EQ((*tags)[i].name, c.want[i].name);
      EXPECT_EQ((*tags)[i].key, c.want[i].key);
      EXPECT_EQ((*tags)[i].filter, c.want[i].filter);
      EXPECT_EQ((*tags)[i].unique, c.want[i].unique);
      EXPECT_EQ((*tags)[i].descending, c.want[i].descending);
    }
  }
}

TEST(IndexTags, DamagedHeadersAreUnreadableNotGuessed) {
  std::string cdx = testing::compoundIndex({kById});
  std::string looping = cdx;
  looping[1024] = 0;  // the root leaf becomes an interior node pointing at itself
  for (int b = 0; b < 4; ++b) looping[1024 + 12 + 10 + 4 + b] = (b == 2) ? 4 : 0;
  std::string foreignKey = testing::clipperIndex(kById);
  foreignKey[23] = 0x07;
  std::string wideKeys = looping;  // an interior node whose first entry overruns it
  wideKeys[12] = 0xF8;
  wideKeys[13] = 0x01;
  std::string mdx = testing::multipleIndex({kById});
  mdx[28] = static_cast<char>(200);
  struct Case {
    const char* what;
    IndexKind kind;
    std::string file;
  } cases[] = {
      {"cdx cut short", IndexKind::kCompound, cdx.substr(0, 1500)},
      {"cdx looping", IndexKind::kCompound, looping},
      {"cdx key longer than a node's entry", IndexKind::kCompound, wideKeys},
      {"zeros", IndexKind::kCompound, std::string(4096, '\0')},
      {"ntx signature", IndexKind::kClipper, std::string(1024, 'x')},
      {"ntx control byte", IndexKind::kClipper, foreignKey},
      {"mdx tag count", IndexKind::kMultiple, mdx},
      {"ndx empty key", IndexKind::kDbase3, std::string(512, '\0')},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(readIndexTags(c.kind, over(c.file), "STEM").has_value()) << c.what;
  }
}

TEST(IndexFiles, AreThoseNamedAfterTheTableInAnyCase) {
  testing::TempDir dir;
  for (const char* name : {"ORDERS.DBF", "orders.Cdx", "ORDERS.ntx", "ORDERS.FPT", "other.idx",
                           "ORDERS.BAK"}) {
    testing::writeFile(dir.file(name), testing::compoundIndex({kById}));
  }
  std::vector<IndexFile> files = findIndexFiles(dir.file("ORDERS.DBF"), platform::Env::Default());
  ASSERT_EQ(files.size(), 2u);
  std::sort(files.begin(), files.end(),
            [](const IndexFile& a, const IndexFile& b) { return a.name < b.name; });
  EXPECT_EQ(files[0].name, "ORDERS.ntx");
  EXPECT_FALSE(files[0].readable);  // a .cdx's bytes under another name
  EXPECT_EQ(files[1].name, "orders.Cdx");
  EXPECT_TRUE(files[1].readable);
  EXPECT_TRUE(files[1].structural);
  EXPECT_EQ(rebuildAdvice(files[1]), "open the table exclusively and re-create its tags");
}

}  // namespace
}  // namespace kest
