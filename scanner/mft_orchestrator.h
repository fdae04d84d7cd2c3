// The phased master-file-table scan: opens the volume, makes the counters, the collector and
// the phase context, runs the phases in their order, then the $LogFile and deferred re-read
// phases, and returns the entries with the final counters.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine/windows/ntfs_deleted/candidate_collector.h"
#include "engine/windows/raw_mft/volume_access.h"
#include "engine/windows/scan_records.h"
#include "engine/windows/time_budget.h"
#include "platform/errors.h"
#include "scanner/console_output.h"
#include "scanner/phase_context.h"

namespace kavel_lib::scanner {

using PhaseFn = std::function<void(PhaseContext&, engine::windows::CollectorState&, const ProgressFn&)>;

// The phases the orchestrator runs (the real ones by default; tests put fakes in).
struct PhaseSet {
  PhaseFn index;
  PhaseFn vicinity_1a;
  PhaseFn local_band_1b;
  PhaseFn vicinity_3;
  PhaseFn deleted_directory;
  PhaseFn usn_hint;
  PhaseFn paged;
};
PhaseSet default_phase_set();

// The counters that phases 4 and 5 report.
struct LateCounters {
  std::uint32_t logfile = 0;
  std::uint32_t retry = 0;
  std::uint32_t pending = 0;
};

// How phase 5 waits between its passes; empty means a real sleep. (A benchmark times the scan
// without its designed waits by passing one that returns at once.)
using RetryPause = std::function<void(std::chrono::nanoseconds)>;

// Phase 4 ($LogFile) and phase 5 (deferred re-read). Returns the $LogFile step's error text
// when there is one.
std::optional<std::string> run_logfile_and_retry_phases(
    char letter, const engine::windows::DirectoryScope& scope, const engine::windows::UsnCandidateMap* usn_map,
    const engine::windows::NtfsVolumeData& volume_data, const engine::windows::VolumeHandle& volume,
    std::uint32_t record_size, const std::unordered_set<std::uint64_t>& found_copy,
    engine::windows::CollectorState& collector, LateCounters& counters, engine::windows::TimeBudget remaining,
    bool logfile_phase, bool retry_phase, const TextSink& out, const RetryPause& pause = {});

// What the orchestrator reaches the disk through.
struct MftStepSources {
  std::function<std::expected<engine::windows::VolumeHandle, platform::OsError>(char)> open_volume;
  std::function<std::expected<engine::windows::NtfsVolumeData, platform::OsError>(const engine::windows::VolumeHandle&)>
      query_volume_data;
  std::function<std::optional<std::vector<std::uint8_t>>(const engine::windows::VolumeHandle&, std::uint32_t)>
      load_bitmap;
  PhaseSet phases;
  // Phases 4 and 5 (run_logfile_and_retry_phases by default).
  std::function<std::optional<std::string>(char, const engine::windows::DirectoryScope&,
                                           const engine::windows::UsnCandidateMap*,
                                           const engine::windows::NtfsVolumeData&,
                                           const engine::windows::VolumeHandle&, std::uint32_t,
                                           const std::unordered_set<std::uint64_t>&,
                                           engine::windows::CollectorState&, LateCounters&,
                                           engine::windows::TimeBudget, bool, bool, const TextSink&)>
      logfile_and_retry;
};
MftStepSources default_mft_step_sources();

struct MftPhasesOutcome {
  std::vector<engine::windows::DeletedEntry> entries;
  engine::windows::ScanContext context;
};

// The phased scan of the scope's volume within the remaining budget; an error text when the
// volume cannot be opened or its volume data cannot be read.
std::expected<MftPhasesOutcome, std::string> run_mft_phases(const engine::windows::DirectoryScope& scope,
                                                            char letter, engine::windows::TimeBudget remaining,
                                                            const engine::windows::UsnCandidateMap* usn_map,
                                                            const engine::windows::ScanOptions& options,
                                                            const TextSink& out,
                                                            const MftStepSources& sources = default_mft_step_sources());

}  // namespace kavel_lib::scanner
