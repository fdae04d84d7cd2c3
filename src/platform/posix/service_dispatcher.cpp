// The server half of the service manager on Linux: systemd's side of a Type=notify service.
// Status reports go out as sd_notify datagrams; the stop control is SIGTERM, taken with
// sigwait on the dispatcher's thread (see service_manager.h).
#include <pthread.h>
#include <signal.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "platform/posix/sd_notify.h"
#include "platform/service_manager.h"

namespace kavel_lib::platform {

namespace {

// ERROR_SERVICE_NOT_IN_EXE: the name is not the service this process runs.
constexpr std::uint32_t kErrorServiceNotInExe = 1083;

// Sent by the service's thread to the dispatcher's thread when the service main returns, so
// that its sigwait ends.
constexpr int kWakeSignal = SIGUSR1;

struct Dispatcher {
  std::mutex mutex;
  std::condition_variable changed;
  bool active = false;
  std::string service_name;
  ServiceStatusHandle handle = 0;  // of the current registration; 0: none
  ServiceControlHandler handler = nullptr;
  void* context = nullptr;
  bool running_reported = false;
  bool service_ended = false;
  ServiceStatusHandle last_handle = 0;
};

// Never destroyed: threads of the service may still report while the process ends.
Dispatcher& dispatcher() {
  static auto* d = new Dispatcher;
  return *d;
}

bool env_set(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

// systemd sets NOTIFY_SOCKET for Type=notify units and INVOCATION_ID for every unit it runs.
bool started_by_service_manager() { return env_set("NOTIFY_SOCKET") || env_set("INVOCATION_ID"); }

std::string_view notify_message(std::uint32_t state) {
  switch (state) {
    case SERVICE_RUNNING:
      return "READY=1";
    case SERVICE_STOP_PENDING:
    case SERVICE_STOPPED:
      return "STOPPING=1";
    default:
      return {};
  }
}

sigset_t control_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, kWakeSignal);
  return set;
}

}  // namespace

std::expected<void, WinError> start_service_ctrl_dispatcher(std::string_view service_name,
                                                            ServiceMainFunction service_main) {
  if (service_name.empty()) return std::unexpected(WinError{win::ERROR_INVALID_NAME});
  if (service_main == nullptr) return std::unexpected(WinError{win::ERROR_INVALID_PARAMETER});
  if (!started_by_service_manager()) return std::unexpected(WinError{win::ERROR_FAILED_SERVICE_CONTROLLER_CONNECT});

  Dispatcher& d = dispatcher();
  {
    std::lock_guard lock(d.mutex);
    if (d.active) return std::unexpected(WinError{win::ERROR_SERVICE_ALREADY_RUNNING});
    d.active = true;
    d.service_name = std::string(service_name);
    d.handle = 0;
    d.handler = nullptr;
    d.context = nullptr;
    d.running_reported = false;
    d.service_ended = false;
  }

  // Before the service's thread exists, so that it and every thread it starts inherit the block.
  const sigset_t signals = control_signals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  const pthread_t dispatcher_thread = ::pthread_self();
  std::thread service;
  try {
    service = std::thread([&d, dispatcher_thread, name = std::string(service_name), service_main] {
      service_main(std::vector<std::string>{name});
      {
        std::lock_guard lock(d.mutex);
        d.service_ended = true;
      }
      d.changed.notify_all();
      ::pthread_kill(dispatcher_thread, kWakeSignal);
    });
  } catch (const std::system_error&) {
    std::lock_guard lock(d.mutex);
    d.active = false;
    return std::unexpected(WinError{win::ERROR_SERVICE_NO_THREAD});
  }

  // A stop is taken only once the service has stored what its handler needs and reported
  // running; a SIGTERM that came earlier waits, blocked, until then.
  {
    std::unique_lock lock(d.mutex);
    d.changed.wait(lock, [&d] { return d.running_reported || d.service_ended; });
  }
  for (;;) {
    {
      std::lock_guard lock(d.mutex);
      if (d.service_ended) break;
    }
    int taken = 0;
    if (::sigwait(&signals, &taken) != 0 || taken != SIGTERM) continue;
    ServiceControlHandler handler = nullptr;
    void* context = nullptr;
    {
      std::lock_guard lock(d.mutex);
      handler = d.handler;
      context = d.context;
    }
    if (handler != nullptr) (void)handler(SERVICE_CONTROL_STOP, 0, nullptr, context);
  }
  service.join();

  std::lock_guard lock(d.mutex);
  d.active = false;
  d.handle = 0;
  d.handler = nullptr;
  d.context = nullptr;
  return {};
}

std::expected<ServiceStatusHandle, WinError> register_service_ctrl_handler_ex(std::string_view service_name,
                                                                              ServiceControlHandler handler,
                                                                              void* context) {
  if (handler == nullptr) return std::unexpected(WinError{win::ERROR_INVALID_PARAMETER});
  Dispatcher& d = dispatcher();
  std::lock_guard lock(d.mutex);
  if (!d.active || service_name != d.service_name) return std::unexpected(WinError{kErrorServiceNotInExe});
  d.handler = handler;
  d.context = context;
  // A fresh value for every registration, so a handle of an earlier run is refused.
  d.handle = ++d.last_handle;
  return d.handle;
}

std::expected<void, WinError> set_service_status(ServiceStatusHandle handle, const ServiceStatus& status) {
  Dispatcher& d = dispatcher();
  {
    std::lock_guard lock(d.mutex);
    if (handle == 0 || !d.active || handle != d.handle) return std::unexpected(WinError{win::ERROR_INVALID_HANDLE});
  }
  std::expected<void, WinError> result;
  if (const auto message = notify_message(status.current_state); !message.empty()) {
    const auto sent = posix::notify_service_manager(message);
    if (!sent) result = std::unexpected(WinError{sent.error().code().value_or(win::ERROR_GEN_FAILURE)});
  }
  if (status.current_state == SERVICE_RUNNING) {
    // Marked after the report went out, so the manager hears READY before any STOPPING.
    {
      std::lock_guard lock(d.mutex);
      d.running_reported = true;
    }
    d.changed.notify_all();
  }
  return result;
}

}  // namespace kavel_lib::platform
