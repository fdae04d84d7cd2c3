#include "scanner/record_evaluation.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "engine/windows/raw_mft/volume_access.h"

namespace kavel_lib::scanner {

namespace ew = engine::windows;

namespace {


bool in_parent_match(const PhaseContext& ctx, std::uint64_t frn) {
  return ctx.scope.parent_match_frns.contains(frn & ew::kFrnMask) || ctx.scope.parent_match_frns.contains(frn);
}

}  // namespace

bool phase_budget_spent(const PhaseContext& ctx) { return ew::budget_spent(ctx.start, ctx.budget); }

ew::RecordParseArgs common_parse_args(const PhaseContext& ctx) {
  return ew::RecordParseArgs{.letter = ctx.drive_letter,
                             .folder = ctx.scope.path,
                             .root_frn = ctx.scope.dir_frn,
                             .parent_match_frns = ctx.scope.parent_match_frns,
                             .dir_names = ctx.scope.dir_names,
                             .hints = ctx.usn_map,
                             .take_in_use = ctx.options.take_in_use,
                             .extra_name_flag = ctx.options.extra_name_flag};
}

std::optional<std::vector<ew::DeletedEntry>> evaluate_record(PhaseContext& ctx, std::uint64_t frn,
                                                             std::optional<std::string> fallback_name,
                                                             std::optional<std::uint64_t> fallback_parent,
                                                             bool absent_path_check) {
  ew::RecordParseArgs args = common_parse_args(ctx);
  args.fallback_name = std::move(fallback_name);
  args.fallback_enabled = fallback_parent.has_value();
  args.fallback_parent = fallback_parent.value_or(0);
  args.absent_path_check = absent_path_check;

  if (!ctx.options.record_cache) return ew::read_and_parse_record(ctx.volume_data, ctx.volume, frn, args);

  const std::uint32_t reads_before = ctx.cache.reads;
  auto entries = ew::fetch_and_parse_record(ctx.cache, ctx.geometry, ctx.volume, frn, args);
  if (ctx.cache.reads > reads_before) add_saturating(ctx.context.cache_reads, ctx.cache.reads - reads_before);
  ctx.context.cache_productive = ctx.cache.productive;
  return entries;
}

std::vector<ew::DeletedEntry> evaluate_index_entry(const PhaseContext& ctx, const ew::IndexRootEntry& entry,
                                                   std::uint64_t directory) {
  auto record = ew::read_raw_mft_record(ctx.volume, ctx.geometry, entry.frn);
  if (!record) return {};
  ew::RecordParseArgs args = common_parse_args(ctx);
  args.fallback_name = entry.name;
  args.fallback_parent = directory;
  args.fallback_enabled = in_parent_match(ctx, directory);
  args.absent_path_check = false;
  return ew::parse_record_entries(*record, entry.frn, args);
}

std::uint64_t hand_to_collector(PhaseContext& ctx, ew::CollectorState& collector, std::vector<ew::DeletedEntry> batch) {
  if (batch.empty()) return 0;
  const std::size_t before = collector.entries.size();
  ew::accept_candidates(ctx.scope, ctx.context, collector, std::move(batch));
  return collector.entries.size() - before;
}

void add_saturating(std::uint32_t& counter, std::uint64_t amount) {
  const std::uint64_t room = std::numeric_limits<std::uint32_t>::max() - counter;
  counter += static_cast<std::uint32_t>(std::min(amount, room));
}


FrnRings frn_rings(std::uint64_t centre, std::uint64_t skip, std::uint64_t radius) {
  const std::uint64_t r = std::min(radius, kRingRadiusCap);
  const std::uint64_t skip_plus_one = saturating_add(skip, 1);
  return FrnRings{
      .lower = {saturating_sub(centre, r), saturating_sub(centre, skip_plus_one)},
      .upper = {saturating_add(centre, skip_plus_one), saturating_add(centre, r)},
  };
}

std::uint64_t scan_frn_range(PhaseContext& ctx, std::uint64_t centre, std::uint64_t skip, std::uint64_t radius,
                             std::unordered_set<std::uint64_t>& seen, ew::CollectorState& collector) {
  const FrnRings rings = frn_rings(centre, skip, radius);
  std::uint64_t added = 0;
  auto visit = [&](std::uint64_t n) {
    if (phase_budget_spent(ctx)) return false;
    if (!seen.insert(n).second) return true;
    if (auto entries = evaluate_record(ctx, n, std::nullopt, std::nullopt, true)) {
      added += hand_to_collector(ctx, collector, std::move(*entries));
    }
    return true;
  };
  if (for_each_frn(rings.lower, visit)) for_each_frn(rings.upper, visit);
  return added;
}

}  // namespace kavel_lib::scanner
