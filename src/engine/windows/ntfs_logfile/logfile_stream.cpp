// Reading the tail of the $LogFile data, and the volume facts the page search needs.
#include <algorithm>

#include "engine/windows/ntfs_logfile/log_layout.h"
#include "engine/windows/ntfs_logfile/logfile_scan.h"
#include "engine/windows/raw_mft/nonresident_data.h"

namespace kavel_lib::engine::windows {

namespace {
constexpr std::uint64_t kLogFileRecord = 2;
}

std::expected<std::vector<std::uint8_t>, platform::OsError> read_logfile_stream(char letter) {
  auto volume = open_volume_by_letter(letter);
  if (!volume) return std::unexpected(volume.error());
  auto volume_data = query_ntfs_volume_data(*volume);
  if (!volume_data) return std::unexpected(volume_data.error());
  const VolumeGeometry geometry = record_reader_geometry(*volume_data);
  auto record = get_mft_record(*volume_data, *volume, kLogFileRecord, geometry.record_size);
  if (!record) {
    return std::unexpected(platform::OsError::with_text(platform::OsErrorKind::Other, "无法读取 $LogFile MFT 记录"));
  }
  auto data = read_nonresident_data(geometry, *volume, *record, logfile::kLogTailBytes);
  if (!data) {
    return std::unexpected(platform::OsError::with_text(platform::OsErrorKind::Other, "无法读取 $LogFile 数据流"));
  }
  return std::move(*data);
}

LogScanVolume log_scan_volume(const NtfsVolumeData& volume_data, const VolumeHandle& volume) {
  const VolumeGeometry geometry = record_reader_geometry(volume_data);
  LogScanVolume v;
  v.bytes_per_cluster = geometry.bytes_per_cluster;
  v.record_size = geometry.record_size;
  if (auto layout = volume.mft_layout(geometry)) v.record_count = layout->record_count;
  return v;
}

}  // namespace kavel_lib::engine::windows
