// The pipe listener: binds the service pipe's socket, accepts clients and starts one detached
// thread per connection.
#include "ipc/server.h"

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "ipc/client.h"
#include "ipc/request_checks.h"
#include "ipc/request_handler.h"
#include "ipc/server_io.h"
#include "logging/logging.h"

namespace kavel_lib::ipc {

namespace {

// How long the listener waits before it tries to create its socket again.
constexpr std::chrono::milliseconds kBindRetryPause{200};
// The listener looks at the running flag at least this often, ping or no ping.
constexpr std::chrono::milliseconds kAcceptSlice{200};
// A failed accept (out of descriptors, say) is tried again after this pause, not in a spin.
constexpr std::chrono::milliseconds kAcceptFailurePause{10};

std::atomic<std::size_t> g_open_connections{0};

// Holds one place among the open connections for the life of a connection thread.
class ConnectionSlot {
 public:
  ConnectionSlot() = default;
  ~ConnectionSlot() { g_open_connections.fetch_sub(1, std::memory_order_acq_rel); }
  ConnectionSlot(const ConnectionSlot&) = delete;
  ConnectionSlot& operator=(const ConnectionSlot&) = delete;
};

[[noreturn]] void fatal(const char* message) {
  std::fputs(message, stderr);
  std::fputc('\n', stderr);
  std::abort();
}

// Hands an accepted connection to a thread of its own, or closes it at once when the open
// connections are at their limit.
void take_connection(platform::PipeConnection pipe) {
  const auto accepted = std::chrono::steady_clock::now();
  if (g_open_connections.fetch_add(1, std::memory_order_acq_rel) >= kMaxOpenConnections) {
    g_open_connections.fetch_sub(1, std::memory_order_acq_rel);
    return;  // `pipe` closes here
  }
  pipe.set_deadline(accepted + kRequestWindow);
  try {
    std::thread([pipe = std::move(pipe)]() mutable {
      const ConnectionSlot slot;
      handle_connection(std::move(pipe));
    }).detach();
  } catch (const std::system_error&) {
    fatal("failed to spawn thread");
  }
}

}  // namespace

std::size_t open_connection_count() { return g_open_connections.load(std::memory_order_acquire); }

void handle_connection(platform::PipeConnection pipe) {
  if (auto served = handle_request(pipe); !served) {
    logging::warn(kServerLogTarget, "IPC connection error: {}", served.error());
    pipe.set_deadline(std::chrono::steady_clock::now() + kReplyWriteWindow);
    (void)write_response(pipe, ipc_response_err("IPC", served.error()));
  }
  pipe.close();
}

std::expected<void, std::string> serve(std::atomic<bool>& running) {
  // The socket is there before the flag is first looked at: a stop that comes now still finds
  // a listener to wake.
  auto server = platform::PipeServer::bind(kServicePipeName);
  logging::info(kServerLogTarget, "{} listening on {}", "Polvane Service", kServicePipeName);

  while (running.load()) {
    if (!server) {
      std::this_thread::sleep_for(kBindRetryPause);
      server = platform::PipeServer::bind(kServicePipeName);
      continue;
    }
    auto accepted = server->accept_within(kAcceptSlice);
    if (!accepted) {
      std::this_thread::sleep_for(kAcceptFailurePause);
      continue;
    }
    if (accepted->has_value()) take_connection(std::move(**accepted));
  }

  // Clients that connected before the flag was seen (the stop's own ping among them) are still
  // answered; the socket goes away with `server`.
  if (server) {
    for (;;) {
      auto queued = server->accept_within(std::chrono::milliseconds::zero());
      if (!queued || !queued->has_value()) break;
      take_connection(std::move(**queued));
    }
  }
  return {};
}

}  // namespace kavel_lib::ipc
