#include "engine/windows/exfat_deleted/exfat_read.h"

#include "engine/windows/saturating.h"

#include <limits>

namespace kavel_lib::engine::windows::exfat_deleted {

using platform::OsError;
using platform::OsErrorKind;

namespace {




}  // namespace

std::expected<std::vector<std::uint8_t>, OsError> read_exfat_aligned(std::uint64_t bytes_per_sector,
                                                                     std::uint64_t read_end,
                                                                     const platform::Device& volume,
                                                                     std::uint64_t offset, std::uint64_t length) {
  if (length == 0) return std::vector<std::uint8_t>{};
  // A sector size of 0 aligns nothing.
  if (bytes_per_sector == 0 || offset % bytes_per_sector != 0 || length % bytes_per_sector != 0) {
    return std::unexpected(OsError::with_text(OsErrorKind::InvalidInput, "unaligned exFAT read"));
  }
  if (read_end != 0 && read_end < saturating_add(offset, length)) {
    return std::unexpected(OsError::with_text(OsErrorKind::InvalidInput, "read past volume end"));
  }
  if (length > std::numeric_limits<std::size_t>::max()) {
    return std::unexpected(OsError::from_code(platform::win::ERROR_NOT_ENOUGH_MEMORY));
  }
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(length));
  if (auto read = volume.read_exact_at(offset, buffer); !read) return std::unexpected(read.error());
  return buffer;
}

std::expected<std::uint32_t, OsError> read_exfat_fat_entry(const ExfatGeometry& geometry,
                                                           const platform::Device& volume, std::uint32_t cluster) {
  if (geometry.bytes_per_sector == 0) {
    return std::unexpected(OsError::with_text(OsErrorKind::InvalidInput, "unaligned exFAT read"));
  }
  const std::uint64_t position = saturating_add(geometry.fat_offset, std::uint64_t{cluster} * 4);
  const std::uint64_t within = position % geometry.bytes_per_sector;
  auto sector =
      read_exfat_aligned(geometry.bytes_per_sector, geometry.read_end, volume, position - within, geometry.bytes_per_sector);
  if (!sector) return std::unexpected(sector.error());
  if (within > sector->size() || sector->size() - within < 4) {
    return std::unexpected(OsError::with_text(OsErrorKind::InvalidData, "exFAT FAT entry out of sector"));
  }
  const auto i = static_cast<std::size_t>(within);
  const auto& s = *sector;
  return static_cast<std::uint32_t>(s[i]) | (static_cast<std::uint32_t>(s[i + 1]) << 8) |
         (static_cast<std::uint32_t>(s[i + 2]) << 16) | (static_cast<std::uint32_t>(s[i + 3]) << 24);
}

std::expected<std::vector<std::uint8_t>, OsError> read_exfat_cluster(const ExfatGeometry& geometry,
                                                                     const platform::Device& volume,
                                                                     std::uint32_t cluster) {
  const std::uint64_t index = cluster >= 2 ? cluster - 2u : 0;
  const std::uint64_t offset = saturating_add(geometry.heap_offset, saturating_mul(index, geometry.cluster_bytes));
  return read_exfat_aligned(geometry.bytes_per_sector, geometry.read_end, volume, offset, geometry.cluster_bytes);
}

}  // namespace kavel_lib::engine::windows::exfat_deleted
