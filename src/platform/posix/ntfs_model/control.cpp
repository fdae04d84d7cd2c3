// device_io_control: the control codes of the seam, dispatched to the emulated NTFS driver
// and the volume manager's disk-extent query.
#include <atomic>
#include <cstdlib>
#include <string_view>

#include "platform/ntfs_control.h"
#include "platform/posix/ntfs_model/controls.h"
#include "platform/posix/ntfs_model/device_volume.h"
#include "platform/posix/ntfs_model/disk_extents.h"

namespace kavel_lib::platform {

namespace {

std::atomic<std::uint16_t> g_usn_max_version{4};

bool names_a_disk(const Device& device) { return std::string_view(device.device_name()).starts_with("PhysicalDrive"); }

}  // namespace

void set_usn_journal_max_version(std::uint16_t version) { g_usn_max_version = version; }

std::uint16_t usn_journal_max_version() {
  std::uint16_t version = g_usn_max_version;
  if (const char* env = std::getenv("KAVEL_NTFS_USN_MAX_VERSION"); env && env[0] >= '2' && env[0] <= '4' && !env[1]) {
    version = std::min<std::uint16_t>(version, static_cast<std::uint16_t>(env[0] - '0'));
  }
  return version;
}

std::expected<std::size_t, WinError> device_io_control(const Device& device, std::uint32_t code,
                                                       std::span<const std::uint8_t> input,
                                                       std::span<std::uint8_t> output) {
  using namespace ntfs_model;
  if (!device.is_open()) return std::unexpected(WinError{win::ERROR_INVALID_HANDLE});
  if (code == ctl::IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS) return volume_disk_extents(device, output);

  switch (code) {
    case ctl::FSCTL_GET_NTFS_VOLUME_DATA:
    case ctl::FSCTL_GET_NTFS_FILE_RECORD:
    case ctl::FSCTL_QUERY_USN_JOURNAL:
    case ctl::FSCTL_READ_USN_JOURNAL:
    case ctl::FSCTL_ENUM_USN_DATA:
      break;
    default:
      return std::unexpected(WinError{win::ERROR_INVALID_FUNCTION});
  }
  // A disk has no file system of its own to answer file-system controls.
  if (names_a_disk(device)) return std::unexpected(WinError{win::ERROR_INVALID_FUNCTION});
  const auto volume = volume_for_device(device);
  if (!volume) return std::unexpected(volume.error());
  const DeviceReader reader(device);
  switch (code) {
    case ctl::FSCTL_GET_NTFS_VOLUME_DATA: return get_volume_data(**volume, reader, output);
    case ctl::FSCTL_GET_NTFS_FILE_RECORD: return get_file_record(**volume, reader, input, output);
    case ctl::FSCTL_QUERY_USN_JOURNAL: return query_usn_journal(**volume, output, usn_journal_max_version());
    case ctl::FSCTL_READ_USN_JOURNAL:
      return read_usn_journal(**volume, reader, input, output, usn_journal_max_version());
    default: return enum_usn_data(**volume, reader, input, output);
  }
}

}  // namespace kavel_lib::platform
