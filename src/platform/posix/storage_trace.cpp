#include "platform/posix/storage_trace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/posix/identity_guard.h"
#include "platform/posix/loop_device.h"
#include "platform/posix/owned_fd.h"
#include "platform/small_file.h"

namespace kavel_lib::platform::posix {

namespace {

// How far down a stack of devices the walk goes, and how many devices it visits at most: real
// stacks (a partition of a loop device over an image, LVM over md over partitions) are a few
// levels deep; the bounds keep a strange or changing sysfs from holding the request.
constexpr int kMaxDepth = 8;
constexpr std::size_t kMaxDevices = 64;
constexpr std::size_t kMountTableLimit = std::size_t{16} << 20;

std::optional<dev_t> read_device(const std::string& path) {
  const auto text = read_sysfs_attribute(path);
  return text ? parse_device_number(*text) : std::nullopt;
}

bool exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// The mount table writes a space, tab, line end and backslash in a field as \ooo.
std::string unescape_mount_field(std::string_view field) {
  std::string text;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const auto octal = field.substr(i + 1, 3);
      if (std::all_of(octal.begin(), octal.end(), [](char c) { return c >= '0' && c <= '7'; })) {
        text.push_back(static_cast<char>(((octal[0] - '0') << 6) | ((octal[1] - '0') << 3) | (octal[2] - '0')));
        i += 3;
        continue;
      }
    }
    text.push_back(field[i]);
  }
  return text;
}

// The parts of `text` between separators (an empty part where two meet).
std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (std::size_t at = 0; at <= text.size();) {
    const auto next = std::min(text.find(separator, at), text.size());
    parts.push_back(text.substr(at, next - at));
    at = next + 1;
  }
  return parts;
}

// What sysfs appends to a loop device's backing-file name once that name is gone.
constexpr std::string_view kDeletedMark = " (deleted)";

// The names a loop device's backing file may have now, by the name sysfs gives: without the
// mark of a removed name first (the file may have been linked there again), then as written (a
// file may be named so).
std::vector<std::string> backing_file_names(const std::string& name) {
  std::vector<std::string> names;
  if (name.ends_with(kDeletedMark)) names.push_back(name.substr(0, name.size() - kDeletedMark.size()));
  names.push_back(name);
  return names;
}

class Tracer {
 public:
  // `through_file_systems`: an image file met on the way is followed into the file system it
  // lies in (a destination's trace); otherwise the trace ends at files and disks.
  explicit Tracer(bool through_file_systems) : through_file_systems_(through_file_systems) {}

  // The file system holding the open file or folder `fd`: its mount, found by ID, else by the
  // device number, and the file's own device number (a btrfs subvolume's differs from its
  // mount's).
  void file_system(int fd, int depth) {
    if (depth > kMaxDepth) return lost();
    struct statx sx {};
    if (::statx(fd, "", AT_EMPTY_PATH | AT_STATX_SYNC_AS_STAT, STATX_MNT_ID, &sx) != 0) return lost();
    const dev_t device = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    const MountLine* found = nullptr;
    if ((sx.stx_mask & STATX_MNT_ID) != 0) found = find_mount_by_id(sx.stx_mnt_id);
    if (!found) found = find_mount_by_device(device);
    if (!found) return lost();
    mount(*found, depth);
    block(device, depth);
  }

