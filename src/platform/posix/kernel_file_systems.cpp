#include "platform/posix/kernel_file_systems.h"

#include <linux/magic.h>

#include <array>

namespace kavel_lib::platform::posix {

namespace {

// Kernel file systems whose type the kernel's user headers do not name.
constexpr unsigned long kConfigfsMagic = 0x62656570;
constexpr unsigned long kFusectlMagic = 0x65735543;
constexpr unsigned long kMqueueMagic = 0x19800202;
constexpr unsigned long kRpcPipefsMagic = 0x67596969;
constexpr unsigned long kNfsdMagic = 0x6e667364;

constexpr std::array<unsigned long, 30> kKernelTypes = {
    PROC_SUPER_MAGIC,   SYSFS_MAGIC,          DEVPTS_SUPER_MAGIC,   CGROUP_SUPER_MAGIC,     CGROUP2_SUPER_MAGIC,
    DEBUGFS_MAGIC,      TRACEFS_MAGIC,        SECURITYFS_MAGIC,     kConfigfsMagic,         BPF_FS_MAGIC,
    EFIVARFS_MAGIC,     PSTOREFS_MAGIC,       SELINUX_MAGIC,        SMACK_MAGIC,            AAFS_MAGIC,
    BINFMTFS_MAGIC,     NSFS_MAGIC,           RDTGROUP_SUPER_MAGIC, USBDEVICE_SUPER_MAGIC,  OPENPROM_SUPER_MAGIC,
    XENFS_SUPER_MAGIC,  BINDERFS_SUPER_MAGIC, kFusectlMagic,        kMqueueMagic,           kRpcPipefsMagic,
    kNfsdMagic,         PIPEFS_MAGIC,         SOCKFS_MAGIC,         ANON_INODE_FS_MAGIC,    BDEVFS_MAGIC};

}  // namespace

bool is_kernel_file_system(decltype(statfs::f_type) type) {
  for (const auto kernel : kKernelTypes) {
    if (static_cast<unsigned long>(type) == kernel) return true;
  }
  return false;
}

}  // namespace kavel_lib::platform::posix
