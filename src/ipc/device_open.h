// Opening a raw device: directly when this process may, else through the privileged service,
// which opens it and hands the open descriptor over.
#pragma once

#include <expected>
#include <string_view>

#include "platform/device.h"
#include "platform/errors.h"

namespace kavel_lib::ipc {

// Opens the device for reading. Only a refusal for lack of rights (kind PermissionDenied or
// code 5) goes to the service; when that road fails in any way the caller gets the direct
// open's access-denied error. Any other failure is returned as it is, the service unasked; so
// is every failure in the service program itself (the process with drive pins on), which would
// only be asking itself.
std::expected<platform::Device, platform::OsError> open_device_or_via_service(std::string_view path);

// The service road alone: makes sure the service runs (a service that does not gives
// PermissionDenied with the user-facing message), sends `open_device` with this process's
// number (a 3-second connection wait; a failed call gives Other with the call error's text)
// and takes the descriptor that comes with the reply ("service returned no handle" when the
// reply names none). The device's name and its offset inside the passed image come from this
// process's own drive table, as the service's open applied them.
std::expected<platform::Device, platform::OsError> open_device_via_service(std::string_view path);

}  // namespace kavel_lib::ipc
