// One chunk of consecutive FILE records, as the paged scans read it, turned into candidate
// entries: the records that are no longer in use (and, with take_in_use, those in use too)
// parsed for names whose parent lies in the folder's scope.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "engine/windows/scan_records.h"

namespace kavel_lib::engine::windows {

// What every chunk of one paged scan is parsed against (all read-only while the scan runs).
struct ChunkScanScope {
  char letter = 0;
  std::string_view folder{};
  std::uint64_t folder_frn = 0;
  const std::unordered_set<std::uint64_t>& parent_match_frns;
  const DirNameMap& dir_names;
  const UsnCandidateMap* hints = nullptr;            // the threaded workers pass none
  const std::unordered_set<std::uint64_t>& skip;     // records an earlier phase already found
  bool take_in_use = false;
  bool extra_name_flag = false;
};

struct ChunkScanResult {
  std::vector<DeletedEntry> entries;
  std::uint64_t scanned = 0;  // records looked at (those in the skip set are not counted)
};

// The chunk holds records first_frn, first_frn + 1, ... laid end to end, record_size bytes
// each; a partial record at its end is ignored. A record in the skip set is passed over
// uncounted. A "FILE" record in use is parsed only with take_in_use or when the hint map names
// it; a "BAAD" record only with take_in_use or a hint; anything else is counted and passed
// over.
ChunkScanResult scan_mft_chunk(std::span<const std::uint8_t> chunk, std::uint64_t first_frn,
                               std::uint32_t record_size, const ChunkScanScope& scope);

}  // namespace kavel_lib::engine::windows
