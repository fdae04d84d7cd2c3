// The server half of the service pipe: the listener and the connection handling.
//
// Each client connection is served on a detached thread of its own, so a slow request (a tool
// run of up to two minutes) holds only its own thread, and the stop's wake-up ping never waits
// behind other clients. A connection must deliver its whole request within 10 seconds of being
// accepted, and at most 1,024 connections are open at once: one more is closed at once.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

#include "platform/local_pipe.h"

namespace kavel_lib::ipc {

// The target of the listener's and the connections' log records.
inline constexpr std::string_view kServerLogTarget = "kavel_lib::ipc::server::win";
inline constexpr std::chrono::seconds kRequestWindow{10};
inline constexpr std::size_t kMaxOpenConnections = 1024;

// Listens on the service pipe and answers one request per connection on a thread of its own,
// until the running flag is found false. The pipe's socket exists before the flag is first
// tested, so a stop that comes early still reaches the listener. Gives an error text when the
// listener cannot be set up.
std::expected<void, std::string> serve(std::atomic<bool>& running);

// The body of one connection's thread: serves its request, answers a failed one with the "IPC"
// error (and a warn record "IPC connection error: {}"), and closes the connection.
void handle_connection(platform::PipeConnection pipe);

// How many connections are open at this moment (served or waiting for their request).
std::size_t open_connection_count();

}  // namespace kavel_lib::ipc
