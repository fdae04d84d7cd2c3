// The server half of the service pipe: the listener and the connection handling.
//
// Each client connection is served on a detached thread of its own, so a slow request (a tool
// run of up to two minutes) holds only its own thread, and the stop's wake-up ping never waits
// behind other clients. A connection must deliver its whole request within its request window
// (10 seconds from its accept). Other users' connections stop at 1,024 open at once, 64 of
// them per user; root and the service's own user have no cap of their own and may connect
// while fewer than 1,088 are open, so that others filling their places never lock them out. A
// connection beyond its limit is closed at once. Large request frames share one budget of
// memory (request_handler.h).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <expected>
#include <functional>
#include <string>
#include <string_view>

#include "ipc/request_handler.h"
#include "platform/local_pipe.h"

namespace kavel_lib::ipc {

// The target of the listener's and the connections' log records.
inline constexpr std::string_view kServerLogTarget = "kavel_lib::ipc::server::win";
inline constexpr std::chrono::seconds kRequestWindow{10};
inline constexpr std::size_t kMaxOpenConnections = 1024;
inline constexpr std::size_t kMaxConnectionsPerUser = 64;
inline constexpr std::size_t kReservedConnections = 64;

// The listener's limits; the defaults are the service's.
struct ListenerLimits {
  // How long a connection has, from its accept, to deliver its whole request.
  std::chrono::milliseconds request_window = kRequestWindow;
  // How many connections may be open at once, as far as users other than root and the
  // service's own user are concerned.
  std::size_t max_open_connections = kMaxOpenConnections;
  // How many of them one peer user may hold; root and the service's own user are not capped.
  std::size_t max_connections_per_user = kMaxConnectionsPerUser;
  // Places beyond max_open_connections that only root and the service's own user may take.
  std::size_t reserved_connections = kReservedConnections;
  // Bytes of large request frames held at once (request_handler.h).
  std::size_t large_request_budget = kLargeRequestBudget;
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
void handle_connection(platform::PipeConnection pipe, std::size_t large_request_budget = kLargeRequestBudget);

// Removes the socket file of the listener serving in this process, when the file at its path
// is still the socket that listener bound: for a program that a signal ends while its listener
// runs. Does nothing when no listener serves.
void remove_served_socket();

// How many connections hold a place at this moment (served or waiting for their request).
std::size_t open_connection_count();

// Waits until exactly `count` connections hold a place, at most `limit`; gives whether they
// did. A connection's place is given back after its thread has closed it.
bool wait_for_open_connection_count(std::size_t count, std::chrono::milliseconds limit);

}  // namespace kavel_lib::ipc
