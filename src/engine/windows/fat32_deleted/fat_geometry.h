// FAT16/FAT32 boot sector: reading it from the volume and turning it into the volume geometry.
//
// The type test knows FAT32 and FAT16 only: a FAT12 volume parses as FAT16 with 16-bit
// entries, which is wrong for it. The FAT format tells FAT12 by its cluster count
// (is_fat12), and the exporter refuses such a volume.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "platform/device.h"
#include "platform/errors.h"

namespace kavel_lib::engine::windows::fat32_deleted {

// A volume of fewer data clusters than this that is not FAT32 is FAT12.
inline constexpr std::uint32_t kMinFat16Clusters = 4085;

struct FatGeometry {
  std::uint64_t bytes_per_sector = 0;
  std::uint64_t sectors_per_cluster = 0;
  std::uint64_t reserved_sectors = 0;
  std::uint64_t fat_count = 0;
  std::uint64_t fat_size_sectors = 0;
  // End of the FATs: the first data cluster on FAT32, the root-directory area on FAT16.
  std::uint64_t data_offset = 0;
  std::uint64_t fat_offset = 0;
  std::uint64_t cluster_bytes = 0;
  // Volume length in bytes; 0 when unknown (no end checks then).
  std::uint64_t volume_len = 0;
  std::uint32_t root_cluster = 0;
  std::uint32_t root_entries = 0;
  std::uint32_t cluster_count = 0;
  bool is_fat32 = false;

  // A volume the type test reads as FAT16 whose cluster count only FAT12 has.
  [[nodiscard]] bool is_fat12() const { return !is_fat32 && cluster_count < kMinFat16Clusters; }

  // 2 <= c and c - 2 < cluster_count.
  [[nodiscard]] bool is_valid_cluster(std::uint32_t c) const { return c >= 2 && c - 2 < cluster_count; }
};

// The boot sector: 512 bytes at offset 0, else 4096; both failing gives Other,
// "cannot read boot sector". Shared by the exFAT exporter.
std::expected<std::vector<std::uint8_t>, platform::OsError> read_boot_sector(const platform::Device& volume);

// The geometry from the bytes of a boot sector (at least 90 of them) and the volume length
// (0 when unknown).
std::expected<FatGeometry, platform::OsError> parse_fat_boot_sector(std::span<const std::uint8_t> sector,
                                                                    std::uint64_t volume_len);

// Reads the boot sector and the volume's length and parses them.
std::expected<FatGeometry, platform::OsError> parse_fat_boot(const platform::Device& volume);

}  // namespace kavel_lib::engine::windows::fat32_deleted
