#include "ipc/request_handler.h"

#include <fmt/format.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
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

// The bytes of large frames held by all connections together.
std::atomic<std::size_t> g_large_bytes_held{0};

// One large frame's share of the budget, taken at its length field; giving it back hands the
// allocator's free memory to the system, so the request's buffers leave the resident set.
class LargeRequestShare {
 public:
  // Nothing when `bytes` does not fit what is left of `budget`.
  static std::optional<LargeRequestShare> take(std::size_t bytes, std::size_t budget) {
    std::size_t held = g_large_bytes_held.load();
    do {
      if (bytes > budget || held > budget - bytes) return std::nullopt;
    } while (!g_large_bytes_held.compare_exchange_weak(held, held + bytes));
    return LargeRequestShare(bytes);
  }
  LargeRequestShare(LargeRequestShare&& other) noexcept : bytes_(std::exchange(other.bytes_, 0)) {}
  LargeRequestShare& operator=(LargeRequestShare&& other) noexcept {
    if (this != &other) {
      give_back();
      bytes_ = std::exchange(other.bytes_, 0);
    }
    return *this;
  }
  LargeRequestShare(const LargeRequestShare&) = delete;
  LargeRequestShare& operator=(const LargeRequestShare&) = delete;
  ~LargeRequestShare() { give_back(); }

 private:
  explicit LargeRequestShare(std::size_t bytes) : bytes_(bytes) {}
  void give_back() {
    if (bytes_ == 0) return;
    g_large_bytes_held.fetch_sub(std::exchange(bytes_, 0));
    platform::return_free_memory();
  }
  std::size_t bytes_;
};

// Reads one request frame. A large one first takes its share of the budget into `share`
// (which outlives the payload and the request decoded from it); one that does not fit is
// refused before its payload is read.
std::expected<std::string, std::string> read_request_payload(platform::PipeConnection& pipe, std::size_t budget,
                                                             std::optional<LargeRequestShare>& share) {
  std::array<char, 4> header{};
  if (auto got = read_exact_pipe(pipe, header); !got) return std::unexpected(got.error());
  const std::uint32_t length = static_cast<std::uint32_t>(static_cast<unsigned char>(header[0])) |
                               (static_cast<std::uint32_t>(static_cast<unsigned char>(header[1])) << 8) |
                               (static_cast<std::uint32_t>(static_cast<unsigned char>(header[2])) << 16) |
                               (static_cast<std::uint32_t>(static_cast<unsigned char>(header[3])) << 24);
  if (length > kMaxFramePayload) return std::unexpected(std::string(kPayloadTooLarge));
  std::string payload;
  if (length > kLargeFrameThreshold) {
    share = LargeRequestShare::take(length, budget);
    if (!share) return std::unexpected(std::string(kServiceBusy));
    // Counted already: the buffer is reserved whole, so it never grows by copying. Its pages
    // become resident only as the bytes arrive.
    payload.reserve(length);
  }
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

std::expected<void, std::string> handle_request(platform::PipeConnection& pipe, std::size_t large_request_budget) {
  ServedReply reply;
  {
    // Declared first, so that it is given back after the payload and the request are gone.
    std::optional<LargeRequestShare> share;
    auto payload = read_request_payload(pipe, large_request_budget, share);
    if (!payload) return std::unexpected(payload.error());
    auto request = deserialize_ipc_request(*payload);
    if (!request) return std::unexpected(fmt::format("bad request: {}", request.error().display()));
    payload->clear();
    payload->shrink_to_fit();

    RequestContext context;
    if (auto peer = pipe.peer_credentials()) context.peer = std::move(*peer);
    reply = dispatch(*request, context);
  }

  // Serving may have taken long (a tool run); the client gets a fresh window to take the reply.
  pipe.set_deadline(std::chrono::steady_clock::now() + kReplyWriteWindow);
  const int descriptor = reply.device ? reply.device->native_handle() : -1;
  return write_response(pipe, reply.response, descriptor);
}

std::size_t large_request_bytes_held() { return g_large_bytes_held.load(); }

}  // namespace kavel_lib::ipc
