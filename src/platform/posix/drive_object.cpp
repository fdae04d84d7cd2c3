#include "platform/posix/drive_object.h"

#include "platform/posix/loop_device.h"

namespace kavel_lib::platform::posix {

DriveObject drive_object_of(const struct stat& st, int fd) {
  DriveObject object;
  object.block_device = S_ISBLK(st.st_mode);
  object.device = static_cast<std::uint64_t>(st.st_dev);
  object.inode = static_cast<std::uint64_t>(st.st_ino);
  if (!object.block_device) return object;
  object.rdev = static_cast<std::uint64_t>(st.st_rdev);
  const auto loop = loop_device_of(st.st_rdev);
  if (!loop) return object;
  object.on_loop = true;
  // A partition's descriptor asks the loop device it belongs to.
  const auto status = fd >= 0 ? loop_status(fd) : loop_status_of(*loop);
  if (status) {
    object.loop = LoopBacking{static_cast<std::uint64_t>(status->backing_device),
                              static_cast<std::uint64_t>(status->backing_inode),
                              static_cast<std::uint64_t>(status->backing_rdev), status->offset, status->size_limit};
  }
  return object;
}

}  // namespace kavel_lib::platform::posix
