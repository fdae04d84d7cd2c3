// Reads joined with the record parser: the per-scan record cache, one record read and parsed,
// and the record step of the change-journal scan.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/windows/ntfs_deleted/record_entries.h"
#include "engine/windows/raw_mft/volume.h"
#include "engine/windows/raw_mft/volume_geometry.h"
#include "engine/windows/scan_records.h"

namespace kavel_lib::engine::windows {

// The per-scan cache of raw records (one per folder scan, used by its main thread only).
struct MftRecordCache {
  std::unordered_map<std::uint64_t, std::vector<std::uint8_t>> records;  // by record number as given
  std::uint32_t reads = 0;       // raw reads made on misses
  std::uint32_t productive = 0;  // fetches whose parse gave at least one entry
};

// read_raw_mft_record (geometry from the volume data) then parse_record_entries; nothing when
// the read fails or the parse gives no entry.
std::optional<std::vector<DeletedEntry>> read_and_parse_record(const NtfsVolumeData& volume_data,
                                                               const VolumeHandle& volume, std::uint64_t frn,
                                                               const RecordParseArgs& args);

// The record from the cache, read raw on a miss (a failed read stores nothing), then parsed;
// nothing when the parse gives no entry.
std::optional<std::vector<DeletedEntry>> fetch_and_parse_record(MftRecordCache& cache, const VolumeGeometry& geometry,
                                                                const VolumeHandle& volume, std::uint64_t frn,
                                                                const RecordParseArgs& args);

// The record step of the change-journal scan: each record number read raw and parsed (no
// fallback, no in-use options); entries under the folder kept once per "{frn}|{path}", in the
// order found. A volume that cannot be opened or queried gives an empty list.
std::vector<DeletedEntry> scan_frn_list(char letter, std::string_view folder, std::uint64_t root_frn,
                                        const std::unordered_set<std::uint64_t>& parent_match_frns,
                                        const DirNameMap& dir_names, const std::vector<std::uint64_t>& frns,
                                        const UsnCandidateMap* hints);

}  // namespace kavel_lib::engine::windows
