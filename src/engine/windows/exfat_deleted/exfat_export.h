// Export of one deleted file from an exFAT volume.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string_view>

#include "platform/errors.h"

namespace kavel_lib::engine::windows::exfat_deleted {

// Reads the file that starts `offset` bytes into cluster `start_cluster` (contiguous when
// `no_fat_chain`, else along its FAT chain), at most min(size, 64 MiB) bytes. When the data is
// all zero, or does not look like a file called `file_name`, and the start lies outside the
// heap or its cluster holds only zeros, nearby and low clusters that the allocation bitmap
// marks free are searched for data that does (relocate_start_cluster). Writes the result into
// `destination` (parent folders created, an existing regular file truncated). Size 0 writes
// an empty file.
//
// NotFound, "Data clusters of the deleted file have been overwritten or cannot be located",
// writes nothing: when the data is nothing but zero bytes, and when any cluster the read
// takes (the first one included, relocated or not) is one the allocation bitmap marks in use,
// which is then tested before that read. A start in use is never relocated. Clusters whose
// bit cannot be read (outside the heap, past the bitmap, no readable bitmap) are not taken
// for in use.
std::expected<void, platform::OsError> export_exfat_file(std::string_view device_path, std::uint32_t start_cluster,
                                                         std::uint32_t offset, std::uint64_t size, bool no_fat_chain,
                                                         std::optional<std::string_view> file_name,
                                                         const std::filesystem::path& destination);

// The same on the volume "\\.\X:" of a drive letter.
std::expected<void, platform::OsError> export_exfat(char32_t drive_letter, std::uint32_t start_cluster,
                                                    std::uint32_t offset, std::uint64_t size, bool no_fat_chain,
                                                    std::optional<std::string_view> file_name,
                                                    const std::filesystem::path& destination);

}  // namespace kavel_lib::engine::windows::exfat_deleted
