#include "Common/logger/logger.h"

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace kest {
namespace {

using testing::LogCapture;

TEST(Logger, ComposesTextAndNumberForms) {
  LogCapture log;
  Log().InfoString("Log file name:", "x.log");
  Log().InfoString("Absent", nullptr);
  Log().InfoNumber("Negative", -5);
  EXPECT_TRUE(log.contains("Log file name: [x.log]"));
  EXPECT_TRUE(log.contains("Absent [null]"));
  EXPECT_TRUE(log.contains("Negative [-5]"));
}

}  // namespace
}  // namespace kest