  // A block device and what stands below it.
  void block(dev_t device, int depth) {
    if (major(device) == 0) return;  // an unnamed device: nothing stands behind it
    if (std::find(storage_.block_devices.begin(), storage_.block_devices.end(), device) !=
        storage_.block_devices.end()) {
      return;  // met already: a cycle, or two ways to one device
    }
    if (depth > kMaxDepth || storage_.block_devices.size() >= kMaxDevices) return lost();
    storage_.block_devices.push_back(device);
    const std::string folder = block_sysfs_folder(device);
    if (exists(folder + "/partition")) {
      // A partition: the disk whose folder holds the partition's own.
      std::error_code ec;
      const auto real = std::filesystem::canonical(folder, ec);
      if (const auto disk = ec ? std::nullopt : read_device((real.parent_path() / "dev").string())) {
        block(*disk, depth + 1);
        return;
      }
      add_disk(device);  // the disk cannot be told: the partition stands for itself
      return;
    }
    if (exists(folder + "/loop")) {
      loop(device, depth + 1);
      return;
    }
    bool slaves = false;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder + "/slaves", ec), last; !ec && it != last; it.increment(ec)) {
      // device-mapper, md: every device below (their tables are not read).
      if (const auto slave = read_device((it->path() / "dev").string())) {
        slaves = true;
        block(*slave, depth + 1);
      }
    }
    if (!slaves) add_disk(device);
  }

  // What an absolute path names: a file, or a block device followed down; in a destination's
  // trace and where `folder_too`, also a folder, traced as a folder. The path is opened
  // path-only, and what it names is taken from that one opening (a file's file system through
  // the file itself). False when the path names none of these.
  bool named(const std::string& path, int depth, bool folder_too = false) {
    if (path.empty() || path.front() != '/') return false;
    const Fd opened(::open(path.c_str(), O_PATH | O_CLOEXEC));
    if (opened.get() < 0) return false;
    struct stat st {};
    if (::fstat(opened.get(), &st) != 0) return false;
    if (S_ISREG(st.st_mode)) {
      add_file(st.st_dev, st.st_ino);
      if (through_file_systems_) file_system(opened.get(), depth + 1);
      return true;
    }
    if (S_ISBLK(st.st_mode)) {
      block(st.st_rdev, depth);
      return true;
    }
    if (S_ISDIR(st.st_mode) && folder_too && through_file_systems_) {
      file_system(opened.get(), depth + 1);
      return true;
    }
    return false;
  }

  // Whether everything met was traced to its end, within the bounds.
  [[nodiscard]] bool finished() const { return !unfinished_; }
  Storage take() { return std::move(storage_); }

 private:
  void lost() { unfinished_ = true; }

  // A loop device: what it reads, whatever offset it reads at. The loop driver tells it: the
  // file itself by its device and inode, which stay right when its name is gone or was reached
  // through a mount that is gone, or the device it names when that is a block device node
  // (another loop device, a disk); a node's own file on devtmpfs is not what it reads. sysfs
  // gives the file's name. Where the driver cannot be asked (the device cleared meanwhile, its
  // node missing), the name is taken alone; in a destination's trace, a loop device whose file
  // can be told neither way leaves the trace unfinished.
  void loop(dev_t device, int depth) {
    const auto status = loop_status_of(device);
    const auto name = loop_backing_file_name(device);
    if (!status) {
      if (!(name && named(*name, depth)) && through_file_systems_) lost();
      return;
    }
    if (status->backing_rdev != 0) {
      block(status->backing_rdev, depth);
    } else {
      backing_file(status->backing_device, status->backing_inode, name, depth);
    }
    // The evidence takes the file the name gives too where that is another now: the driver and
    // sysfs are read one after the other, and when the loop device was re-pointed or its file
    // renamed in between, either may be what the device reads. A name marked as gone names
    // nothing the device reads.
    if (!through_file_systems_ && name && !name->ends_with(kDeletedMark)) {
      struct stat st {};
      if (::stat(name->c_str(), &st) == 0 &&
          (st.st_dev != status->backing_device || st.st_ino != status->backing_inode)) {
        (void)named(*name, depth);
      }
    }
  }

  // The file behind a loop device, by the device and inode the driver holds. In a destination's
  // trace, the file system it lies in is found through the file itself: opened path-only by a
  // name sysfs gives and proven to be that file by its device and inode, its mount then found
  // by ID (a btrfs file carries its subvolume's device number, which the mount table does not
  // list); else by the device number.
  void backing_file(dev_t device, ino_t inode, const std::optional<std::string>& name, int depth) {
    add_file(device, inode);
    if (!through_file_systems_) return;
    if (name) {
      for (const auto& candidate : backing_file_names(*name)) {
        if (candidate.empty() || candidate.front() != '/') continue;
        const Fd opened(::open(candidate.c_str(), O_PATH | O_CLOEXEC));
        struct stat st {};
        if (opened.get() >= 0 && ::fstat(opened.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == device &&
            st.st_ino == inode) {
          file_system(opened.get(), depth + 1);
          return;
        }
      }
    }
    if (depth > kMaxDepth) return lost();
    const MountLine* found = find_mount_by_device(device);
    if (!found) return lost();
    mount(*found, depth + 1);
  }

  // A mount's storage: its device, its source, and an overlay's folders.
  void mount(const MountLine& line, int depth) {
    if (std::find(mounts_met_.begin(), mounts_met_.end(), line.id) != mounts_met_.end()) return;
    if (depth > kMaxDepth || mounts_met_.size() >= kMaxDevices) return lost();
    mounts_met_.push_back(line.id);
    block(line.device, depth);
    // A source that names nothing (tmpfs, a network share) adds nothing. A FUSE or eCryptfs mount
    // whose source is a folder (bindfs, mergerfs, an encrypted folder) writes into that folder;
    // elsewhere the source text is the mounter's to choose and no folder is taken from it.
    const bool writes_into_source = line.type == "fuse" || line.type.starts_with("fuse.") || line.type == "ecryptfs";
    (void)named(line.source, depth, writes_into_source);
    if (line.type == "overlay") {
      // Whatever is written into an overlay lands in its upper folder (and passes its work
      // folder); a folder that does not open as an absolute path cannot be told.
      for (const auto& folder : overlay_write_folders(line.super_options)) {
        if (folder.empty() || folder.front() != '/') return lost();
        const Fd opened(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (opened.get() < 0) return lost();
        file_system(opened.get(), depth + 1);
      }
    }
  }

  // The mount table, read once; nothing when it cannot be read or is over its limit.
  const std::vector<MountLine>* mounts() {
    if (!table_read_) {
      table_read_ = true;
      if (const auto text = read_small_file("/proc/self/mountinfo", kMountTableLimit)) {
        std::vector<MountLine> lines;
        for (const auto line : split(*text, '\n')) {
          if (auto parsed = parse_mount_line(line)) lines.push_back(std::move(*parsed));
        }
        table_ = std::move(lines);
      }
    }
    return table_ ? &*table_ : nullptr;
  }

  const MountLine* find_mount_by_id(std::uint64_t id) {
    const auto* table = mounts();
    if (!table) return nullptr;
    const auto it = std::find_if(table->begin(), table->end(), [&](const MountLine& line) { return line.id == id; });
    return it == table->end() ? nullptr : &*it;
  }

  // The first mount of the device (bind mounts of one file system share its device and source).
  const MountLine* find_mount_by_device(dev_t device) {
    const auto* table = mounts();
    if (!table) return nullptr;
    const auto it =
        std::find_if(table->begin(), table->end(), [&](const MountLine& line) { return line.device == device; });
    return it == table->end() ? nullptr : &*it;
  }

  void add_file(dev_t device, ino_t inode) {
    StoragePiece piece;
    piece.is_file = true;
    piece.device = device;
    piece.inode = inode;
    storage_.pieces.push_back(piece);
  }

  void add_disk(dev_t device) {
    StoragePiece piece;
    piece.device = device;
    storage_.pieces.push_back(piece);
  }

  bool through_file_systems_;
  bool unfinished_ = false;
  bool table_read_ = false;
  std::optional<std::vector<MountLine>> table_;
  std::vector<std::uint64_t> mounts_met_;
  Storage storage_;
};

}  // namespace

