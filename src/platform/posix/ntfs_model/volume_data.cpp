#include <algorithm>
#include <vector>

#include "platform/posix/ntfs_model/controls.h"

namespace kavel_lib::platform::ntfs_model {

namespace {
// NTFS_VOLUME_DATA_BUFFER.
constexpr std::size_t kSerial = 0;
constexpr std::size_t kNumberSectors = 8;
constexpr std::size_t kTotalClusters = 16;
constexpr std::size_t kFreeClusters = 24;
constexpr std::size_t kTotalReserved = 32;
constexpr std::size_t kBytesPerSector = 40;
constexpr std::size_t kBytesPerCluster = 44;
constexpr std::size_t kBytesPerRecord = 48;
constexpr std::size_t kClustersPerRecord = 52;
constexpr std::size_t kMftValidDataLength = 56;
constexpr std::size_t kMftStartLcn = 64;
constexpr std::size_t kMft2StartLcn = 72;
constexpr std::size_t kMftZoneStart = 80;
constexpr std::size_t kMftZoneEnd = 88;
constexpr std::size_t kVolumeDataSize = 96;

// NTFS_FILE_RECORD_OUTPUT_BUFFER.
constexpr std::size_t kRecordReference = 0;
constexpr std::size_t kRecordLength = 8;
constexpr std::size_t kRecordBytes = 12;
}  // namespace

Answer get_volume_data(const Volume& volume, const Reader& reader, Output out) {
  if (out.size() < kVolumeDataSize) return std::unexpected(WinError{win::ERROR_INSUFFICIENT_BUFFER});
  const Geometry& g = volume.geometry();
  std::fill(out.begin(), out.begin() + kVolumeDataSize, std::uint8_t{0});
  put_u64(out, kSerial, g.serial_number);
  put_u64(out, kNumberSectors, g.total_sectors);
  put_u64(out, kTotalClusters, g.total_clusters);
  put_u64(out, kFreeClusters, volume.free_clusters(reader));
  put_u64(out, kTotalReserved, 0);
  put_u32(out, kBytesPerSector, g.bytes_per_sector);
  put_u32(out, kBytesPerCluster, g.bytes_per_cluster);
  put_u32(out, kBytesPerRecord, g.record_size);
  put_u32(out, kClustersPerRecord, g.record_size >= g.bytes_per_cluster ? g.record_size / g.bytes_per_cluster : 0);
  put_u64(out, kMftValidDataLength, volume.mft().initialized_size);
  put_u64(out, kMftStartLcn, g.mft_lcn);
  put_u64(out, kMft2StartLcn, g.mft_mirror_lcn);
  // The MFT zone is the driver's in-memory reservation; taken here as the eighth of the volume
  // that follows the MFT's last extent, as NTFS reserves it by default.
  std::uint64_t zone_start = g.mft_lcn;
  for (const auto& run : volume.mft().runs) {
    if (run.lcn >= 0) zone_start = std::max(zone_start, static_cast<std::uint64_t>(run.lcn) + run.length);
  }
  zone_start = std::min(zone_start, g.total_clusters);
  const std::uint64_t zone_end = std::min(g.total_clusters, zone_start + g.total_clusters / 8);
  put_u64(out, kMftZoneStart, zone_start);
  put_u64(out, kMftZoneEnd, zone_end);
  return kVolumeDataSize;
}

Answer get_file_record(const Volume& volume, const Reader& reader, Bytes in, Output out) {
  if (in.size() < 8) return std::unexpected(WinError{win::ERROR_INVALID_PARAMETER});
  const std::uint32_t size = volume.geometry().record_size;
  if (out.size() < kRecordBytes + size) return std::unexpected(WinError{win::ERROR_INSUFFICIENT_BUFFER});
  // The record is found by its number alone; the sequence number of the reference asked for
  // plays no part (the reply names the record's own reference).
  const std::uint64_t asked = u64_at(in, 0) & kRecordNumberMask;
  const auto number = volume.in_use_at_or_below(asked);
  if (!number) return std::unexpected(WinError{win::ERROR_INVALID_PARAMETER});
  std::vector<std::uint8_t> record;
  switch (volume.read_record(reader, *number, record)) {
    case RecordStatus::Ok: break;
    case RecordStatus::OutOfRange: return std::unexpected(WinError{win::ERROR_INVALID_PARAMETER});
    case RecordStatus::Unreadable: return std::unexpected(WinError{win::ERROR_READ_FAULT});
    case RecordStatus::Corrupt: return std::unexpected(WinError{win::ERROR_FILE_CORRUPT});
  }
  const auto header = record_header(record);
  const std::uint64_t sequence = header ? header->sequence : 0;
  put_u64(out, kRecordReference, *number | (sequence << 48));
  put_u32(out, kRecordLength, size);
  std::copy(record.begin(), record.end(), out.begin() + kRecordBytes);
  return kRecordBytes + size;
}

}  // namespace kavel_lib::platform::ntfs_model
