// The client half of one call to the service: connect to its pipe within a time limit, send
// one framed request, read one framed reply, close the connection, and hand the caller the
// reply's data or an IpcClientError. Each call makes its own connection and shares nothing.
#pragma once

#include <chrono>
#include <expected>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "ipc/messages.h"
#include "platform/errors.h"
#include "platform/local_pipe.h"

namespace kavel_lib::ipc {

// The name of the service's pipe.
inline constexpr std::string_view kServicePipeName = "\\\\.\\pipe\\PolvaneService";

class IpcClientError {
 public:
  enum class Kind { ServiceUnavailable, Io, Protocol, Remote };

  static IpcClientError service_unavailable() { return IpcClientError(Kind::ServiceUnavailable, {}); }
  static IpcClientError io(std::string text) { return IpcClientError(Kind::Io, std::move(text)); }
  static IpcClientError protocol(std::string text) { return IpcClientError(Kind::Protocol, std::move(text)); }
  // `text` is the service's "{code}: {message}".
  static IpcClientError remote(std::string text) { return IpcClientError(Kind::Remote, std::move(text)); }

  [[nodiscard]] Kind kind() const { return kind_; }
  // The variant's payload (empty for ServiceUnavailable).
  [[nodiscard]] const std::string& text() const { return text_; }
  // "Polvane Service is not available (is it installed and running?)", "IPC I/O error: {}",
  // "IPC protocol error: {}", or a remote error's text alone.
  [[nodiscard]] std::string display() const;

  friend bool operator==(const IpcClientError&, const IpcClientError&) = default;

 private:
  IpcClientError(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}
  Kind kind_;
  std::string text_;
};

// Maps a failed read or write to ServiceUnavailable (the service is not there: file or path
// not found, invalid drive, bad network path or name, connection reset or refused) or Io.
IpcClientError classify_client_io_error(const platform::OsError& error);

// Opens a client end of the service pipe, trying until `wait` has passed (a wait of 0 makes
// no attempt). Nobody serving the pipe is ServiceUnavailable at once; a busy server is tried
// again until the deadline. The only error is ServiceUnavailable.
std::expected<platform::PipeConnection, IpcClientError> connect_pipe(std::chrono::nanoseconds wait);
// The same for a pipe of another name.
std::expected<platform::PipeConnection, IpcClientError> connect_pipe(std::string_view pipe_name,
                                                                     std::chrono::nanoseconds wait);

// Writes one frame ("payload too large" is Protocol, I/O failures go through
// classify_client_io_error).
std::expected<void, IpcClientError> write_frame(platform::PipeConnection& pipe, std::string_view payload);

// Reads one frame's payload, with the same error mapping.
std::expected<std::string, IpcClientError> read_frame(platform::PipeConnection& pipe);

// The result of a call: the data of the Ok reply. When the reply handed over a descriptor and
// its data is an object naming "handle", data["handle"] is that descriptor's number and
// `handle` owns it; a descriptor the data does not name is closed, and a "handle" that came
// without a descriptor is removed from the data (it is not a handle of this process).
struct IpcReplyData {
  nlohmann::json data;
  platform::OwnedDescriptor handle;
};

// One round trip: connect (within `wait`), send the request, read the reply, close. The wait
// bounds only the connection, not the wait for the reply.
std::expected<IpcReplyData, IpcClientError> ipc_call(const IpcRequest& request, std::chrono::nanoseconds wait);

// ipc_call with a connection wait of 3 seconds.
std::expected<IpcReplyData, IpcClientError> ipc_call_default(const IpcRequest& request);

}  // namespace kavel_lib::ipc
