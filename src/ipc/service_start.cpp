#include "ipc/service_start.h"

#include <atomic>
#include <mutex>
#include <thread>

#include "ipc/ui_clients.h"
#include "platform/service_manager.h"

namespace kavel_lib::ipc {

namespace {

std::atomic<bool> g_application_exiting{false};

std::mutex g_cache_mutex;
CachedServiceStatus g_cached_status;

ServiceEnsureResult not_running() { return {std::string(kMessageNotRunning), false, false, false}; }

ServiceEnsureResult answered(const ServiceStatusData& status, std::string_view message, bool start_requested) {
  register_ui_client();
  return {std::string(message), true, status.elevated, start_requested};
}

// What the service manager decided: wait without having started (running or start pending),
// wait after a start, or give up.
enum class ManagerOutcome { WaitRunning, WaitStarted, Failed };

ManagerOutcome ask_service_manager() {
  auto manager = platform::open_sc_manager(platform::SC_MANAGER_CONNECT);
  if (!manager) return ManagerOutcome::Failed;
  auto service =
      platform::open_service(*manager, kServiceName, platform::SERVICE_QUERY_STATUS | platform::SERVICE_START);
  if (!service) return ManagerOutcome::Failed;  // the manager handle closes with `manager`

  ManagerOutcome outcome;
  const auto state = platform::query_service_state(*service);
  if (state && (*state == platform::SERVICE_RUNNING || *state == platform::SERVICE_START_PENDING)) {
    outcome = ManagerOutcome::WaitRunning;
  } else {
    outcome = platform::start_service(*service) ? ManagerOutcome::WaitStarted : ManagerOutcome::Failed;
  }
  // Both handles are closed before any waiting: the service's first, then the manager's.
  service->close();
  manager->close();
  return outcome;
}

}  // namespace

std::expected<ServiceStatusData, IpcClientError> query_service_status(std::chrono::nanoseconds wait) {
  auto reply = ipc_call(IpcRequest::Status{}, wait);
  if (!reply) return std::unexpected(reply.error());
  auto status = service_status_from_value(reply->data);
  if (!status) return std::unexpected(IpcClientError::protocol(status.error().display()));
  return std::move(*status);
}

ServiceEnsureResult ensure_service_running() {
  if (application_exiting()) return {std::string(kMessageExiting), false, false, false};

  clear_cached_service_status();
  if (auto status = query_service_status(kStatusProbeWait)) return answered(*status, kMessageRunning, false);

  switch (ask_service_manager()) {
    case ManagerOutcome::WaitRunning: return wait_for_service_ready(false);
    case ManagerOutcome::WaitStarted: return wait_for_service_ready(true);
    case ManagerOutcome::Failed: break;
  }
  return not_running();
}

ServiceEnsureResult wait_for_service_ready(bool start_requested) {
  for (int poll = 0; poll < kReadinessPolls && !application_exiting(); ++poll) {
    std::this_thread::sleep_for(kReadinessPollPause);
    clear_cached_service_status();
    if (auto status = query_service_status(kStatusProbeWait)) {
      return answered(*status, start_requested ? kMessageStarted : kMessageRunning, start_requested);
    }
  }
  if (start_requested) return {std::string(kMessageNotReady), false, false, true};
  return not_running();
}

void clear_cached_service_status() {
  std::lock_guard lock(g_cache_mutex);
  g_cached_status.reset();
}

CachedServiceStatus cached_service_status() {
  std::lock_guard lock(g_cache_mutex);
  return g_cached_status;
}

void set_cached_service_status(std::expected<ServiceStatusData, IpcClientError> status) {
  std::lock_guard lock(g_cache_mutex);
  g_cached_status = std::move(status);
}

bool application_exiting() { return g_application_exiting.load(); }

void set_application_exiting(bool exiting) { g_application_exiting.store(exiting); }

}  // namespace kavel_lib::ipc
