#include "ipc/request_handler.h"

#include <fmt/format.h>

#include <array>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "ipc/framing.h"
#include "ipc/request_checks.h"
#include "ipc/request_ops.h"
#include "ipc/server_io.h"
#include "platform/system_info.h"

namespace kavel_lib::ipc {

namespace {

// The payload is read in pieces of this size, so a length field alone never reserves 16 MiB.
constexpr std::size_t kReadPiece = 64 * 1024;

std::expected<std::string, std::string> read_request_payload(platform::PipeConnection& pipe) {
  std::array<char, 4> header{};
  if (auto got = read_exact_pipe(pipe, header); !got) return std::unexpected(got.error());
  const std::uint32_t length = static_cast<std::uint32_t>(static_cast<unsigned char>(header[0])) |
                               (static_cast<std::uint32_t>(static_cast<unsigned char>(header[1])) << 8) |
                               (static_cast<std::uint32_t>(static_cast<unsigned char>(header[2])) << 16) |
                               (static_cast<std::uint32_t>(static_cast<unsigned char>(header[3])) << 24);
  if (length > kMaxFramePayload) return std::unexpected(std::string(kPayloadTooLarge));
  std::string payload;
  while (payload.size() < length) {
    const std::size_t have = payload.size();
    const std::size_t piece = std::min<std::size_t>(length - have, kReadPiece);
    payload.resize(have + piece);
    if (auto got = read_exact_pipe(pipe, std::span<char>(payload.data() + have, piece)); !got) {
      return std::unexpected(got.error());
    }
  }
  return payload;
}

ServedReply dispatch(const IpcRequest& request, const RequestContext& context) {
  return std::visit(
      [&](const auto& op) -> ServedReply {
        using Op = std::decay_t<decltype(op)>;
        if constexpr (std::is_same_v<Op, IpcRequest::Ping> || std::is_same_v<Op, IpcRequest::Status>) {
          return ServedReply{handle_simple_request(request), std::nullopt};
        } else if constexpr (std::is_same_v<Op, IpcRequest::OpenDevice>) {
          return serve_open_device(op);
        } else if constexpr (std::is_same_v<Op, IpcRequest::ExportNtfsFrn>) {
          return ServedReply{serve_export_ntfs_frn(op, context), std::nullopt};
        } else if constexpr (std::is_same_v<Op, IpcRequest::ExportFat32>) {
          return ServedReply{serve_export_fat32(op, context), std::nullopt};
        } else if constexpr (std::is_same_v<Op, IpcRequest::ExportExfat>) {
          return ServedReply{serve_export_exfat(op, context), std::nullopt};
        } else {
          static_assert(std::is_same_v<Op, IpcRequest::IcatToFile>);
          return ServedReply{serve_icat_to_file(op, context), std::nullopt};
        }
      },
      request.op);
}

}  // namespace

IpcResponse handle_simple_request(const IpcRequest& request) {
  if (std::holds_alternative<IpcRequest::Ping>(request.op)) {
    return IpcResponse::Ok{nlohmann::json{{"pong", true}, {"protocolVersion", kProtocolVersion}}};
  }
  if (std::holds_alternative<IpcRequest::Status>(request.op)) {
    const ServiceStatusData status{kProtocolVersion, std::string(kServiceVersion), platform::is_elevated()};
    auto value = service_status_to_value(status);
    if (!value) return ipc_response_err("SERIALIZE", value.error().display());
    return IpcResponse::Ok{std::move(*value)};
  }
  return ipc_response_err("PROTOCOL", "request must use connection handler");
}

std::expected<void, std::string> handle_request(platform::PipeConnection& pipe) {
  auto payload = read_request_payload(pipe);
  if (!payload) return std::unexpected(payload.error());
  auto request = deserialize_ipc_request(*payload);
  if (!request) return std::unexpected(fmt::format("bad request: {}", request.error().display()));
  payload->clear();
  payload->shrink_to_fit();

  RequestContext context;
  if (auto peer = pipe.peer_credentials()) context.peer = std::move(*peer);
  const ServedReply reply = dispatch(*request, context);

  // Serving may have taken long (a tool run); the client gets a fresh window to take the reply.
  pipe.set_deadline(std::chrono::steady_clock::now() + kReplyWriteWindow);
  const int descriptor = reply.device ? reply.device->native_handle() : -1;
  return write_response(pipe, reply.response, descriptor);
}

}  // namespace kavel_lib::ipc
