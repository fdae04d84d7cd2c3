// Inside the backend: what sysfs and the loop driver tell of a block device that is a loop
// device.
//
// sysfs names the loop device's backing file (loop/backing_file, the path the file had when it
// was attached, with " (deleted)" once that name is gone); the driver holds the file itself and
// tells its device and inode, the device number it names when it is itself a block device node,
// and the offset and size limit the loop device reads it at (LOOP_GET_STATUS64).
//
// Asking the driver means opening the loop device. That is safe also for one set to clear itself
// at its last close: while it is attached and in use something else holds it (whatever stacks on
// it, or the process that set it up), and should that holder close first, the asker's close
// detaches it as the holder's own would have. An open made while it is being detached fails
// (ENXIO), which counts as "cannot tell".
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kavel_lib::platform::posix {

// The loop device's view of what it reads.
struct LoopStatus {
  dev_t backing_device = 0;  // the file system the backing file (or device node) lies on
  ino_t backing_inode = 0;
  dev_t backing_rdev = 0;    // the device number the backing names when it is a block device node, else 0
  std::uint64_t offset = 0;
  std::uint64_t size_limit = 0;  // 0: none, the loop device ends where the file does
  std::uint32_t flags = 0;       // LO_FLAGS_*
};

// "/sys/dev/block/MAJOR:MINOR", the sysfs folder of a block device by its number.
std::string block_sysfs_folder(dev_t device);

// One line of a small sysfs attribute, without its line end; nothing when it cannot be read.
std::optional<std::string> read_sysfs_attribute(const std::string& path);

// Decimal digits only (no sign, no space), within 64 bits.
std::optional<std::uint64_t> parse_decimal_number(std::string_view text);

// "MAJOR:MINOR" as sysfs writes a device number.
std::optional<dev_t> parse_device_number(std::string_view text);

// Whether the block device with this number is a loop device (its sysfs folder has loop/).
bool is_loop_device(dev_t device);

// The name sysfs gives the loop device's backing file (loop/backing_file); nothing when the
// device is no loop device or has nothing attached.
std::optional<std::string> loop_backing_file_name(dev_t device);

// What the loop driver says of the open loop device `fd`; nothing when nothing is attached or
// the driver cannot be asked.
std::optional<LoopStatus> loop_status(int fd);

// The same for the loop device with this number, opened read-only by the name the kernel gives
// it in sysfs (its uevent's DEVNAME under /dev) and asked only when that node proves to be this
// very device. The device is closed again before the call returns.
std::optional<LoopStatus> loop_status_of(dev_t device);

// The node the kernel names the block device with this number by ("/dev/loop0", "/dev/dm-1"):
// the name in its uevent, under /dev; nothing when sysfs does not tell it.
std::optional<std::string> kernel_block_node(dev_t device);

// The loop device that the block device with this number is (with a file attached or not), or
// is a partition of; nothing for any other device.
std::optional<dev_t> loop_device_of(dev_t device);

// Where the partition with this number starts on its disk, in bytes (sysfs start, in 512-byte
// sectors); nothing for a device that is no partition.
std::optional<std::uint64_t> partition_start(dev_t device);

}  // namespace kavel_lib::platform::posix
