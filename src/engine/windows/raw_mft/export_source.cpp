#include "engine/windows/raw_mft/export_source.h"

#include <array>
#include <utility>

#include "engine/windows/raw_mft/export_layout.h"
#include "engine/windows/raw_mft/ntfs_layout.h"
#include "engine/windows/raw_mft/volume.h"
#include "ipc/device_open.h"
#include "platform/ntfs_control.h"

namespace kavel_lib::engine::windows {

using platform::OsError;
using platform::OsErrorKind;

namespace {

// Bytes read from the start of the volume to prove that plain reads work on it.
constexpr std::size_t kTestReadBytes = 512;

}  // namespace

bool NtfsVolume::read_exact(std::uint64_t offset, std::span<std::uint8_t> out) const {
  std::uint64_t position = 0;
  if (__builtin_add_overflow(base_offset, offset, &position)) return false;
  return handle.read_exact_at(position, out).has_value();
}

std::expected<VolumeGeometry, OsError> open_ntfs_volume(std::string_view volume_path) {
  auto device = ipc::open_device_or_via_service(volume_path);
  if (!device) return std::unexpected(std::move(device.error()));
  const VolumeHandle volume(std::move(*device));
  auto data = query_ntfs_volume_data(volume);
  if (!data) return std::unexpected(std::move(data.error()));
  return record_reader_geometry(*data);
}

std::expected<PhysicalDriveLocation, std::string> parse_volume_disk_extents(std::span<const std::uint8_t> buffer) {
  using namespace ntfs;
  const auto count = read_u32(buffer, kDiskExtentsCount);
  const auto disk = read_u32(buffer, kDiskExtentsDiskNumber);
  const auto start = read_u64(buffer, kDiskExtentsStartingOffset);
  if (!count || *count == 0 || !disk || !start) return std::unexpected(std::string("Volume has no disk extents"));
  return PhysicalDriveLocation{*disk, *start};
}

std::expected<PhysicalDriveLocation, std::string> map_volume_to_physical_drive(std::string_view volume_path) {
  auto device = ipc::open_device_or_via_service(volume_path);
  if (!device) return std::unexpected(device.error().display());
  std::array<std::uint8_t, ntfs::kDiskExtentsBufferSize> buffer{};
  auto written = platform::device_io_control(*device, platform::ctl::IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, {}, buffer);
  if (!written) return std::unexpected("Volume drive letter mapping failed: " + written.error().display());
  return parse_volume_disk_extents(buffer);
}

std::string physical_drive_path(std::uint32_t disk_number) {
  return "\\\\.\\PhysicalDrive" + std::to_string(disk_number);
}

std::expected<NtfsVolume, OsError> open_export_source(std::string_view volume_path) {
  // The volume itself, when its reads work.
  if (auto geometry = open_ntfs_volume(volume_path)) {
    if (auto device = ipc::open_device_or_via_service(volume_path)) {
      std::array<std::uint8_t, kTestReadBytes> first{};
      if (device->read_exact_at(0, first)) return NtfsVolume{std::move(*device), *geometry, 0};
    }
  }
  // Else the physical drive under it, at the partition's offset.
  auto geometry = open_ntfs_volume(volume_path);
  if (!geometry) return std::unexpected(std::move(geometry.error()));
  auto location = map_volume_to_physical_drive(volume_path);
  if (!location) return std::unexpected(OsError::with_text(OsErrorKind::Other, std::move(location.error())));
  auto drive = ipc::open_device_or_via_service(physical_drive_path(location->disk_number));
  if (!drive) return std::unexpected(std::move(drive.error()));
  return NtfsVolume{std::move(*drive), *geometry, location->starting_offset};
}

}  // namespace kavel_lib::engine::windows
