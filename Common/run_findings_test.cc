#include "Common/run_findings.h"

#include <gtest/gtest.h>

namespace kest {
namespace {

TEST(RunFindingsTest, StepsRestartTheirOwnEntriesAndRenderWhole) {
  RunFindings findings;
  findings.add(kBestCaseStep, FindingKind::kRepair, "count mended");
  findings.add("memo", FindingKind::kNote, "memo \"cut\"");
  // The second pass of a method says it again: once in the channel.
  findings.restart(kBestCaseStep);
  findings.add(kBestCaseStep, FindingKind::kRepair, "count mended");
  findings.skipped(kBestCaseStep, 1175552, 1179647, 12);
  findings.realigned(kWorstCaseStep, 4096, -7, "5 slots fit");
  findings.drop(kWorstCaseStep);

  EXPECT_EQ(findings.entries().size(), 3u);
  EXPECT_EQ(findings.count(FindingKind::kRepair), 1u);
  EXPECT_EQ(findings.recordsLost(), 12u);
  EXPECT_EQ(findings.plainText(),
            "memo: memo \"cut\"\n"
            "best case: count mended\n"
            "best case: bytes 1,175,552-1,179,647 held no records: 12 records lost\n");
  EXPECT_EQ(findings.json(),
            "[\n{\"step\":\"memo\",\"kind\":\"note\",\"text\":\"memo \\\"cut\\\"\"},\n"
            "{\"step\":\"best case\",\"kind\":\"repair\",\"text\":\"count mended\"},\n"
            "{\"step\":\"best case\",\"kind\":\"skipped\",\"text\":\"bytes 1,175,552-1,179,647 "
            "held no records: 12 records lost\",\"first\":1175552,\"last\":1179647,"
            "\"records\":12}]");
  EXPECT_EQ(groupedNumber(0), "0");
  EXPECT_EQ(groupedNumber(1000), "1,000");
}

}  // namespace
}  // namespace kest
