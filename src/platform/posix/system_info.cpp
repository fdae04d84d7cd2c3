#include "platform/system_info.h"

#include <malloc.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <system_error>

namespace kavel_lib::platform {

namespace {
std::optional<std::filesystem::path> env_path(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::filesystem::path(value);
}
}  // namespace

std::filesystem::path executable_dir() {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return {};
  return exe.parent_path();
}

std::expected<std::filesystem::path, OsError> executable_path() {
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return std::unexpected(OsError::from_errno(ec.value()));
  return exe;
}

std::filesystem::path temp_dir() { return env_path("TMPDIR").value_or(std::filesystem::path("/tmp")); }

unsigned processor_count() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<unsigned>(n);
  }
  const long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<unsigned>(n) : 0;
}

std::uint32_t current_process_id() { return static_cast<std::uint32_t>(::getpid()); }

std::optional<std::filesystem::path> roaming_app_data_dir() {
  if (auto xdg = env_path("XDG_DATA_HOME")) return xdg;
  if (auto home = env_path("HOME")) return *home / ".local" / "share";
  return std::nullopt;
}

bool is_elevated() { return ::geteuid() == 0; }

namespace {
// The kernel's ceiling for one process's descriptors (fs.nr_open); 1,048,576 when unreadable.
rlim_t descriptor_ceiling() {
  constexpr rlim_t kDefaultCeiling = 1u << 20;
  std::ifstream in("/proc/sys/fs/nr_open");
  unsigned long long value = 0;
  if (in >> value && value > 0) return static_cast<rlim_t>(value);
  return kDefaultCeiling;
}
}  // namespace

std::expected<std::uint64_t, OsError> raise_descriptor_limit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return std::unexpected(OsError::from_errno(errno));
  const rlim_t target = limit.rlim_max == RLIM_INFINITY ? descriptor_ceiling() : limit.rlim_max;
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < target) {
    rlimit raised = limit;
    raised.rlim_cur = target;
    if (::setrlimit(RLIMIT_NOFILE, &raised) != 0) return std::unexpected(OsError::from_errno(errno));
    limit = raised;
  }
  return static_cast<std::uint64_t>(limit.rlim_cur);
}

void return_free_memory() {
  // Every arena's free pages, not only the main heap's top: each connection thread allocates
  // from an arena of its own.
  (void)::malloc_trim(0);
}

}  // namespace kavel_lib::platform
