#include "service/service_control.h"

#include <fmt/format.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "ipc/server.h"
#include "logging/logging.h"
#include "platform/console.h"
#include "platform/drive_pins.h"
#include "platform/elevation.h"
#include "platform/system_info.h"
#include "system/child_processes.h"
#include "system/partial_files.h"

namespace kavel_lib::service {

namespace {

// The running flag and status handle that the service main stores for the control handler and
// the status reports. Never destroyed: the handler may run while the process ends.
struct ServiceControlState {
  std::mutex mutex;
  std::optional<std::pair<std::shared_ptr<std::atomic<bool>>, platform::ServiceStatusHandle>> stored;
};

ServiceControlState& control_state() {
  static auto* state = new ServiceControlState;
  return *state;
}

// Writes a text to standard output at once, so that it keeps its place among the output of
// an elevated copy that shares the terminal.
void print(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

// Set when the service road's listener refused to serve; program_main then exits non-zero.
std::atomic<bool> g_service_refused{false};

constexpr auto kMaxStartDelay = std::chrono::milliseconds(60000);

// The test-only start-up delay, when the variable holds a decimal count of milliseconds.
std::optional<std::chrono::milliseconds> start_delay() {
  const char* value = std::getenv(kStartDelayVariable);
  if (value == nullptr || *value == '\0') return std::nullopt;
  const std::string_view text(value);
  std::uint32_t ms = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), ms);
  if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return std::min(std::chrono::milliseconds(ms), kMaxStartDelay);
}

}  // namespace

ProgramSwitches parse_switches(std::span<const std::string> arguments) {
  ProgramSwitches switches;
  for (const auto& argument : arguments) {
    if (argument == kConsoleSwitch) switches.console = true;
  }
  for (const auto& argument : arguments) {
    if (argument == kElevatedConsoleSwitch) switches.elevated_console = true;
  }
  return switches;
}

std::string fallback_line(std::string_view dispatcher_error) {
  return fmt::format("Not started as Windows Service ({}); running IPC server in console mode.\n", dispatcher_error);
}

std::string elevation_failed_line(std::string_view failure) {
  return fmt::format("UAC elevation failed: {}\n", failure);
}

std::string running_banner(bool elevated) {
  return fmt::format("Polvane Service is running (elevated={}). Keep this window open while using the app.\n",
                     elevated);
}

int program_main(std::span<const std::string> arguments) {
  // Every open connection holds a descriptor and the listener allows 1,024 of them besides the
  // log, the devices and the tool runs: the usual soft limit of 1,024 would run out first. A
  // refusal leaves the limit as it was; connections beyond it then wait in the listener's queue.
  (void)platform::raise_descriptor_limit();
  const ProgramSwitches switches = parse_switches(arguments);
  if (switches.elevated_console || switches.console) {
    (void)platform::alloc_console();
    set_console_title();
    return run_console_mode(switches.elevated_console);
  }

  const auto dispatched = platform::start_service_ctrl_dispatcher(kServiceName, service_main);
  if (dispatched) return g_service_refused.load() ? kExitListenerRefused : 0;

  (void)platform::alloc_console();
  set_console_title();
  print(fallback_line(dispatched.error().display()));
  return run_console_mode(false);
}

namespace {

// Each drive name leads, for the service's whole run, to the image or block device its path led
// to now; an open that finds something else there is refused and logged, naming the drive. A
// drive whose path another user may change is logged once now and at each refused open, naming
// the place at fault.
void pin_drives() {
  platform::pin_drive_table([](const platform::DriveRefusal& refusal) {
    if (refusal.untrusted_path.empty()) {
      logging::warn(kLogTarget,
                    "Drive {} no longer leads to the image or device it led to when the service started; open refused",
                    refusal.drive_name);
    } else {
      logging::warn(kLogTarget, "Drive {} {}; open refused", refusal.drive_name, refusal.untrusted_path);
    }
  });
}

// Tool runs still going end with the service: their process groups are ended and the files
// they were writing removed, so that neither outlives the stop.
void end_tool_runs() {
  system::end_tracked_children();
  system::remove_partial_files();
}

}  // namespace

