// Opening a raw device: directly when this process may, else through the privileged service,
// which opens it and hands the open descriptor over.
#pragma once

#include <expected>
#include <string_view>

#include "platform/device.h"
#include "platform/errors.h"

namespace kavel_lib::ipc {

// Opens the device for reading; only a refusal for lack of rights goes to the service, and
// when that road fails in any way the caller gets the direct open's access-denied error.
std::expected<platform::Device, platform::OsError> open_device_or_via_service(std::string_view path);

// The service road alone.
std::expected<platform::Device, platform::OsError> open_device_via_service(std::string_view path);

}  // namespace kavel_lib::ipc
