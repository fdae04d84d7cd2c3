// Inside the backend: whether a drive-table path leads somewhere that no user but root and the
// service's own can change.
//
// The service opens drives with its own rights and hands them to other users, so a path that
// another user may redirect (by planting a link or a file at one of its names) would hand out
// whatever that user chose. The path is walked here as the kernel would resolve it, one name at a
// time through O_PATH descriptors that never follow a link on their own; each link is walked in
// its turn from the folder it lies in (or from / when absolute), at most 40 of them.
//
// Every folder passed through must belong to root or the service's user and must not be writable
// by its group or by others. A folder with the sticky bit may be writable by others: no one can
// then rename or remove what another owns in it, but anyone can add names, and a user may move
// there any file, link or device node of root's that lies in a folder the user may write on the
// same file system (a file made with sudo in the user's home, say), and any folder the user may
// write. So from a sticky folder that group or others may add to, only a folder passes that
// belongs to root or the service's user and that no one else may write, sticky or not: that is
// one no other user can have moved there. Every link followed, wherever it lies, must belong to
// root or the service's user too (a folder of root's may show a user's link: an overlay over a
// user's lower folder, a folder root took over from a user). An automount point on the way is
// mounted by the walk. A folder on a FUSE mount belongs to the mount's user (its user_id=
// option) as well as to the owner it reports, since that user's daemon answers for everything
// in it; both must pass. A relative path is walked from / through the service's working folder.
//
// The object the path ends on must not lie on one of the kernel's own file systems
// (kernel_file_systems.h): /proc/PID/environ or /proc/PID/mem of a root process is a regular
// file of root's in root's folders, and no image.
//
// Owners and modes are taken as each file system reports them, so one whose owners a user wrote
// (a medium the user made, an idmapped mount of a user's folder, an overlay whose lower folder a
// user may change) is trusted at its word.
//
// The walk keeps the folder the last name was found in, so that the caller opens that very name
// there and can compare what it opened with what the walk saw.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "platform/posix/owned_fd.h"

namespace kavel_lib::platform::posix {

// The walk ended on an object (of any kind but one on a kernel file system; the caller decides
// what it accepts): `name` in `folder`, as `status` (not following a link) saw it. A path that
// ends on a folder gives the folder itself as ".".
struct ReachedObject {
  Fd folder;  // an O_PATH descriptor
  std::string name;
  struct stat status {};
};

// A name of the path is missing in folders that pass the rule: nothing there to trust yet.
struct NothingThere {};

// Who, besides root and the service's user, may change a place, or why else it fails.
enum class Changer {
  user,             // `id` owns it (or owns the FUSE mount it lies on)
  group,            // the members of group `id` may write it
  anyone,           // every user may write it
  added_by_group,   // it is no folder and lies in a sticky folder the members of group `id` may add to
  added_by_anyone,  // it is no folder and lies in a sticky folder every user may add to
  kernel,           // the path ends on it and it lies on one of the kernel's own file systems
  unknown           // its owner cannot be told (a FUSE mount the mount table does not show)
};

// A place on the path that fails the rule.
struct UntrustedPlace {
  std::string place;  // the folder, link or file, as the walk reached it
  Changer changer = Changer::user;
  std::uint64_t id = 0;
};

// The walk could not go on for another reason (errno: ENOTDIR, ELOOP, EACCES, ...).
struct WalkFailed {
  int error = 0;
};

using PathWalk = std::variant<ReachedObject, NothingThere, UntrustedPlace, WalkFailed>;

// Walks `path` under the rule above, taking `service_user` (with root) as the users who may
// change the places it passes.
PathWalk walk_drive_path(std::string_view path, uid_t service_user);

// "its path passes through /srv/u, which user 47301 may change", "its path ends on /proc/1/environ,
// which is not an image file or a block device", and the like.
std::string describe(const UntrustedPlace& fault);

}  // namespace kavel_lib::platform::posix
