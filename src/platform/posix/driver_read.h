// Reads of the backend's own file-system model beneath a device handle: what the emulated
// driver reads to answer control codes. Not part of the seam; code above it reads through
// Device.
#pragma once

#include <cstdint>
#include <expected>
#include <span>

#include "platform/device.h"
#include "platform/errors.h"

namespace kavel_lib::platform {

// Reads exactly buffer.size() bytes at offset (relative to the device's start), as
// Device::read_exact_at does, but never refused by the test switch KAVEL_TEST_REFUSE_READS.
std::expected<void, OsError> driver_read_exact_at(const Device& device, std::uint64_t offset,
                                                  std::span<std::uint8_t> buffer);

}  // namespace kavel_lib::platform
