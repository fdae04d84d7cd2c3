// Reading a file's data from an exFAT volume: contiguous (no FAT chain) or along its chain.
#pragma once

#include <cstdint>
#include <expected>
#include <vector>

#include "engine/windows/exfat_deleted/exfat_geometry.h"
#include "engine/windows/exfat_deleted/exfat_read.h"
#include "platform/device.h"
#include "platform/errors.h"

namespace kavel_lib::engine::windows::exfat_deleted {

// One read never yields more than 64 MiB, whatever the size.
inline constexpr std::uint64_t kMaxFileBytes = 64ull * 1024 * 1024;
// The buffer reserved up front.
inline constexpr std::uint64_t kReserveBytes = 16ull * 1024 * 1024;
// Consecutive clusters are read together, up to this many bytes at a time.
inline constexpr std::uint64_t kReadPieceBytes = 4ull * 1024 * 1024;

// Up to min(size, 64 MiB) bytes of the file that starts `offset` bytes into cluster `start`,
// over at most 4096 clusters. Only the clusters those bytes need are looked up and read.
//
// Contiguous (`no_fat_chain`): clusters start, start + 1, ... while they are valid; an offset
// of a whole cluster or more yields nothing. Chained: the clusters of the FAT chain (the start
// alone when the chain is empty); a start outside the valid range is InvalidInput,
// "cluster {} out of range", and an offset of a whole cluster or more skips the first cluster.
std::expected<std::vector<std::uint8_t>, platform::OsError> read_exfat_file_data(const ExfatGeometry& geometry,
                                                                                 const platform::Device& volume,
                                                                                 const ExfatFat& fat,
                                                                                 std::uint32_t start,
                                                                                 std::uint32_t offset,
                                                                                 std::uint64_t size,
                                                                                 bool no_fat_chain);

}  // namespace kavel_lib::engine::windows::exfat_deleted
