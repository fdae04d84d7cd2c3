#include "engine/windows/fat32_deleted/fat_volume.h"

#include "engine/windows/saturating.h"

#include <limits>

#include <fmt/format.h>

namespace kavel_lib::engine::windows::fat32_deleted {

using platform::OsError;
using platform::OsErrorKind;

namespace {




}  // namespace

std::expected<std::vector<std::uint8_t>, OsError> read_volume_aligned(const FatGeometry& geometry,
                                                                      const platform::Device& volume,
                                                                      std::uint64_t offset, std::uint64_t length) {
  if (length == 0) return std::vector<std::uint8_t>{};
  if (geometry.bytes_per_sector == 0) {
    return std::unexpected(OsError::with_text(OsErrorKind::InvalidData, "invalid sector size"));
  }
  if (offset % geometry.bytes_per_sector != 0) {
    return std::unexpected(OsError::with_text(OsErrorKind::InvalidInput, "unaligned volume offset"));
  }
  if (length % geometry.bytes_per_sector != 0) {
    return std::unexpected(OsError::with_text(OsErrorKind::InvalidInput, "unaligned read length"));
  }
  if (geometry.volume_len != 0 && geometry.volume_len < saturating_add(offset, length)) {
    return std::unexpected(OsError::with_text(OsErrorKind::InvalidInput, "read past volume end"));
  }
  if (length > std::numeric_limits<std::size_t>::max()) {
    return std::unexpected(OsError::from_code(platform::win::ERROR_NOT_ENOUGH_MEMORY));
  }
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(length));
  if (auto read = volume.read_exact_at(offset, buffer); !read) return std::unexpected(read.error());
  return buffer;
}

std::uint64_t fat_cluster_offset(const FatGeometry& geometry, std::uint32_t cluster) {
  std::uint64_t base = geometry.data_offset;
  if (!geometry.is_fat32 && geometry.bytes_per_sector != 0) {
    const std::uint64_t root_bytes = std::uint64_t{geometry.root_entries} * 32;
    const std::uint64_t rounded =
        saturating_mul((root_bytes + geometry.bytes_per_sector - 1) / geometry.bytes_per_sector,
                       geometry.bytes_per_sector);
    base = saturating_add(base, rounded);
  }
  const std::uint64_t index = cluster >= 2 ? cluster - 2u : 0;
  return saturating_add(base, saturating_mul(index, geometry.cluster_bytes));
}

std::expected<std::vector<std::uint8_t>, OsError> read_fat_cluster(const FatGeometry& geometry,
                                                                   const platform::Device& volume,
                                                                   std::uint32_t cluster) {
  if (!geometry.is_valid_cluster(cluster)) {
    return std::unexpected(OsError::with_text(OsErrorKind::InvalidInput, fmt::format("cluster {} out of range", cluster)));
  }
  return read_volume_aligned(geometry, volume, fat_cluster_offset(geometry, cluster), geometry.cluster_bytes);
}

}  // namespace kavel_lib::engine::windows::fat32_deleted
