// Drive pins: each drive name leads to the object the drive table named when the service began.
//
// A drive-table entry names its image or block device by a path, and a path can be made to lead
// elsewhere while the service runs: the image renamed and a link to another file or disk put in
// its place by whoever may change its folder. The service program therefore resolves every entry
// at its start (following links) and keeps what it reached, keyed by the entry's name, path text
// and offset: the device and inode of an image file, the device number of a block device. From
// then on a device open whose opened descriptor is not that object is refused with
// ERROR_ACCESS_DENIED before anything is read or handed out. Links are not refused as such: a
// link (a /dev/disk/by-* name, say) that still leads to the same object is fine.
//
// A loop device, or a partition of one, is pinned with what it reads as well: whoever holds it
// may re-point it at another file without changing its number. Its pin holds the device and
// inode of the file (or the device number of the block device) the loop driver reads, and the
// offset and size limit it reads at, and an open that finds any of them changed is refused like
// a swapped image. A loop device with nothing attached when the table is pinned is pinned at
// its first open that finds it attached.
//
// With pins on, a path is also trusted only when no user but root and the service's own can
// change where it leads (posix/drive_path_trust.h): every folder it passes through, and every
// link it follows, is theirs. An entry whose path fails that is not pinned; each open of it is
// refused with ERROR_ACCESS_DENIED and reported, naming the place at fault, and its path is
// walked again at every open, so that it is pinned the first time it passes. An entry whose path
// names nothing in folders that pass is fixed at its first successful open.
//
// Pinning is something the service program turns on. A process that never calls
// pin_drive_table opens whatever the table's paths name at the moment of the open.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/drive_table.h"

namespace kavel_lib::platform {

// What a loop device reads, as its driver tells it.
struct LoopBacking {
  std::uint64_t device = 0;  // the file system the backing file (or device node) lies on
  std::uint64_t inode = 0;
  std::uint64_t rdev = 0;    // the device number the backing names when it is a block device, else 0
  std::uint64_t offset = 0;
  std::uint64_t size_limit = 0;
  bool operator==(const LoopBacking&) const = default;
};

// The identity of the object a drive leads to.
struct DriveObject {
  bool block_device = false;
  std::uint64_t device = 0;  // the file system the image or device node lies on
  std::uint64_t inode = 0;
  std::uint64_t rdev = 0;    // the device number a block device stands for
  // A loop device or a partition of one: what the loop device reads; nothing when nothing is
  // attached or the driver could not be asked.
  bool on_loop = false;
  std::optional<LoopBacking> loop;
};

// Whether two identities name the same object: the same image file (device and inode), or the
// same block device (its device number, under whatever node), which for a loop device or a
// partition of one also reads the same file at the same offset and size limit.
bool same_drive_object(const DriveObject& a, const DriveObject& b);

struct PinnedDrive {
  DriveEntry entry;
  DriveObject object;
};

// A drive refused by the pins.
struct DriveRefusal {
  std::string_view drive_name;
  // Empty when the drive no longer leads to its pinned object; otherwise why its path is not
  // trusted: "its path passes through /srv/u, which user 47301 may change".
  std::string_view untrusted_path;
};

// Told of each open refused, on the opening thread, and of each entry whose path fails the rule
// when the table is pinned.
using DrivePinRefusal = std::function<void(const DriveRefusal&)>;

// Turns pinning on for this process and pins every entry of the drive table (KAVEL_DRIVES) whose
// path passes the rule as it leads now, taking the process's effective user as the service's.
// A later call pins afresh. A malformed table pins nothing; the opens then fail as they would
// without pins.
void pin_drive_table(DrivePinRefusal on_refused = {});

// Whether pin_drive_table has been called in this process.
bool drive_pins_active();

// With pins on, the user the service runs as (whose places a drive path may pass through, as
// root's); nothing without pins.
std::optional<std::uint32_t> drive_pins_service_user();

// Reports an open refused because the drive's path fails the rule; `why` as in DriveRefusal.
void report_untrusted_drive(std::string_view drive_name, std::string_view why);

// What an entry's path leads to now, as an open would reach it: with pins on, only through a
// path that passes the rule (nothing for one that fails or names nothing); without, wherever the
// path leads.
std::optional<DriveObject> drive_object_now(const DriveEntry& entry);

// The objects pinned so far (those fixed at a first open included); empty without pins.
std::vector<PinnedDrive> pinned_drives();

// For the device open: whether an entry may be opened as the object found. Without pins,
// always. With pins, an entry whose pin names another object is refused and the refusal
// reported; one that has no pin yet is accepted, and pinned to `found` when `pin_if_missing`
// (the check of the opened descriptor; the look before the open pins nothing).
bool accept_drive_object(const DriveEntry& entry, const DriveObject& found, bool pin_if_missing);

// Turns pinning off and forgets every pin (for tests that own the process's state).
void clear_drive_pins();

}  // namespace kavel_lib::platform
