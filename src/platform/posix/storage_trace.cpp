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
#include <vector>

#include <fmt/format.h>

#include "platform/posix/identity_guard.h"
#include "platform/small_file.h"

namespace kavel_lib::platform::posix {

namespace {

// How far down a stack of devices the walk goes, and how many devices it visits at most: real
// stacks (a partition of a loop device over an image, LVM over md over partitions) are a few
// levels deep; the bounds keep a strange or changing sysfs from holding the request.
constexpr int kMaxDepth = 8;
constexpr std::size_t kMaxDevices = 64;
constexpr std::size_t kMountTableLimit = std::size_t{16} << 20;
constexpr std::size_t kAttributeLimit = 4096;
constexpr std::uint64_t kMaxNumber = std::numeric_limits<std::uint64_t>::max();

std::string sysfs_folder(dev_t device) { return fmt::format("/sys/dev/block/{}:{}", major(device), minor(device)); }

// One line of a sysfs attribute, without its line end.
std::optional<std::string> read_attribute(const std::filesystem::path& path) {
  auto text = read_small_file(path, kAttributeLimit);
  if (!text) return std::nullopt;
  if (!text->empty() && text->back() == '\n') text->pop_back();
  return std::move(*text);
}

std::optional<std::uint64_t> parse_decimal(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (kMaxNumber - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

// "MAJOR:MINOR".
std::optional<dev_t> parse_device(std::string_view text) {
  const auto colon = text.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const auto major_number = parse_decimal(text.substr(0, colon));
  const auto minor_number = parse_decimal(text.substr(colon + 1));
  if (!major_number || !minor_number || *major_number > std::numeric_limits<unsigned int>::max() ||
      *minor_number > std::numeric_limits<unsigned int>::max()) {
    return std::nullopt;
  }
  return makedev(static_cast<unsigned int>(*major_number), static_cast<unsigned int>(*minor_number));
}

std::optional<dev_t> read_device(const std::filesystem::path& path) {
  const auto text = read_attribute(path);
  return text ? parse_device(*text) : std::nullopt;
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

struct MountLine {
  dev_t device = 0;
  std::string source;
};

// The mount table's line of the mount with this ID, or when the ID is not known, of the first
// mount of this device (bind mounts of one file system share its device and source).
std::optional<MountLine> find_mount(std::optional<std::uint64_t> mount_id, dev_t device) {
  const auto table = read_small_file("/proc/self/mountinfo", kMountTableLimit);
  if (!table) return std::nullopt;
  std::string_view rest(*table);
  while (!rest.empty()) {
    const auto end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
    // ID, parent ID, MAJOR:MINOR, root, mount point, options, optional fields, "-", type,
    // source, super options.
    std::vector<std::string_view> fields;
    for (std::size_t at = 0; at <= line.size();) {
      const auto space = std::min(line.find(' ', at), line.size());
      fields.push_back(line.substr(at, space - at));
      at = space + 1;
    }
    if (fields.size() < 3) continue;
    const auto id = parse_decimal(fields[0]);
    const auto number = parse_device(fields[2]);
    if (!id || !number) continue;
    if (mount_id ? *id != *mount_id : *number != device) continue;
    MountLine found{*number, {}};
    const auto separator = std::find(fields.begin() + 3, fields.end(), std::string_view("-"));
    if (separator != fields.end() && fields.end() - separator >= 3) found.source = unescape_mount_field(separator[2]);
    return found;
  }
  return std::nullopt;
}

class Tracer {
 public:
  // A block device and what stands below it.
  void block(dev_t device, int depth) {
    if (major(device) == 0) return;  // an unnamed device: nothing stands behind it
    if (depth > kMaxDepth || storage_.block_devices.size() >= kMaxDevices) return;
    if (std::find(storage_.block_devices.begin(), storage_.block_devices.end(), device) !=
        storage_.block_devices.end()) {
      return;  // met already: a cycle, or two ways to one device
    }
    storage_.block_devices.push_back(device);
    const std::string folder = sysfs_folder(device);
    if (exists(folder + "/partition")) {
      // A partition: the disk whose folder holds the partition's own.
      std::error_code ec;
      const auto real = std::filesystem::canonical(folder, ec);
      if (const auto disk = ec ? std::nullopt : read_device(real.parent_path() / "dev")) {
        block(*disk, depth + 1);
        return;
      }
      add_disk(device);  // the disk cannot be told: the partition stands for itself
      return;
    }
    if (const auto backing = read_attribute(folder + "/loop/backing_file")) {
      // A loop device: the file behind it, whatever offset it reads the file at.
      named(*backing, depth + 1);
      return;
    }
    bool slaves = false;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder + "/slaves", ec), last; !ec && it != last; it.increment(ec)) {
      // device-mapper, md: every device below (their tables are not read).
      if (const auto slave = read_device(it->path() / "dev")) {
        slaves = true;
        block(*slave, depth + 1);
      }
    }
    if (!slaves) add_disk(device);
  }

  // What an absolute path names: a file, or a block device followed down.
  void named(const std::string& path, int depth) {
    if (path.empty() || path.front() != '/') return;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return;
    if (S_ISREG(st.st_mode)) {
      StoragePiece piece;
      piece.is_file = true;
      piece.device = st.st_dev;
      piece.inode = st.st_ino;
      storage_.pieces.push_back(piece);
    } else if (S_ISBLK(st.st_mode)) {
      block(st.st_rdev, depth);
    }
  }

  Storage take() { return std::move(storage_); }

 private:
  void add_disk(dev_t device) {
    StoragePiece piece;
    piece.device = device;
    storage_.pieces.push_back(piece);
  }

  Storage storage_;
};

}  // namespace

Storage trace_file_system(int fd) {
  const ServiceIdentityScope as_service;
  struct statx sx {};
  if (::statx(fd, "", AT_EMPTY_PATH | AT_STATX_SYNC_AS_STAT, STATX_MNT_ID, &sx) != 0) return {};
  const dev_t device = makedev(sx.stx_dev_major, sx.stx_dev_minor);
  std::optional<std::uint64_t> mount_id;
  if ((sx.stx_mask & STATX_MNT_ID) != 0) mount_id = sx.stx_mnt_id;
  Tracer tracer;
  if (const auto mount = find_mount(mount_id, device)) {
    tracer.block(mount->device, 0);
    tracer.named(mount->source, 0);
  }
  // The folder's own device number too (a btrfs subvolume's differs from its mount's).
  tracer.block(device, 0);
  return tracer.take();
}

Storage trace_block_device(dev_t device) {
  const ServiceIdentityScope as_service;
  Tracer tracer;
  tracer.block(device, 0);
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

}  // namespace kavel_lib::platform::posix
