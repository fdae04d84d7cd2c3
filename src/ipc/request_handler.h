// The request dispatcher: reads one framed request from a connection, serves it and writes
// exactly one reply.
#pragma once

#include <chrono>
#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

#include "ipc/messages.h"
#include "platform/local_pipe.h"

namespace kavel_lib::ipc {

// How long the reply may take to be taken by the client once it is being written.
inline constexpr std::chrono::seconds kReplyWriteWindow{10};

// A request frame longer than this is large: no valid request comes near it, and large ones
// count against the large-request budget.
inline constexpr std::size_t kLargeFrameThreshold = 64 * 1024;
// How many bytes of large request frames the service holds at once, counted from the frame's
// length field until its decoded request is released. Two frames of the maximum size fit.
inline constexpr std::size_t kLargeRequestBudget = 32 * 1024 * 1024;
// The refusal of a large frame that does not fit the budget (sent as an "IPC" error).
inline constexpr std::string_view kServiceBusy = "the service is busy: too many large requests at once; try again";

// Reads the request, serves it and writes the reply (successful or not). An error text means
// the request could not be read ("payload too large", kServiceBusy, a read error's text) or
// decoded ("bad request: {}"), or the reply could not be written; the connection's owner
// answers it. A large frame whose length does not fit what is left of `large_request_budget`
// is refused before any of its payload is read. Once a large request is released, the free
// memory goes back to the system.
std::expected<void, std::string> handle_request(platform::PipeConnection& pipe,
                                                std::size_t large_request_budget = kLargeRequestBudget);

// The bytes of large request frames held at this moment (for tests).
std::size_t large_request_bytes_held();

// The reply to ping and status; any other request gets the error "PROTOCOL",
// "request must use connection handler".
IpcResponse handle_simple_request(const IpcRequest& request);

}  // namespace kavel_lib::ipc
