// What the record-number phases share: one record evaluated into candidate entries, the two
// rings of record numbers around a centre, the hand-over of a batch to the collector with the
// count of entries it added, and the saturating counter arithmetic.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine/windows/saturating.h"
#include "engine/windows/ntfs_deleted/candidate_collector.h"
#include "engine/windows/ntfs_deleted/index_root.h"
#include "engine/windows/ntfs_deleted/record_entries.h"
#include "scanner/phase_context.h"

namespace kavel_lib::scanner {

// The outer radius of a ring never passes this on either side of its centre.
inline constexpr std::uint64_t kRingRadiusCap = 512;

// True when the time since the scan's start has reached its budget (read afresh each call).
bool phase_budget_spent(const PhaseContext& ctx);

// The parser arguments every phase passes (folder, scope, hints, in-use options), without a
// fallback.
engine::windows::RecordParseArgs common_parse_args(const PhaseContext& ctx);

// The candidate entries of one record, through the record cache when the options say so
// (cache_reads grows by the cache's new reads, cache_productive follows the cache), else read
// raw. A given fallback parent enables the fallback. Nothing when the record cannot be read
// or yields no entry.
std::optional<std::vector<engine::windows::DeletedEntry>> evaluate_record(
    PhaseContext& ctx, std::uint64_t frn, std::optional<std::string> fallback_name,
    std::optional<std::uint64_t> fallback_parent, bool absent_path_check);

// The child record of a directory's index entry, read raw and parsed with the entry's name as
// fallback and the directory as fallback parent (enabled when the directory is in scope).
std::vector<engine::windows::DeletedEntry> evaluate_index_entry(const PhaseContext& ctx,
                                                                const engine::windows::IndexRootEntry& entry,
                                                                std::uint64_t directory);

// Hands a batch to the collector; returns how many entries it appended.
std::uint64_t hand_to_collector(PhaseContext& ctx, engine::windows::CollectorState& collector,
                                std::vector<engine::windows::DeletedEntry> batch);

// counter += amount, held at the counter's largest value.
void add_saturating(std::uint32_t& counter, std::uint64_t amount);
using engine::windows::saturating_add;
using engine::windows::saturating_sub;

// An inclusive range of record numbers; empty when first > last.
struct FrnRange {
  std::uint64_t first = 0;
  std::uint64_t last = 0;
  [[nodiscard]] bool empty() const { return first > last; }
  friend bool operator==(const FrnRange&, const FrnRange&) = default;
};
struct FrnRings {
  FrnRange lower;  // centre - r .. centre - (skip + 1)
  FrnRange upper;  // centre + skip + 1 .. centre + r
};
// The rings of scan_frn_range, r = min(radius, 512), every bound saturating at 0 and at the
// largest u64.
FrnRings frn_rings(std::uint64_t centre, std::uint64_t skip, std::uint64_t radius);

// Calls visit(n) for n = first..last ascending, without overflow at the largest u64; visit
// returns false to stop. Returns false when it was stopped.
template <typename Visit>
bool for_each_frn(FrnRange range, Visit&& visit) {
  if (range.empty()) return true;
  for (std::uint64_t n = range.first;; ++n) {
    if (!visit(n)) return false;
    if (n == range.last) return true;
  }
}

// Evaluates the numbers of the two rings (lower first), each at most once per seen set, with
// no fallback and the absent-path check; stops reading when the budget is spent. Returns how
// many entries the collector appended.
std::uint64_t scan_frn_range(PhaseContext& ctx, std::uint64_t centre, std::uint64_t skip, std::uint64_t radius,
                             std::unordered_set<std::uint64_t>& seen, engine::windows::CollectorState& collector);

}  // namespace kavel_lib::scanner
