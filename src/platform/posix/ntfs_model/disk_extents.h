// IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS for a mapped volume.
#pragma once

#include <cstdint>
#include <expected>
#include <span>

#include "platform/device.h"
#include "platform/errors.h"

namespace kavel_lib::platform::ntfs_model {

// VOLUME_DISK_EXTENTS with the volume's one extent. Errors: 1 for a disk, or a volume that no
// mapped disk holds; 122 for a buffer smaller than 32 bytes.
std::expected<std::size_t, WinError> volume_disk_extents(const Device& volume, std::span<std::uint8_t> out);

}  // namespace kavel_lib::platform::ntfs_model
