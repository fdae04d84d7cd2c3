#include "platform/elevation.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

extern char** environ;

namespace kavel_lib::platform {

namespace {

// `env` at a fixed place: sudo's secure PATH may not hold the one the user has.
constexpr const char* kEnvProgram = "/usr/bin/env";

std::string elevation_helper() {
  const char* value = std::getenv(kElevateHelperVariable);
  if (value != nullptr && *value != '\0') return value;
  return "sudo";
}

// Starts the command (its first element looked up in PATH) on the caller's terminal, with the
// caller's environment, an empty signal mask and the default handling of the signals a
// service blocks or ignores.
std::expected<pid_t, WinError> start_on_terminal(const std::vector<std::string>& command) {
  std::vector<char*> argv;
  argv.reserve(command.size() + 1);
  for (const auto& a : command) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  posix_spawnattr_t attributes;
  if (const int rc = ::posix_spawnattr_init(&attributes); rc != 0) {
    return std::unexpected(WinError{windows_code_from_errno(rc)});
  }
  sigset_t empty;
  sigemptyset(&empty);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGINT);
  ::posix_spawnattr_setsigmask(&attributes, &empty);
  ::posix_spawnattr_setsigdefault(&attributes, &defaults);
  ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  pid_t child = -1;
  const int rc = ::posix_spawnp(&child, argv[0], nullptr, &attributes, argv.data(), environ);
  ::posix_spawnattr_destroy(&attributes);
  if (rc != 0) return std::unexpected(WinError{windows_code_from_errno(rc)});
  return child;
}

// Waits for a child; its exit code, or nothing when a signal ended it.
std::expected<std::optional<std::uint32_t>, OsError> wait_child(pid_t child) {
  int status = 0;
  pid_t waited;
  do {
    waited = ::waitpid(child, &status, 0);
  } while (waited < 0 && errno == EINTR);
  if (waited < 0) return std::unexpected(OsError::last());
  if (WIFEXITED(status)) return std::optional<std::uint32_t>(static_cast<std::uint32_t>(WEXITSTATUS(status)));
  return std::optional<std::uint32_t>();
}

}  // namespace

ElevatedProcess::ElevatedProcess(ElevatedProcess&& other) noexcept : pid_(std::exchange(other.pid_, -1)) {}

ElevatedProcess& ElevatedProcess::operator=(ElevatedProcess&& other) noexcept {
  pid_ = std::exchange(other.pid_, -1);
  return *this;
}

std::expected<std::optional<std::uint32_t>, OsError> ElevatedProcess::wait() {
  if (pid_ <= 0) return std::unexpected(OsError::from_code(win::ERROR_INVALID_HANDLE));
  auto result = wait_child(pid_);
  if (result) pid_ = -1;
  return result;
}

std::vector<std::string> elevation_prompt_command(const std::string& helper) { return {helper, "-v"}; }

std::vector<std::string> elevated_copy_command(const std::string& helper, const std::filesystem::path& program,
                                               const std::vector<std::string>& parameters,
                                               const std::vector<std::string>& kavel_environment) {
  std::vector<std::string> command{helper, kEnvProgram};
  command.insert(command.end(), kavel_environment.begin(), kavel_environment.end());
  command.push_back(program.string());
  command.insert(command.end(), parameters.begin(), parameters.end());
  return command;
}

std::vector<std::string> kavel_environment() {
  std::vector<std::string> entries;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const auto equals = text.find('=');
    // A name of its own after the prefix, so `env` reads the entry as an assignment.
    if (text.starts_with("KAVEL_") && equals != std::string_view::npos && equals > 6) entries.emplace_back(text);
  }
  return entries;
}

std::expected<ElevatedProcess, WinError> shell_execute_runas(const std::filesystem::path& program,
                                                             const std::vector<std::string>& parameters) {
  const std::string helper = elevation_helper();

  const auto prompt = start_on_terminal(elevation_prompt_command(helper));
  if (!prompt) return std::unexpected(prompt.error());
  const auto answered = wait_child(*prompt);
  if (!answered) return std::unexpected(WinError{answered.error().code().value_or(win::ERROR_GEN_FAILURE)});
  if (!answered->has_value() || **answered != 0) return std::unexpected(WinError{win::ERROR_CANCELLED});

  const auto copy = start_on_terminal(elevated_copy_command(helper, program, parameters, kavel_environment()));
  if (!copy) return std::unexpected(copy.error());
  return ElevatedProcess(*copy);
}

}  // namespace kavel_lib::platform
