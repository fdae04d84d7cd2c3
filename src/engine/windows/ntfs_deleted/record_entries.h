// The record parser: one FILE record turned into the candidate entries that the scan phases
// hand to the collector.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "engine/windows/scan_records.h"

namespace kavel_lib::engine::windows {

// The arguments every caller of the parser passes through (in this order in the callers'
// descriptions): where output paths go, which parents are in scope, the journal's hints,
// the fallback name of an index entry, and the in-use options.
struct RecordParseArgs {
  char letter = 0;                 // drive letter of the volume
  std::string_view folder{};       // the scanned folder's path text
  std::uint64_t root_frn = 0;      // the folder's own record number
  const std::unordered_set<std::uint64_t>& parent_match_frns;
  const DirNameMap& dir_names;
  const UsnCandidateMap* hints = nullptr;
  std::optional<std::string> fallback_name{};
  bool fallback_enabled = false;
  std::uint64_t fallback_parent = 0;
  bool absent_path_check = false;
  bool take_in_use = false;
  bool extra_name_flag = false;    // the noise filter's `relaxed` flag
};

// The entries of one record (see record_entries.cpp for the steps). Directory records, records
// not beginning with "FILE" and records shorter than 24 bytes give none. An in-use record's
// candidate whose path still exists on the volume never becomes an entry.
std::vector<DeletedEntry> parse_record_entries(std::span<const std::uint8_t> record, std::uint64_t frn,
                                               const RecordParseArgs& args);

// True when the candidate's rebuilt path (no lost-files fallback) exists no longer on the
// volume; false when no path results or the path exists.
bool map_record_entry_path(const DeletedEntrySource& candidate, std::uint64_t frn, std::string_view folder,
                           std::uint64_t root_frn, const DirNameMap& dir_names);

// Candidate list filters, in place, order kept.
// Keeps candidates whose parent (48-bit, or whole) is in the set; an empty set keeps none.
void keep_candidates_with_parent_in(std::vector<DeletedEntrySource>& candidates,
                                    const std::unordered_set<std::uint64_t>& parents);
// Keeps candidates whose name passes the noise filter with `relaxed`.
void keep_plausible_candidates(std::vector<DeletedEntrySource>& candidates, bool relaxed);
// Keeps candidates whose name is in the set; an empty set keeps none.
void keep_candidates_named_in(std::vector<DeletedEntrySource>& candidates, const std::unordered_set<std::string>& names);

}  // namespace kavel_lib::engine::windows
