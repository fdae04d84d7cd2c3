// Runs a test of this test program in a fresh process. Process-wide state (the
// once-per-process client registration) must start fresh for some tests, and a forked copy
// would inherit it; a fresh process may also run as another user (a command prefix such as
// setpriv). The child tests are disabled ones that run only when KAVEL_TEST_CHILD_ROLE is set;
// they take what they need from the environment their parent set.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

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

}  // namespace kavel_test
