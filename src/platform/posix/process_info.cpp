#include "platform/process_info.h"

#include <signal.h>
#include <sys/types.h>

#include <string>
#include <string_view>

#include "platform/small_file.h"

namespace kavel_lib::platform {

namespace {
// The kernel never hands out a process number above this (PID_MAX_LIMIT on 64-bit systems);
// anything larger is either no process or, cast to pid_t, a negative number that kill()
// would read as a process group.
constexpr std::uint32_t kLargestPid = 4u * 1024u * 1024u;
constexpr std::uint32_t kUnknownUmask = 0077;
// /proc/PID/status is a few KiB; anything past this is not what the kernel writes there.
constexpr std::size_t kStatusLimit = 1u << 16;
}  // namespace

bool process_is_alive(std::uint32_t pid) {
  if (pid == 0 || pid > kLargestPid) return false;
  // Signal 0 checks existence and permission without sending anything. ESRCH: gone;
  // EPERM: there, but not ours to open.
  return ::kill(static_cast<pid_t>(pid), 0) == 0;
}

std::uint32_t process_umask(std::uint32_t pid) {
  if (pid == 0 || pid > kLargestPid) return kUnknownUmask;
  const auto status = read_small_file("/proc/" + std::to_string(pid) + "/status", kStatusLimit);
  if (!status) return kUnknownUmask;
  // The line reads "Umask:\t0022": four octal digits.
  constexpr std::string_view kKey = "\nUmask:";
  const auto at = status->find(kKey);
  if (at == std::string::npos) return kUnknownUmask;
  std::string_view rest = std::string_view(*status).substr(at + kKey.size());
  while (!rest.empty() && (rest.front() == '\t' || rest.front() == ' ')) rest.remove_prefix(1);
  std::uint32_t mask = 0;
  std::size_t digits = 0;
  for (; digits < rest.size() && digits < 5 && rest[digits] >= '0' && rest[digits] <= '7'; ++digits) {
    mask = mask * 8 + static_cast<std::uint32_t>(rest[digits] - '0');
  }
  if (digits == 0 || digits == rest.size() || rest[digits] != '\n' || mask > 0777) return kUnknownUmask;
  return mask;
}

}  // namespace kavel_lib::platform
