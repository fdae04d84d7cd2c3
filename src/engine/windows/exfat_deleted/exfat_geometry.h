// exFAT boot sector: the volume geometry the exporter needs.
#pragma once

#include <cstdint>
#include <expected>
#include <span>

#include "platform/device.h"
#include "platform/errors.h"

namespace kavel_lib::engine::windows::exfat_deleted {

struct ExfatGeometry {
  std::uint64_t bytes_per_sector = 0;
  std::uint64_t heap_offset = 0;  // byte offset of cluster 2
  std::uint64_t fat_offset = 0;
  std::uint64_t cluster_bytes = 0;
  std::uint64_t read_end = 0;  // highest byte offset reads may reach; 0 means no limit
  std::uint32_t cluster_end = 0;  // valid clusters: 2 <= c < cluster_end
  std::uint32_t root_cluster = 0;

  [[nodiscard]] bool is_valid_cluster(std::uint64_t c) const { return c >= 2 && c < cluster_end; }
};

// Sector sizes from 512 bytes to 4 KiB and clusters up to 32 MiB are all exFAT allows.
inline constexpr unsigned kMinSectorShift = 9;
inline constexpr unsigned kMaxSectorShift = 12;
inline constexpr unsigned kMaxClusterBytesShift = 25;

// The geometry from the bytes of a boot sector (at least 112 of them) and the volume length
// (0 when unknown).
std::expected<ExfatGeometry, platform::OsError> parse_exfat_boot_sector(std::span<const std::uint8_t> sector,
                                                                        std::uint64_t volume_len);

// Reads the boot sector and the volume's length and parses them.
std::expected<ExfatGeometry, platform::OsError> parse_exfat_boot(const platform::Device& volume);

}  // namespace kavel_lib::engine::windows::exfat_deleted
