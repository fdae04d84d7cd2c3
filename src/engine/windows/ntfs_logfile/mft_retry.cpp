#include "engine/windows/ntfs_logfile/mft_retry.h"

#include <limits>
#include <thread>

#include "datasource/windows/drive_letter.h"
#include "engine/windows/ntfs_deleted/candidate_collector.h"

namespace kavel_lib::engine::windows {

namespace {

// True when the time since start has reached the budget (seconds first, then nanoseconds).
bool budget_reached(std::chrono::nanoseconds elapsed, TimeBudget budget) {
  const auto ns = elapsed.count() > 0 ? static_cast<std::uint64_t>(elapsed.count()) : 0;
  const TimeBudget e{ns / 1'000'000'000u, static_cast<std::uint32_t>(ns % 1'000'000'000u)};
  if (e.seconds != budget.seconds) return e.seconds > budget.seconds;
  return e.nanoseconds >= budget.nanoseconds;
}

}  // namespace

std::vector<std::uint64_t> retry_work_list(std::uint64_t dir_frn, const UsnCandidateMap* pending_map,
                                           const std::unordered_set<std::uint64_t>& found_copy,
                                           const std::unordered_set<std::uint64_t>& found_frns) {
  std::vector<std::uint64_t> work;
  if (pending_map != nullptr) {
    for (const auto& [frn, names] : pending_map->names_by_frn) {
      if (!found_copy.contains(frn) && !found_frns.contains(frn)) work.push_back(frn);
    }
  }
  if (!work.empty()) return work;
  const std::uint64_t low = dir_frn >= kRetryWindow ? dir_frn - kRetryWindow : 0;
  const std::uint64_t high =
      dir_frn <= std::numeric_limits<std::uint64_t>::max() - kRetryWindow ? dir_frn + kRetryWindow
                                                                         : std::numeric_limits<std::uint64_t>::max();
  work.reserve(static_cast<std::size_t>(high - low + 1));
  for (std::uint64_t frn = low;; ++frn) {
    work.push_back(frn);
    if (frn == high) break;
  }
  return work;
}

RetryHooks default_retry_hooks(const NtfsVolumeData& volume_data, const VolumeHandle& volume) {
  RetryHooks hooks;
  hooks.read_and_parse = [&volume_data, &volume](std::uint64_t frn, const RecordParseArgs& args) {
    return read_and_parse_record(volume_data, volume, frn, args);
  };
  hooks.now = [] { return ScanClock::now(); };
  hooks.sleep = [](std::chrono::nanoseconds d) { std::this_thread::sleep_for(d); };
  hooks.begin_pass = [&volume] { volume.forget_records(); };
  return hooks;
}

std::uint32_t delayed_mft_retry(const DirectoryScope& scope, const RetryHooks& hooks, const UsnCandidateMap* pending_map,
                                const std::unordered_set<std::uint64_t>& found_copy, std::vector<DeletedEntry>& entries,
                                std::unordered_set<std::string>& dedup_texts,
                                std::unordered_set<std::uint64_t>& found_frns, TimeBudget remaining) {
  const char letter = datasource::windows::drive_letter_of_path(scope.path).value_or('?');
  std::vector<std::uint64_t> work = retry_work_list(scope.dir_frn, pending_map, found_copy, found_frns);
  const RecordParseArgs args{.letter = letter,
                             .folder = scope.path,
                             .root_frn = scope.dir_frn,
                             .parent_match_frns = scope.parent_match_frns,
                             .dir_names = scope.dir_names,
                             .hints = pending_map,
                             .fallback_name = std::nullopt,
                             .fallback_enabled = false,
                             .fallback_parent = 0,
                             .absent_path_check = true,
                             .take_in_use = !scope.strict_paths,
                             .extra_name_flag = scope.filter_flag};
  ScanContext scratch;
  std::uint32_t productive = 0;
  const ScanClock::time_point start = hooks.now();
  for (int pass = 1; pass <= kRetryPasses; ++pass) {
    if (budget_reached(std::chrono::duration_cast<std::chrono::nanoseconds>(hooks.now() - start), remaining)) break;
    if (pass > 1) hooks.sleep(kRetryPause);
    if (hooks.begin_pass) hooks.begin_pass();
    for (const std::uint64_t frn : work) {
      if (found_frns.contains(frn)) continue;
      auto parsed = hooks.read_and_parse(frn, args);
      if (!parsed) continue;
      const std::size_t before = entries.size();
      accept_candidates(scope, scratch, entries, dedup_texts, found_frns, std::move(*parsed));
      if (entries.size() > before && productive != std::numeric_limits<std::uint32_t>::max()) ++productive;
    }
  }
  return productive;
}

std::uint32_t delayed_mft_retry(const DirectoryScope& scope, const NtfsVolumeData& volume_data,
                                const VolumeHandle& volume, const UsnCandidateMap* pending_map,
                                const std::unordered_set<std::uint64_t>& found_copy, std::vector<DeletedEntry>& entries,
                                std::unordered_set<std::string>& dedup_texts,
                                std::unordered_set<std::uint64_t>& found_frns, std::uint64_t remaining_seconds,
                                std::uint32_t remaining_nanoseconds) {
  return delayed_mft_retry(scope, default_retry_hooks(volume_data, volume), pending_map, found_copy, entries,
                           dedup_texts, found_frns, TimeBudget{remaining_seconds, remaining_nanoseconds});
}

}  // namespace kavel_lib::engine::windows
