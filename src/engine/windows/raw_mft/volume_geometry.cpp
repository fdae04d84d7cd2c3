#include "engine/windows/raw_mft/volume_geometry.h"

#include <algorithm>

#include "engine/windows/raw_mft/ntfs_layout.h"

namespace kavel_lib::engine::windows {

using namespace ntfs;

std::uint32_t NtfsVolumeData::bytes_per_cluster() const { return load_u32(bytes, kVolumeDataBytesPerCluster); }
std::uint32_t NtfsVolumeData::bytes_per_file_record_segment() const { return load_u32(bytes, kVolumeDataBytesPerRecord); }
std::uint64_t NtfsVolumeData::mft_start_lcn() const { return load_u64(bytes, kVolumeDataMftStartLcn); }

NtfsVolumeData NtfsVolumeData::with_fields(std::uint32_t bytes_per_cluster, std::uint32_t bytes_per_record,
                                           std::uint64_t mft_start_lcn) {
  NtfsVolumeData d;
  auto put = [&](std::size_t off, std::uint64_t v, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) d.bytes[off + i] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  put(kVolumeDataBytesPerCluster, bytes_per_cluster, 4);
  put(kVolumeDataBytesPerRecord, bytes_per_record, 4);
  put(kVolumeDataMftStartLcn, mft_start_lcn, 8);
  return d;
}

VolumeGeometry record_reader_geometry(const NtfsVolumeData& data) {
  return VolumeGeometry{data.bytes_per_cluster(), data.mft_start_lcn(),
                        std::max(data.bytes_per_file_record_segment(), kMinRecordSize)};
}

}  // namespace kavel_lib::engine::windows
