#include "platform/console.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

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

}  // namespace kavel_lib::platform
