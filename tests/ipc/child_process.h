// Runs a piece of a test in a forked child, so process-wide state (the once-per-process
// client registration) starts fresh and stays out of the test process.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace kavel_test {

// The child's exit status (0 when body returned true, 1 when false), or -1 when it did not
// end normally.
inline int run_in_child(const std::function<bool()>& body) {
  const pid_t child = ::fork();
  if (child < 0) return -1;
  if (child == 0) ::_exit(body() ? 0 : 1);
  int status = 0;
  if (::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

}  // namespace kavel_test
