// Unsigned 64-bit arithmetic that stops at the ends of the range instead of wrapping, for sums
// and products of values read from disk.
#pragma once

#include <cstdint>
#include <limits>

namespace kavel_lib::engine::windows {

inline constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();

constexpr std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) { return a > kU64Max - b ? kU64Max : a + b; }

constexpr std::uint64_t saturating_sub(std::uint64_t a, std::uint64_t b) { return b > a ? 0 : a - b; }

constexpr std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
  return (a != 0 && b > kU64Max / a) ? kU64Max : a * b;
}

}  // namespace kavel_lib::engine::windows
