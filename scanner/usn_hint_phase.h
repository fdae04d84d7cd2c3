// The USN hint phase: the record numbers that the change journal saw deleted, validated
// against the master file table, nearest to the folder first.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "engine/windows/ntfs_deleted/candidate_collector.h"
#include "scanner/console_output.h"
#include "scanner/phase_context.h"

namespace kavel_lib::scanner {

// Evaluates each record number of the journal's candidate map with the journal's name and (in
// scope) parent as fallbacks; counts the entries the collector took into `usn`. Prints its
// title line only when the map has record numbers; tests the budget before every record.
void run_usn_hint_phase(PhaseContext& ctx, engine::windows::CollectorState& collector, const ProgressFn& progress);

// The map's record numbers by distance from the folder's, nearest first; equal distances keep
// the map's order.
std::vector<std::uint64_t> usn_hint_order(const engine::windows::UsnCandidateMap& map, std::uint64_t dir_frn);

// The journal's parent of the record when the scope's parent_match_frns holds it (48-bit or
// whole), else nothing.
std::optional<std::uint64_t> usn_fallback_parent(const engine::windows::UsnCandidateMap& map,
                                                 const engine::windows::DirectoryScope& scope, std::uint64_t frn);

}  // namespace kavel_lib::scanner
