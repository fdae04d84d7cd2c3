// Inside the backend: what a file system, or a block device, keeps its data on.
//
// A folder's file system is found through the folder's mount (its mount ID, else its device
// number, in /proc/self/mountinfo); the mount's storage is its block device and the source it
// names (a block device, or for FUSE and the like the image file it was mounted from). A block
// device is followed down its stack through sysfs: a partition to its whole disk, a loop device
// to its backing file, device-mapper and md to their slaves. What lies at the bottom is a set of
// files and of disks; two things share storage when these meet.
//
// Everything here reads as the service (the mount table, sysfs, the backing files), also inside
// a thread acting as a client: the client may not be allowed to reach the images. A file system
// whose storage cannot be traced (tmpfs, proc, network, an overlay) gives an empty result.
#pragma once

#include <sys/types.h>

#include <cstdint>
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

// What the file system holding the open file or folder `fd` is stored on.
Storage trace_file_system(int fd);

// What the block device with this number is stored on (the device itself among them).
Storage trace_block_device(dev_t device);

// A file as storage: the file itself.
Storage file_storage(dev_t device, ino_t inode);

// Whether `evidence` is part of `storage`: the block device at the top of `evidence` is met in
// `storage`, or the two share a file (whatever offsets they use in it) or a disk (whatever
// partitions they lie in: nothing is written to a disk that holds evidence).
bool stored_on(const Storage& storage, const Storage& evidence);

}  // namespace kavel_lib::platform::posix
