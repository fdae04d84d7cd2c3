// The service manager, both halves.
//
// The client half: open the manager and a service, ask for the service's state, ask for its
// start. Handles are owned by ServiceHandle, which closes them.
//
// The calls follow the Windows service control manager (OpenSCManagerW, OpenServiceW,
// QueryServiceStatus, StartServiceW, CloseServiceHandle) and fail with its error codes. The
// system's manager is behind an interface so that tests can put a fake in its place.
//
// On Linux the service is the systemd unit of the same name, asked about and started through
// `systemctl`: a unit whose LoadState is "not-found" cannot be opened (1060); ActiveState
// "active" is running, "activating" start pending, anything else stopped. The start is
// `systemctl --no-block --no-ask-password start NAME`, which returns once the start is queued,
// as StartServiceW does, and never prompts for a password.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/errors.h"

namespace kavel_lib::platform {

// Access rights, with their Windows values.
inline constexpr std::uint32_t SC_MANAGER_CONNECT = 0x0001;
inline constexpr std::uint32_t SERVICE_QUERY_STATUS = 0x0004;
inline constexpr std::uint32_t SERVICE_START = 0x0010;

// Current states of a service, with their Windows values.
inline constexpr std::uint32_t SERVICE_STOPPED = 1;
inline constexpr std::uint32_t SERVICE_START_PENDING = 2;
inline constexpr std::uint32_t SERVICE_STOP_PENDING = 3;
inline constexpr std::uint32_t SERVICE_RUNNING = 4;

// The manager's calls. A handle value is meaningful only to the object that gave it out.
class ServiceManagerApi {
 public:
  using RawHandle = std::uint64_t;

  virtual ~ServiceManagerApi() = default;

  // The manager of the local machine, its default database.
  virtual std::expected<RawHandle, WinError> open_manager(std::uint32_t access) = 0;
  virtual std::expected<RawHandle, WinError> open_service(RawHandle manager, std::string_view name,
                                                          std::uint32_t access) = 0;
  // The service's current state (SERVICE_RUNNING, ...).
  virtual std::expected<std::uint32_t, WinError> query_service_state(RawHandle service) = 0;
  // Asks for the start without arguments; returns once the start has been accepted.
  virtual std::expected<void, WinError> start_service(RawHandle service) = 0;
  virtual std::expected<void, WinError> close_handle(RawHandle handle) = 0;
};

// The manager in use: the system's, unless a replacement has been put in its place.
ServiceManagerApi& service_manager();

// Puts a replacement in place of the system's manager for the whole process (nullptr restores
// the system's); returns the replacement it displaced. The replacement must outlive its use.
ServiceManagerApi* replace_service_manager(ServiceManagerApi* replacement);

// One open manager or service handle with its owner; closed (errors discarded) when released.
class ServiceHandle {
 public:
  ServiceHandle() = default;
  ServiceHandle(ServiceManagerApi& api, ServiceManagerApi::RawHandle raw) : api_(&api), raw_(raw) {}
  ServiceHandle(ServiceHandle&& other) noexcept
      : api_(std::exchange(other.api_, nullptr)), raw_(other.raw_) {}
  ServiceHandle& operator=(ServiceHandle&& other) noexcept {
    if (this != &other) {
      close();
      api_ = std::exchange(other.api_, nullptr);
      raw_ = other.raw_;
    }
    return *this;
  }
  ServiceHandle(const ServiceHandle&) = delete;
  ServiceHandle& operator=(const ServiceHandle&) = delete;
  ~ServiceHandle() { close(); }

  [[nodiscard]] bool is_open() const { return api_ != nullptr; }
  [[nodiscard]] ServiceManagerApi::RawHandle raw() const { return raw_; }
  // The manager that gave the handle out (nullptr when closed).
  [[nodiscard]] ServiceManagerApi* api() const { return api_; }

  // Closes now; a failed close is ignored.
  void close() {
    if (api_ != nullptr) (void)std::exchange(api_, nullptr)->close_handle(raw_);
  }

