// The NTFS boot sector: the volume's geometry, checked against the ranges NTFS allows so that
// a damaged sector cannot produce huge sizes further on.
#pragma once

#include <cstdint>
#include <expected>

#include "platform/posix/ntfs_model/bytes.h"

namespace kavel_lib::platform::ntfs_model {

struct Geometry {
  std::uint32_t bytes_per_sector = 0;
  std::uint32_t bytes_per_cluster = 0;
  std::uint64_t total_sectors = 0;   // the boot sector's count (the backup boot sector excluded)
  std::uint64_t total_clusters = 0;  // total_sectors / sectors per cluster
  std::uint64_t mft_lcn = 0;
  std::uint64_t mft_mirror_lcn = 0;
  std::uint32_t record_size = 0;       // bytes per file record segment
  std::uint32_t index_block_size = 0;  // bytes per index buffer
  std::uint64_t serial_number = 0;
};

enum class BootError {
  NotNtfs,  // no "NTFS    " signature: another file system or none
  Corrupt,  // an NTFS signature with fields out of range
};

inline constexpr std::size_t kBootSectorSize = 512;

// Reads the first 512 bytes of a volume.
std::expected<Geometry, BootError> parse_boot_sector(Bytes sector);

}  // namespace kavel_lib::platform::ntfs_model
