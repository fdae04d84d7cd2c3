// Runs a test of this test program in a fresh process. Process-wide state (the
// once-per-process client registration) must start fresh for some tests, and a forked copy
// would inherit it; a fresh process may also run as another user (a command prefix such as
// setpriv). The child tests are disabled ones that run only when KAVEL_TEST_CHILD_ROLE is set;
// they take what they need from the environment their parent set.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/test_env.h"

namespace kavel_test {

inline bool in_child_role() { return std::getenv("KAVEL_TEST_CHILD_ROLE") != nullptr; }

// Runs the test `name` ("Suite.DISABLED_Name") in a fresh copy of this program, behind the
// command `prefix`. True when exactly that test ran and passed; `output` gets what it printed.
inline bool run_child_test(const std::string& name, std::string& output, const std::string& prefix = "") {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) {
    output = "cannot find the test program";
    return false;
  }
  const auto result = run_command("KAVEL_TEST_CHILD_ROLE=1 " + prefix + " " + shell_quote(exe.string()) +
                                  " --gtest_also_run_disabled_tests --gtest_filter=" + shell_quote(name) + " 2>&1");
  output = result.output;
  return result.status == 0 && output.find("[  PASSED  ] 1 test.") != std::string::npos;
}

// How to start a child test as another user with start_child_test_as.
struct ChildTestLaunch {
  std::string test;  // "Suite.DISABLED_Name"
  // Variables added to (or replacing those of) this process's environment; the child role is
  // always set.
  std::vector<std::pair<std::string, std::string>> env;
  // Descriptors of this process and the number each gets in the child. The numbers must be
  // below kChildDescriptorCeiling; nothing else of this process's reaches the child unless it
  // lacks close-on-exec.
  std::vector<std::pair<int, int>> descriptors;
  uid_t uid = static_cast<uid_t>(kUnprivilegedUid);
  gid_t gid = static_cast<gid_t>(kUnprivilegedGid);
  std::optional<mode_t> umask;
};

inline constexpr int kChildDescriptorCeiling = 10;
// The child's own bound: it ends by SIGALRM after this long, whatever it waits for, so that it
// never outlives a parent that gave up on it (an alarm is kept across exec).
inline constexpr unsigned kChildTimeLimitSeconds = 240;

// Forks and runs the test `launch.test` of this program in the child, as `launch.uid` with the
// group `launch.gid` and no supplementary groups; its standard output goes to /dev/null. The
// child's pid, or -1 when the fork failed. A child that cannot take the user's identity exits
// with 100, one that cannot set up its descriptors with 103, one that cannot exec with 127.
//
// This process has threads (the listener and its connections), and one of them may hold a lock
// of the allocator, of the sanitizers' runtime or of the C library at the moment of the fork:
// the child would wait on it forever. So everything that allocates is done before the fork, and
// the child calls only async-signal-safe functions until the exec gives it a fresh process.
inline pid_t start_child_test_as(const ChildTestLaunch& launch) {
  std::error_code ec;
  const std::string exe = std::filesystem::read_symlink("/proc/self/exe", ec).string();
  if (ec) return -1;

  std::vector<std::string> args{exe, "--gtest_also_run_disabled_tests", "--gtest_filter=" + launch.test};
  std::vector<std::string> vars{"KAVEL_TEST_CHILD_ROLE=1"};
  for (const auto& [name, value] : launch.env) vars.push_back(name + "=" + value);
  const auto replaced = [&](std::string_view entry) {
    if (entry.starts_with("KAVEL_TEST_CHILD_ROLE=")) return true;
    for (const auto& [name, value] : launch.env) {
      if (entry.size() > name.size() && entry.starts_with(name) && entry[name.size()] == '=') return true;
    }
    return false;
  };
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (!replaced(*entry)) vars.emplace_back(*entry);
  }
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& var : vars) envp.push_back(var.data());
  envp.push_back(nullptr);
  const auto& descriptors = launch.descriptors;
  char dev_null[] = "/dev/null";

  const pid_t child = ::fork();
  if (child != 0) return child;

  // From here on: async-signal-safe calls only, on data made before the fork.
  if (::setgroups(0, nullptr) != 0 || ::setresgid(launch.gid, launch.gid, launch.gid) != 0 ||
      ::setresuid(launch.uid, launch.uid, launch.uid) != 0) {
    ::_exit(100);
  }
  if (launch.umask) ::umask(*launch.umask);
  // Every source is first copied above the numbers it may go to, so that placing one never
  // closes another that is still to be placed. The copies are closed by the exec.
  int copies[kChildDescriptorCeiling];
  const std::size_t count = descriptors.size() < std::size(copies) ? descriptors.size() : std::size(copies);
  for (std::size_t i = 0; i < count; ++i) {
    copies[i] = ::fcntl(descriptors[i].first, F_DUPFD_CLOEXEC, kChildDescriptorCeiling);
    if (copies[i] < 0) ::_exit(103);
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (::dup2(copies[i], descriptors[i].second) < 0) ::_exit(103);
  }
  const int quiet = ::open(dev_null, O_WRONLY | O_CLOEXEC);
  if (quiet < 0 || ::dup2(quiet, STDOUT_FILENO) < 0) ::_exit(103);
  ::alarm(kChildTimeLimitSeconds);
  ::execve(argv[0], argv.data(), envp.data());
  ::_exit(127);
}

// Reads a descriptor until end of file and closes it.
inline std::string read_to_end(int fd) {
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return text;
}

// Writes all of `text` to a descriptor; false when it could not.
inline bool write_all_to(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// The number of a descriptor that the parent named in the variable `name`, or -1.
inline int descriptor_from_env(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? -1 : std::atoi(value);
}

}  // namespace kavel_test
