// The request dispatcher: reads one framed request from a connection, serves it and writes
// exactly one reply.
#pragma once

#include <chrono>
#include <expected>
#include <string>

#include "ipc/messages.h"
#include "platform/local_pipe.h"

namespace kavel_lib::ipc {

// How long the reply may take to be taken by the client once it is being written.
inline constexpr std::chrono::seconds kReplyWriteWindow{10};

// Reads the request, serves it and writes the reply (successful or not). An error text means
// the request could not be read ("payload too large", a read error's text) or decoded
// ("bad request: {}"), or the reply could not be written; the connection's owner answers it.
std::expected<void, std::string> handle_request(platform::PipeConnection& pipe);

// The reply to ping and status; any other request gets the error "PROTOCOL",
// "request must use connection handler".
IpcResponse handle_simple_request(const IpcRequest& request);

}  // namespace kavel_lib::ipc
