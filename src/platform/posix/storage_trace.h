// Inside the backend: what a file system, or a block device, keeps its data on.
//
// A folder's file system is found through the folder's mount (its mount ID, else its device
// number, in /proc/self/mountinfo); the mount's storage is its block device and the source it
// names (a block device, or for FUSE and the like the image file it was mounted from, or the
// folder it passes its writes on to), and for an overlay the folders it writes into (its upperdir
// and workdir), traced as folders. A block device is followed down its stack through sysfs and
// the loop driver: a partition to its whole disk, a loop device to what it reads (the file the
// driver holds, known by its device and inode, or the block device it names when its backing is
// a device node; by the name sysfs gives only where the driver cannot be asked), device-mapper
// and md to their slaves. Asking the driver opens the loop device, which is safe also for one set
// to clear itself at its last close (loop_device.h). An image file met on the way (a loop
// device's backing file, a FUSE mount's source) lies in a file system of its own, which is traced
// on the same way: found through the file itself, opened path-only by the name it is known by and
// proven by its device and inode, its mount then found by ID; else by the file's device number.
// What lies at the bottom is a set of files and of disks; two things share storage when these
// meet.
//
// Everything here reads as the service (the mount table, sysfs, the backing files), also inside a
// thread acting as a client: the client may not be allowed to reach the images. A file system
// that keeps its data nowhere below (tmpfs, proc, network) adds nothing; one whose mount cannot
// be found at all (another mount namespace's), a loop device whose file cannot be told, an
// overlay folder that cannot be opened, a mount table that cannot be read, and a stack deeper or
// wider than the trace's bounds leave the trace unfinished: then nothing can be told.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kavel_lib::platform::posix {

// One thing at the bottom of a storage stack: a file, or a disk.
struct StoragePiece {
  bool is_file = false;
  dev_t device = 0;  // a file: the device it lies on; a disk: the disk's own number
  ino_t inode = 0;   // a file only
};

struct Storage {
  std::vector<dev_t> block_devices;  // every block device met on the way down, the top first
  std::vector<StoragePiece> pieces;
};

// What the file system holding the open file or folder `fd` is stored on; nothing when that
// cannot be told (the trace did not finish).
std::optional<Storage> trace_file_system(int fd);

// What the block device with this number is stored on (the device itself among them), down
// to the files and disks below it; the file systems those files lie in are not followed. A loop
// device's file is the one the driver holds, and also the one its sysfs name gives now where that
// is another (a name marked as gone excepted); by the name alone where the driver cannot be asked.
Storage trace_block_device(dev_t device);

// A file as storage: the file itself.
Storage file_storage(dev_t device, ino_t inode);

// Whether `evidence` is part of `storage`: the block device at the top of `evidence` is met in
// `storage`, or the two share a file (whatever offsets they use in it) or a disk (whatever
// partitions they lie in: nothing is written to a disk that holds evidence).
bool stored_on(const Storage& storage, const Storage& evidence);

// One line of /proc/self/mountinfo, its fields taken apart (the source unescaped, the super
// options as written).
struct MountLine {
  std::uint64_t id = 0;
  dev_t device = 0;
  std::string type;
  std::string source;
  std::string super_options;
};
std::optional<MountLine> parse_mount_line(std::string_view line);

// The folders an overlay with these super options writes into (upperdir, workdir), each as
// written: the options are split at their commas first, then the \ooo escapes undone.
std::vector<std::string> overlay_write_folders(std::string_view super_options);

}  // namespace kavel_lib::platform::posix
