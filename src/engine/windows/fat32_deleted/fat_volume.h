// Reads of a FAT volume after its boot sector: whole sectors at sector-aligned offsets, and
// data clusters by number.
#pragma once

#include <cstdint>
#include <expected>
#include <vector>

#include "engine/windows/fat32_deleted/fat_geometry.h"
#include "platform/device.h"
#include "platform/errors.h"

namespace kavel_lib::engine::windows::fat32_deleted {

// `length` bytes at `offset`; both must be multiples of the sector size and, when the volume
// length is known, end within it.
std::expected<std::vector<std::uint8_t>, platform::OsError> read_volume_aligned(const FatGeometry& geometry,
                                                                                const platform::Device& volume,
                                                                                std::uint64_t offset,
                                                                                std::uint64_t length);

// Byte offset of data cluster `cluster` (which must be valid): FAT16 data clusters follow the
// root-directory area, FAT32 ones follow the FATs.
std::uint64_t fat_cluster_offset(const FatGeometry& geometry, std::uint32_t cluster);

// The `cluster_bytes` bytes of a data cluster; a cluster number outside the valid range gives
// InvalidInput, "cluster {} out of range".
std::expected<std::vector<std::uint8_t>, platform::OsError> read_fat_cluster(const FatGeometry& geometry,
                                                                             const platform::Device& volume,
                                                                             std::uint32_t cluster);

}  // namespace kavel_lib::engine::windows::fat32_deleted
