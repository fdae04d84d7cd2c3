// Direct road only, until the service client lands.
#include "ipc/device_open.h"

namespace kavel_lib::ipc {

std::expected<platform::Device, platform::OsError> open_device_or_via_service(std::string_view path) {
  auto device = platform::Device::open(path);
  if (!device) return std::unexpected(platform::OsError::from_code(device.error().code));
  return std::move(*device);
}

std::expected<platform::Device, platform::OsError> open_device_via_service(std::string_view) {
  return std::unexpected(platform::OsError::with_text(
      platform::OsErrorKind::PermissionDenied,
      "Polvane Service is not running. Reinstall the app, or start it from Windows Services."));
}

}  // namespace kavel_lib::ipc
