// open_device: the service opens a raw device read-only and hands the open descriptor to the
// connected client with the reply: never a loop device nor a device on one (device_handout.h).
#include <fmt/format.h>

#include "ipc/request_checks.h"
#include "ipc/request_ops.h"
#include "ipc/server.h"
#include "logging/logging.h"
#include "platform/device_handout.h"
#include "platform/process_info.h"

namespace kavel_lib::ipc {

namespace {

constexpr std::string_view kOpenCode = "OPEN";

}  // namespace

ServedReply serve_open_device(const IpcRequest::OpenDevice& request) {
  if (auto allowed = validate_device_path(request.path); !allowed) {
    return ServedReply{ipc_response_err(kOpenCode, allowed.error()), std::nullopt};
  }
  auto device = platform::Device::open(request.path);
  if (!device) {
    return ServedReply{ipc_response_err(kOpenCode, fmt::format("open device failed: {}", device.error().display())),
                       std::nullopt};
  }
  // What the client may hold: a loop device (or a device on one) could be re-pointed by it. The
  // refusal names the drive ("E: is the loop device ...").
  auto handed = platform::device_for_client(std::move(*device));
  if (!handed) {
    logging::warn(kServerLogTarget, "Drive {}; open_device refused", handed.error());
    return ServedReply{ipc_response_err(kOpenCode, fmt::format("open device failed: {}", handed.error())),
                       std::nullopt};
  }
  // The client's process must be there to take the device, as a handle can be duplicated only
  // into a process that exists; a number that names none is an invalid parameter. The device
  // closes with `handed` on this road.
  if (!platform::process_is_alive(request.client_pid)) {
    const platform::WinError error{platform::win::ERROR_INVALID_PARAMETER};
    return ServedReply{
        ipc_response_err(kOpenCode, fmt::format("OpenProcess({}) failed: {}", request.client_pid, error.display())),
        std::nullopt};
  }
  const auto handle = static_cast<std::uint64_t>(handed->native_handle());
  return ServedReply{IpcResponse::Ok{nlohmann::json{{"handle", handle}}}, std::move(*handed)};
}

}  // namespace kavel_lib::ipc
