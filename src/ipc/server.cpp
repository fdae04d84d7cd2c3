// The pipe listener: binds the service pipe's socket, accepts clients and starts one detached
// thread per connection, within the open-connection limits.
#include "ipc/server.h"

#include <fmt/format.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>

#include "ipc/client.h"
#include "ipc/request_checks.h"
#include "ipc/request_handler.h"
#include "ipc/server_io.h"
#include "logging/logging.h"
#include "platform/acting_identity.h"

namespace kavel_lib::ipc {

namespace {

// How long the listener waits before it tries to create its socket again.
constexpr std::chrono::milliseconds kBindRetryPause{200};
// The listener looks at the running flag at least this often, ping or no ping.
constexpr std::chrono::milliseconds kAcceptSlice{200};
// A failed accept (out of descriptors, say) is tried again after this pause, not in a spin.
constexpr std::chrono::milliseconds kAcceptFailurePause{10};

// The connections open at this moment: in all, and per capped peer user.
struct OpenConnections {
  std::mutex mutex;
  std::condition_variable changed;
  std::size_t total = 0;
  std::unordered_map<std::uint32_t, std::size_t> per_user;
};

OpenConnections& open_connections() {
  static auto* open = new OpenConnections;  // never destroyed: detached threads release into it
  return *open;
}

// Takes a place for a new connection of `user` (nothing: root or the service's own user, who
// may also take the reserved places); false when a limit is reached.
bool reserve_place(std::optional<std::uint32_t> user, const ListenerLimits& limits) {
  std::size_t places = limits.max_open_connections;
  if (!user) places += std::min(limits.reserved_connections, SIZE_MAX - places);
  OpenConnections& open = open_connections();
  std::lock_guard lock(open.mutex);
  if (open.total >= places) return false;
  if (user) {
    std::size_t& held = open.per_user[*user];
    if (held >= limits.max_connections_per_user) {
      if (held == 0) open.per_user.erase(*user);
      return false;
    }
    ++held;
  }
  ++open.total;
  open.changed.notify_all();
  return true;
}

void release_place(std::optional<std::uint32_t> user) {
  OpenConnections& open = open_connections();
  std::lock_guard lock(open.mutex);
  --open.total;
  if (user) {
    const auto entry = open.per_user.find(*user);
    if (entry != open.per_user.end() && --entry->second == 0) open.per_user.erase(entry);
  }
  open.changed.notify_all();
}

// Holds one place among the open connections for the life of a connection thread.
class ConnectionSlot {
 public:
  explicit ConnectionSlot(std::optional<std::uint32_t> user) : user_(user) {}
  ~ConnectionSlot() { release_place(user_); }
  ConnectionSlot(const ConnectionSlot&) = delete;
  ConnectionSlot& operator=(const ConnectionSlot&) = delete;

