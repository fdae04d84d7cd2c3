#include "engine/windows/exfat_deleted/exfat_geometry.h"

#include "engine/windows/saturating.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "engine/windows/fat32_deleted/fat_geometry.h"

namespace kavel_lib::engine::windows::exfat_deleted {

using platform::OsError;
using platform::OsErrorKind;

namespace {

// Boot sector layout (little-endian byte offsets).
constexpr std::size_t kFileSystemName = 3;
constexpr std::size_t kShiftCandidateSector = 12;
constexpr std::size_t kShiftCandidateCluster = 13;
constexpr std::size_t kFatOffset = 80;
constexpr std::size_t kHeapOffset = 88;
constexpr std::size_t kClusterCount = 92;
constexpr std::size_t kRootCluster = 96;
constexpr std::size_t kSectorShift = 108;
constexpr std::size_t kClusterShift = 109;
constexpr std::size_t kFieldsEnd = 110;

constexpr std::uint64_t kU32Max = std::numeric_limits<std::uint32_t>::max();

std::uint32_t u32_at(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at]) | (static_cast<std::uint32_t>(b[at + 1]) << 8) |
         (static_cast<std::uint32_t>(b[at + 2]) << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}



// C + 2 clusters numbered from 2, kept within 32 bits.
std::uint32_t end_after(std::uint32_t count) {
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(std::uint64_t{count} + 2, kU32Max));
}

OsError invalid_geometry() { return OsError::with_text(OsErrorKind::InvalidData, "invalid exFAT geometry"); }

}  // namespace

std::expected<ExfatGeometry, OsError> parse_exfat_boot_sector(std::span<const std::uint8_t> b,
                                                              std::uint64_t volume_len) {
  if (b.size() < kFieldsEnd) return std::unexpected(OsError::with_text(OsErrorKind::Other, "cannot read boot sector"));
  if (std::memcmp(b.data() + kFileSystemName, "EXFAT   ", 8) != 0) {
    return std::unexpected(OsError::with_text(OsErrorKind::InvalidData, "not an exFAT volume"));
  }

  // Shifts: the candidates at 12/13 when both are set, else the format's own at 108/109 (a
  // cluster shift of 0 is one sector per cluster), else 512-byte sectors and 256 of them.
  unsigned sector_shift = 9;
  unsigned cluster_shift = 8;
  const std::uint8_t s108 = b[kSectorShift];
  const std::uint8_t s109 = b[kClusterShift];
  if (b[kShiftCandidateSector] != 0 && b[kShiftCandidateCluster] != 0) {
    sector_shift = b[kShiftCandidateSector];
    cluster_shift = b[kShiftCandidateCluster];
  } else if ((s108 >= kMinSectorShift && s108 <= kMaxSectorShift) || (s108 != 0 && s109 != 0)) {
    sector_shift = s108;
    cluster_shift = s109;
  }
  if (sector_shift < kMinSectorShift || sector_shift > kMaxSectorShift ||
      sector_shift + cluster_shift > kMaxClusterBytesShift) {
    return std::unexpected(invalid_geometry());
  }

  ExfatGeometry g;
  g.bytes_per_sector = std::uint64_t{1} << sector_shift;
  g.cluster_bytes = g.bytes_per_sector << cluster_shift;
  const std::uint32_t heap_sectors = u32_at(b, kHeapOffset);
  const std::uint32_t count = u32_at(b, kClusterCount);
  const std::uint32_t root = u32_at(b, kRootCluster);
  g.heap_offset = std::uint64_t{heap_sectors} << sector_shift;  // < 2^44
  g.fat_offset = std::uint64_t{u32_at(b, kFatOffset)} << sector_shift;

  if (heap_sectors >= 17 && count >= 2 && count < heap_sectors) {
    // Small volumes (mkfs.exfat's 8 and 16 MiB ones) have a heap offset in sectors above their
    // cluster count; the count is the end of the clusters whenever they fit on the device.
    const bool count_fits =
        volume_len == 0 || saturating_add(g.heap_offset, saturating_mul(count, g.cluster_bytes)) <= volume_len;
    if (count_fits) {
      g.cluster_end = end_after(count);
      g.root_cluster = root;
    } else {
      g.cluster_end = heap_sectors;
      g.root_cluster = count;
    }
  } else if (root >= 2 && root < count && count > heap_sectors) {
    g.cluster_end = end_after(count);
    g.root_cluster = root;
  } else {
    g.cluster_end = std::max({heap_sectors, count, std::uint32_t{2}});
    g.root_cluster = std::max(std::min(count, root), std::uint32_t{2});
  }

  if (volume_len != 0) {
    g.read_end = volume_len;
  } else {
    const std::uint64_t clusters = g.cluster_end >= 2 ? g.cluster_end - 2u : 0;
    g.read_end = saturating_add(g.heap_offset, saturating_mul(clusters, g.cluster_bytes));
  }
  return g;
}

std::expected<ExfatGeometry, OsError> parse_exfat_boot(const platform::Device& volume) {
  const auto size = volume.size();
  const std::uint64_t volume_len = size ? *size : 0;
  auto sector = fat32_deleted::read_boot_sector(volume);
  if (!sector) return std::unexpected(sector.error());
  return parse_exfat_boot_sector(*sector, volume_len);
}

}  // namespace kavel_lib::engine::windows::exfat_deleted
