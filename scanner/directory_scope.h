// The folder's directory scope: the folder and every directory found below it, live or
// deleted, with their names and parents.
//
// The walk goes through the file system (the folder's live tree, breadth first) and through
// the $INDEX_ROOT entries of every directory's FILE record, which still name subdirectories
// that the file system no longer shows. It is bounded: at most kScopeMemberLimit directories
// and kScopeDepthLimit levels below the folder, so loops in the tree or in stale index
// entries cannot make it run on.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/windows/raw_mft/volume_access.h"
#include "engine/windows/scan_records.h"
#include "engine/windows/usn_deleted/usn_scan.h"
#include "platform/errors.h"
#include "platform/volume_paths.h"

namespace kavel_lib::scanner {

// The walk adds no more directories once the scope holds more than this many (so it ends
// with at most one more: the folder included).
inline constexpr std::size_t kScopeMemberLimit = 4095;
// The live walk lists no directory this many levels or more below the folder.
inline constexpr std::uint64_t kScopeDepthLimit = 64;

// What the walk reaches the volume through (the real seam and record reader by default;
// tests put fakes in).
struct ScopeSources {
  std::function<std::expected<engine::windows::DirectoryFrn, platform::OsError>(std::string_view)> directory_frn;
  std::function<std::expected<std::vector<platform::DirectoryChild>, platform::WinError>(std::string_view)>
      list_directory;
  // A FILE record by record number; nothing when it cannot be had.
  std::function<std::optional<std::vector<std::uint8_t>>(std::uint64_t)> fetch_record;
};

// Sources over the open volume: the seam's folder identity and listing, records through
// get_mft_record with the geometry's record size.
ScopeSources volume_scope_sources(const engine::windows::VolumeHandle& volume,
                                  const engine::windows::VolumeGeometry& geometry);

// Walks the folder's tree through the file system and its directories' index entries. The
// only error is that of locating the folder itself.
std::expected<engine::windows::DirectoryScope, platform::OsError> build_directory_scope(
    std::string_view folder, const engine::windows::VolumeHandle& volume,
    const engine::windows::VolumeGeometry& geometry);
std::expected<engine::windows::DirectoryScope, platform::OsError> build_directory_scope(std::string_view folder,
                                                                                        const ScopeSources& sources);

// The name update of the index sweep: a new record number is entered as (name, parent); for
// a known one the longer name wins, else a name without '~' replaces one with it (a long name
// over a short 8.3 alias), and a stored parent that points at the entry itself is corrected.
void record_directory_name(engine::windows::DirNameMap& names, std::uint64_t frn, std::uint64_t parent,
                           std::string name);

}  // namespace kavel_lib::scanner
