#include "platform/process_info.h"

#include <signal.h>
#include <sys/types.h>

namespace kavel_lib::platform {

namespace {
// The kernel never hands out a process number above this (PID_MAX_LIMIT on 64-bit systems);
// anything larger is either no process or, cast to pid_t, a negative number that kill()
// would read as a process group.
constexpr std::uint32_t kLargestPid = 4u * 1024u * 1024u;
}  // namespace

bool process_is_alive(std::uint32_t pid) {
  if (pid == 0 || pid > kLargestPid) return false;
  // Signal 0 checks existence and permission without sending anything. ESRCH: gone;
  // EPERM: there, but not ours to open.
  return ::kill(static_cast<pid_t>(pid), 0) == 0;
}

}  // namespace kavel_lib::platform
