// Output paths of candidates: a name is placed under the scanned folder by walking its parent
// chain through the scope's directory names; a chain that does not reach the folder puts the
// item into the lost-files folder "$KavelLost\<parent as 16 hex digits>".
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/windows/scan_records.h"

namespace kavel_lib::engine::windows {

inline constexpr std::string_view kLostFolderName = "$KavelLost";
// Successful lookups a parent walk may make before it must reach the root.
inline constexpr int kMaxNameChain = 63;

// The path of `name` whose parent is `parent`, climbing `names` up to `root`: folder\A\B\name.
// A chain that breaks off gives folder\<ancestors found>\name when allow_partial is set and at
// least one ancestor was found, else nothing; a chain of 64 or more lookups gives nothing.
std::optional<std::string> rebuild_path_from_parents(std::string_view name, std::uint64_t parent,
                                                     std::string_view folder, std::uint64_t root,
                                                     const DirNameMap& names, bool allow_partial);

// The lost-files path of a name: folder\$KavelLost\<parent:016x>\name.
std::string lost_folder_path(std::string_view folder, std::uint64_t parent, std::string_view name);

// The entry of a source: its rebuilt path (or, with use_lost_folder, a partial or lost-files
// path), kept only when it lies under the folder.
std::optional<DeletedEntry> build_entry_path(const DeletedEntrySource& source, std::uint64_t frn,
                                             std::string_view folder, std::uint64_t root, const DirNameMap& names,
                                             bool use_lost_folder);

// build_entry_path over a list of sources, in order; sources without a path are left out.
std::vector<DeletedEntry> map_entry_to_output_path(std::span<const DeletedEntrySource> sources, std::uint64_t frn,
                                                   std::string_view folder, std::uint64_t root,
                                                   const DirNameMap& names, bool use_lost_folder);

// The full path of a name under the scope when its parent is one of the scope's directories.
std::optional<std::string> resolve_name_chain(const DirectoryScope& scope, std::uint64_t parent,
                                              std::string_view name);

// Gives lost-folder entries their real path where the directory names now reach the folder.
void reresolve_lost_entries(std::vector<DeletedEntry>& entries, std::string_view folder, std::uint64_t root,
                            const DirNameMap& names);

}  // namespace kavel_lib::engine::windows
