#include "scanner/paged_phase.h"

#include <algorithm>
#include <limits>

#include "engine/windows/ntfs_deleted/candidate_collector.h"
#include "engine/windows/raw_mft/paged_scan.h"
#include "engine/windows/raw_mft/record_reader.h"

namespace kavel_lib::scanner {

namespace ew = engine::windows;

void run_mft_paged_phase(PhaseContext& ctx, std::unordered_set<std::uint64_t>& found_frns,
                         std::vector<ew::DeletedEntry>& entries, std::unordered_set<std::string>& dedup_texts,
                         const ProgressFn& progress) {
  const ew::ScanOptions& options = ctx.options;
  if (!options.paged_phase || ew::budget_spent(ctx.start, ctx.budget)) return;
  if (progress) {
    progress(0, 1,
             options.alt_phase_order ? "Phase 1 $MFT paged (full disk metadata, read-only)"
                                     : "Phase 3 $MFT paged (dir_frns parent directories only)");
  }

  // The scope's sets and the found-record set are read in place: this thread blocks until
  // every worker has ended, and nothing else writes them meanwhile.
  const std::optional<std::uint64_t> bitmap_length =
      ctx.in_use_bitmap != nullptr ? std::optional<std::uint64_t>(ctx.in_use_bitmap->size()) : std::nullopt;
  const ew::PagedScanInputs inputs{.geometry = ctx.geometry,
                                   .letter = ctx.drive_letter,
                                   .folder = ctx.scope.path,
                                   .folder_frn = ctx.scope.dir_frn,
                                   .parent_match_frns = ctx.scope.parent_match_frns,
                                   .dir_names = ctx.scope.dir_names,
                                   .skip = found_frns,
                                   .record_count = ew::mft_record_count_estimate(bitmap_length),
                                   .chunk_records = options.chunk_records,
                                   .threads = options.threads,
                                   .budget = ctx.budget,
                                   .start = ctx.start,
                                   .take_in_use = options.take_in_use,
                                   .extra_name_flag = options.extra_name_flag};
  std::vector<ew::DeletedEntry> found =
      options.threads >= 2
          ? ew::paged_mft_scan(inputs, ctx.context.paged_stats)
          : ew::paginate_mft_by_parent_frn(ctx.volume, inputs, ctx.usn_map, progress, ctx.context.paged_stats);

  // The collector gets a copy of the found-record set: what this phase finds is not added to
  // the scan's own set.
  std::unordered_set<std::uint64_t> found_copy = found_frns;
  const std::size_t before = entries.size();
  ew::accept_candidates(ctx.scope, ctx.context, entries, dedup_texts, found_copy, std::move(found));
  ctx.context.paged = static_cast<std::uint32_t>(
      std::min<std::size_t>(entries.size() - before, std::numeric_limits<std::uint32_t>::max()));
}

}  // namespace kavel_lib::scanner
