#include "support/loop_mount.h"

#include <fcntl.h>
#include <linux/blkpg.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "support/test_env.h"

namespace kavel_test {

namespace fs = std::filesystem;

Closer::~Closer() {
  if (fd >= 0) ::close(fd);
}

std::expected<LoopDevice, std::string> LoopDevice::attach(const fs::path& file, std::uint64_t offset) {
  LoopSetup setup;
  setup.offset = offset;
  return attach(file, setup);
}

std::expected<LoopDevice, std::string> LoopDevice::attach(const fs::path& file, const LoopSetup& setup) {
  const Closer control(::open("/dev/loop-control", O_RDWR | O_CLOEXEC));
  if (control.fd < 0) return std::unexpected("no /dev/loop-control");
  const Closer backing(::open(file.c_str(), (setup.read_only ? O_RDONLY : O_RDWR) | O_CLOEXEC));
  if (backing.fd < 0) return std::unexpected("the image cannot be opened");
  // Another program may take the free device first: ask again.
  for (int attempt = 0; attempt < 16; ++attempt) {
    const int number = ::ioctl(control.fd, LOOP_CTL_GET_FREE);
    if (number < 0) return std::unexpected("no free loop device");
    LoopDevice loop;
    loop.node_ = "/dev/loop" + std::to_string(number);
    loop.fd_ = ::open(loop.node_.c_str(), O_RDWR | O_CLOEXEC);
    if (loop.fd_ < 0) return std::unexpected("no node " + loop.node_);
    loop_config config{};
    config.fd = static_cast<__u32>(backing.fd);
    config.info.lo_offset = setup.offset;
    config.info.lo_sizelimit = setup.size_limit;
    config.info.lo_flags = LO_FLAGS_PARTSCAN | LO_FLAGS_AUTOCLEAR | (setup.read_only ? static_cast<unsigned>(LO_FLAGS_READ_ONLY) : 0U);
    if (::ioctl(loop.fd_, LOOP_CONFIGURE, &config) == 0) return loop;
    if (errno != EBUSY) return std::unexpected("loop device set-up failed");
  }
  return std::unexpected("no free loop device");
}

LoopDevice::LoopDevice(LoopDevice&& other) noexcept
    : node_(std::move(other.node_)), fd_(std::exchange(other.fd_, -1)), partition_(other.partition_) {}

LoopDevice::~LoopDevice() {
  if (fd_ < 0) return;
  if (partition_) {
    blkpg_partition part{};
    part.pno = 1;
    blkpg_ioctl_arg arg{BLKPG_DEL_PARTITION, 0, sizeof part, &part};
    (void)::ioctl(fd_, BLKPG, &arg);
  }
  (void)::ioctl(fd_, LOOP_CLR_FD, 0);
  ::close(fd_);
}

std::expected<fs::path, std::string> LoopDevice::partition_node(std::uint64_t start, std::uint64_t length,
                                                                const fs::path& folder) {
  const auto name = fs::path(node_).filename().string();
  const auto sysfs = "/sys/block/" + name + "/" + name + "p1/dev";
  if (!fs::exists(sysfs)) {
    blkpg_partition part{};
    part.start = static_cast<long long>(start);
    part.length = static_cast<long long>(length);
    part.pno = 1;
    blkpg_ioctl_arg arg{BLKPG_ADD_PARTITION, 0, sizeof part, &part};
    if (::ioctl(fd_, BLKPG, &arg) != 0) return std::unexpected("the partition cannot be added");
    partition_ = true;
  }
  // No udev here: the node is made from the number sysfs gives.
  const std::string text = read_file(sysfs);
  unsigned major_number = 0, minor_number = 0;
  if (std::sscanf(text.c_str(), "%u:%u", &major_number, &minor_number) != 2) return std::unexpected("no partition");
  const auto node = folder / (name + "p1");
  if (::mknod(node.c_str(), S_IFBLK | 0600, makedev(major_number, minor_number)) != 0) {
    return std::unexpected("cannot make the partition's node");
  }
  return node;
}

Mounted::Mounted(const std::string& source, fs::path target, const char* type) : target_(std::move(target)) {
  fs::create_directories(target_);
  mounted_ = ::mount(source.c_str(), target_.c_str(), type, MS_NOATIME, nullptr) == 0;
}

Mounted::Mounted(const std::string& source, fs::path target, const char* type, unsigned long flags,
                 const std::string& data)
    : target_(std::move(target)) {
  mounted_ = ::mount(source.c_str(), target_.c_str(), type, flags, data.empty() ? nullptr : data.c_str()) == 0;
}

Mounted::Mounted(fs::path target, bool mounted) : target_(std::move(target)), mounted_(mounted) {}

Mounted::~Mounted() { unmount(); }

void Mounted::unmount() {
  if (mounted_ && ::umount2(target_.c_str(), 0) != 0) (void)::umount2(target_.c_str(), MNT_DETACH);
  mounted_ = false;
}

}  // namespace kavel_test
