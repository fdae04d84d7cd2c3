#include "platform/posix/loop_device.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <linux/major.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <charconv>
#include <limits>
#include <system_error>
#include <string_view>

#include <fmt/format.h>

#include "platform/posix/owned_fd.h"
#include "platform/small_file.h"

namespace kavel_lib::platform::posix {

namespace {

constexpr std::size_t kAttributeLimit = 4096;

// The loop driver's encoding of a device number (the kernel's 32-bit one: minor's low 8 bits,
// then 12 bits of major, then minor's upper bits).
dev_t decode_loop_device(std::uint64_t encoded) {
  const auto major_number = static_cast<unsigned int>((encoded >> 8) & 0xFFFU);
  const auto minor_number = static_cast<unsigned int>((encoded & 0xFFU) | ((encoded >> 12) & 0xFFF00U));
  return makedev(major_number, minor_number);
}

// The loop device's node under /dev, by the name the kernel gives it (no udev rule renames it).
std::optional<std::string> kernel_node_name(dev_t device) {
  const auto uevent = read_small_file(block_sysfs_folder(device) + "/uevent", kAttributeLimit);
  if (!uevent) return std::nullopt;
  std::string_view rest = *uevent;
  std::string_view name;
  while (!rest.empty()) {
    const auto newline = rest.find('\n');
    const std::string_view line = rest.substr(0, newline);
    rest = newline == std::string_view::npos ? std::string_view{} : rest.substr(newline + 1);
    if (line.starts_with("DEVNAME=")) name = line.substr(8);
  }
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos ||
      name.find('\0') != std::string_view::npos) {
    return std::nullopt;
  }
  return "/dev/" + std::string(name);
}

}  // namespace

std::string block_sysfs_folder(dev_t device) {
  return fmt::format("/sys/dev/block/{}:{}", major(device), minor(device));
}

std::optional<std::string> read_sysfs_attribute(const std::string& path) {
  auto text = read_small_file(path, kAttributeLimit);
  if (!text) return std::nullopt;
  if (!text->empty() && text->back() == '\n') text->pop_back();
  return std::move(*text);
}

std::optional<std::uint64_t> parse_decimal_number(std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<dev_t> parse_device_number(std::string_view text) {
  const auto colon = text.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const auto major_number = parse_decimal_number(text.substr(0, colon));
  const auto minor_number = parse_decimal_number(text.substr(colon + 1));
  if (!major_number || !minor_number || *major_number > std::numeric_limits<unsigned int>::max() ||
      *minor_number > std::numeric_limits<unsigned int>::max()) {
    return std::nullopt;
  }
  return makedev(static_cast<unsigned int>(*major_number), static_cast<unsigned int>(*minor_number));
}

bool is_loop_device(dev_t device) {
  struct stat st {};
  return major(device) != 0 && ::stat((block_sysfs_folder(device) + "/loop").c_str(), &st) == 0;
}

std::optional<std::string> loop_backing_file_name(dev_t device) {
  if (major(device) == 0) return std::nullopt;
  return read_sysfs_attribute(block_sysfs_folder(device) + "/loop/backing_file");
}

std::optional<LoopStatus> loop_status(int fd) {
  loop_info64 info{};
  if (::ioctl(fd, LOOP_GET_STATUS64, &info) != 0) return std::nullopt;
  LoopStatus status;
  status.backing_device = decode_loop_device(info.lo_device);
  status.backing_inode = static_cast<ino_t>(info.lo_inode);
  status.backing_rdev = decode_loop_device(info.lo_rdevice);
  status.offset = info.lo_offset;
  status.size_limit = info.lo_sizelimit;
  status.flags = info.lo_flags;
  return status;
}

std::optional<LoopStatus> loop_status_of(dev_t device) {
  if (!is_loop_device(device)) return std::nullopt;
  const auto node = kernel_node_name(device);
  if (!node) return std::nullopt;
  const Fd loop(::open(node->c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW));
  if (loop.get() < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(loop.get(), &st) != 0 || !S_ISBLK(st.st_mode) || st.st_rdev != device) return std::nullopt;
  return loop_status(loop.get());
}

std::optional<std::string> kernel_block_node(dev_t device) {
  if (major(device) == 0) return std::nullopt;
  return kernel_node_name(device);
}

std::optional<dev_t> loop_device_of(dev_t device) {
  if (is_loop_device(device)) return device;
  if (major(device) == 0) return std::nullopt;
  const std::string folder = block_sysfs_folder(device);
  struct stat st {};
  if (::stat((folder + "/partition").c_str(), &st) != 0) {
    // sysfs shows loop/ only while a file is attached; a loop device with nothing attached is
    // known by the loop driver's major number.
    if (major(device) == LOOP_MAJOR && ::stat(folder.c_str(), &st) == 0) return device;
    return std::nullopt;
  }
  // A partition's sysfs folder lies inside its disk's: "..", taken from the folder's real place,
  // is the disk's.
  const auto text = read_sysfs_attribute(folder + "/../dev");
  if (!text) return std::nullopt;
  const auto disk = parse_device_number(*text);
  if (!disk || *disk == device || !is_loop_device(*disk)) return std::nullopt;
  return *disk;
}

std::optional<std::uint64_t> partition_start(dev_t device) {
  if (major(device) == 0) return std::nullopt;
  const std::string folder = block_sysfs_folder(device);
  struct stat st {};
  if (::stat((folder + "/partition").c_str(), &st) != 0) return std::nullopt;
  const auto text = read_sysfs_attribute(folder + "/start");
  if (!text) return std::nullopt;
  const auto sectors = parse_decimal_number(*text);
  if (!sectors || *sectors > std::numeric_limits<std::uint64_t>::max() / 512) return std::nullopt;
  return *sectors * 512;
}

}  // namespace kavel_lib::platform::posix
