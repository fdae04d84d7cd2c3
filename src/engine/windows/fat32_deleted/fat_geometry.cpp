#include "engine/windows/fat32_deleted/fat_geometry.h"

#include <algorithm>
#include <cstring>

namespace kavel_lib::engine::windows::fat32_deleted {

using platform::OsError;
using platform::OsErrorKind;

namespace {

// Boot sector layout (little-endian byte offsets).
constexpr std::size_t kOemName = 3;
constexpr std::size_t kBytesPerSector = 11;
constexpr std::size_t kSectorsPerCluster = 13;
constexpr std::size_t kReservedSectors = 14;
constexpr std::size_t kFatCount = 16;
constexpr std::size_t kRootEntries = 17;
constexpr std::size_t kTotalSectors16 = 19;
constexpr std::size_t kFatSize16 = 22;
constexpr std::size_t kTotalSectors32 = 32;
constexpr std::size_t kFatSize32 = 36;
constexpr std::size_t kRootCluster = 44;
constexpr std::size_t kFsType32 = 82;
constexpr std::size_t kFieldsEnd = kFsType32 + 8;

std::uint16_t u16_at(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

std::uint32_t u32_at(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at]) | (static_cast<std::uint32_t>(b[at + 1]) << 8) |
         (static_cast<std::uint32_t>(b[at + 2]) << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

bool text_at(std::span<const std::uint8_t> b, std::size_t at, const char (&text)[9]) {
  return std::memcmp(b.data() + at, text, 8) == 0;
}

}  // namespace

std::expected<std::vector<std::uint8_t>, OsError> read_boot_sector(const platform::Device& volume) {
  for (const std::size_t length : {std::size_t{512}, std::size_t{4096}}) {
    std::vector<std::uint8_t> sector(length);
    if (volume.read_exact_at(0, sector)) return sector;
  }
  return std::unexpected(OsError::with_text(OsErrorKind::Other, "cannot read boot sector"));
}

std::expected<FatGeometry, OsError> parse_fat_boot_sector(std::span<const std::uint8_t> b, std::uint64_t volume_len) {
  if (b.size() < kFieldsEnd) return std::unexpected(OsError::with_text(OsErrorKind::Other, "cannot read boot sector"));
  if (text_at(b, kOemName, "NTFS    ") || text_at(b, kOemName, "EXFAT   ")) {
    return std::unexpected(OsError::with_text(OsErrorKind::InvalidData, "not a FAT volume"));
  }
  FatGeometry g;
  g.volume_len = volume_len;
  g.bytes_per_sector = u16_at(b, kBytesPerSector);
  g.sectors_per_cluster = b[kSectorsPerCluster];
  if (g.bytes_per_sector == 0 || g.sectors_per_cluster == 0) {
    return std::unexpected(OsError::with_text(OsErrorKind::InvalidData, "invalid FAT BPB"));
  }
  g.reserved_sectors = u16_at(b, kReservedSectors);
  g.fat_count = b[kFatCount];
  g.root_entries = u16_at(b, kRootEntries);

  const std::uint16_t fat16_size = u16_at(b, kFatSize16);
  const std::uint32_t fat32_size = u32_at(b, kFatSize32);
  if (fat16_size == 0 && (fat32_size != 0 || text_at(b, kFsType32, "FAT32   "))) {
    g.is_fat32 = true;
    g.fat_size_sectors = fat32_size;
    g.root_cluster = u32_at(b, kRootCluster);
  } else {
    g.is_fat32 = false;
    g.fat_size_sectors = fat16_size;
    g.root_cluster = 2;
  }

  // Volumes of fewer than 65,536 sectors keep their total in the 16-bit field and leave the
  // 32-bit one at 0.
  std::uint64_t total_sectors = u32_at(b, kTotalSectors32);
  if (total_sectors == 0) total_sectors = u16_at(b, kTotalSectors16);

  // Every factor is at most 32 bits wide and the sums stay far below 2^64:
  // meta <= 65535 + 255 * (2^32 - 1) and bytes_per_sector <= 65535.
  const std::uint64_t meta = g.reserved_sectors + g.fat_count * g.fat_size_sectors;
  g.data_offset = meta * g.bytes_per_sector;
  g.fat_offset = g.reserved_sectors * g.bytes_per_sector;
  g.cluster_bytes = g.sectors_per_cluster * g.bytes_per_sector;

  const std::uint64_t root_dir_sectors =
      g.is_fat32 ? 0 : (std::uint64_t{g.root_entries} * 32 + g.bytes_per_sector - 1) / g.bytes_per_sector;
  const std::uint64_t used = meta + root_dir_sectors;
  const std::uint64_t data_sectors = total_sectors > used ? total_sectors - used : 0;
  g.cluster_count = static_cast<std::uint32_t>(data_sectors / g.sectors_per_cluster);

  if (g.volume_len != 0 && g.volume_len <= g.data_offset) {
    return std::unexpected(OsError::with_text(OsErrorKind::InvalidData, "FAT layout exceeds volume size"));
  }
  return g;
}

std::expected<FatGeometry, OsError> parse_fat_boot(const platform::Device& volume) {
  const auto size = volume.size();
  const std::uint64_t volume_len = size ? *size : 0;
  auto sector = read_boot_sector(volume);
  if (!sector) return std::unexpected(sector.error());
  return parse_fat_boot_sector(*sector, volume_len);
}

}  // namespace kavel_lib::engine::windows::fat32_deleted
