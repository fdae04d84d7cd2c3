// The $LogFile transaction scan: recent delete transactions of the volume's log, turned into
// candidates and, through the record parser and the collector, into entries.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "engine/windows/raw_mft/volume_access.h"
#include "engine/windows/scan_records.h"
#include "platform/errors.h"

namespace kavel_lib::engine::windows {

// One finding: a record number alone (kind 0) or a name with its parent (kind 1).
struct LogCandidate {
  std::uint32_t kind = 0;
  std::uint64_t parent = 0;
  std::optional<std::string> name;
  std::uint64_t frn = 0;  // 0: unknown
};

struct LogScanCounters {
  std::uint32_t headers = 0;
  std::uint32_t frn_records = 0;
  std::uint32_t name_records = 0;
  std::uint32_t hinted = 0;
};

// The last 8 MiB of the $LogFile data of the volume.
std::expected<std::vector<std::uint8_t>, platform::OsError> read_logfile_stream(char letter);

// The candidates of the log bytes that the scope (or the journal's map) makes worth a look.
std::pair<std::vector<LogCandidate>, LogScanCounters> scan_logfile_pages(
    std::span<const std::uint8_t> bytes, std::uint64_t bytes_per_cluster, std::uint64_t record_size,
    const std::unordered_set<std::uint64_t>& parent_match_frns, const UsnCandidateMap* usn_map);

// Turns one candidate into entries of the collector; counter grows by the entries built from
// the log alone.
void logfile_candidates_to_entries(const DirectoryScope& scope, const LogCandidate& candidate,
                                   const NtfsVolumeData& volume_data, const VolumeHandle& volume,
                                   const UsnCandidateMap* hints, std::vector<DeletedEntry>& entries,
                                   std::unordered_set<std::string>& dedup_texts,
                                   std::unordered_set<std::uint64_t>& found_frns, std::uint32_t& counter);

}  // namespace kavel_lib::engine::windows
