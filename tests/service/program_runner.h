// Runs the built PolvaneService for a test: its own environment (nothing of systemd's, no
// KAVEL_* of the test's), standard output and error into a file, in a process group of its
// own so that the test can end it with every copy and helper it started. Every wait has a
// time limit; the destructor kills what is still running.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/test_env.h"

extern char** environ;

namespace kavel_test {

// The test's environment without what would steer the program: systemd's variables, the
// KAVEL_* settings, XDG_DATA_HOME.
inline std::vector<std::string> neutral_environment() {
  std::vector<std::string> env;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    const std::string_view entry(*e);
    if (entry.starts_with("NOTIFY_SOCKET=") || entry.starts_with("INVOCATION_ID=") || entry.starts_with("KAVEL_") ||
        entry.starts_with("XDG_DATA_HOME=")) {
      continue;
    }
    env.emplace_back(entry);
  }
  return env;
}

class ProgramRun {
 public:
  ProgramRun(const std::vector<std::string>& command, const std::vector<std::string>& extra_env,
             const std::filesystem::path& output)
      : output_(output) {
    std::vector<std::string> env = neutral_environment();
    env.insert(env.end(), extra_env.begin(), extra_env.end());
    std::vector<char*> argv;
    for (const auto& a : command) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t empty;
    sigemptyset(&empty);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &empty);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    if (posix_spawnp(&pid_, argv[0], &actions, &attributes, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  ~ProgramRun() {
    if (pid_ > 0 && !status_) {
      ::kill(-pid_, SIGKILL);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    } else if (pid_ > 0) {
      ::kill(-pid_, SIGKILL);  // anything the program left behind in its group
    }
  }
  ProgramRun(const ProgramRun&) = delete;
  ProgramRun& operator=(const ProgramRun&) = delete;

  [[nodiscard]] bool started() const { return pid_ > 0; }
  [[nodiscard]] pid_t pid() const { return pid_; }
  void signal(int number) const {
    if (pid_ > 0 && !status_) ::kill(pid_, number);
  }

  // The wait status once the program has ended within `limit`; nothing otherwise.
  std::optional<int> wait(std::chrono::milliseconds limit) {
    if (status_ || pid_ <= 0) return status_;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      int status = 0;
      const pid_t done = ::waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        status_ = status;
        return status_;
      }
      if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  // Whether the program is still running after `limit`.
  bool still_running_after(std::chrono::milliseconds limit) { return !wait(limit).has_value(); }

  [[nodiscard]] std::string output() const { return read_file(output_); }
  // Waits until the output holds `text`; gives whether it did within `limit`.
  [[nodiscard]] bool wait_output(const std::string& text, std::chrono::milliseconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (output().find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }

 private:
  std::filesystem::path output_;
  pid_t pid_ = -1;
  std::optional<int> status_;
};

inline bool exited_with(const std::optional<int>& status, int code) {
  return status && WIFEXITED(*status) && WEXITSTATUS(*status) == code;
}
inline bool killed_by(const std::optional<int>& status, int number) {
  return status && WIFSIGNALED(*status) && WTERMSIG(*status) == number;
}

}  // namespace kavel_test
