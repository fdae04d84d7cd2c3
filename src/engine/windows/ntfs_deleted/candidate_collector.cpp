#include "engine/windows/ntfs_deleted/candidate_collector.h"

#include <algorithm>
#include <array>

#include <fmt/format.h>

#include "engine/windows/recycle/path_helpers.h"
#include "engine/windows/usn_deleted/name_filter.h"
#include "engine/windows/wtf8.h"
#include "platform/volume_paths.h"

namespace kavel_lib::engine::windows {
namespace {

// The last component of a path when it is valid, non-empty Unicode.
std::optional<std::string_view> valid_last_name(std::string_view path) {
  const auto name = last_component(path);
  if (!name || name->empty() || !is_valid_utf8(*name)) return std::nullopt;
  return name;
}

}  // namespace

std::vector<DeletedEntrySource> filter_record_candidates(std::uint64_t frn, std::vector<DeletedEntrySource> sources,
                                                         const FrnNameSets* names_by_frn, bool relaxed) {
  std::erase_if(sources, [relaxed](const DeletedEntrySource& s) { return !is_plausible_file_name(s.name, relaxed); });
  if (names_by_frn != nullptr && !relaxed) {
    if (const auto it = names_by_frn->find(frn); it != names_by_frn->end()) {
      const auto& names = it->second;
      std::erase_if(sources, [&names](const DeletedEntrySource& s) { return !names.contains(s.name); });
    }
  }
  return sources;
}

bool lookup_frn_entry(const DirectoryScope& scope, std::uint64_t frn) {
  return scope.parent_match_frns.contains(frn & kFrnMask) || scope.parent_match_frns.contains(frn);
}

bool resolve_candidate_path(const DirectoryScope& scope, const DeletedEntry& entry) {
  const std::uint64_t parent = entry.parent & kFrnMask;
  if (scope.parent_match_frns.empty() || !scope.parent_match_frns.contains(parent)) return false;
  if (!path_is_under(entry.path, scope.path)) return false;
  const auto name = valid_last_name(entry.path);
  if (!name) return false;
  const std::string wanted = normalize_path(lossy_utf8(entry.path));
  if (const auto chain = resolve_name_chain(scope, entry.parent, *name)) {
    if (normalize_path(lossy_utf8(*chain)) == wanted) return true;
  }
  return parent == scope.dir_frn && normalize_path(join_path(scope.path, *name)) == wanted;
}

bool candidate_path_or_lost(const DirectoryScope& scope, const DeletedEntry& entry) {
  if (!path_is_under(entry.path, scope.path)) return false;
  if (platform::volume_paths::exists(entry.path)) return false;
  const auto name = valid_last_name(entry.path);
  if (!name || !is_plausible_file_name(*name, scope.filter_flag)) return false;
  if (resolve_candidate_path(scope, entry)) return true;
  if (scope.strict_paths) return false;
  const std::uint64_t parent = entry.parent & kFrnMask;
  if (lossy_utf8(entry.path).find(kLostFolderName) != std::string::npos) {
    return scope.parent_match_frns.contains(parent) || scope.deleted_dir_frns.contains(parent);
  }
  return scope.parent_match_frns.contains(parent);
}

std::string collector_dedup_text(const DeletedEntry& entry) {
  return fmt::format("{}|{}|{:016x}", entry.frn, lossy_utf8(entry.path),
                     frn_path_key(entry.parent, last_component(entry.path)));
}

void accept_candidates(const DirectoryScope& scope, ScanContext& context, std::vector<DeletedEntry>& entries,
                       std::unordered_set<std::string>& dedup_texts, std::unordered_set<std::uint64_t>& found_frns,
                       std::vector<DeletedEntry> batch) {
  for (auto& entry : batch) {
    if (const auto name = valid_last_name(entry.path); name && !is_plausible_file_name(*name, scope.filter_flag)) {
      ++context.filtered;
      continue;
    }
    const bool accepted =
        scope.strict_paths ? resolve_candidate_path(scope, entry) : candidate_path_or_lost(scope, entry);
    if (!accepted) {
      ++context.filtered;
      continue;
    }
    std::string text = collector_dedup_text(entry);
    if (!dedup_texts.insert(std::move(text)).second) continue;
    found_frns.insert(entry.frn);
    entries.push_back(std::move(entry));
  }
}

void accept_candidates(const DirectoryScope& scope, ScanContext& context, CollectorState& state,
                       std::vector<DeletedEntry> batch) {
  accept_candidates(scope, context, state.entries, state.dedup_texts, state.found_frns, std::move(batch));
}

bool has_document_extension(std::string_view name) {
  if (!is_plausible_file_name(name, false)) return false;
  std::string lower(name);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  static constexpr std::array<std::string_view, 32> kExtensions = {
      ".txt", ".md",  ".pdf", ".doc", ".docx", ".xls", ".xlsx", ".ppt", ".pptx", ".zip", ".rar",
      ".7z",  ".png", ".jpg", ".jpeg", ".gif", ".webp", ".bmp", ".csv", ".xml",  ".html", ".htm",
      ".cfg", ".ini", ".log", ".bak", ".sql",  ".db",  ".mp3", ".mp4", ".mkv",  ".avi"};
  return std::any_of(kExtensions.begin(), kExtensions.end(),
                     [&lower](std::string_view ext) { return lower.ends_with(ext); });
}

}  // namespace kavel_lib::engine::windows
