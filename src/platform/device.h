// Raw device access: a device path "\\.\E:", "\\.\PhysicalDrive0" or "\\.\Volume{...}" opened
// for reading only, with positioned reads and the device's size.
//
// The drive table (KAVEL_DRIVES) says which host file stands behind each device name. A
// Device owns its descriptor; moving it moves the ownership.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "platform/errors.h"

namespace kavel_lib::platform {

class Device {
 public:
  // Opens a device path for reading. Errors are Windows codes: a path that is not one of the
  // three device forms or a name the drive table does not map gives 2, a refused open 5, a
  // malformed drive table 87. A name mapped to anything but an image file or a block device (a
  // folder, a FIFO, a character device) gives 5 at once, without waiting on it. With drive pins
  // on (drive_pins.h), so does a name that no longer leads to the object pinned for it, or whose
  // path a user other than root and the service's may change. The descriptor is the image file
  // or the block device itself, a loop device included: what a client may be handed of it is
  // for device_handout.h to say.
  static std::expected<Device, WinError> open(std::string_view device_path);

  // Takes ownership of a descriptor that names a device (one handed over by the service).
  // Reads start at base_offset within it.
  static Device adopt(int descriptor, std::string device_name = {}, std::uint64_t base_offset = 0);

  Device() = default;
  Device(Device&& other) noexcept;
  Device& operator=(Device&& other) noexcept;
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;
  ~Device();

  [[nodiscard]] bool is_open() const { return fd_ >= 0; }

  // One positioned read of up to buffer.size() bytes at offset (relative to the device's
  // start); interrupted calls are repeated. Returns the count read: less than asked only at
  // the end of the device, 0 at or past it.
  std::expected<std::size_t, OsError> read_at(std::uint64_t offset, std::span<std::uint8_t> buffer) const;

  // Reads exactly buffer.size() bytes at offset; an early end is UnexpectedEof
  // ("failed to fill whole buffer").
  std::expected<void, OsError> read_exact_at(std::uint64_t offset, std::span<std::uint8_t> buffer) const;

  // The device's length in bytes: the image's length less the mapped offset, or the block
  // device's size.
  [[nodiscard]] std::expected<std::uint64_t, OsError> size() const;

  // "E:", "PhysicalDrive0", ... (empty for an adopted descriptor that was given no name).
  [[nodiscard]] const std::string& device_name() const { return name_; }
  [[nodiscard]] const std::string& host_path() const { return host_path_; }
  [[nodiscard]] std::uint64_t base_offset() const { return base_offset_; }

  // The descriptor, for the backend's own use (control codes, descriptor passing).
  [[nodiscard]] int native_handle() const { return fd_; }
  // Gives up ownership of the descriptor.
  int release();

 private:
  void close_now();

  int fd_ = -1;
  std::string name_;
  std::string host_path_;
  std::uint64_t base_offset_ = 0;
};

}  // namespace kavel_lib::platform
