// Phase 5 of the folder scan: a delayed second look at record numbers that the journal named
// but no phase found (or, without any, those around the folder's record), for files whose
// FILE record had not yet been written back when the scan started.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine/windows/raw_mft/volume_access.h"
#include "engine/windows/scan_records.h"

namespace kavel_lib::engine::windows {

// Returns the number of record numbers whose record added at least one entry.
std::uint32_t delayed_mft_retry(const DirectoryScope& scope, const NtfsVolumeData& volume_data,
                                const VolumeHandle& volume, const UsnCandidateMap* pending_map,
                                const std::unordered_set<std::uint64_t>& found_copy, std::vector<DeletedEntry>& entries,
                                std::unordered_set<std::string>& dedup_texts,
                                std::unordered_set<std::uint64_t>& found_frns, std::uint64_t remaining_seconds,
                                std::uint32_t remaining_nanoseconds);

}  // namespace kavel_lib::engine::windows
