// Export of one deleted file from a FAT16 or FAT32 volume, by its first cluster and size.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string_view>

#include "platform/errors.h"

namespace kavel_lib::engine::windows::fat32_deleted {

// Opens the volume "\\.\X:" of `drive_letter` (or `device_path` when given) through the device
// open with service fallback, follows the chain from `start_cluster` and writes its clusters,
// cut to `size` bytes, into `destination` (parent folders created, an existing regular file
// truncated). A start cluster outside the volume gives an empty destination and success; a
// chain shorter than the size gives a shorter file and success. A FAT12 volume is InvalidData,
// "FAT12 volumes are not supported", before anything is written.
//
// A deleted file's chain is followed as the FAT holds it now: a first cluster that another
// file took leads into that file's chain, and its bytes are exported.
std::expected<void, platform::OsError> export_fat32(char32_t drive_letter, std::uint32_t start_cluster,
                                                    std::uint64_t size, const std::filesystem::path& destination,
                                                    std::optional<std::string_view> device_path = std::nullopt);

}  // namespace kavel_lib::engine::windows::fat32_deleted
