// The master-file-table phases that read records by number: the directory index phase, the
// vicinity phases 1a and 3, the local band phase 1b and the deleted-directory phase. Each
// tests the scan's budget itself before every directory and every record it reads, and adds
// the entries the collector took from it to its own counter of the ScanContext.
#pragma once

#include <cstdint>

#include "engine/windows/ntfs_deleted/candidate_collector.h"
#include "scanner/console_output.h"
#include "scanner/phase_context.h"
#include "scanner/record_evaluation.h"

namespace kavel_lib::scanner {

// The scope's directories' index entries (and, with index_ring, the records within 512 of
// each directory; with index_expansion, wider rings). Counts into `index` and `expand`.
void run_index_phase(PhaseContext& ctx, engine::windows::CollectorState& collector, const ProgressFn& progress);
// Every record within 8192 of the folder's own. Counts into `local_band_count`.
void run_vicinity_phase_1a(PhaseContext& ctx, engine::windows::CollectorState& collector, const ProgressFn& progress);
// The records from band_below under the folder's own to band_above over it, and the journal's
// record numbers. Counts into `local_band_count`.
void run_local_band_phase_1b(PhaseContext& ctx, engine::windows::CollectorState& collector,
                             const ProgressFn& progress);
// Rings around the scope's directories nearest the folder. Counts into `local_band_count`.
void run_vicinity_phase_3(PhaseContext& ctx, engine::windows::CollectorState& collector, const ProgressFn& progress);
// Every index entry of the scope's deleted directories, shallowest first, and a ring around
// each. Counts into `deleted_dir`.
void run_deleted_directory_phase(PhaseContext& ctx, engine::windows::CollectorState& collector,
                                 const ProgressFn& progress);

// The depth by which the deleted-directory phase orders its directories (see mft_phases.cpp).
std::uint64_t deleted_directory_depth(const engine::windows::DirectoryScope& scope, std::uint64_t frn);

}  // namespace kavel_lib::scanner
