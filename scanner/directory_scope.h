// The folder's directory scope: the folder and every directory found below it, live or
// deleted, with their names and parents.
#pragma once

#include <expected>
#include <string_view>

#include "engine/windows/raw_mft/volume_access.h"
#include "engine/windows/scan_records.h"
#include "platform/errors.h"

namespace kavel_lib::scanner {

// Walks the folder's tree through the file system and its directories' index entries. The
// only error is that of locating the folder itself.
std::expected<engine::windows::DirectoryScope, platform::OsError> build_directory_scope(
    std::string_view folder, const engine::windows::VolumeHandle& volume,
    const engine::windows::VolumeGeometry& geometry);

}  // namespace kavel_lib::scanner
