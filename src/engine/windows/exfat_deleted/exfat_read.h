// Reads of an exFAT volume: whole sectors, FAT entries and data clusters.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
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

// The same into `out` (its length is the length read).
std::expected<void, platform::OsError> read_exfat_aligned_into(std::uint64_t bytes_per_sector, std::uint64_t read_end,
                                                               const platform::Device& volume, std::uint64_t offset,
                                                               std::span<std::uint8_t> out);

// The u32 FAT entry of a cluster, read from its sector.
std::expected<std::uint32_t, platform::OsError> read_exfat_fat_entry(const ExfatGeometry& geometry,
                                                                     const platform::Device& volume,
                                                                     std::uint32_t cluster);

// The `cluster_bytes` bytes of a cluster (the caller checks that it is valid).
std::expected<std::vector<std::uint8_t>, platform::OsError> read_exfat_cluster(const ExfatGeometry& geometry,
                                                                               const platform::Device& volume,
                                                                               std::uint32_t cluster);

// The largest FAT held in memory, as for FAT16 and FAT32 (96 MiB).
inline constexpr std::uint64_t kMaxCachedExfatFatBytes = 0x6000000;

// The FAT of one export. The entries of clusters 0 .. cluster_end - 1 are read into memory at
// once when they take at most `max_cached_bytes` (whole sectors); otherwise, or when that read
// fails, each entry is read from its sector, the last sector read being kept for its
// neighbours. Both give the same entries. The geometry and the volume must outlive it; it
// belongs to one export and is not shared between threads.
class ExfatFat {
 public:
  ExfatFat(const ExfatGeometry& geometry, const platform::Device& volume,
           std::uint64_t max_cached_bytes = kMaxCachedExfatFatBytes);

  [[nodiscard]] std::expected<std::uint32_t, platform::OsError> entry(std::uint32_t cluster) const;
  [[nodiscard]] bool cached() const { return !cache_.empty(); }

 private:
  const ExfatGeometry* geometry_;
  const platform::Device* volume_;
  std::vector<std::uint8_t> cache_;
  mutable std::uint64_t memo_start_ = UINT64_MAX;  // the sector kept without a cache
  mutable std::vector<std::uint8_t> memo_;
};

}  // namespace kavel_lib::engine::windows::exfat_deleted
