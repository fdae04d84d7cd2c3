#include "ipc/client.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <thread>

#include <fmt/format.h>

#include "ipc/framing.h"

namespace kavel_lib::ipc {

namespace {

using Clock = std::chrono::steady_clock;

// The longest single wait for a free pipe instance, and the pause after a failed wait.
constexpr std::chrono::milliseconds kInstanceWaitCap{250};
constexpr std::chrono::milliseconds kRetryPause{20};
constexpr std::chrono::seconds kDefaultWait{3};

// Windows codes that mean the service is not there: file not found, path not found, invalid
// drive, bad network path, bad network name, connection reset, connection refused.
constexpr std::array<std::uint32_t, 7> kUnavailableCodes = {2, 3, 15, 53, 67, 10054, 10061};

Clock::time_point deadline_after(std::chrono::nanoseconds wait) {
  const auto now = Clock::now();
  if (wait <= std::chrono::nanoseconds::zero()) return now;
  if (wait >= Clock::time_point::max() - now) return Clock::time_point::max();
  return now + std::chrono::duration_cast<Clock::duration>(wait);
}

// Whole milliseconds left to the deadline, rounded down; 0 once it has passed.
std::chrono::milliseconds time_left(Clock::time_point deadline) {
  const auto now = Clock::now();
  if (now >= deadline) return std::chrono::milliseconds::zero();
  return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
}

IpcClientError from_frame_error(const FrameError& error) {
  if (error.kind == FrameError::Kind::PayloadTooLarge) return IpcClientError::protocol(std::string(kPayloadTooLarge));
  return classify_client_io_error(error.io);
}

}  // namespace

std::string IpcClientError::display() const {
  switch (kind_) {
    case Kind::ServiceUnavailable: return "Polvane Service is not available (is it installed and running?)";
    case Kind::Io: return fmt::format("IPC I/O error: {}", text_);
    case Kind::Protocol: return fmt::format("IPC protocol error: {}", text_);
    case Kind::Remote: return text_;
  }
  return text_;
}

IpcClientError classify_client_io_error(const platform::OsError& error) {
  if (const auto code = error.code()) {
    if (std::ranges::find(kUnavailableCodes, *code) != kUnavailableCodes.end()) {
      return IpcClientError::service_unavailable();
    }
    return IpcClientError::io(error.display());
  }
  if (error.kind() == platform::OsErrorKind::NotFound) return IpcClientError::service_unavailable();
  return IpcClientError::io(error.display());
}

std::expected<platform::PipeConnection, IpcClientError> connect_pipe(std::chrono::nanoseconds wait) {
  return connect_pipe(kServicePipeName, wait);
}

std::expected<platform::PipeConnection, IpcClientError> connect_pipe(std::string_view pipe_name,
                                                                     std::chrono::nanoseconds wait) {
  const auto deadline = deadline_after(wait);
  for (;;) {
    // Tested before every attempt, so a wait of 0 makes none.
    if (Clock::now() >= deadline) return std::unexpected(IpcClientError::service_unavailable());
    auto pipe = platform::PipeConnection::connect(pipe_name);
    if (pipe) return std::move(*pipe);
    // Nobody serves the pipe: no use waiting.
    if (pipe.error().code == platform::win::ERROR_FILE_NOT_FOUND) {
      return std::unexpected(IpcClientError::service_unavailable());
    }
    const auto left = time_left(deadline);
    if (left == std::chrono::milliseconds::zero()) return std::unexpected(IpcClientError::service_unavailable());
    const auto waited = platform::wait_named_pipe(pipe_name, std::min(left, kInstanceWaitCap));
    if (waited) continue;
    if (waited.error().code == platform::win::ERROR_FILE_NOT_FOUND || Clock::now() >= deadline) {
      return std::unexpected(IpcClientError::service_unavailable());
    }
    std::this_thread::sleep_for(kRetryPause);
  }
}

std::expected<void, IpcClientError> write_frame(platform::PipeConnection& pipe, std::string_view payload) {
  if (auto sent = send_frame(pipe, payload); !sent) return std::unexpected(from_frame_error(sent.error()));
  return {};
}

std::expected<std::string, IpcClientError> read_frame(platform::PipeConnection& pipe) {
  auto payload = receive_frame(pipe);
  if (!payload) return std::unexpected(from_frame_error(payload.error()));
  return std::move(*payload);
}

std::expected<IpcReplyData, IpcClientError> ipc_call(const IpcRequest& request, std::chrono::nanoseconds wait) {
  auto pipe = connect_pipe(wait);
  if (!pipe) return std::unexpected(pipe.error());

  const auto payload = serialize_ipc_request(request);
  if (!payload) return std::unexpected(IpcClientError::protocol(payload.error().display()));
  if (auto sent = write_frame(*pipe, *payload); !sent) return std::unexpected(sent.error());
  auto reply_bytes = read_frame(*pipe);
  if (!reply_bytes) return std::unexpected(reply_bytes.error());

  // Whatever descriptor came with the reply is ours now; the connection is done.
  platform::OwnedDescriptor descriptor = pipe->take_received_descriptor();
  pipe->close();

  auto reply = ipc_response_deserialize(*reply_bytes);
  if (!reply) return std::unexpected(IpcClientError::protocol(reply.error().display()));
  if (const auto* err = std::get_if<IpcResponse::Err>(&reply->reply)) {
    return std::unexpected(IpcClientError::remote(fmt::format("{}: {}", err->code, err->message)));
  }

  IpcReplyData result;
  result.data = std::move(std::get<IpcResponse::Ok>(reply->reply).data);
  if (result.data.is_object() && result.data.contains("handle")) {
    // Only a value that can name a handle (an integer from 0 up) stands for the descriptor
    // that came with the reply; any other value is left as it is, so the caller sees that no
    // handle was given, and the descriptor is closed here.
    const auto& value = result.data["handle"];
    const bool names_a_handle = value.is_number_unsigned() || (value.is_number_integer() && value.get<std::int64_t>() >= 0);
    if (!names_a_handle) return result;
    if (descriptor.valid()) {
      result.data["handle"] = static_cast<std::uint64_t>(descriptor.get());
      result.handle = std::move(descriptor);
    } else {
      result.data.erase("handle");
    }
  }
  return result;
}

std::expected<IpcReplyData, IpcClientError> ipc_call_default(const IpcRequest& request) {
  return ipc_call(request, kDefaultWait);
}

}  // namespace kavel_lib::ipc
