// NTFS and volume control codes on an open device, answered with the byte layouts that
// Windows documents for DeviceIoControl.
//
// Returns the count of bytes written into output, or the Windows error of the call.
#pragma once

#include <cstdint>
#include <expected>
#include <span>

#include "platform/device.h"
#include "platform/errors.h"

namespace kavel_lib::platform {

namespace ctl {
inline constexpr std::uint32_t FSCTL_GET_NTFS_VOLUME_DATA = 0x00090064;
inline constexpr std::uint32_t FSCTL_GET_NTFS_FILE_RECORD = 0x00090068;
inline constexpr std::uint32_t FSCTL_ENUM_USN_DATA = 0x000900B3;
inline constexpr std::uint32_t FSCTL_READ_USN_JOURNAL = 0x000900BB;
inline constexpr std::uint32_t FSCTL_QUERY_USN_JOURNAL = 0x000900F4;
inline constexpr std::uint32_t IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS = 0x00560000;
}  // namespace ctl

std::expected<std::size_t, WinError> device_io_control(const Device& device, std::uint32_t code,
                                                       std::span<const std::uint8_t> input,
                                                       std::span<std::uint8_t> output);

}  // namespace kavel_lib::platform
