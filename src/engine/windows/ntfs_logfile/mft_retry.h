// Phase 5 of the folder scan: a delayed second look at record numbers that the journal named
// but no phase found (or, without any, those around the folder's record), for files whose
// FILE record had not yet been written back when the scan started. At most three passes,
// 200 ms apart, while the remaining budget lasts (it is tested before each pass only).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine/windows/ntfs_deleted/record_entries.h"
#include "engine/windows/raw_mft/volume_access.h"
#include "engine/windows/scan_records.h"
#include "engine/windows/time_budget.h"

namespace kavel_lib::engine::windows {

// Half the width of the window around the folder's record that is re-read without journal
// record numbers.
inline constexpr std::uint64_t kRetryWindow = 8192;
inline constexpr int kRetryPasses = 3;
inline constexpr std::chrono::nanoseconds kRetryPause = std::chrono::milliseconds(200);

// The record numbers one pass re-reads: the journal's record numbers that neither the earlier
// phases (found_copy) nor the collector (found_frns) have, in the map's order; when there is no
// map or none is left, dir_frn - 8192 .. dir_frn + 8192 ascending (clipped at 0 and the
// largest u64).
std::vector<std::uint64_t> retry_work_list(std::uint64_t dir_frn, const UsnCandidateMap* pending_map,
                                           const std::unordered_set<std::uint64_t>& found_copy,
                                           const std::unordered_set<std::uint64_t>& found_frns);

// What the phase reaches the disk and the clock through (tests put fakes in).
struct RetryHooks {
  std::function<std::optional<std::vector<DeletedEntry>>(std::uint64_t, const RecordParseArgs&)> read_and_parse;
  std::function<ScanClock::time_point()> now;
  std::function<void(std::chrono::nanoseconds)> sleep;
  // Called before each pass, so that the pass reads the volume afresh (may be empty).
  std::function<void()> begin_pass;
};
// The volume's records, the steady clock and a real sleep; each pass drops the records the
// handle keeps.
RetryHooks default_retry_hooks(const NtfsVolumeData& volume_data, const VolumeHandle& volume);

// Returns the number of record numbers whose record added at least one entry.
std::uint32_t delayed_mft_retry(const DirectoryScope& scope, const NtfsVolumeData& volume_data,
                                const VolumeHandle& volume, const UsnCandidateMap* pending_map,
                                const std::unordered_set<std::uint64_t>& found_copy, std::vector<DeletedEntry>& entries,
                                std::unordered_set<std::string>& dedup_texts,
                                std::unordered_set<std::uint64_t>& found_frns, std::uint64_t remaining_seconds,
                                std::uint32_t remaining_nanoseconds);

// The same through the hooks.
std::uint32_t delayed_mft_retry(const DirectoryScope& scope, const RetryHooks& hooks, const UsnCandidateMap* pending_map,
                                const std::unordered_set<std::uint64_t>& found_copy, std::vector<DeletedEntry>& entries,
                                std::unordered_set<std::string>& dedup_texts,
                                std::unordered_set<std::uint64_t>& found_frns, TimeBudget remaining);

}  // namespace kavel_lib::engine::windows
