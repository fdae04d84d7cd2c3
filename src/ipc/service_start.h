// Making sure the privileged service runs: ask it for its status over the pipe; when nothing
// answers, ask the service manager to start it and poll with status requests until it answers
// or the polls run out. Every outcome is one ServiceEnsureResult whose message is ready to be
// shown to a user; when the service answers, the process registers in the client registry
// file (once per process).
//
// Process-wide state, one each per process: the application-exiting flag (while set, no status
// request is sent and no start attempted) and the cached service status (a mutex-guarded last
// outcome of a status request, emptied before every probe here and after a device open through
// the service).
#pragma once

#include <chrono>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "ipc/client.h"
#include "ipc/messages.h"

namespace kavel_lib::ipc {

// The service's name in the service manager.
inline constexpr std::string_view kServiceName = "PolvaneService";

// The connection time limit of one status probe, the number of readiness polls and the pause
// before each.
inline constexpr std::chrono::milliseconds kStatusProbeWait{150};
inline constexpr int kReadinessPolls = 15;
inline constexpr std::chrono::milliseconds kReadinessPollPause{200};

inline constexpr std::string_view kMessageExiting = "Application is exiting";
inline constexpr std::string_view kMessageRunning = "Polvane Service is running";
inline constexpr std::string_view kMessageStarted = "Polvane Service was started";
inline constexpr std::string_view kMessageNotRunning =
    "Polvane Service is not running. Reinstall the app, or start it from Windows Services.";
inline constexpr std::string_view kMessageNotReady = "Service start was requested but is not ready yet";

struct ServiceEnsureResult {
  std::string message;
  bool running = false;          // the service answered a status request
  bool elevated = false;         // that answer's `elevated`; false when not running
  bool start_requested = false;  // this call (or wait_for_service_ready's caller) asked for the start
  friend bool operator==(const ServiceEnsureResult&, const ServiceEnsureResult&) = default;
};

// Asks for the status; when nothing answers, opens the service in the service manager and
// either waits for it (running or start pending) or starts it and waits. Blocks; never fails
// other than through its result.
ServiceEnsureResult ensure_service_running();

// Up to kReadinessPolls status probes, kReadinessPollPause apart (the pause comes first),
// while the application-exiting flag is clear.
ServiceEnsureResult wait_for_service_ready(bool start_requested);

// One `status` request with the connection time limit `wait`; the answer's data decoded as the
// status record (a decoding failure is Protocol with the JSON error text). Any record that
// decodes counts as a running service, whatever its versions.
std::expected<ServiceStatusData, IpcClientError> query_service_status(std::chrono::nanoseconds wait);

// Empties the cached service status.
void clear_cached_service_status();

// The cached service status, and a way for an embedding application to fill it; this library
// itself only ever empties it.
using CachedServiceStatus = std::optional<std::expected<ServiceStatusData, IpcClientError>>;
CachedServiceStatus cached_service_status();
void set_cached_service_status(std::expected<ServiceStatusData, IpcClientError> status);

// The application-exiting flag. Nothing in this library sets it; an embedding application
// sets it when it closes so that pending start attempts stop.
bool application_exiting();
void set_application_exiting(bool exiting);

}  // namespace kavel_lib::ipc
