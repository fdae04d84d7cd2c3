// The $MFT paged phase: the table read chunk by chunk on worker threads, nearest chunks first.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine/windows/scan_records.h"
#include "scanner/console_output.h"
#include "scanner/phase_context.h"

namespace kavel_lib::scanner {

void run_mft_paged_phase(PhaseContext& ctx, std::unordered_set<std::uint64_t>& found_frns,
                         std::vector<engine::windows::DeletedEntry>& entries,
                         std::unordered_set<std::string>& dedup_texts, const ProgressFn& progress);

}  // namespace kavel_lib::scanner