 private:
  std::optional<std::uint32_t> user_;
};

// The listener serving in this process, for remove_served_socket.
struct ServedSocket {
  std::mutex mutex;
  const platform::PipeServer* server = nullptr;
};

ServedSocket& served_socket() {
  static auto* served = new ServedSocket;  // never destroyed: a signal's thread may use it at the end
  return *served;
}

// Names the listener's server for remove_served_socket while it lives.
class ServedSocketRegistration {
 public:
  explicit ServedSocketRegistration(const platform::PipeServer& server) {
    std::lock_guard lock(served_socket().mutex);
    served_socket().server = &server;
  }
  ~ServedSocketRegistration() {
    std::lock_guard lock(served_socket().mutex);
    served_socket().server = nullptr;
  }
  ServedSocketRegistration(const ServedSocketRegistration&) = delete;
  ServedSocketRegistration& operator=(const ServedSocketRegistration&) = delete;
};

[[noreturn]] void fatal(const char* message) {
  std::fputs(message, stderr);
  std::fputc('\n', stderr);
  std::abort();
}

// The user whose connections count against the per-user cap: nothing for root and for the
// service's own user. Unknown credentials count as their own, capped, user.
std::optional<std::uint32_t> capped_user(const platform::PipeConnection& pipe, std::uint32_t own_user) {
  constexpr std::uint32_t kUnknownUser = 0xFFFFFFFF;
  const auto peer = pipe.peer_credentials();
  if (!peer) return kUnknownUser;
  if (peer->uid == 0 || peer->uid == own_user) return std::nullopt;
  return peer->uid;
}

// Hands an accepted connection to a thread of its own, or closes it at once when the open
// connections, or its user's, are at their limit.
void take_connection(platform::PipeConnection pipe, const ListenerLimits& limits, std::uint32_t own_user) {
  const auto accepted = std::chrono::steady_clock::now();
  const auto user = capped_user(pipe, own_user);
  if (!reserve_place(user, limits)) return;  // `pipe` closes here
  pipe.set_deadline(accepted + limits.request_window);
  try {
    std::thread([pipe = std::move(pipe), user, budget = limits.large_request_budget]() mutable {
      const ConnectionSlot slot(user);
      handle_connection(std::move(pipe), budget);
    }).detach();
  } catch (const std::system_error&) {
    fatal("failed to spawn thread");
  }
}

// The text of a bind failure that no retry can mend; nothing for one that a retry may.
std::optional<std::string> refusal_text(const platform::PipeBindError& error) {
  using Reason = platform::PipeBindError::Reason;
  const auto path = platform::pipe_socket_path(kServicePipeName);
  const std::string socket = path ? path->string() : std::string(kServicePipeName);
  const std::string folder = path ? path->parent_path().string() : std::string();
  switch (error.reason) {
    case Reason::Served:
      return fmt::format("another Polvane Service already serves {}", kServicePipeName);
    case Reason::NotASocket:
      return fmt::format("{} is not a socket, so {} cannot be served there", socket, kServicePipeName);
    case Reason::UnsafeFolder:
      return fmt::format(
          "the pipe folder {} is not safe: it must be a folder, not a link, owned by root or the service's user, "
          "and neither group nor others may write to it",
          folder);
    case Reason::Failed:
      break;
  }
  return std::nullopt;
}

}  // namespace

void remove_served_socket() {
  ServedSocket& served = served_socket();
  std::lock_guard lock(served.mutex);
  if (served.server != nullptr) served.server->remove_name();
}

std::size_t open_connection_count() {
  OpenConnections& open = open_connections();
  std::lock_guard lock(open.mutex);
  return open.total;
}

bool wait_for_open_connection_count(std::size_t count, std::chrono::milliseconds limit) {
  OpenConnections& open = open_connections();
  std::unique_lock lock(open.mutex);
  return open.changed.wait_for(lock, limit, [&] { return open.total == count; });
}

void handle_connection(platform::PipeConnection pipe, std::size_t large_request_budget) {
  if (auto served = handle_request(pipe, large_request_budget); !served) {
    logging::warn(kServerLogTarget, "IPC connection error: {}", served.error());
    pipe.set_deadline(std::chrono::steady_clock::now() + kReplyWriteWindow);
    (void)write_response(pipe, ipc_response_err("IPC", served.error()));
  }
  pipe.close();
}

std::expected<void, std::string> serve(std::atomic<bool>& running, const ListenerLimits& limits,
                                       const std::function<void()>& on_listening) {
  const std::uint32_t own_user = platform::process_identity().uid;
  // The socket is in place before the flag is first looked at: a stop that comes now still
  // finds a listener to wake. A passing failure is tried again while the flag holds.
  auto server = platform::PipeServer::bind(kServicePipeName);
  while (!server) {
    if (auto refusal = refusal_text(server.error())) {
      logging::error(kServerLogTarget, "{}", *refusal);
      return std::unexpected(std::move(*refusal));
    }
    if (!running.load()) return {};
    std::this_thread::sleep_for(kBindRetryPause);
    server = platform::PipeServer::bind(kServicePipeName);
  }
  const ServedSocketRegistration registration(*server);
  logging::info(kServerLogTarget, "{} listening on {}", "Polvane Service", kServicePipeName);
  if (on_listening) on_listening();

  while (running.load()) {
    auto accepted = server->accept_within(kAcceptSlice);
    if (!accepted) {
      std::this_thread::sleep_for(kAcceptFailurePause);
      continue;
    }
    if (accepted->has_value()) take_connection(std::move(**accepted), limits, own_user);
  }

  // Clients that connected before the flag was seen (the stop's own ping among them) are still
  // answered; the socket goes away with `server`.
  for (;;) {
    auto queued = server->accept_within(std::chrono::milliseconds::zero());
    if (!queued || !queued->has_value()) break;
    take_connection(std::move(**queued), limits, own_user);
  }
  return {};
}

}  // namespace kavel_lib::ipc
