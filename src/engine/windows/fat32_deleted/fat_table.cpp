#include "engine/windows/fat32_deleted/fat_table.h"

#include "engine/windows/fat32_deleted/fat_volume.h"

namespace kavel_lib::engine::windows::fat32_deleted {

using platform::OsError;
using platform::OsErrorKind;

namespace {

constexpr std::uint32_t kFat32EntryMask = 0x0FFFFFFF;

// The entry of `entry_size` bytes at `at` in `bytes`, if it lies wholly inside.
std::optional<std::uint32_t> entry_in(const std::vector<std::uint8_t>& bytes, std::uint64_t at, bool is_fat32) {
  const std::uint64_t size = is_fat32 ? 4 : 2;
  if (at > bytes.size() || bytes.size() - at < size) return std::nullopt;
  const auto i = static_cast<std::size_t>(at);
  if (!is_fat32) return static_cast<std::uint32_t>(bytes[i] | (bytes[i + 1] << 8));
  const std::uint32_t raw = static_cast<std::uint32_t>(bytes[i]) | (static_cast<std::uint32_t>(bytes[i + 1]) << 8) |
                            (static_cast<std::uint32_t>(bytes[i + 2]) << 16) |
                            (static_cast<std::uint32_t>(bytes[i + 3]) << 24);
  return raw & kFat32EntryMask;
}

}  // namespace

std::optional<FatCache> build_fat_cache(const FatGeometry& geometry, const platform::Device& volume) {
  const std::uint64_t sectors = geometry.fat_size_sectors;
  const std::uint64_t per_sector = geometry.bytes_per_sector;
  if (sectors == 0 || per_sector == 0 || per_sector > kMaxCachedFatBytes / sectors) return std::nullopt;
  const std::uint64_t fat_bytes = per_sector * sectors;
  auto bytes = read_volume_aligned(geometry, volume, geometry.fat_offset, fat_bytes);
  if (!bytes) return std::nullopt;
  return FatCache{std::move(*bytes), geometry.is_fat32 ? 4u : 2u, geometry.is_fat32};
}

std::expected<std::uint32_t, OsError> read_fat_entry(const FatGeometry& geometry, const platform::Device& volume,
                                                     std::uint32_t cluster, const std::optional<FatCache>& cache) {
  FatSectorMemo memo;
  return read_fat_entry(geometry, volume, cluster, cache, memo);
}

std::expected<std::uint32_t, OsError> read_fat_entry(const FatGeometry& geometry, const platform::Device& volume,
                                                     std::uint32_t cluster, const std::optional<FatCache>& cache,
                                                     FatSectorMemo& memo) {
  // cluster < 2^32 and the entry size is at most 4: the products fit easily in 64 bits.
  if (cache) {
    const std::uint64_t at = std::uint64_t{cluster} * cache->entry_size;
    if (auto entry = entry_in(cache->bytes, at, cache->is_fat32)) return *entry;
  }
  const std::uint64_t entry_size = geometry.is_fat32 ? 4 : 2;
  const std::uint64_t relative = std::uint64_t{cluster} * entry_size;
  if (geometry.bytes_per_sector == 0) {
    return std::unexpected(OsError::with_text(OsErrorKind::InvalidData, "invalid sector size"));
  }
  if (geometry.fat_offset > UINT64_MAX - relative) {
    return std::unexpected(OsError::with_text(OsErrorKind::InvalidInput, "read past volume end"));
  }
  const std::uint64_t position = geometry.fat_offset + relative;
  const std::uint64_t within = position % geometry.bytes_per_sector;
  const std::uint64_t start = position - within;
  if (memo.start != start || memo.bytes.size() != geometry.bytes_per_sector) {
    auto sector = read_volume_aligned(geometry, volume, start, geometry.bytes_per_sector);
    if (!sector) return std::unexpected(sector.error());
    memo.start = start;
    memo.bytes = std::move(*sector);
  }
  if (auto entry = entry_in(memo.bytes, within, geometry.is_fat32)) return *entry;
  return std::unexpected(OsError::with_text(
      OsErrorKind::InvalidData, geometry.is_fat32 ? "FAT32 entry out of sector" : "FAT16 entry out of sector"));
}

}  // namespace kavel_lib::engine::windows::fat32_deleted
