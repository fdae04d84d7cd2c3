#include "platform/device_handout.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <system_error>

#include <fmt/format.h>

#include "platform/posix/loop_device.h"
#include "platform/posix/owned_fd.h"
#include "platform/posix/storage_trace.h"

namespace kavel_lib::platform {

namespace {

using posix::Fd;

constexpr std::uint64_t kSector = 512;
constexpr std::string_view kWholeFileRule = "a loop device is handed to a client only as the image file it reads whole";
constexpr std::string_view kStackRule = "no client is handed a device that stands on a loop device";

// "/dev/loop0", or the device's number when sysfs does not name it.
std::string node_of(dev_t device) {
  if (auto node = posix::kernel_block_node(device)) return *node;
  return fmt::format("{}:{}", major(device), minor(device));
}

// What to map instead of a device on the loop device `loop`, as sysfs tells what it reads: "the
// image file instead (/srv/disk.img@1048576)", the offset being the loop device's own plus
// `more` (a partition's start, the drive's offset).
std::string map_instead(dev_t loop, std::uint64_t more) {
  const auto name = posix::loop_backing_file_name(loop);
  if (!name || name->empty()) return "the image file the loop device reads instead";
  const auto offset_text = posix::read_sysfs_attribute(posix::block_sysfs_folder(loop) + "/loop/offset");
  std::optional<std::uint64_t> offset = offset_text ? posix::parse_decimal_number(*offset_text) : std::nullopt;
  if (offset && *offset > std::numeric_limits<std::uint64_t>::max() - more) offset.reset();
  if (offset) *offset += more;
  struct stat st {};
  const bool block = ::stat(name->c_str(), &st) == 0 && S_ISBLK(st.st_mode);
  const std::string where = !offset ? fmt::format("{}@OFFSET", *name)
                            : *offset == 0 ? *name
                                           : fmt::format("{}@{}", *name, *offset);
  return fmt::format("{} instead ({})", block ? "the device it reads" : "the image file", where);
}

std::uint64_t plus_or_max(std::uint64_t a, std::uint64_t b) {
  return a > std::numeric_limits<std::uint64_t>::max() - b ? std::numeric_limits<std::uint64_t>::max() : a + b;
}

bool same_status(const posix::LoopStatus& a, const posix::LoopStatus& b) {
  return a.backing_device == b.backing_device && a.backing_inode == b.backing_inode &&
         a.backing_rdev == b.backing_rdev && a.offset == b.offset && a.size_limit == b.size_limit;
}

std::string errno_text(int error) { return std::system_category().message(error); }

// The loop device `loop`, open as `device`, handed as the file it reads when it reads all of it
// from the start, proven to be the driver's file; else why not.
std::expected<Device, std::string> loop_as_file(Device device, dev_t loop) {
  const std::string& drive = device.device_name();
  const std::string node = node_of(loop);
  const auto refuse = [&](const std::string& why, const std::string& instead) {
    return std::unexpected(fmt::format("{} is the loop device {}, {}; {}: map {}", drive, node, why, kWholeFileRule,
                                       instead));
  };
  const std::string whole_file = map_instead(loop, device.base_offset());
  const auto status = posix::loop_status(device.native_handle());
  if (!status) return refuse("which has nothing attached or cannot be asked what it reads", "the image file instead");
  if (status->backing_rdev != 0) {
    return refuse(fmt::format("which reads the block device {}", node_of(status->backing_rdev)), whole_file);
  }
  const auto name = posix::loop_backing_file_name(loop);
  const std::string shown = name ? *name : std::string("its file");
  if (status->offset != 0 || status->size_limit != 0) {
    const std::string limit = status->size_limit != 0 ? fmt::format(" for {} bytes", status->size_limit) : "";
    return refuse(fmt::format("which reads {} from byte {}{}, not the whole file", shown, status->offset, limit),
                  whole_file);
  }
  if (!name || name->empty() || name->front() != '/') {
    return refuse("whose file sysfs does not name", whole_file);
  }

  // The file by its name, path-only, then proven to be the driver's before it is opened to read;
  // the reopen goes through the proven descriptor, and is proven again.
  const auto unproven = [&](const std::string& why) {
    return refuse(fmt::format("whose file the service cannot prove to be {}: {}", *name, why), whole_file);
  };
  Fd path(::open(name->c_str(), O_PATH | O_CLOEXEC | O_NOFOLLOW));
  if (path.get() < 0) return unproven(fmt::format("it cannot be reached ({})", errno_text(errno)));
  struct stat st {};
  if (::fstat(path.get(), &st) != 0) return unproven(errno_text(errno));
  if (!S_ISREG(st.st_mode)) return unproven("that is no regular file");
  if (st.st_dev != status->backing_device || st.st_ino != status->backing_inode) {
    return unproven("that is another file");
  }
  const std::string reopen = fmt::format("/proc/self/fd/{}", path.get());
  Fd file;
  do {
    file.reset(::open(reopen.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  } while (file.get() < 0 && errno == EINTR);
  if (file.get() < 0) return unproven(fmt::format("it cannot be opened for reading ({})", errno_text(errno)));
  struct stat opened {};
  if (::fstat(file.get(), &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_dev != st.st_dev ||
      opened.st_ino != st.st_ino) {
    return unproven("another file was opened");
  }

  // The client reads the same bytes at every offset the loop device has: the file's length, in
  // whole sectors, is the loop device's size (a file that grew or was cut since it was attached
  // is not).
  std::uint64_t loop_size = 0;
  if (::ioctl(device.native_handle(), BLKGETSIZE64, &loop_size) != 0) {
    return unproven(fmt::format("the loop device's size cannot be read ({})", errno_text(errno)));
  }
  const auto file_size = static_cast<std::uint64_t>(opened.st_size);
  if (opened.st_size < 0 || file_size / kSector * kSector != loop_size) {
    return refuse(fmt::format("which reads {} bytes of {}, now {} bytes long: the file grew or was cut since it was "
                              "attached",
                              loop_size, *name, file_size),
                  whole_file);
  }
  const auto again = posix::loop_status(device.native_handle());
  if (!again || !same_status(*status, *again)) return refuse("which was re-pointed while it was looked at", whole_file);
  return Device::adopt(file.release(), device.device_name(), device.base_offset());
}

}  // namespace

std::expected<Device, std::string> device_for_client(Device device) {
  struct stat st {};
  if (::fstat(device.native_handle(), &st) != 0) {
    return std::unexpected(fmt::format("{} cannot be examined ({})", device.device_name(), errno_text(errno)));
  }
  if (!S_ISBLK(st.st_mode)) return device;
  const dev_t top = st.st_rdev;
  // The loop device nearest the top of the device's stack, if any.
  std::optional<dev_t> loop;
  for (const dev_t below : posix::trace_block_device(top).block_devices) {
    if (posix::is_loop_device(below)) {
      loop = below;
      break;
    }
  }
  // A loop device with nothing attached stands on nothing, and is known by its number alone.
  if (posix::loop_device_of(top) == top) return loop_as_file(std::move(device), top);
  if (!loop) return device;
  const std::string& drive = device.device_name();
  if (posix::loop_device_of(top) == loop) {
    // Where the partition starts in the file; one whose start sysfs does not tell is shown as
    // "@OFFSET".
    const auto start = posix::partition_start(top);
    const std::uint64_t more =
        start ? plus_or_max(*start, device.base_offset()) : std::numeric_limits<std::uint64_t>::max();
    return std::unexpected(fmt::format("{} is the partition {} of the loop device {}; {}: map {}", drive,
                                       node_of(top), node_of(*loop), kStackRule, map_instead(*loop, more)));
  }
  return std::unexpected(fmt::format("{} is {}, which stands on the loop device {}; {}: map {}", drive, node_of(top),
                                     node_of(*loop), kStackRule, map_instead(*loop, 0)));
}

}  // namespace kavel_lib::platform
