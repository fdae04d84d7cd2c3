// The server half of the service pipe: the listener and the connection handling.
//
// Each client connection is served on a detached thread of its own, so a slow request (a tool
// run of up to two minutes) holds only its own thread, and the stop's wake-up ping never waits
// behind other clients. A connection must deliver its whole request within its request window
// (10 seconds from its accept), at most 1,024 connections are open at once, and one user may
// hold at most 64 of them (root and the service's own user excepted): a connection beyond
// either limit is closed at once.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <expected>
#include <functional>
#include <string>
#include <string_view>

#include "platform/local_pipe.h"

namespace kavel_lib::ipc {

// The target of the listener's and the connections' log records.
inline constexpr std::string_view kServerLogTarget = "kavel_lib::ipc::server::win";
inline constexpr std::chrono::seconds kRequestWindow{10};
inline constexpr std::size_t kMaxOpenConnections = 1024;
inline constexpr std::size_t kMaxConnectionsPerUser = 64;

// The listener's limits; the defaults are the service's.
struct ListenerLimits {
  // How long a connection has, from its accept, to deliver its whole request.
  std::chrono::milliseconds request_window = kRequestWindow;
  // How many connections may be open at once.
  std::size_t max_open_connections = kMaxOpenConnections;
  // How many of them one peer user may hold; root and the service's own user are not capped.
  std::size_t max_connections_per_user = kMaxConnectionsPerUser;
};

// Listens on the service pipe and answers one request per connection on a thread of its own,
// until the running flag is found false. The pipe's socket is in place and listening before
// the flag is first tested, so a stop that comes early still reaches the listener; only then
// is "listening" logged and `on_listening` (when given) called, once. A socket that cannot be
// made for a passing reason is tried again every 200 ms. Gives an error text, logged at error
// level, without ever listening, when a live service already serves the pipe, when something
// that is not a socket holds its name, or when the pipe folder is not safe to serve in.
std::expected<void, std::string> serve(std::atomic<bool>& running, const ListenerLimits& limits = {},
                                       const std::function<void()>& on_listening = {});

// The body of one connection's thread: serves its request, answers a failed one with the "IPC"
// error (and a warn record "IPC connection error: {}"), and closes the connection.
void handle_connection(platform::PipeConnection pipe);

// How many connections are open at this moment (served or waiting for their request).
std::size_t open_connection_count();

}  // namespace kavel_lib::ipc
