// Inside the backend: the file systems that hold the kernel's own objects (processes and their
// memory, kernel settings and counters, security policy, control groups, firmware variables)
// rather than files that someone stored, told by the type statfs reports.
//
// Nothing on them is an image, and nothing may be written into them. devtmpfs (/dev) is not one
// of them: it reports the type of tmpfs, and its block device nodes are drives like any other.
#pragma once

#include <sys/vfs.h>

namespace kavel_lib::platform::posix {

bool is_kernel_file_system(decltype(statfs::f_type) type);

}  // namespace kavel_lib::platform::posix