int run_console_mode(bool already_elevated) {
  if (!process_is_elevated() && !already_elevated) {
    print("Polvane Service needs administrator for raw volume access.\n");
    print("Requesting elevation (UAC)\u2026\n");
    std::string failure;
    if (auto program = platform::executable_path(); !program) {
      failure = program.error().display();
    } else {
      const std::vector<std::string> parameters{std::string(kConsoleSwitch), std::string(kElevatedConsoleSwitch)};
      auto copy = platform::shell_execute_runas(*program, parameters);
      if (copy) {
        // The elevated copy serves the pipe on this terminal; this copy ends with it, and ends
        // non-zero too when the copy refused to serve.
        const auto ended = copy->wait();
        const bool refused = ended && *ended && **ended == static_cast<std::uint32_t>(kExitListenerRefused);
        return refused ? kExitListenerRefused : 0;
      }
      failure = fmt::format("ShellExecuteEx runas failed: {}", copy.error().display());
    }
    print(elevation_failed_line(failure));
  }

  // A console that ends (SIGTERM, Ctrl+C, a closed terminal) takes its socket file (when it is
  // still the one it bound) and the tool runs still going with it, as a stop of the service
  // does. Without the signal's thread the socket would stay behind.
  const auto end_console = [] {
    ipc::remove_served_socket();
    end_tool_runs();
  };
  if (auto watched = platform::end_console_after(end_console); !watched) {
    print(fmt::format("Polvane Service stopped: {}\n", watched.error().display()));
    return kExitListenerRefused;
  }
  logging::init_logging();
  pin_drives();
  const bool elevated = process_is_elevated();
  // Said only once the pipe is really served: a second copy, or one that may not serve there,
  // claims nothing.
  const auto announce = [elevated] {
    logging::info(kLogTarget, "PolvaneService IPC listening (console mode, elevated={})", elevated);
    print(running_banner(elevated));
    print(fmt::format("Pipe: {}\n", ipc::kServicePipeName));
  };

  auto running = std::make_shared<std::atomic<bool>>(true);
  if (const auto served = ipc::serve(*running, {}, announce); !served) {
    print(fmt::format("Polvane Service stopped: {}\n", served.error()));
    return kExitListenerRefused;
  }
  return 0;
}

void service_main(const std::vector<std::string>&) {
  auto running = std::make_shared<std::atomic<bool>>(true);

  auto handle = platform::register_service_ctrl_handler_ex(kServiceName, service_control_handler, nullptr);
  if (handle && (*handle == 0 || *handle == ~platform::ServiceStatusHandle{0})) {
    handle = std::unexpected(platform::WinError{platform::win::ERROR_INVALID_HANDLE});
  }
  if (!handle) {
    // Logging is not set up yet: this record reaches no file.
    logging::error(kLogTarget, "RegisterServiceCtrlHandlerExW failed: {}", handle.error().display());
    return;
  }

  store_service_control_state(running, *handle);
  report_service_status(platform::SERVICE_RUNNING, platform::SERVICE_ACCEPT_STOP);

  logging::init_logging();
  pin_drives();
  logging::info(kLogTarget, "PolvaneService SCM worker running");

  if (const auto delay = start_delay()) std::this_thread::sleep_for(*delay);

  // The listener has logged why it refused to serve; the console (systemd's journal) hears it
  // too, and the program ends non-zero.
  if (const auto served = ipc::serve(*running); !served) {
    print(fmt::format("Polvane Service stopped: {}\n", served.error()));
    g_service_refused.store(true);
  }
  end_tool_runs();

  report_service_status(platform::SERVICE_STOPPED, 0);
}

std::uint32_t service_control_handler(std::uint32_t control, std::uint32_t, void*, void*) {
  if (control == platform::SERVICE_CONTROL_INTERROGATE) return 0;
  if (control != platform::SERVICE_CONTROL_STOP) return kControlNotHandled;
  (void)stop_and_wake_listener();
  report_service_status(platform::SERVICE_STOPPED, 0);
  return 0;
}

std::expected<ipc::IpcReplyData, ipc::IpcClientError> stop_and_wake_listener() {
  {
    ServiceControlState& state = control_state();
    std::lock_guard lock(state.mutex);
    if (state.stored) state.stored->first->store(false);
  }
  // No lock is held during the call: the listener wakes, and the ping is answered by a
  // connection thread of its own.
  return ipc::ipc_call_default(ipc::IpcRequest{ipc::IpcRequest::Ping{}});
}

platform::ServiceStatus service_status_record(std::uint32_t state, std::uint32_t controls_accepted) {
  platform::ServiceStatus status;
  status.service_type = platform::SERVICE_WIN32_OWN_PROCESS;
  status.current_state = state;
  status.controls_accepted = controls_accepted;
  status.wait_hint = state == platform::SERVICE_STOPPED ? 0 : kRunningWaitHint;
  return status;
}

void report_service_status(std::uint32_t state, std::uint32_t controls_accepted) {
  ServiceControlState& control = control_state();
  std::lock_guard lock(control.mutex);
  if (!control.stored || control.stored->second == 0) return;
  (void)platform::set_service_status(control.stored->second, service_status_record(state, controls_accepted));
}

void store_service_control_state(std::shared_ptr<std::atomic<bool>> running, platform::ServiceStatusHandle handle) {
  ServiceControlState& control = control_state();
  std::lock_guard lock(control.mutex);
  control.stored.emplace(std::move(running), handle);
}

void clear_service_control_state() {
  ServiceControlState& control = control_state();
  std::lock_guard lock(control.mutex);
  control.stored.reset();
}

void set_console_title() { (void)platform::set_console_title(kServiceDisplayName); }

bool process_is_elevated() { return platform::is_elevated(); }

}  // namespace kavel_lib::service
