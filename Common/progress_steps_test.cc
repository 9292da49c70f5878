#include "Common/progress_steps.h"

#include <gtest/gtest.h>

#include <vector>

namespace kest {
namespace {

// The rule the steps stand for: the step moves on at done exactly when the
// remainder of span * done by total is below span.
bool movesByRemainder(uint64_t span, uint64_t total, uint64_t done) {
  return done != 0 && total != 0 && span * done % total < span;
}

TEST(ProgressSteps, MovesWhereTheDivisionDoes) {
  for (uint64_t span : {1u, 10u, 25u, 40u}) {
    for (uint64_t total : {0u, 1u, 3u, 7u, 10u, 24u, 25u, 26u, 1000u, 12345u}) {
      SCOPED_TRACE(testing::Message() << span << " of " << total);
      // Counting up, then with jumps forward and back, and again.
      std::vector<uint64_t> dones;
      for (uint64_t d = 0; d <= total + 2; ++d) dones.push_back(d);
      for (uint64_t d : {5u, 9u, 10u, 3u, 4u, 4u, 1000u, 1001u, 0u, 1u}) dones.push_back(d);
      ProgressSteps steps(span, total);
      for (uint64_t done : dones) {
        ASSERT_EQ(steps.movesAt(done), movesByRemainder(span, total, done)) << "at " << done;
      }
    }
  }
}

}  // namespace
}  // namespace kest
