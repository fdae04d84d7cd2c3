#include "platform/console.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

namespace kavel_lib::platform {

std::expected<void, WinError> alloc_console() { return {}; }

std::expected<void, WinError> set_console_title(std::string_view title) {
  if (::isatty(STDOUT_FILENO) != 1) return std::unexpected(WinError{win::ERROR_INVALID_HANDLE});
  std::string escape = "\x1b]0;";
  for (const char c : title) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F) escape.push_back(c);
  }
  escape.push_back('\x07');
  // What the program printed before goes out first.
  std::fflush(stdout);
  std::size_t done = 0;
  while (done < escape.size()) {
    const ssize_t n = ::write(STDOUT_FILENO, escape.data() + done, escape.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::unexpected(WinError::last());
    if (n == 0) return std::unexpected(WinError{win::ERROR_WRITE_FAULT});
    done += static_cast<std::size_t>(n);
  }
  return {};
}

std::expected<void, WinError> end_console_after(std::function<void()> before_end) {
  sigset_t ends;
  sigemptyset(&ends);
  sigaddset(&ends, SIGTERM);
  sigaddset(&ends, SIGINT);
  sigaddset(&ends, SIGHUP);
  sigset_t before;
  pthread_sigmask(SIG_BLOCK, &ends, &before);
  try {
    std::thread([ends, before_end = std::move(before_end)] {
      int signal = 0;
      while (sigwait(&ends, &signal) != 0) {
      }
      if (before_end) before_end();
      // The default action of the signal that came ends the process, as it would have without
      // this thread.
      ::signal(signal, SIG_DFL);
      sigset_t one;
      sigemptyset(&one);
      sigaddset(&one, signal);
      pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
      ::raise(signal);
      ::_exit(128 + signal);
    }).detach();
  } catch (const std::system_error&) {
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return std::unexpected(WinError{win::ERROR_SERVICE_NO_THREAD});
  }
  return {};
}

}  // namespace kavel_lib::platform
