// The client half of the service manager: open the manager and a service, ask for the
// service's state, ask for its start. Handles are owned by ServiceHandle, which closes them.
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
#include <string_view>
#include <utility>

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

}  // namespace kavel_lib::platform
