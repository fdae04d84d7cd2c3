// The file allocation table: an optional in-memory copy of the first FAT and the reading of
// one cluster's entry.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <vector>

#include "engine/windows/fat32_deleted/fat_geometry.h"
#include "platform/device.h"
#include "platform/errors.h"

namespace kavel_lib::engine::windows::fat32_deleted {

// The largest FAT that is read into memory at once (96 MiB; exactly that much is still cached).
inline constexpr std::uint64_t kMaxCachedFatBytes = 0x6000000;

struct FatCache {
  std::vector<std::uint8_t> bytes;
  std::uint32_t entry_size = 2;  // 2 on FAT16, 4 on FAT32
  bool is_fat32 = false;
};

// The whole first FAT in memory, or nothing when it is empty, larger than 96 MiB or cannot be
// read (the entries are then read from their sectors, with the same results).
std::optional<FatCache> build_fat_cache(const FatGeometry& geometry, const platform::Device& volume);

// The last FAT sector read without a cache, so that neighbouring entries cost no new read.
struct FatSectorMemo {
  std::uint64_t start = UINT64_MAX;
  std::vector<std::uint8_t> bytes;
};

// The FAT entry of a cluster (FAT32 entries with their top four bits cleared).
std::expected<std::uint32_t, platform::OsError> read_fat_entry(const FatGeometry& geometry,
                                                               const platform::Device& volume,
                                                               std::uint32_t cluster,
                                                               const std::optional<FatCache>& cache);

// The same, keeping the sector it reads in `memo` and reusing it for the next entry there.
std::expected<std::uint32_t, platform::OsError> read_fat_entry(const FatGeometry& geometry,
                                                               const platform::Device& volume,
                                                               std::uint32_t cluster,
                                                               const std::optional<FatCache>& cache,
                                                               FatSectorMemo& memo);

}  // namespace kavel_lib::engine::windows::fat32_deleted
