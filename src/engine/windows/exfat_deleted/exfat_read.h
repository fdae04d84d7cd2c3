// Reads of an exFAT volume: whole sectors, FAT entries and data clusters.
#pragma once

#include <cstdint>
#include <expected>
#include <vector>

#include "engine/windows/exfat_deleted/exfat_geometry.h"
#include "platform/device.h"
#include "platform/errors.h"

namespace kavel_lib::engine::windows::exfat_deleted {

// `length` bytes at `offset`; both must be multiples of the sector size and end at or before
// `read_end` (when it is not 0).
std::expected<std::vector<std::uint8_t>, platform::OsError> read_exfat_aligned(std::uint64_t bytes_per_sector,
                                                                               std::uint64_t read_end,
                                                                               const platform::Device& volume,
                                                                               std::uint64_t offset,
                                                                               std::uint64_t length);

// The u32 FAT entry of a cluster, read from its sector (there is no FAT cache).
std::expected<std::uint32_t, platform::OsError> read_exfat_fat_entry(const ExfatGeometry& geometry,
                                                                     const platform::Device& volume,
                                                                     std::uint32_t cluster);

// The `cluster_bytes` bytes of a cluster (the caller checks that it is valid).
std::expected<std::vector<std::uint8_t>, platform::OsError> read_exfat_cluster(const ExfatGeometry& geometry,
                                                                               const platform::Device& volume,
                                                                               std::uint32_t cluster);

}  // namespace kavel_lib::engine::windows::exfat_deleted
