#include "scanner/usn_hint_phase.h"

#include <algorithm>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "scanner/record_evaluation.h"

namespace kavel_lib::scanner {

namespace ew = engine::windows;

std::vector<std::uint64_t> usn_hint_order(const ew::UsnCandidateMap& map, std::uint64_t dir_frn) {
  std::vector<std::uint64_t> frns;
  frns.reserve(map.names_by_frn.size());
  for (const auto& [frn, names] : map.names_by_frn) frns.push_back(frn);
  auto distance = [dir_frn](std::uint64_t x) { return x > dir_frn ? x - dir_frn : dir_frn - x; };
  std::stable_sort(frns.begin(), frns.end(), [&](std::uint64_t a, std::uint64_t b) { return distance(a) < distance(b); });
  return frns;
}

std::optional<std::uint64_t> usn_fallback_parent(const ew::UsnCandidateMap& map, const ew::DirectoryScope& scope,
                                                 std::uint64_t frn) {
  auto it = map.parent_by_frn.find(frn);
  if (it == map.parent_by_frn.end()) return std::nullopt;
  const std::uint64_t parent = it->second;
  if (!scope.parent_match_frns.contains(parent & ew::kFrnMask) && !scope.parent_match_frns.contains(parent)) {
    return std::nullopt;
  }
  return parent;
}

void run_usn_hint_phase(PhaseContext& ctx, ew::CollectorState& collector, const ProgressFn& progress) {
  if (ctx.usn_map == nullptr || ctx.usn_map->names_by_frn.empty()) return;
  const ew::UsnCandidateMap& map = *ctx.usn_map;
  const char* title = ctx.options.alt_phase_order ? "Phase 4" : "Phase 2";
  progress(0, 1, fmt::format("{} USN hint FRNs ({} items, MFT validated)", title, map.names_by_frn.size()));

  for (const std::uint64_t frn : usn_hint_order(map, ctx.scope.dir_frn)) {
    if (phase_budget_spent(ctx)) return;
    const std::optional<std::uint64_t> parent = usn_fallback_parent(map, ctx.scope, frn);
    std::optional<std::string> name;
    if (auto names = map.names_by_frn.find(frn); names != map.names_by_frn.end()) name = ew::first_name(names->second);
    auto entries = evaluate_record(ctx, frn, std::move(name), parent, false);
    if (!entries) continue;
    add_saturating(ctx.context.usn, hand_to_collector(ctx, collector, std::move(*entries)));
  }
}

}  // namespace kavel_lib::scanner
