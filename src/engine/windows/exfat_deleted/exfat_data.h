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

// What one read of a file takes: its clusters in order, the bytes passed over at the start of
// the first, and the most bytes kept.
struct ExfatReadPlan {
  std::vector<std::uint32_t> clusters;
  std::uint64_t skip = 0;
  std::uint64_t budget = 0;
};

// The plan of the read of up to min(size, 64 MiB) bytes of the file that starts `offset` bytes
// into cluster `start`, over at most 4096 clusters: only the clusters those bytes need. Size 0
// takes no cluster.
//
// Contiguous (`no_fat_chain`): clusters start, start + 1, ... while they are valid (none for a
// start outside the heap); an offset of a whole cluster or more takes the first cluster alone
// and keeps nothing of it. Chained: the clusters of the FAT chain (the start alone when the
// chain is empty); an offset of a whole cluster or more skips the first cluster.
std::expected<ExfatReadPlan, platform::OsError> plan_exfat_read(const ExfatGeometry& geometry, const ExfatFat& fat,
                                                                std::uint32_t start, std::uint32_t offset,
                                                                std::uint64_t size, bool no_fat_chain);

// The bytes a plan takes. A cluster outside the valid range is InvalidInput,
// "cluster {} out of range".
std::expected<std::vector<std::uint8_t>, platform::OsError> read_exfat_plan(const ExfatGeometry& geometry,
                                                                            const platform::Device& volume,
                                                                            const ExfatReadPlan& plan);

// The plan's read, in one call: up to min(size, 64 MiB) bytes of the file.
std::expected<std::vector<std::uint8_t>, platform::OsError> read_exfat_file_data(const ExfatGeometry& geometry,
                                                                                 const platform::Device& volume,
                                                                                 const ExfatFat& fat,
                                                                                 std::uint32_t start,
                                                                                 std::uint32_t offset,
                                                                                 std::uint64_t size,
                                                                                 bool no_fat_chain);

}  // namespace kavel_lib::engine::windows::exfat_deleted
