// The folder scan's time budget: whole seconds and nanoseconds measured from a start instant
// on the monotonic clock.
#pragma once

#include <chrono>
#include <cstdint>

namespace kavel_lib::engine::windows {

using ScanClock = std::chrono::steady_clock;

struct TimeBudget {
  std::uint64_t seconds = 0;
  std::uint32_t nanoseconds = 0;  // below 1,000,000,000
  friend bool operator==(const TimeBudget&, const TimeBudget&) = default;
};

// The time since start as a budget value.
TimeBudget elapsed_since(ScanClock::time_point start);

// True when the time since start has reached the budget (seconds compared first, then
// nanoseconds; equal counts as reached).
bool budget_spent(ScanClock::time_point start, TimeBudget budget);

// budget - elapsed, or zero when that is negative.
TimeBudget budget_minus(TimeBudget budget, TimeBudget elapsed);
TimeBudget remaining_budget(ScanClock::time_point start, TimeBudget budget);

// Whole seconds * 1000 + nanoseconds / 1,000,000 (saturating).
std::uint64_t budget_millis(TimeBudget value);

}  // namespace kavel_lib::engine::windows
