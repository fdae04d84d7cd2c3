#include "platform/posix/ntfs_model/boot_sector.h"

#include <bit>
#include <cstring>

namespace kavel_lib::platform::ntfs_model {

namespace {

// Boot sector fields.
constexpr std::size_t kOemId = 0x03;
constexpr std::size_t kBytesPerSector = 0x0B;
constexpr std::size_t kSectorsPerCluster = 0x0D;
constexpr std::size_t kTotalSectors = 0x28;
constexpr std::size_t kMftLcn = 0x30;
constexpr std::size_t kMftMirrorLcn = 0x38;
constexpr std::size_t kClustersPerRecord = 0x40;
constexpr std::size_t kClustersPerIndexBlock = 0x44;
constexpr std::size_t kSerialNumber = 0x48;

constexpr std::uint32_t kMaxClusterSize = 2u * 1024 * 1024;  // the largest cluster NTFS formats
constexpr std::uint32_t kMinRecordSize = 512;
constexpr std::uint32_t kMaxRecordSize = 64u * 1024;

// A record or index-block size byte: positive counts clusters, negative is a power of two.
std::optional<std::uint32_t> structure_size(std::uint8_t raw, std::uint32_t cluster) {
  const auto v = static_cast<std::int8_t>(raw);
  std::uint64_t size;
  if (v > 0) {
    size = static_cast<std::uint64_t>(v) * cluster;
  } else if (v < 0) {
    const int shift = -v;
    if (shift > 31) return std::nullopt;
    size = std::uint64_t{1} << shift;
  } else {
    return std::nullopt;
  }
  if (size < kMinRecordSize || size > kMaxRecordSize || !std::has_single_bit(size)) return std::nullopt;
  return static_cast<std::uint32_t>(size);
}

}  // namespace

std::expected<Geometry, BootError> parse_boot_sector(Bytes sector) {
  if (sector.size() < kBootSectorSize) return std::unexpected(BootError::NotNtfs);
  if (std::memcmp(sector.data() + kOemId, "NTFS    ", 8) != 0) return std::unexpected(BootError::NotNtfs);

  Geometry g;
  g.bytes_per_sector = u16_at(sector, kBytesPerSector);
  if (g.bytes_per_sector < 256 || g.bytes_per_sector > 4096 || !std::has_single_bit(g.bytes_per_sector)) {
    return std::unexpected(BootError::Corrupt);
  }
  const std::uint8_t spc_raw = sector[kSectorsPerCluster];
  std::uint64_t sectors_per_cluster;
  if (spc_raw == 0) return std::unexpected(BootError::Corrupt);
  if (spc_raw <= 0x80) {
    if (!std::has_single_bit(spc_raw)) return std::unexpected(BootError::Corrupt);
    sectors_per_cluster = spc_raw;
  } else {
    // Values above 0x80 are negative powers of two: 0xF4 is 2^12 sectors.
    const int shift = 256 - spc_raw;
    if (shift > 20) return std::unexpected(BootError::Corrupt);
    sectors_per_cluster = std::uint64_t{1} << shift;
  }
  const std::uint64_t cluster = sectors_per_cluster * g.bytes_per_sector;
  if (cluster > kMaxClusterSize) return std::unexpected(BootError::Corrupt);
  g.bytes_per_cluster = static_cast<std::uint32_t>(cluster);

  g.total_sectors = u64_at(sector, kTotalSectors);
  g.total_clusters = g.total_sectors / sectors_per_cluster;
  // The byte size of the volume must be expressible.
  if (g.total_clusters == 0 || g.total_clusters > (UINT64_MAX / cluster)) return std::unexpected(BootError::Corrupt);
  g.mft_lcn = u64_at(sector, kMftLcn);
  g.mft_mirror_lcn = u64_at(sector, kMftMirrorLcn);
  if (g.mft_lcn >= g.total_clusters || g.mft_mirror_lcn >= g.total_clusters) return std::unexpected(BootError::Corrupt);

  const auto record = structure_size(sector[kClustersPerRecord], g.bytes_per_cluster);
  const auto index = structure_size(sector[kClustersPerIndexBlock], g.bytes_per_cluster);
  if (!record || !index || *record < g.bytes_per_sector) return std::unexpected(BootError::Corrupt);
  g.record_size = *record;
  g.index_block_size = *index;
  g.serial_number = u64_at(sector, kSerialNumber);
  return g;
}

}  // namespace kavel_lib::platform::ntfs_model
