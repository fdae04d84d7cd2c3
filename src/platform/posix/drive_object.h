// Inside the backend: the identity of an image file or block device as stat gives it.
#pragma once

#include <sys/stat.h>

#include "platform/drive_pins.h"

namespace kavel_lib::platform::posix {

inline DriveObject drive_object_of(const struct stat& st) {
  DriveObject object;
  object.block_device = S_ISBLK(st.st_mode);
  object.device = static_cast<std::uint64_t>(st.st_dev);
  object.inode = static_cast<std::uint64_t>(st.st_ino);
  object.rdev = object.block_device ? static_cast<std::uint64_t>(st.st_rdev) : 0;
  return object;
}

}  // namespace kavel_lib::platform::posix
