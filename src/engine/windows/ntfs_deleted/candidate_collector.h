// The candidate collector: every source of deleted-file candidates (change journal, MFT
// phases, $LogFile, the deferred re-read) hands its batches here. The collector drops noise
// names, applies the scope's acceptance test, de-duplicates on insertion and appends.
//
// Also here: the name filter applied to the sources of one FILE record, and the two
// acceptance tests (strict: the path must be the one the scope rebuilds; lenient: the path
// must lie under the folder and no longer exist).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "engine/windows/ntfs_deleted/entry_paths.h"
#include "engine/windows/ntfs_deleted/record_names.h"
#include "engine/windows/scan_records.h"

namespace kavel_lib::engine::windows {

// What the collector keeps for one scan: the accepted entries, their de-duplication texts
// ("{frn}|{path}|{frn_path_key:016x}") and the record numbers found. Both sets only grow.
struct CollectorState {
  std::vector<DeletedEntry> entries;
  std::unordered_set<std::string> dedup_texts;
  std::unordered_set<std::uint64_t> found_frns;
};

// The sources of record `frn` whose names pass the noise filter (with `relaxed` as its
// flag); then, when names_by_frn is given, `relaxed` is false and the map holds frn, only the
// sources named in the map's set for frn. Order is kept.
//
// The record parser passes its `extra_name_flag` as `relaxed`; its parent hint and scope test
// have no say here.
std::vector<DeletedEntrySource> filter_record_candidates(std::uint64_t frn, std::vector<DeletedEntrySource> sources,
                                                         const FrnNameSets* names_by_frn, bool relaxed);

// True when the scope's parent_match_frns holds the record number (48-bit, then as passed).
bool lookup_frn_entry(const DirectoryScope& scope, std::uint64_t frn);

// The strict test: the parent is one of the scope's directories and the entry's path is the
// one the scope's directory names give for its last component.
bool resolve_candidate_path(const DirectoryScope& scope, const DeletedEntry& entry);

// The lenient test: the path lies under the folder, no longer exists and has a plausible last
// name; then the strict test, or (when the scope is not strict) a parent in the scope.
bool candidate_path_or_lost(const DirectoryScope& scope, const DeletedEntry& entry);

// Filters, tests and de-duplicates a batch into the collector's containers, counting rejected
// candidates in context.filtered. Duplicates are dropped silently.
void accept_candidates(const DirectoryScope& scope, ScanContext& context, std::vector<DeletedEntry>& entries,
                       std::unordered_set<std::string>& dedup_texts, std::unordered_set<std::uint64_t>& found_frns,
                       std::vector<DeletedEntry> batch);
void accept_candidates(const DirectoryScope& scope, ScanContext& context, CollectorState& state,
                       std::vector<DeletedEntry> batch);

// The collector's de-duplication text of an entry.
std::string collector_dedup_text(const DeletedEntry& entry);

// True for a plausible name ending in a common document, image, archive or media extension.
bool has_document_extension(std::string_view name);

}  // namespace kavel_lib::engine::windows
