// The USN hint phase: the record numbers that the change journal saw deleted, validated
// against the master file table, nearest to the folder first.
#pragma once

#include "engine/windows/ntfs_deleted/candidate_collector.h"
#include "scanner/console_output.h"
#include "scanner/phase_context.h"

namespace kavel_lib::scanner {

void run_usn_hint_phase(PhaseContext& ctx, engine::windows::CollectorState& collector, const ProgressFn& progress);

}  // namespace kavel_lib::scanner
