#include "engine/windows/ntfs_deleted/entry_paths.h"

#include <algorithm>

#include <fmt/format.h>

#include "engine/windows/recycle/path_helpers.h"
#include "engine/windows/wtf8.h"

namespace kavel_lib::engine::windows {
namespace {

std::string join_reversed(std::string_view folder, const std::vector<std::string_view>& components) {
  std::string path(folder);
  for (auto it = components.rbegin(); it != components.rend(); ++it) path = join_path(path, *it);
  return path;
}

bool holds_lost_folder(std::string_view path) { return lossy_utf8(path).find(kLostFolderName) != std::string::npos; }

}  // namespace

std::optional<std::string> rebuild_path_from_parents(std::string_view name, std::uint64_t parent,
                                                     std::string_view folder, std::uint64_t root,
                                                     const DirNameMap& names, bool allow_partial) {
  std::uint64_t p = parent & kFrnMask;
  const std::uint64_t r = root & kFrnMask;
  if (p == r) return join_path(folder, name);
  std::vector<std::string_view> components{name};
  int steps = 0;
  while (true) {
    if (steps == kMaxNameChain + 1) return std::nullopt;
    if (p == r) return join_reversed(folder, components);
    const auto it = names.find(p);
    if (it == names.end()) {
      if (allow_partial && components.size() > 1) return join_reversed(folder, components);
      return std::nullopt;
    }
    components.push_back(it->second.first);
    p = it->second.second;
    ++steps;
  }
}

std::string lost_folder_path(std::string_view folder, std::uint64_t parent, std::string_view name) {
  std::string base(folder);
  if (!base.ends_with('\\')) base.push_back('\\');
  return join_path(join_path(join_path(base, kLostFolderName), fmt::format("{:016x}", parent & kFrnMask)), name);
}

std::optional<DeletedEntry> build_entry_path(const DeletedEntrySource& source, std::uint64_t frn,
                                             std::string_view folder, std::uint64_t root, const DirNameMap& names,
                                             bool use_lost_folder) {
  std::optional<std::string> path =
      rebuild_path_from_parents(source.name, source.parent, folder, root, names, use_lost_folder);
  if (!path) {
    if (!use_lost_folder) return std::nullopt;
    path = lost_folder_path(folder, source.parent, source.name);
  }
  if (!path_is_under(*path, folder)) return std::nullopt;
  DeletedEntry entry;
  if (source.time != 0) entry.time = source.time;
  entry.path = std::move(*path);
  entry.frn = frn;
  entry.size = source.size;
  entry.parent = source.parent;
  return entry;
}

std::vector<DeletedEntry> map_entry_to_output_path(std::span<const DeletedEntrySource> sources, std::uint64_t frn,
                                                   std::string_view folder, std::uint64_t root,
                                                   const DirNameMap& names, bool use_lost_folder) {
  std::vector<DeletedEntry> out;
  for (const auto& source : sources) {
    if (auto entry = build_entry_path(source, frn, folder, root, names, use_lost_folder)) {
      out.push_back(std::move(*entry));
    }
  }
  return out;
}

std::optional<std::string> resolve_name_chain(const DirectoryScope& scope, std::uint64_t parent,
                                              std::string_view name) {
  if (name.find_first_of("\\/") != std::string_view::npos) return std::nullopt;
  if (!scope.parent_match_frns.contains(parent & kFrnMask) && !scope.parent_match_frns.contains(parent)) {
    return std::nullopt;
  }
  return rebuild_path_from_parents(name, parent, scope.path, scope.dir_frn, scope.dir_names, false);
}

void reresolve_lost_entries(std::vector<DeletedEntry>& entries, std::string_view folder, std::uint64_t root,
                            const DirNameMap& names) {
  for (auto& entry : entries) {
    if (!holds_lost_folder(entry.path)) continue;
    const auto name = last_component(entry.path);
    if (!name || !is_valid_utf8(*name)) continue;
    auto path = rebuild_path_from_parents(*name, entry.parent, folder, root, names, true);
    if (path && !holds_lost_folder(*path)) entry.path = std::move(*path);
  }
}

}  // namespace kavel_lib::engine::windows
