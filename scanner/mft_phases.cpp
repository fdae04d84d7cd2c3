#include "scanner/mft_phases.h"

#include <algorithm>
#include <string>
#include <unordered_set>
#include <vector>

#include <fmt/format.h>

#include "engine/windows/ntfs_deleted/index_root.h"
#include "engine/windows/raw_mft/volume_access.h"
#include "scanner/record_evaluation.h"

namespace kavel_lib::scanner {

namespace ew = engine::windows;

namespace {

constexpr std::uint64_t kVicinityRadius1a = 8192;
constexpr std::uint64_t kIndexRingRadius = 512;
constexpr std::uint64_t kExpansionStart = 1024;
constexpr std::uint64_t kVicinity3RadiusBound = 4096;
constexpr std::uint64_t kDeletedDirectoryRadius = 2048;

std::uint64_t distance(std::uint64_t a, std::uint64_t b) { return a > b ? a - b : b - a; }

std::vector<std::uint64_t> list_of(const std::unordered_set<std::uint64_t>& set) {
  return std::vector<std::uint64_t>(set.begin(), set.end());
}

std::optional<std::vector<std::uint8_t>> directory_record(const PhaseContext& ctx, std::uint64_t frn) {
  return ew::get_mft_record(ctx.volume_data, ctx.volume, frn, ctx.record_size);
}

// Evaluates one number with no fallback and the absent-path check; returns the entries added.
std::uint64_t evaluate_near(PhaseContext& ctx, ew::CollectorState& collector, std::uint64_t frn) {
  auto entries = evaluate_record(ctx, frn, std::nullopt, std::nullopt, true);
  if (!entries) return 0;
  return hand_to_collector(ctx, collector, std::move(*entries));
}

// Optional widening of the index phase: rings between H / 2 and H around every directory,
// H doubling while it stays within expand_limit and the last pass added something.
void run_index_expansion(PhaseContext& ctx, ew::CollectorState& collector, const ProgressFn& progress,
                         const std::vector<std::uint64_t>& directories, std::unordered_set<std::uint64_t>& seen) {
  std::uint64_t h = kExpansionStart;
  ctx.context.expand_radius = h;
  while (h <= ctx.options.expand_limit && !phase_budget_spent(ctx)) {
    progress(0, 1, fmt::format("Optional expansion ±{} (strict parent FRN)", h));
    std::uint64_t added = 0;
    for (const std::uint64_t d : directories) added = saturating_add(added, scan_frn_range(ctx, d, h / 2, h, seen, collector));
    add_saturating(ctx.context.expand, added);
    if (added == 0) break;
    h = saturating_add(h, h);
    ctx.context.expand_radius = h;
  }
}

}  // namespace

// Number of parent steps through dir_names from the directory up to the folder (or 0); a
// number missing from the map adds 64, and a chain that needs 64 steps counts as 128.
std::uint64_t deleted_directory_depth(const ew::DirectoryScope& scope, std::uint64_t frn) {
  constexpr std::uint64_t kMissing = 64;
  constexpr std::uint64_t kTooDeep = 128;
  if (scope.dir_names.empty()) return (frn == 0 || frn == scope.dir_frn) ? 0 : kMissing;
  std::uint64_t current = frn;
  std::uint64_t steps = 0;
  while (current != scope.dir_frn && current != 0) {
    if (steps == 64) return kTooDeep;
    auto it = scope.dir_names.find(current);
    if (it == scope.dir_names.end()) return steps + kMissing;
    current = it->second.second;
    ++steps;
  }
  return steps;
}

void run_index_phase(PhaseContext& ctx, ew::CollectorState& collector, const ProgressFn& progress) {
  const std::vector<std::uint64_t> directories = list_of(ctx.scope.dir_frns);
  const std::uint64_t total = std::max<std::uint64_t>(directories.size(), 1);
  const char* title = ctx.options.alt_phase_order ? "Phase 2" : "Phase 1";
  std::unordered_set<std::uint64_t> seen;

  for (std::size_t i = 0; i < directories.size(); ++i) {
    const std::uint64_t d = directories[i];
    if (phase_budget_spent(ctx)) {
      ctx.context.status = "Time limit reached (index phase)";
      break;
    }
    progress(i, total, fmt::format("{} Directory index FRN={}", title, d));
    auto record = directory_record(ctx, d);
    if (!record) continue;
    const bool all = ctx.scope.deleted_dir_frns.contains(d);
    for (const auto& entry : ew::list_index_root_entries(*record, ctx.scope.dir_frns, d, all)) {
      if (phase_budget_spent(ctx)) break;
      seen.insert(entry.frn);  // an entry met before is evaluated all the same
      add_saturating(ctx.context.index, hand_to_collector(ctx, collector, evaluate_index_entry(ctx, entry, d)));
    }
    if (ctx.options.index_ring) {
      add_saturating(ctx.context.index, scan_frn_range(ctx, d, 0, kIndexRingRadius, seen, collector));
    }
  }

  if (ctx.options.index_expansion && !phase_budget_spent(ctx)) {
    run_index_expansion(ctx, collector, progress, directories, seen);
  }
}

void run_vicinity_phase_1a(PhaseContext& ctx, ew::CollectorState& collector, const ProgressFn& progress) {
  if (!ctx.options.vicinity_1a || phase_budget_spent(ctx)) return;
  const std::uint64_t d = ctx.scope.dir_frn;
  const FrnRange band{saturating_sub(d, kVicinityRadius1a), saturating_add(d, kVicinityRadius1a)};
  progress(0, 1,
           fmt::format("Phase 1a Directory vicinity FRN {}..{} (includes recently deleted IN_USE, MFT confirmed)",
                       band.first, band.last));
  for_each_frn(band, [&](std::uint64_t n) {
    if (phase_budget_spent(ctx)) return false;
    add_saturating(ctx.context.local_band_count, evaluate_near(ctx, collector, n));
    return true;
  });
}

void run_local_band_phase_1b(PhaseContext& ctx, ew::CollectorState& collector, const ProgressFn& progress) {
  if (!ctx.options.local_band || phase_budget_spent(ctx)) return;
  const std::uint64_t d = ctx.scope.dir_frn;
  // The band is the half-open range d - below .. d + above plus the journal's record numbers.
  // The range is walked in place rather than copied into a set, so that any option values
  // stay within memory; the journal's numbers outside it follow.
  const std::uint64_t low = saturating_sub(d, ctx.options.band_below);
  const std::uint64_t high = saturating_add(d, ctx.options.band_above);  // excluded
  const std::uint64_t range_size = high - low;
  const FrnRange range{low, range_size == 0 ? low : high - 1};
  std::vector<std::uint64_t> outside;
  if (ctx.usn_map != nullptr) {
    for (const auto& [frn, names] : ctx.usn_map->names_by_frn) {
      if (frn < low || frn >= high) outside.push_back(frn);
    }
  }
  progress(0, 1, fmt::format("Phase 1b Local MFT band ({} FRNs, raw)", saturating_add(range_size, outside.size())));

  auto visit = [&](std::uint64_t n) {
    if (phase_budget_spent(ctx)) return false;
    add_saturating(ctx.context.local_band_count, evaluate_near(ctx, collector, n));
    return true;
  };
  if (range_size > 0 && !for_each_frn(range, visit)) return;
  for (const std::uint64_t n : outside) {
    if (!visit(n)) return;
  }
}

void run_vicinity_phase_3(PhaseContext& ctx, ew::CollectorState& collector, const ProgressFn& progress) {
  if (!ctx.options.vicinity_3 || phase_budget_spent(ctx)) return;
  const std::uint64_t folder = ctx.scope.dir_frn;
  std::vector<std::uint64_t> directories;
  for (const std::uint64_t x : ctx.scope.dir_frns) {
    if (x != folder) directories.push_back(x);
  }
  std::stable_sort(directories.begin(), directories.end(),
                   [folder](std::uint64_t a, std::uint64_t b) { return distance(a, folder) < distance(b, folder); });
  if (directories.size() > ctx.options.vicinity_dirs) directories.resize(ctx.options.vicinity_dirs);
  const std::uint64_t total = std::max<std::uint64_t>(directories.size(), 1);
  const std::uint64_t normal_radius = std::min(ctx.options.vicinity_radius, kVicinity3RadiusBound);
  const std::uint64_t deleted_radius = std::max(ctx.options.vicinity_radius, kVicinity3RadiusBound);
  std::unordered_set<std::uint64_t> seen;

  for (std::size_t i = 0; i < directories.size(); ++i) {
    if (phase_budget_spent(ctx)) return;
    const std::uint64_t d = directories[i];
    const std::uint64_t radius = ctx.scope.deleted_dir_frns.contains(d) ? deleted_radius : normal_radius;
    progress(i, total, fmt::format("Phase 3 Directory vicinity FRN={} ±{} (MFT confirmed)", d, radius));
    add_saturating(ctx.context.local_band_count, scan_frn_range(ctx, d, 0, radius, seen, collector));
  }
}

void run_deleted_directory_phase(PhaseContext& ctx, ew::CollectorState& collector, const ProgressFn& progress) {
  if (!ctx.options.deleted_dir_phase || ctx.scope.deleted_dir_frns.empty() || phase_budget_spent(ctx)) return;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> by_depth;  // (depth, directory)
  for (const std::uint64_t d : ctx.scope.deleted_dir_frns) by_depth.emplace_back(deleted_directory_depth(ctx.scope, d), d);
  std::stable_sort(by_depth.begin(), by_depth.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  const std::uint64_t total = std::max<std::uint64_t>(by_depth.size(), 1);
  std::unordered_set<std::uint64_t> seen;

  for (std::size_t i = 0; i < by_depth.size(); ++i) {
    const std::uint64_t d = by_depth[i].second;
    if (phase_budget_spent(ctx)) {
      ctx.context.status = "Time limit reached (deleted directory phase)";
      return;
    }
    auto named = ctx.scope.dir_names.find(d);
    const std::string name = named != ctx.scope.dir_names.end() ? named->second.first : "?";
    progress(i, total, fmt::format("Phase 2b Whole-folder deletion Directory FRN={} ({})", d, name));
    auto record = directory_record(ctx, d);
    if (!record) continue;
    for (const auto& entry : ew::list_index_root_entries(*record, ctx.scope.dir_frns, d, true)) {
      if (phase_budget_spent(ctx)) break;
      seen.insert(entry.frn);
      add_saturating(ctx.context.deleted_dir, hand_to_collector(ctx, collector, evaluate_index_entry(ctx, entry, d)));
    }
    add_saturating(ctx.context.deleted_dir,
                   scan_frn_range(ctx, d, 0, kDeletedDirectoryRadius, seen, collector));
  }
}

}  // namespace kavel_lib::scanner