 private:
  ServiceManagerApi* api_ = nullptr;
  ServiceManagerApi::RawHandle raw_ = 0;
};

// The calls on the manager in use, with owned handles.
std::expected<ServiceHandle, WinError> open_sc_manager(std::uint32_t access);
std::expected<ServiceHandle, WinError> open_service(const ServiceHandle& manager, std::string_view name,
                                                    std::uint32_t access);
std::expected<std::uint32_t, WinError> query_service_state(const ServiceHandle& service);
std::expected<void, WinError> start_service(const ServiceHandle& service);

// ---- The server half: the service process's side of the manager -----------------------------
//
// The calls follow StartServiceCtrlDispatcherW, RegisterServiceCtrlHandlerExW and
// SetServiceStatus. On Linux the manager is systemd:
//
// - The dispatcher can start only when systemd started the process (NOTIFY_SOCKET or
//   INVOCATION_ID set); otherwise it fails at once with 1063, as it does on Windows for a
//   program started from a shell.
// - The dispatcher blocks SIGTERM (and its own wake-up signal) in the calling thread before it
//   starts the service's thread, so every thread started afterwards inherits the block and no
//   thread ends the process by the default action. The caller must call it before it starts
//   any thread of its own. SIGTERM is the stop control: the calling thread takes it with
//   sigwait and runs the registered handler with SERVICE_CONTROL_STOP, never inside a signal
//   handler. It starts waiting only once the service main has reported SERVICE_RUNNING (or has
//   returned), so a SIGTERM that came earlier stays pending and is taken then, not lost.
// - A status report is an sd_notify datagram to NOTIFY_SOCKET (a path, or an abstract name
//   written with a leading '@'): SERVICE_RUNNING sends "READY=1", SERVICE_STOP_PENDING and
//   SERVICE_STOPPED send "STOPPING=1"; other states send nothing. Without NOTIFY_SOCKET (a
//   unit that is not Type=notify) a report sends nothing and succeeds.

// Service types, accepted controls, controls and their Windows values.
inline constexpr std::uint32_t SERVICE_WIN32_OWN_PROCESS = 0x10;
inline constexpr std::uint32_t SERVICE_ACCEPT_STOP = 0x1;
inline constexpr std::uint32_t SERVICE_CONTROL_STOP = 1;
inline constexpr std::uint32_t SERVICE_CONTROL_PAUSE = 2;
inline constexpr std::uint32_t SERVICE_CONTROL_INTERROGATE = 4;

// The status record of SetServiceStatus.
struct ServiceStatus {
  std::uint32_t service_type = 0;
  std::uint32_t current_state = 0;
  std::uint32_t controls_accepted = 0;
  std::uint32_t win32_exit_code = 0;
  std::uint32_t service_specific_exit_code = 0;
  std::uint32_t check_point = 0;
  std::uint32_t wait_hint = 0;
  friend bool operator==(const ServiceStatus&, const ServiceStatus&) = default;
};

// The handle a registration gives; 0 is never a valid one.
using ServiceStatusHandle = std::uint64_t;

// The service's main function: its arguments are the service's name alone (no start
// parameters are passed on Linux).
using ServiceMainFunction = void (*)(const std::vector<std::string>& arguments);

// The extended control handler: control code, event type, event data, context; gives the
// control's result code.
using ServiceControlHandler = std::uint32_t (*)(std::uint32_t control, std::uint32_t event_type, void* event_data,
                                                void* context);

// Runs the one service of this process: starts `service_main` on a thread of its own, takes
// the stop control on the calling thread as described above, and returns success once the
// service main has returned. Errors: 1063 (not started by the manager), 1056 (a dispatcher is
// already running in this process), 1054 (the service's thread could not be started), 123
// (an empty name).
std::expected<void, WinError> start_service_ctrl_dispatcher(std::string_view service_name,
                                                            ServiceMainFunction service_main);

// Registers the control handler of the running service; only the service that the dispatcher
// runs may register (else 1083). The handler runs on the dispatcher's thread.
std::expected<ServiceStatusHandle, WinError> register_service_ctrl_handler_ex(std::string_view service_name,
                                                                              ServiceControlHandler handler,
                                                                              void* context);

// Reports the service's status through the handle of the registration (else 6).
std::expected<void, WinError> set_service_status(ServiceStatusHandle handle, const ServiceStatus& status);

}  // namespace kavel_lib::platform
