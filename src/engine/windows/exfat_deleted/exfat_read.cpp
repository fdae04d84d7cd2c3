#include "engine/windows/exfat_deleted/exfat_read.h"

#include "engine/windows/saturating.h"

#include <limits>

namespace kavel_lib::engine::windows::exfat_deleted {

using platform::OsError;
using platform::OsErrorKind;

namespace {

std::uint32_t u32_in(const std::vector<std::uint8_t>& s, std::size_t i) {
  return static_cast<std::uint32_t>(s[i]) | (static_cast<std::uint32_t>(s[i + 1]) << 8) |
         (static_cast<std::uint32_t>(s[i + 2]) << 16) | (static_cast<std::uint32_t>(s[i + 3]) << 24);
}

OsError entry_out_of_sector() { return OsError::with_text(OsErrorKind::InvalidData, "exFAT FAT entry out of sector"); }

// The byte position of a cluster's FAT entry, split into its sector's start and the place in it.
struct EntryPlace {
  std::uint64_t sector_start = 0;
  std::uint64_t within = 0;
};

std::expected<EntryPlace, OsError> entry_place(const ExfatGeometry& geometry, std::uint32_t cluster) {
  if (geometry.bytes_per_sector == 0) {
    return std::unexpected(OsError::with_text(OsErrorKind::InvalidInput, "unaligned exFAT read"));
  }
  const std::uint64_t position = saturating_add(geometry.fat_offset, std::uint64_t{cluster} * 4);
  const std::uint64_t within = position % geometry.bytes_per_sector;
  return EntryPlace{position - within, within};
}

std::expected<std::uint32_t, OsError> entry_in_sector(const std::vector<std::uint8_t>& sector, std::uint64_t within) {
  if (within > sector.size() || sector.size() - within < 4) return std::unexpected(entry_out_of_sector());
  return u32_in(sector, static_cast<std::size_t>(within));
}

}  // namespace

std::expected<void, OsError> read_exfat_aligned_into(std::uint64_t bytes_per_sector, std::uint64_t read_end,
                                                     const platform::Device& volume, std::uint64_t offset,
                                                     std::span<std::uint8_t> out) {
  const std::uint64_t length = out.size();
  if (length == 0) return {};
  // A sector size of 0 aligns nothing.
  if (bytes_per_sector == 0 || offset % bytes_per_sector != 0 || length % bytes_per_sector != 0) {
    return std::unexpected(OsError::with_text(OsErrorKind::InvalidInput, "unaligned exFAT read"));
  }
  if (read_end != 0 && read_end < saturating_add(offset, length)) {
    return std::unexpected(OsError::with_text(OsErrorKind::InvalidInput, "read past volume end"));
  }
  return volume.read_exact_at(offset, out);
}

std::expected<std::vector<std::uint8_t>, OsError> read_exfat_aligned(std::uint64_t bytes_per_sector,
                                                                     std::uint64_t read_end,
                                                                     const platform::Device& volume,
                                                                     std::uint64_t offset, std::uint64_t length) {
  if (length == 0) return std::vector<std::uint8_t>{};
  if (length > std::numeric_limits<std::size_t>::max()) {
    return std::unexpected(OsError::from_code(platform::win::ERROR_NOT_ENOUGH_MEMORY));
  }
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(length));
  if (auto read = read_exfat_aligned_into(bytes_per_sector, read_end, volume, offset, buffer); !read) {
    return std::unexpected(read.error());
  }
  return buffer;
}

std::expected<std::uint32_t, OsError> read_exfat_fat_entry(const ExfatGeometry& geometry,
                                                           const platform::Device& volume, std::uint32_t cluster) {
  const auto place = entry_place(geometry, cluster);
  if (!place) return std::unexpected(place.error());
  auto sector =
      read_exfat_aligned(geometry.bytes_per_sector, geometry.read_end, volume, place->sector_start, geometry.bytes_per_sector);
  if (!sector) return std::unexpected(sector.error());
  return entry_in_sector(*sector, place->within);
}

std::expected<std::vector<std::uint8_t>, OsError> read_exfat_cluster(const ExfatGeometry& geometry,
                                                                     const platform::Device& volume,
                                                                     std::uint32_t cluster) {
  const std::uint64_t index = cluster >= 2 ? cluster - 2u : 0;
  const std::uint64_t offset = saturating_add(geometry.heap_offset, saturating_mul(index, geometry.cluster_bytes));
  return read_exfat_aligned(geometry.bytes_per_sector, geometry.read_end, volume, offset, geometry.cluster_bytes);
}

ExfatFat::ExfatFat(const ExfatGeometry& geometry, const platform::Device& volume, std::uint64_t max_cached_bytes)
    : geometry_(&geometry), volume_(&volume) {
  const std::uint64_t sector = geometry.bytes_per_sector;
  if (sector == 0) return;
  // cluster_end < 2^32: the entries take less than 2^34 bytes.
  const std::uint64_t entries = std::uint64_t{geometry.cluster_end} * 4;
  const std::uint64_t bytes = (entries + sector - 1) / sector * sector;
  if (bytes == 0 || bytes > max_cached_bytes) return;
  auto table = read_exfat_aligned(sector, geometry.read_end, volume, geometry.fat_offset, bytes);
  if (table) cache_ = std::move(*table);
}

std::expected<std::uint32_t, OsError> ExfatFat::entry(std::uint32_t cluster) const {
  const std::uint64_t at = std::uint64_t{cluster} * 4;
  if (at < cache_.size() && cache_.size() - at >= 4) return u32_in(cache_, static_cast<std::size_t>(at));
  const auto place = entry_place(*geometry_, cluster);
  if (!place) return std::unexpected(place.error());
  if (memo_start_ != place->sector_start || memo_.size() != geometry_->bytes_per_sector) {
    auto sector = read_exfat_aligned(geometry_->bytes_per_sector, geometry_->read_end, *volume_, place->sector_start,
                                     geometry_->bytes_per_sector);
    if (!sector) return std::unexpected(sector.error());
    memo_start_ = place->sector_start;
    memo_ = std::move(*sector);
  }
  return entry_in_sector(memo_, place->within);
}

}  // namespace kavel_lib::engine::windows::exfat_deleted
