// The loaded volume behind an open device, cached by the identity of the bytes it was loaded
// from (the file or block device, its offset, size and modification time), so that repeated
// control codes and path look-ups read the MFT's run list and bitmap only once.
#pragma once

#include <expected>
#include <memory>

#include "platform/device.h"
#include "platform/errors.h"
#include "platform/posix/ntfs_model/volume.h"

namespace kavel_lib::platform::ntfs_model {

// Reads through an open device (not owned).
class DeviceReader final : public Reader {
 public:
  explicit DeviceReader(const Device& device) : device_(device) {}
  [[nodiscard]] bool read(std::uint64_t offset, std::span<std::uint8_t> out) const override;

 private:
  const Device& device_;
};

// The volume on the device, loaded or from the cache. Errors as Volume::load, and 6 for a
// device that is not open.
std::expected<std::shared_ptr<const Volume>, WinError> volume_for_device(const Device& device);

// Drops every cached volume.
void clear_volume_cache();

}  // namespace kavel_lib::platform::ntfs_model
