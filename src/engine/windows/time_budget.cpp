#include "engine/windows/time_budget.h"

#include <limits>

namespace kavel_lib::engine::windows {

TimeBudget elapsed_since(ScanClock::time_point start) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(ScanClock::now() - start).count();
  if (ns <= 0) return {};
  const auto total = static_cast<std::uint64_t>(ns);
  return {total / 1'000'000'000u, static_cast<std::uint32_t>(total % 1'000'000'000u)};
}

bool budget_spent(ScanClock::time_point start, TimeBudget budget) {
  const TimeBudget e = elapsed_since(start);
  if (e.seconds != budget.seconds) return e.seconds > budget.seconds;
  return e.nanoseconds >= budget.nanoseconds;
}

TimeBudget budget_minus(TimeBudget budget, TimeBudget elapsed) {
  if (elapsed.seconds > budget.seconds ||
      (elapsed.seconds == budget.seconds && elapsed.nanoseconds >= budget.nanoseconds)) {
    return {};
  }
  if (budget.nanoseconds >= elapsed.nanoseconds) {
    return {budget.seconds - elapsed.seconds, budget.nanoseconds - elapsed.nanoseconds};
  }
  return {budget.seconds - elapsed.seconds - 1, budget.nanoseconds + 1'000'000'000u - elapsed.nanoseconds};
}

TimeBudget remaining_budget(ScanClock::time_point start, TimeBudget budget) {
  return budget_minus(budget, elapsed_since(start));
}

std::uint64_t budget_millis(TimeBudget value) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  if (value.seconds > kMax / 1000) return kMax;
  return value.seconds * 1000 + value.nanoseconds / 1'000'000u;
}

}  // namespace kavel_lib::engine::windows
