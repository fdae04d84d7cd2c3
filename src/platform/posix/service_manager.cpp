// The service manager on Linux: systemd, reached through the `systemctl` program.
#include "platform/service_manager.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace kavel_lib::platform {

namespace {

// What one systemctl run gave: its exit status (nothing when it could not be run or was
// stopped) and its standard output.
struct RunResult {
  std::optional<int> exit_status;
  std::string output;
};

constexpr std::size_t kMaxOutput = 64 * 1024;
constexpr auto kRunTimeLimit = std::chrono::seconds(10);

void close_fd(int fd) {
  if (fd >= 0) ::close(fd);
}

// Runs systemctl with the arguments, standard input from /dev/null, standard error dropped,
// standard output collected (at most kMaxOutput bytes are kept). A run that outlasts the time
// limit is killed and counts as failed.
RunResult run_systemctl(const std::vector<std::string>& args) {
  RunResult result;
  int pipe_fds[2] = {-1, -1};
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return result;

  posix_spawn_file_actions_t actions;
  if (::posix_spawn_file_actions_init(&actions) != 0) {
    close_fd(pipe_fds[0]);
    close_fd(pipe_fds[1]);
    return result;
  }
  ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  ::posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
  ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);

  std::vector<std::string> argv_text;
  argv_text.reserve(args.size() + 1);
  argv_text.emplace_back("systemctl");
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  argv.reserve(argv_text.size() + 1);
  for (auto& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_t child = -1;
  const int spawn_rc = ::posix_spawnp(&child, "systemctl", &actions, nullptr, argv.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  close_fd(pipe_fds[1]);
  if (spawn_rc != 0 || child <= 0) {
    close_fd(pipe_fds[0]);
    return result;
  }

  const auto deadline = std::chrono::steady_clock::now() + kRunTimeLimit;
  bool timed_out = false;
  char buffer[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      timed_out = true;
      break;
    }
    pollfd pfd{pipe_fds[0], POLLIN, 0};
    const int ready = ::poll(&pfd, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      timed_out = ready == 0;
      break;
    }
    const ssize_t n = ::read(pipe_fds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    const std::size_t room = kMaxOutput - result.output.size();
    result.output.append(buffer, std::min(room, static_cast<std::size_t>(n)));
  }
  close_fd(pipe_fds[0]);
  if (timed_out) ::kill(child, SIGKILL);

  int status = 0;
  pid_t waited;
  do {
    waited = ::waitpid(child, &status, 0);
  } while (waited < 0 && errno == EINTR);
  if (waited == child && !timed_out && WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  return result;
}

// The value of "KEY=value" among the lines of systemctl show.
std::optional<std::string> show_property(const std::string& output, std::string_view key) {
  std::string_view rest = output;
  while (!rest.empty()) {
    const auto end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
    if (line.size() > key.size() && line.starts_with(key) && line[key.size()] == '=') {
      return std::string(line.substr(key.size() + 1));
    }
  }
  return std::nullopt;
}

// A unit name systemctl can only read as a unit name: no option, no path, no blank.
bool is_plain_unit_name(std::string_view name) {
  if (name.empty() || name.size() > 255 || name.front() == '-' || name.front() == '.') return false;
  for (char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                    c == '-' || c == '.' || c == '@' || c == ':';
    if (!ok) return false;
  }
  return true;
}

class SystemctlServiceManager final : public ServiceManagerApi {
 public:
  // Nothing to connect to ahead of time: each question runs systemctl, and a manager that
  // cannot be reached shows as a failed service open.
  std::expected<RawHandle, WinError> open_manager(std::uint32_t) override {
    std::lock_guard lock(mutex_);
    const RawHandle h = next_++;
    handles_.emplace(h, Entry{true, {}});
    return h;
  }

  std::expected<RawHandle, WinError> open_service(RawHandle manager, std::string_view name,
                                                  std::uint32_t) override {
    {
      std::lock_guard lock(mutex_);
      const auto it = handles_.find(manager);
      if (it == handles_.end() || !it->second.is_manager) return std::unexpected(WinError{win::ERROR_INVALID_HANDLE});
    }
    if (!is_plain_unit_name(name)) return std::unexpected(WinError{win::ERROR_INVALID_NAME});
    const RunResult run = run_systemctl({"show", "--property=LoadState", "--", std::string(name)});
    if (!run.exit_status || *run.exit_status != 0) {
      return std::unexpected(WinError{win::ERROR_FAILED_SERVICE_CONTROLLER_CONNECT});
    }
    const auto load_state = show_property(run.output, "LoadState");
    if (!load_state || *load_state == "not-found") return std::unexpected(WinError{win::ERROR_SERVICE_DOES_NOT_EXIST});

    std::lock_guard lock(mutex_);
    const RawHandle h = next_++;
    handles_.emplace(h, Entry{false, std::string(name)});
    return h;
  }

  std::expected<std::uint32_t, WinError> query_service_state(RawHandle service) override {
    const auto unit = unit_of(service);
    if (!unit) return std::unexpected(WinError{win::ERROR_INVALID_HANDLE});
    const RunResult run = run_systemctl({"show", "--property=ActiveState", "--", *unit});
    if (!run.exit_status || *run.exit_status != 0) {
      return std::unexpected(WinError{win::ERROR_FAILED_SERVICE_CONTROLLER_CONNECT});
    }
    const auto active = show_property(run.output, "ActiveState");
    if (!active) return std::unexpected(WinError{win::ERROR_FAILED_SERVICE_CONTROLLER_CONNECT});
    if (*active == "active") return SERVICE_RUNNING;
    if (*active == "activating") return SERVICE_START_PENDING;
    return SERVICE_STOPPED;
  }

  std::expected<void, WinError> start_service(RawHandle service) override {
    const auto unit = unit_of(service);
    if (!unit) return std::unexpected(WinError{win::ERROR_INVALID_HANDLE});
    const RunResult run = run_systemctl({"--no-block", "--no-ask-password", "start", *unit});
    if (!run.exit_status) return std::unexpected(WinError{win::ERROR_FAILED_SERVICE_CONTROLLER_CONNECT});
    // Refused: not allowed, masked, or a unit that cannot start.
    if (*run.exit_status != 0) return std::unexpected(WinError{win::ERROR_SERVICE_DISABLED});
    return {};
  }

  std::expected<void, WinError> close_handle(RawHandle handle) override {
    std::lock_guard lock(mutex_);
    if (handles_.erase(handle) == 0) return std::unexpected(WinError{win::ERROR_INVALID_HANDLE});
    return {};
  }

 private:
  struct Entry {
    bool is_manager = false;
    std::string unit;
  };

  std::optional<std::string> unit_of(RawHandle service) {
    std::lock_guard lock(mutex_);
    const auto it = handles_.find(service);
    if (it == handles_.end() || it->second.is_manager) return std::nullopt;
    return it->second.unit;
  }

  std::mutex mutex_;
  std::map<RawHandle, Entry> handles_;
  RawHandle next_ = 1;
};

SystemctlServiceManager& system_manager() {
  static SystemctlServiceManager manager;
  return manager;
}

std::atomic<ServiceManagerApi*> g_replacement{nullptr};

}  // namespace

ServiceManagerApi& service_manager() {
  if (ServiceManagerApi* r = g_replacement.load()) return *r;
  return system_manager();
}

ServiceManagerApi* replace_service_manager(ServiceManagerApi* replacement) {
  return g_replacement.exchange(replacement);
}

std::expected<ServiceHandle, WinError> open_sc_manager(std::uint32_t access) {
  ServiceManagerApi& api = service_manager();
  auto raw = api.open_manager(access);
  if (!raw) return std::unexpected(raw.error());
  return ServiceHandle(api, *raw);
}

std::expected<ServiceHandle, WinError> open_service(const ServiceHandle& manager, std::string_view name,
                                                    std::uint32_t access) {
  ServiceManagerApi* api = manager.api();
  if (api == nullptr) return std::unexpected(WinError{win::ERROR_INVALID_HANDLE});
  auto raw = api->open_service(manager.raw(), name, access);
  if (!raw) return std::unexpected(raw.error());
  return ServiceHandle(*api, *raw);
}

std::expected<std::uint32_t, WinError> query_service_state(const ServiceHandle& service) {
  if (service.api() == nullptr) return std::unexpected(WinError{win::ERROR_INVALID_HANDLE});
  return service.api()->query_service_state(service.raw());
}

std::expected<void, WinError> start_service(const ServiceHandle& service) {
  if (service.api() == nullptr) return std::unexpected(WinError{win::ERROR_INVALID_HANDLE});
  return service.api()->start_service(service.raw());
}

}  // namespace kavel_lib::platform
