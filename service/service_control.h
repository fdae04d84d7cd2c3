// The service program PolvaneService: its command line, the service road under the service
// manager (service main, control handler, status reports) and the console road with its
// request for elevation. main.cpp only hands the arguments to program_main.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <atomic>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ipc/client.h"
#include "platform/service_manager.h"

namespace kavel_lib::service {

// The service's name (dispatcher table, control handler, log target) and display text (console
// title, printed texts).
inline constexpr std::string_view kServiceName = "PolvaneService";
inline constexpr std::string_view kServiceDisplayName = "Polvane Service";
inline constexpr std::string_view kLogTarget = "PolvaneService";

// The switches and what the elevated copy is started with.
inline constexpr std::string_view kConsoleSwitch = "--console";
inline constexpr std::string_view kElevatedConsoleSwitch = "--elevated-console";

// Test-only: milliseconds the service road waits between its start-up and the listener, so
// that a test can send its stop before the listener's socket exists. Unset in real use.
inline constexpr const char* kStartDelayVariable = "KAVEL_TEST_START_DELAY_MS";

// Result of a control the handler does not act on.
inline constexpr std::uint32_t kControlNotHandled = 1281;
// Wait hint of a running report.
inline constexpr std::uint32_t kRunningWaitHint = 5000;

struct ProgramSwitches {
  bool console = false;           // "--console" anywhere among the arguments
  bool elevated_console = false;  // "--elevated-console" anywhere among the arguments
};

// Each switch counts only as a whole argument, compared exactly; the first argument (the
// program's path) is looked at too.
ProgramSwitches parse_switches(std::span<const std::string> arguments);

// The exit code of a program whose listener refused to serve: a live service already serves
// the pipe, something that is not a socket holds its name, or the pipe folder is not safe.
inline constexpr int kExitListenerRefused = 1;

// The program: chooses the road and returns the exit code: 0, or kExitListenerRefused.
int program_main(std::span<const std::string> arguments);

// The console road. Returns when the listener returns or after the elevated copy it started
// has ended; gives the exit code. The banner is printed only once the listener listens.
int run_console_mode(bool already_elevated);

// The service main handed to the dispatcher; runs the listener on its thread. A listener that
// refuses to serve is reported on the console and makes program_main give kExitListenerRefused.
void service_main(const std::vector<std::string>& arguments);

// The control handler: interrogate gives 0, stop stops the service and gives 0, anything
// else gives kControlNotHandled.
std::uint32_t service_control_handler(std::uint32_t control, std::uint32_t event_type, void* event_data,
                                      void* context);

// Sends one status record if a status handle is stored; failures are ignored.
void report_service_status(std::uint32_t state, std::uint32_t controls_accepted);

// The status record for a state and its accepted controls.
platform::ServiceStatus service_status_record(std::uint32_t state, std::uint32_t controls_accepted);

// The process-wide service control state: stores (running flag, status handle), replacing and
// releasing what was stored before; clear empties it.
void store_service_control_state(std::shared_ptr<std::atomic<bool>> running, platform::ServiceStatusHandle handle);
void clear_service_control_state();

// The stop's work: clears the stored running flag and wakes the listener with a ping to its
// own pipe (3-second connection wait). Gives the ping's outcome; the handler drops it.
std::expected<ipc::IpcReplyData, ipc::IpcClientError> stop_and_wake_listener();

// Sets the console title to the display text; a failure is ignored.
void set_console_title();

// Whether the process runs elevated.
bool process_is_elevated();

// The texts printed on the console road.
std::string fallback_line(std::string_view dispatcher_error);
std::string elevation_failed_line(std::string_view failure);
std::string running_banner(bool elevated);

}  // namespace kavel_lib::service
