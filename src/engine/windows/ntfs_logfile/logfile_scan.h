// Phase 4 of the folder scan: recent delete transactions of the volume's $LogFile (record 2),
// found by the page search of log_page_scan.h and turned into entries, through the record
// parser and the collector, or from the log's name and parent alone.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine/windows/ntfs_logfile/log_page_scan.h"
#include "engine/windows/raw_mft/volume_access.h"
#include "engine/windows/scan_records.h"
#include "platform/errors.h"

namespace kavel_lib::engine::windows {

// The last 8 MiB of the $LogFile data of the volume (all of it when smaller). Open and
// volume-data errors come back unchanged; "无法读取 $LogFile MFT 记录" when record 2 cannot be
// fetched, "无法读取 $LogFile 数据流" when its data cannot be read (both of kind Other).
std::expected<std::vector<std::uint8_t>, platform::OsError> read_logfile_stream(char letter);

// What the page search needs of an open volume: cluster size, record size (at least 1024)
// and the number of records the $MFT holds (0 when its layout cannot be read, so that no
// record number passes).
LogScanVolume log_scan_volume(const NtfsVolumeData& volume_data, const VolumeHandle& volume);

// Turns one candidate into entries of the collector's result list: the record it names read
// and parsed (the candidate's name and parent as fallback), or, when that yields nothing, an
// entry built from the log's name and parent alone. A candidate without a record number, or
// with one the volume does not hold, gives nothing. `counter` grows by the entries built from
// the log alone.
void logfile_candidates_to_entries(const DirectoryScope& scope, const LogCandidate& candidate,
                                   const NtfsVolumeData& volume_data, const VolumeHandle& volume,
                                   const UsnCandidateMap* hints, std::vector<DeletedEntry>& entries,
                                   std::unordered_set<std::string>& dedup_texts,
                                   std::unordered_set<std::uint64_t>& found_frns, std::uint32_t& counter);

}  // namespace kavel_lib::engine::windows
