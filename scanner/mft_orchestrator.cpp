#include "scanner/mft_orchestrator.h"

#include <algorithm>
#include <utility>

#include <fmt/format.h>

#include "engine/windows/ntfs_logfile/logfile_scan.h"
#include "engine/windows/ntfs_logfile/mft_retry.h"
#include "scanner/mft_phases.h"
#include "scanner/paged_phase.h"
#include "scanner/usn_hint_phase.h"

namespace kavel_lib::scanner {

namespace ew = engine::windows;

PhaseSet default_phase_set() {
  PhaseSet set;
  set.index = run_index_phase;
  set.vicinity_1a = run_vicinity_phase_1a;
  set.local_band_1b = run_local_band_phase_1b;
  set.vicinity_3 = run_vicinity_phase_3;
  set.deleted_directory = run_deleted_directory_phase;
  set.usn_hint = run_usn_hint_phase;
  set.paged = [](PhaseContext& ctx, ew::CollectorState& c, const ProgressFn& progress) {
    run_mft_paged_phase(ctx, c.found_frns, c.entries, c.dedup_texts, progress);
  };
  return set;
}

MftStepSources default_mft_step_sources() {
  MftStepSources s;
  s.open_volume = ew::open_volume_by_letter;
  s.query_volume_data = [](const ew::VolumeHandle& v) { return ew::query_ntfs_volume_data(v); };
  s.load_bitmap = [](const ew::VolumeHandle& v, std::uint32_t hint) { return ew::load_mft_in_use_bitmap(v, hint); };
  s.phases = default_phase_set();
  s.logfile_and_retry = [](auto&&... args) {
    return run_logfile_and_retry_phases(std::forward<decltype(args)>(args)...);
  };
  return s;
}

std::optional<std::string> run_logfile_and_retry_phases(char letter, const ew::DirectoryScope& scope,
                                                        const ew::UsnCandidateMap* usn_map,
                                                        const ew::NtfsVolumeData& volume_data,
                                                        const ew::VolumeHandle& volume, std::uint32_t record_size,
                                                        const std::unordered_set<std::uint64_t>& found_copy,
                                                        ew::CollectorState& collector, LateCounters& counters,
                                                        ew::TimeBudget remaining, bool logfile_phase,
                                                        bool retry_phase, const TextSink& out,
                                                        const RetryPause& pause) {
  counters = {};
  if (remaining.seconds == 0 && remaining.nanoseconds == 0) return std::nullopt;
  const auto start = ew::ScanClock::now();
  std::optional<std::string> error;

  if (logfile_phase) {
    report_progress(out, 0, 1, "阶段4 $LogFile 事务（刚删）");
    const std::size_t before = collector.entries.size();
    auto stream = ew::read_logfile_stream(letter);
    if (!stream) {
      error = stream.error().display();
    } else {
      ew::LogScanVolume log_volume = ew::log_scan_volume(volume_data, volume);
      log_volume.record_size = record_size;
      auto [candidates, log_counters] = ew::scan_logfile_pages(*stream, log_volume, scope.parent_match_frns, usn_map);
      (void)log_counters;
      std::uint32_t built_from_log = 0;
      for (const auto& candidate : candidates) {
        ew::logfile_candidates_to_entries(scope, candidate, volume_data, volume, usn_map, collector.entries,
                                          collector.dedup_texts, collector.found_frns, built_from_log);
      }
    }
    counters.logfile = static_cast<std::uint32_t>(std::min<std::size_t>(collector.entries.size() - before, UINT32_MAX));
  }

  // Phase 5 gets what phase 4 left of the remaining time.
  const ew::TimeBudget left = ew::remaining_budget(start, remaining);
  if (retry_phase && (left.seconds >= 1 || left.nanoseconds > 200'000'000u)) {
    report_progress(out, 0, 1, "阶段5 延迟 MFT 重试（缓存落盘）");
    const std::size_t before = collector.entries.size();
    if (pause) {
      ew::RetryHooks hooks = ew::default_retry_hooks(volume_data, volume);
      hooks.sleep = pause;
      ew::delayed_mft_retry(scope, hooks, usn_map, found_copy, collector.entries, collector.dedup_texts,
                            collector.found_frns, left);
    } else {
      ew::delayed_mft_retry(scope, volume_data, volume, usn_map, found_copy, collector.entries,
                            collector.dedup_texts, collector.found_frns, left.seconds, left.nanoseconds);
    }
    counters.retry = static_cast<std::uint32_t>(std::min<std::size_t>(collector.entries.size() - before, UINT32_MAX));
  }

  if (usn_map != nullptr) {
    const auto pending = std::count_if(usn_map->names_by_frn.begin(), usn_map->names_by_frn.end(),
                                       [&](const auto& kv) { return !collector.found_frns.contains(kv.first); });
    counters.pending = static_cast<std::uint32_t>(std::min<std::size_t>(static_cast<std::size_t>(pending), UINT32_MAX));
  }
  return error;
}

std::expected<MftPhasesOutcome, std::string> run_mft_phases(const ew::DirectoryScope& scope, char letter,
                                                            ew::TimeBudget remaining,
                                                            const ew::UsnCandidateMap* usn_map,
                                                            const ew::ScanOptions& options, const TextSink& out,
                                                            const MftStepSources& sources) {
  const auto start = ew::ScanClock::now();
  auto volume = sources.open_volume(letter);
  if (!volume) return std::unexpected(volume.error().display());
  auto volume_data = sources.query_volume_data(*volume);
  if (!volume_data) return std::unexpected(volume_data.error().display());
  const std::uint32_t record_size = std::max(volume_data->bytes_per_file_record_segment(), ew::kMinRecordSize);

  const std::optional<std::vector<std::uint8_t>> bitmap = sources.load_bitmap(*volume, record_size);
  ew::ScanContext context;
  context.folder = scope.path;
  context.scope_folders = scope.dir_frns.size();
  context.mft_records =
      ew::mft_record_count_estimate(bitmap ? std::optional<std::uint64_t>(bitmap->size()) : std::nullopt);
  ew::CollectorState collector;
  ew::MftRecordCache cache;
  PhaseContext ctx{bitmap ? &*bitmap : nullptr,
                   *volume,
                   ew::record_reader_geometry(*volume_data),
                   *volume_data,
                   scope,
                   options,
                   context,
                   cache,
                   letter,
                   record_size,
                   start,
                   remaining,
                   usn_map};
  const ProgressFn progress = progress_to(out);

  report_progress(out, 0, 1,
                  fmt::format("Strict directory FRN: {} folders, parent FRN matches parent_match_frns",
                              context.scope_folders));

  const PhaseSet& p = sources.phases;
  if (!options.alt_phase_order) {
    p.index(ctx, collector, progress);
    p.vicinity_1a(ctx, collector, progress);
    p.local_band_1b(ctx, collector, progress);
    p.usn_hint(ctx, collector, progress);
    p.paged(ctx, collector, progress);
  } else if (options.order_a) {
    report_progress(out, 0, 1, "Phase 1 Directory index + Vicinity FRN (build paths first)");
    p.index(ctx, collector, progress);
    p.deleted_directory(ctx, collector, progress);
    p.vicinity_3(ctx, collector, progress);
    p.usn_hint(ctx, collector, progress);
    report_progress(out, 0, 1, "Phase 4 MFT paged (full disk deleted records)");
    p.paged(ctx, collector, progress);
  } else {
    report_progress(out, 0, 1, "Phase 1 MFT paged scan (full disk metadata, read-only)");
    p.paged(ctx, collector, progress);
    p.index(ctx, collector, progress);
    p.vicinity_3(ctx, collector, progress);
    p.usn_hint(ctx, collector, progress);
  }

  const ew::TimeBudget left = ew::remaining_budget(start, remaining);
  if (options.logfile_phase || options.retry_phase) {
    const std::unordered_set<std::uint64_t> found_copy = collector.found_frns;
    LateCounters late;
    // The $LogFile step's error ends only that step; the scan goes on without its entries.
    (void)sources.logfile_and_retry(letter, scope, usn_map, *volume_data, *volume, record_size, found_copy, collector,
                                    late, left, options.logfile_phase, options.retry_phase, out);
    if (options.logfile_phase) context.logfile = late.logfile;
    if (options.retry_phase) context.retry = late.retry;
    context.pending = late.pending;
  }

  context.cache_reads = cache.reads;
  context.cache_productive = cache.productive;
  context.elapsed_ms = ew::budget_millis(ew::elapsed_since(start));
  if (context.status.empty()) context.status = "Completed";
  return MftPhasesOutcome{std::move(collector.entries), std::move(context)};
}

}  // namespace kavel_lib::scanner
