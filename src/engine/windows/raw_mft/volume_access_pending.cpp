// Stand-in for the volume access module: the volume opens through the device seam and its
// volume data is asked for, but no in-use bitmap is read.
#include "engine/windows/raw_mft/volume_access_pending.h"

#include <fmt/format.h>

#include <algorithm>
#include <limits>

#include "platform/ntfs_control.h"

namespace kavel_lib::engine::windows {
namespace {
std::uint64_t le(std::span<const std::uint8_t> b, std::size_t off, std::size_t n) {
  std::uint64_t v = 0;
  for (std::size_t i = n; i-- > 0;) v = (v << 8) | b[off + i];
  return v;
}
}  // namespace

std::uint32_t NtfsVolumeData::bytes_per_cluster() const { return static_cast<std::uint32_t>(le(bytes, 0x2C, 4)); }
std::uint32_t NtfsVolumeData::bytes_per_file_record_segment() const {
  return static_cast<std::uint32_t>(le(bytes, 0x30, 4));
}
std::uint64_t NtfsVolumeData::mft_start_lcn() const { return le(bytes, 0x40, 8); }

VolumeGeometry record_reader_geometry(const NtfsVolumeData& data) {
  return {data.bytes_per_cluster(), data.mft_start_lcn(),
          std::max(data.bytes_per_file_record_segment(), kMinRecordSize)};
}

std::expected<VolumeHandle, platform::OsError> open_volume_by_letter(char letter) {
  if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
  auto device = platform::Device::open(fmt::format("\\\\.\\{}:", letter));
  if (!device) return std::unexpected(platform::OsError::from_code(device.error().code));
  return VolumeHandle(std::move(*device));
}

std::expected<NtfsVolumeData, platform::OsError> query_ntfs_volume_data(const VolumeHandle& volume) {
  NtfsVolumeData data;
  auto n = platform::device_io_control(volume.device(), platform::ctl::FSCTL_GET_NTFS_VOLUME_DATA, {}, data.bytes);
  if (!n) return std::unexpected(platform::OsError::from_win(n.error()));
  return data;
}

std::optional<std::vector<std::uint8_t>> load_mft_in_use_bitmap(const VolumeHandle&, std::uint32_t) {
  return std::nullopt;
}

std::uint64_t mft_record_count_estimate(std::optional<std::uint64_t> bitmap_length) {
  constexpr std::uint64_t kDefault = 0x400000;
  if (!bitmap_length || *bitmap_length < 0x20000) return kDefault;
  if (*bitmap_length > std::numeric_limits<std::uint64_t>::max() / 8) return std::numeric_limits<std::uint64_t>::max();
  return *bitmap_length * 8;
}

}  // namespace kavel_lib::engine::windows
