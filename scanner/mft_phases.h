// The master-file-table phases that read records by number: the directory index phase, the
// vicinity phases 1a and 3, the local band phase 1b and the deleted-directory phase.
#pragma once

#include "engine/windows/ntfs_deleted/candidate_collector.h"
#include "scanner/console_output.h"
#include "scanner/phase_context.h"

namespace kavel_lib::scanner {

void run_index_phase(PhaseContext& ctx, engine::windows::CollectorState& collector, const ProgressFn& progress);
void run_vicinity_phase_1a(PhaseContext& ctx, engine::windows::CollectorState& collector, const ProgressFn& progress);
void run_local_band_phase_1b(PhaseContext& ctx, engine::windows::CollectorState& collector,
                             const ProgressFn& progress);
void run_vicinity_phase_3(PhaseContext& ctx, engine::windows::CollectorState& collector, const ProgressFn& progress);
void run_deleted_directory_phase(PhaseContext& ctx, engine::windows::CollectorState& collector,
                                 const ProgressFn& progress);

}  // namespace kavel_lib::scanner
