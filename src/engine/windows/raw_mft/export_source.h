// The device an NTFS export reads from: the volume "\\.\X:" itself, or, when the volume's own
// reads fail, the physical drive that holds it, read at the partition's starting offset.
// Every device is opened read-only through the device open with service fallback.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "engine/windows/raw_mft/volume_geometry.h"
#include "platform/device.h"
#include "platform/errors.h"

namespace kavel_lib::engine::windows {

// The opened source of one export. `geometry` comes from the volume's FSCTL_GET_NTFS_VOLUME_DATA
// (record size raised to 1024); `base_offset` is added to every read: 0 on the volume, the
// partition's starting offset on the physical drive.
struct NtfsVolume {
  platform::Device handle;
  VolumeGeometry geometry;
  std::uint64_t base_offset = 0;

  // Reads exactly out.size() bytes at base_offset + offset. False when the position overflows
  // or the read fails or ends early (the cause is not kept).
  [[nodiscard]] bool read_exact(std::uint64_t offset, std::span<std::uint8_t> out) const;
};

// Opens the volume, asks FSCTL_GET_NTFS_VOLUME_DATA and closes it again. An open error is
// returned as it is; a failed query is kind Other with the Windows error's display text.
std::expected<VolumeGeometry, platform::OsError> open_ntfs_volume(std::string_view volume_path);

// Where a volume lies on a physical drive.
struct PhysicalDriveLocation {
  std::uint32_t disk_number = 0;
  std::uint64_t starting_offset = 0;
  friend bool operator==(const PhysicalDriveLocation&, const PhysicalDriveLocation&) = default;
};

// The first extent of a VOLUME_DISK_EXTENTS buffer with room for one extent; "Volume has no
// disk extents" when it counts none.
std::expected<PhysicalDriveLocation, std::string> parse_volume_disk_extents(std::span<const std::uint8_t> buffer);

// IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS on the volume (opened and closed here) into a 32-byte
// buffer. Errors as texts: the open error's display text, "Volume drive letter mapping failed:
// {}" with the Windows error's display text (a volume of several extents fails here too, the
// buffer holding one), or "Volume has no disk extents".
std::expected<PhysicalDriveLocation, std::string> map_volume_to_physical_drive(std::string_view volume_path);

// "\\.\PhysicalDrive{n}".
std::string physical_drive_path(std::uint32_t disk_number);

// Chooses the source: the volume when its volume data can be had and a read of its first 512
// bytes succeeds (base offset 0); otherwise, those failures dropped, the physical drive at the
// partition's starting offset, with the volume data asked again. On that second road the
// volume-data error, the mapping text (as kind Other) or the drive's open error end the export.
std::expected<NtfsVolume, platform::OsError> open_export_source(std::string_view volume_path);

}  // namespace kavel_lib::engine::windows
