#include "engine/windows/time_budget.h"

#include <gtest/gtest.h>

namespace kavel_lib::engine::windows {
namespace {

TEST(TimeBudget, RemainingBorrowsNanosecondsAndNeverGoesNegative) {
  EXPECT_EQ(budget_minus({60, 0}, {1, 250'000'000}), (TimeBudget{58, 750'000'000}));
  EXPECT_EQ(budget_minus({1, 500}, {1, 499}), (TimeBudget{0, 1}));
  EXPECT_EQ(budget_minus({1, 500}, {1, 500}), (TimeBudget{}));
  EXPECT_EQ(budget_minus({1, 0}, {2, 0}), (TimeBudget{}));
}

TEST(TimeBudget, SpentWhenReachedAndMillisecondsOfTheAuditLine) {
  const auto start = ScanClock::now();
  EXPECT_TRUE(budget_spent(start, {0, 0}));
  EXPECT_FALSE(budget_spent(start, {3600, 0}));
  EXPECT_TRUE(budget_spent(start - std::chrono::seconds(5), {5, 0}));
  EXPECT_EQ(budget_millis({2, 345'999'999}), 2345u);
}

}  // namespace
}  // namespace kavel_lib::engine::windows
