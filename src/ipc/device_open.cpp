#include "ipc/device_open.h"

#include <chrono>
#include <string>

#include "engine/windows/wtf8.h"
#include "ipc/client.h"
#include "ipc/messages.h"
#include "ipc/service_start.h"
#include "platform/drive_pins.h"
#include "platform/drive_table.h"
#include "platform/system_info.h"

namespace kavel_lib::ipc {

namespace {

using platform::OsError;
using platform::OsErrorKind;

constexpr std::chrono::seconds kOpenDeviceWait{3};
constexpr std::string_view kNoHandle = "service returned no handle";

bool is_access_denied(const OsError& error) {
  return error.kind() == OsErrorKind::PermissionDenied || error.code() == platform::win::ERROR_ACCESS_DENIED;
}

// The service opened the device at the offset the drive table gives it inside its host file
// and passed the host file's descriptor; reads through it must start at the same offset.
platform::Device adopt_passed_descriptor(platform::OwnedDescriptor descriptor, std::string_view path) {
  std::string name;
  std::uint64_t offset = 0;
  if (auto device_name = platform::device_name_of_path(path)) {
    name = *device_name;
    if (const auto table = platform::DriveTable::from_environment()) {
      if (const auto entry = table->lookup(name)) offset = entry->offset;
    }
  }
  return platform::Device::adopt(descriptor.release(), std::move(name), offset);
}

}  // namespace

std::expected<platform::Device, OsError> open_device_or_via_service(std::string_view path) {
  auto direct = platform::Device::open(path);
  if (direct) return std::move(*direct);
  OsError first = OsError::from_code(direct.error().code);
  if (!is_access_denied(first)) return std::unexpected(std::move(first));
  // The service program (the process that pins its drives) has just been refused with its own
  // rights: asking itself over the pipe would only repeat the open and its refusal.
  if (platform::drive_pins_active()) return std::unexpected(std::move(first));
  auto via_service = open_device_via_service(path);
  if (via_service) return std::move(*via_service);
  return std::unexpected(std::move(first));
}

std::expected<platform::Device, OsError> open_device_via_service(std::string_view path) {
  const ServiceEnsureResult ensured = ensure_service_running();
  if (!ensured.running) return std::unexpected(OsError::with_text(OsErrorKind::PermissionDenied, ensured.message));

  const IpcRequest request =
      IpcRequest::OpenDevice{engine::windows::lossy_utf8(path), platform::current_process_id()};
  auto reply = ipc_call(request, kOpenDeviceWait);
  if (!reply) return std::unexpected(OsError::with_text(OsErrorKind::Other, reply.error().display()));
  clear_cached_service_status();

  // The handle is the descriptor that came with the reply, at the place the data names it.
  // Anything else (no object, no key, a value that is no unsigned integer, a number without a
  // descriptor behind it) is no handle; the descriptor, if any, closes with `reply`.
  const nlohmann::json& data = reply->data;
  if (!data.is_object()) return std::unexpected(OsError::with_text(OsErrorKind::Other, std::string(kNoHandle)));
  const auto it = data.find("handle");
  const bool unsigned_integer =
      it != data.end() && (it->is_number_unsigned() || (it->is_number_integer() && it->get<std::int64_t>() >= 0));
  if (!unsigned_integer || !reply->handle.valid() ||
      it->get<std::uint64_t>() != static_cast<std::uint64_t>(reply->handle.get())) {
    return std::unexpected(OsError::with_text(OsErrorKind::Other, std::string(kNoHandle)));
  }
  return adopt_passed_descriptor(std::move(reply->handle), path);
}

}  // namespace kavel_lib::ipc
