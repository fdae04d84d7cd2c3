// Whether another process of this machine is there for us.
#pragma once

#include <cstdint>

namespace kavel_lib::platform {

// True when a process with this number exists and this process may query it, as opening it
// with query-limited access would succeed: a process that has ended is not alive, nor is one
// that this process may not open (another user's), nor the number 0. A process that has ended
// but whose parent has not yet collected it still counts as alive. A number that does not fit
// as a process number (0, or above the largest the system can give) is answered without asking
// the system, so it can never name a group of processes.
bool process_is_alive(std::uint32_t pid);

// The file-creation mask (umask) of a process, from its /proc/PID/status; 0077, the narrowest
// usual one, when it cannot be read (a process that is gone, a kernel that does not tell).
std::uint32_t process_umask(std::uint32_t pid);

}  // namespace kavel_lib::platform
