// The heuristic search of $LogFile bytes for log records of two kinds: operation 3, whose
// target position gives a record number, and operations 6 and 13, whose redo data gives a
// parent and a name. The bytes are a plain stream with page markers: restart areas, log
// sequence numbers and update sequences are not interpreted. Nothing in the bytes can make
// the search fail; every field is read only when it lies inside the slice.
#pragma once

#include <cstdint>
#include <span>
#include <unordered_set>
#include <utility>
#include <vector>

#include "engine/windows/ntfs_logfile/log_candidates.h"
#include "engine/windows/scan_records.h"

namespace kavel_lib::engine::windows {

// Counters of one scan; each saturates at the largest u32.
struct LogScanCounters {
  std::uint32_t headers = 0;       // log record headers accepted
  std::uint32_t frn_records = 0;   // operation 3 headers
  std::uint32_t name_records = 0;  // operation 6 and 13 headers
  std::uint32_t hinted = 0;        // candidates kept because the journal named their record
  friend bool operator==(const LogScanCounters&, const LogScanCounters&) = default;
};

// What the search needs of the volume. A record number at or past record_count is not a
// record of the volume: a finding that gives one counts as giving no record number.
struct LogScanVolume {
  std::uint64_t bytes_per_cluster = 0;
  std::uint64_t record_size = 0;   // raised to 1024 when smaller
  std::uint64_t record_count = 0;  // $MFT data size / record size
};

// The search over one slice, into the candidate map and the counters.
void scan_log_records(std::span<const std::uint8_t> bytes, const LogScanVolume& volume,
                      const std::unordered_set<std::uint64_t>& parent_match_frns, LogCandidateMap& candidates,
                      LogScanCounters& counters);

// Both passes over the log bytes (the marked pages from byte 64 of each, then the whole
// buffer), then the filter: with a journal map, candidates whose record number the journal
// named or named candidates whose parent is in scope; without one, only the latter.
std::pair<std::vector<LogCandidate>, LogScanCounters> scan_logfile_pages(
    std::span<const std::uint8_t> bytes, const LogScanVolume& volume,
    const std::unordered_set<std::uint64_t>& parent_match_frns, const UsnCandidateMap* usn_map);

}  // namespace kavel_lib::engine::windows
