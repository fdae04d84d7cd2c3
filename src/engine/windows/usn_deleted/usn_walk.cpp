// The walk over journal records: candidates inside the folder and the candidate map.
#include "engine/windows/usn_deleted/usn_walk.h"

#include <algorithm>

#include <fmt/format.h>

#include "datasource/windows/white_space.h"
#include "engine/windows/ntfs_deleted/candidate_collector.h"
#include "engine/windows/ntfs_deleted/entry_paths.h"
#include "engine/windows/recycle/path_helpers.h"
#include "engine/windows/usn_deleted/name_filter.h"
#include "engine/windows/usn_deleted/usn_reason.h"
#include "engine/windows/wtf8.h"
#include "platform/volume_paths.h"

namespace kavel_lib::engine::windows {

namespace {

bool has_separator(std::string_view name) { return name.find_first_of("\\/") != std::string_view::npos; }

// Whether the text's second character (not byte) is ':', as in "D:\x".
bool second_char_is_colon(std::string_view text) {
  if (text.empty()) return false;
  const auto lead = static_cast<unsigned char>(text[0]);
  const std::size_t first = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
  return text.size() > first && text[first] == ':';
}

// A journal name holding a separator: a path of its own when it starts with a drive, else a
// path relative to the folder; '/' becomes '\'.
std::string path_of_separated_name(std::string_view name, std::string_view folder) {
  std::string path(name);
  std::replace(path.begin(), path.end(), '/', '\\');
  if (second_char_is_colon(path)) return path;
  return join_path(folder, path);
}

std::uint64_t distance(std::uint64_t a, std::uint64_t b) { return a > b ? a - b : b - a; }

// Records the parent of a record number the map holds. A parent outside the scope never
// replaces one inside it: a file moved out of the folder (to the recycle folder, say) keeps
// the folder it left.
void record_parent(UsnCandidateMap& map, const UsnWalkContext& context, std::uint64_t frn, std::uint64_t parent) {
  if (!map.names_by_frn.contains(frn)) return;
  auto [it, inserted] = map.parent_by_frn.try_emplace(frn, parent);
  if (inserted) return;
  if (!context.in_scope(parent) && context.in_scope(it->second)) return;
  it->second = parent;
}

// Step (a) of the walk: a named delete record near the folder feeds the candidate map.
void update_candidate_map(const ParsedUsnRecord& record, const UsnWalkContext& context, UsnCandidateMap& map) {
  if (!is_delete_reason(record.reason)) return;
  if (!context.full && distance(record.frn, context.dir_frn) > kCandidateMapDistance) return;
  const std::uint64_t parent = record.parent;

  if (has_separator(record.name)) {
    if (parent == 0 || !(context.full || context.in_scope(parent))) return;
    if (!context.under_folder(path_of_separated_name(record.name, context.folder))) return;
    record_usn_candidate(map, record.frn, record.name, context.full);
    record_parent(map, context, record.frn, parent);
    return;
  }

  if (!is_plausible_file_name(record.name, context.full)) return;
  if (parent != 0 && (context.full || context.in_scope(parent))) {
    record_usn_candidate(map, record.frn, record.name, context.full);
    record_parent(map, context, record.frn, parent);
  } else if (parent != 0) {
    // A document seen in another folder: its name is kept, with its real parent, so that the
    // master file table decides where it belongs.
    if (has_document_extension(record.name) && context.under_folder(join_path(context.folder, record.name))) {
      record_usn_candidate(map, record.frn, record.name, context.full);
      record_parent(map, context, record.frn, parent);
    }
  } else if (has_document_extension(record.name)) {
    record_usn_candidate(map, record.frn, record.name, context.full);
    record_parent(map, context, record.frn, context.dir_frn);
  }
}

std::string candidate_path(const ParsedUsnRecord& record, const UsnWalkContext& context) {
  if (has_separator(record.name)) return path_of_separated_name(record.name, context.folder);
  if (context.dir_names != nullptr) {
    auto path = rebuild_path_from_parents(record.name, record.parent, context.folder, context.dir_frn,
                                          *context.dir_names, false);
    if (!path && context.full) {
      path = rebuild_path_from_parents(record.name, record.parent, context.folder, context.dir_frn,
                                       *context.dir_names, true);
    }
    if (path) return std::move(*path);
  }
  return join_path(context.folder, record.name);
}

bool parent_passes(const ParsedUsnRecord& record, const UsnWalkContext& context, bool paired) {
  if (context.is_folder(record.parent) || context.full) return true;
  if (record.parent == 0) return paired;
  if (paired) return true;
  return context.scope_set != nullptr && context.scope_set->contains(record.parent);
}

}  // namespace

bool UsnWalkContext::is_folder(std::uint64_t parent) const {
  return parent == dir_frn || parent == (dir_ref & kFrnMask) || parent == dir_ref;
}

bool UsnWalkContext::in_scope(std::uint64_t parent) const {
  return is_folder(parent) || (scope_set != nullptr && scope_set->contains(parent));
}

FolderContainment::FolderContainment(std::string_view folder) {
  const std::string text(datasource::windows::trim_white_space(folder));
  if (platform::volume_paths::is_directory(text)) {
    auto canonical = platform::volume_paths::canonicalize(text);
    folder_norm_ = normalize_path(canonical ? lossy_utf8(*canonical) : text);
  } else {
    folder_norm_ = normalize_path(text);
  }
}

bool FolderContainment::contains(std::string_view path) const {
  const std::string path_norm = normalize_path(strip_verbatim_prefix(lossy_utf8(path)));
  if (folder_norm_.empty() || path_norm.empty()) return false;
  if (!path_norm.starts_with(folder_norm_)) return false;
  return path_norm.size() == folder_norm_.size() || path_norm[folder_norm_.size()] == '\\';
}

bool UsnWalkContext::under_folder(std::string_view path) const {
  return containment ? containment->contains(path) : path_is_under(path, folder);
}

std::string usn_candidate_key(std::uint64_t frn, std::string_view path) { return fmt::format("{}|{}", frn, path); }

void record_usn_candidate(UsnCandidateMap& map, std::uint64_t frn, std::string_view name, bool full) {
  const std::size_t cap = full ? kFullCandidateCap : kNearCandidateCap;
  if (map.names_by_frn.size() >= cap && !map.names_by_frn.contains(frn)) return;
  std::string_view part = name;
  if (const auto cut = name.find_last_of("\\/"); cut != std::string_view::npos) {
    part = name.substr(cut + 1);
    if (part.empty()) part = name;
  }
  if (!is_plausible_file_name(part, full)) return;
  map.names_by_frn[frn].emplace(part);
}

bool accept_usn_record(const ParsedUsnRecord& record, const UsnWalkContext& context, UsnFindings& findings,
                       std::unordered_set<std::uint64_t>& unpaired_frns) {
  const bool paired = unpaired_frns.contains(record.frn);
  if (!paired && !is_delete_reason(record.reason)) return false;
  if (record.frn == context.dir_frn || record.name.empty()) return false;

  // The parent test comes before the path test: both only refuse, and it is the cheap one.
  if (!parent_passes(record, context, paired)) return false;
  std::string path = candidate_path(record, context);
  if (!context.under_folder(path)) return false;
  // A record that is not a deletion (a rename, a write, a close) names a file that may well
  // still be there: it counts only when its path is gone. Tested before the key is taken, so
  // that a later delete record of the same file still counts.
  if (!has_file_delete(record.reason) && context.path_exists && context.path_exists(path)) return false;
  // Nor when its file reference still names the live file: the file was renamed or moved, and
  // only a move into the recycle bin is a deletion.
  if (!has_file_delete(record.reason) && context.live_file && context.live_file(record.reference)) return false;

  if (!findings.seen_keys.insert(usn_candidate_key(record.frn, path)).second) return false;
  record_usn_candidate(findings.candidate_map, record.frn, record.name, context.full);
  if (paired) unpaired_frns.erase(record.frn);
  findings.candidates.push_back(DeletedEntry{std::nullopt, std::move(path), record.frn, 0, record.parent});
  return true;
}

void walk_usn_buffer(std::span<const std::uint8_t> bytes, const UsnWalkContext& context, UsnFindings& findings,
                     std::unordered_set<std::uint64_t>& unpaired_frns) {
  for_each_usn_record(bytes, [&](const ParsedUsnRecord& record, std::size_t) {
    if (record.name.empty()) {
      if (is_delete_reason(record.reason) &&
          (record.parent == 0 || context.full || context.in_scope(record.parent))) {
        unpaired_frns.insert(record.frn);
      }
      return;
    }
    update_candidate_map(record, context, findings.candidate_map);
    accept_usn_record(record, context, findings, unpaired_frns);
  });
}

}  // namespace kavel_lib::engine::windows
