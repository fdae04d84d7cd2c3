// Inside the backend: the identity of an image file or block device as stat gives it, and, for
// a loop device or a partition of one, as the loop driver tells what it reads.
#pragma once

#include <sys/stat.h>

#include "platform/drive_pins.h"

namespace kavel_lib::platform::posix {

// The identity of what `st` describes. For a loop device or a partition of one, the loop driver
// is asked what it reads: through `fd`, an open descriptor of that very device, or, without one,
// through the loop device's own node (loop_device.h says why that is safe).
DriveObject drive_object_of(const struct stat& st, int fd = -1);

}  // namespace kavel_lib::platform::posix