std::optional<Storage> trace_file_system(int fd) {
  const ServiceIdentityScope as_service;
  Tracer tracer(true);
  tracer.file_system(fd, 0);
  if (!tracer.finished()) return std::nullopt;
  return tracer.take();
}

Storage trace_block_device(dev_t device) {
  const ServiceIdentityScope as_service;
  Tracer tracer(false);
  tracer.block(device, 0);
  // A stack past the bounds is taken as far as it was traced: the evidence's own device is
  // compared whatever lies below it.
  return tracer.take();
}

Storage file_storage(dev_t device, ino_t inode) {
  Storage storage;
  StoragePiece piece;
  piece.is_file = true;
  piece.device = device;
  piece.inode = inode;
  storage.pieces.push_back(piece);
  return storage;
}

bool stored_on(const Storage& storage, const Storage& evidence) {
  if (!evidence.block_devices.empty() &&
      std::find(storage.block_devices.begin(), storage.block_devices.end(), evidence.block_devices.front()) !=
          storage.block_devices.end()) {
    return true;
  }
  for (const auto& held : storage.pieces) {
    for (const auto& piece : evidence.pieces) {
      if (held.is_file != piece.is_file || held.device != piece.device) continue;
      if (!held.is_file || held.inode == piece.inode) return true;
    }
  }
  return false;
}

std::optional<MountLine> parse_mount_line(std::string_view line) {
  // ID, parent ID, MAJOR:MINOR, root, mount point, options, optional fields, "-", type,
  // source, super options.
  const auto fields = split(line, ' ');
  if (fields.size() < 3) return std::nullopt;
  const auto id = parse_decimal_number(fields[0]);
  const auto number = parse_device_number(fields[2]);
  if (!id || !number) return std::nullopt;
  MountLine found;
  found.id = *id;
  found.device = *number;
  const auto separator = std::find(fields.begin() + 3, fields.end(), std::string_view("-"));
  if (separator != fields.end() && fields.end() - separator >= 3) {
    found.type = unescape_mount_field(separator[1]);
    found.source = unescape_mount_field(separator[2]);
    if (fields.end() - separator >= 4) found.super_options = std::string(separator[3]);
  }
  return found;
}

std::vector<std::string> overlay_write_folders(std::string_view super_options) {
  std::vector<std::string> folders;
  for (const auto option : split(super_options, ',')) {
    const auto equals = option.find('=');
    if (equals == std::string_view::npos) continue;
    const auto key = option.substr(0, equals);
    if (key == "upperdir" || key == "workdir") folders.push_back(unescape_mount_field(option.substr(equals + 1)));
  }
  return folders;
}

}  // namespace kavel_lib::platform::posix
