#include "engine/windows/ntfs_deleted/record_entries.h"

#include <algorithm>

#include "engine/windows/ntfs_deleted/candidate_collector.h"
#include "engine/windows/ntfs_deleted/entry_paths.h"
#include "engine/windows/ntfs_deleted/record_names.h"
#include "engine/windows/raw_mft/mft_record.h"
#include "engine/windows/raw_mft/ntfs_layout.h"
#include "engine/windows/usn_deleted/name_filter.h"
#include "platform/volume_paths.h"

namespace kavel_lib::engine::windows {

using namespace ntfs;

namespace {

bool parent_in(const std::unordered_set<std::uint64_t>& set, std::uint64_t parent) {
  return set.contains(parent & kFrnMask) || set.contains(parent);
}

// The record's names whose parent is in scope, with the $FILE_NAME size and time; with
// take_in_use and none found, its plausible names as sources of size 0 without time.
std::vector<DeletedEntrySource> record_candidates(std::span<const std::uint8_t> record, const RecordParseArgs& args) {
  std::vector<DeletedEntrySource> candidates = record_detail(record, args.parent_match_frns);
  if (!candidates.empty() || !args.take_in_use) return candidates;
  for (auto& [parent, name] : collect_file_names(record)) {
    if (!is_plausible_file_name(name, args.extra_name_flag)) continue;
    candidates.push_back(DeletedEntrySource{std::move(name), parent & kFrnMask, 0, 0});
  }
  keep_candidates_with_parent_in(candidates, args.parent_match_frns);
  return candidates;
}

// Whether an in-use record goes on to the candidate steps: one of its names no longer has a
// live path (when that is asked), or it looks like a record whose names carry no size.
bool in_use_record_goes_on(std::span<const std::uint8_t> record, std::uint64_t f, const RecordParseArgs& args) {
  const auto candidates = record_candidates(record, args);
  if (candidates.empty()) return false;
  if (args.absent_path_check &&
      std::any_of(candidates.begin(), candidates.end(), [&](const DeletedEntrySource& c) {
        return map_record_entry_path(c, f, args.folder, args.root_frn, args.dir_names);
      })) {
    return true;
  }
  const bool sized = std::any_of(candidates.begin(), candidates.end(), [](const auto& c) { return c.size != 0; });
  if (!sized) return true;
  const auto data = find_resident_attribute(record, kAttrTypeData);
  return data.has_value() && data->empty();
}

}  // namespace

void keep_candidates_with_parent_in(std::vector<DeletedEntrySource>& candidates,
                                    const std::unordered_set<std::uint64_t>& parents) {
  std::erase_if(candidates, [&](const DeletedEntrySource& c) { return parents.empty() || !parent_in(parents, c.parent); });
}

void keep_plausible_candidates(std::vector<DeletedEntrySource>& candidates, bool relaxed) {
  std::erase_if(candidates, [&](const DeletedEntrySource& c) { return !is_plausible_file_name(c.name, relaxed); });
}

void keep_candidates_named_in(std::vector<DeletedEntrySource>& candidates, const std::unordered_set<std::string>& names) {
  std::erase_if(candidates, [&](const DeletedEntrySource& c) { return names.empty() || !names.contains(c.name); });
}

bool map_record_entry_path(const DeletedEntrySource& candidate, std::uint64_t frn, std::string_view folder,
                           std::uint64_t root_frn, const DirNameMap& dir_names) {
  auto entry = build_entry_path(candidate, frn, folder, root_frn, dir_names, false);
  return entry.has_value() && !platform::volume_paths::exists(entry->path);
}

std::vector<DeletedEntry> parse_record_entries(std::span<const std::uint8_t> record, std::uint64_t frn,
                                               const RecordParseArgs& args) {
  const auto flags = file_record_flags(record);
  if (!flags || (*flags & kRecordFlagDirectory) != 0) return {};
  const std::uint64_t f = frn & kFrnMask;
  const bool in_use = (*flags & kRecordFlagInUse) != 0;
  const std::unordered_set<std::string>* hinted_names = nullptr;
  if (args.hints != nullptr) {
    if (auto it = args.hints->names_by_frn.find(f); it != args.hints->names_by_frn.end()) hinted_names = &it->second;
  }

  // An in-use record that the journal does not name must first look deleted.
  if (in_use && hinted_names == nullptr && !in_use_record_goes_on(record, f, args)) return {};

  std::vector<DeletedEntrySource> candidates = record_candidates(record, args);

  // The name an index entry still gives, for records without a usable name of their own.
  if (candidates.empty() && args.fallback_name && args.fallback_enabled &&
      parent_in(args.parent_match_frns, args.fallback_parent)) {
    candidates.push_back(DeletedEntrySource{*args.fallback_name, args.fallback_parent & kFrnMask, 0, 0});
  }

  // Names that the journal saw for this record.
  if (hinted_names != nullptr && !hinted_names->empty()) {
    for (auto& [parent, name] : collect_file_names(record)) {
      if (!hinted_names->contains(name) || !parent_in(args.parent_match_frns, parent)) continue;
      if (!is_plausible_file_name(name, false)) continue;
      if (std::any_of(candidates.begin(), candidates.end(), [&](const auto& c) { return c.name == name; })) continue;
      candidates.push_back(DeletedEntrySource{std::move(name), parent & kFrnMask, 0, 0});
    }
  }

  if (candidates.empty()) return {};
  // The parent hint of the fallback or the journal, and whether it is in scope, have no say
  // in this filter: only the record number, the journal's names and the relaxed flag do.
  candidates = filter_record_candidates(f, std::move(candidates), args.hints ? &args.hints->names_by_frn : nullptr,
                                        args.extra_name_flag);

  keep_candidates_with_parent_in(candidates, args.parent_match_frns);
  if (in_use) {
    std::erase_if(candidates, [&](const DeletedEntrySource& c) {
      if (c.size == 0) return false;
      return !(args.absent_path_check && map_record_entry_path(c, f, args.folder, args.root_frn, args.dir_names));
    });
  }
  auto entries = map_entry_to_output_path(candidates, f, args.folder, args.root_frn, args.dir_names, args.take_in_use);
  if (in_use) {
    // A live file keeps its path: whatever its $FILE_NAME sizes say, it is not deleted.
    std::erase_if(entries, [](const DeletedEntry& e) { return platform::volume_paths::exists(e.path); });
  }
  return entries;
}

}  // namespace kavel_lib::engine::windows
