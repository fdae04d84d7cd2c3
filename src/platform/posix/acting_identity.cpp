// Acting identity on Linux: the file-system user and group (setfsuid, setfsgid) and the
// supplementary groups are attributes of each thread in the kernel. glibc's setgroups changes
// them for every thread of the process, so the raw system call is used instead.
#include "platform/acting_identity.h"

#include <sys/fsuid.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "platform/posix/identity_guard.h"

namespace kavel_lib::platform {

namespace {

thread_local std::optional<FileIdentity> t_acting_identity;
thread_local std::optional<std::uint32_t> t_creation_mask;

// The largest count of supplementary groups the kernel allows.
constexpr long kMaxGroups = 65536;

std::vector<std::uint32_t> sorted_unique(std::vector<std::uint32_t> values) {
  std::sort(values.begin(), values.end());
  values.erase(std::unique(values.begin(), values.end()), values.end());
  return values;
}

// The calling thread's supplementary groups; nothing when they cannot be read.
std::optional<std::vector<std::uint32_t>> thread_groups() {
  for (int attempt = 0; attempt < 4; ++attempt) {
    const long count = ::syscall(SYS_getgroups, 0, nullptr);
    if (count < 0 || count > kMaxGroups) return std::nullopt;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    const long got = ::syscall(SYS_getgroups, count, groups.data());
    if (got < 0) continue;  // the list changed between the two calls
    groups.resize(static_cast<std::size_t>(got));
    return std::vector<std::uint32_t>(groups.begin(), groups.end());
  }
  return std::nullopt;
}

bool set_thread_groups(const std::vector<std::uint32_t>& wanted) {
  const std::vector<gid_t> list(wanted.begin(), wanted.end());
  if (::syscall(SYS_setgroups, list.size(), list.data()) != 0) return false;
  const auto now = thread_groups();
  return now && sorted_unique(*now) == sorted_unique(wanted);
}

// Asking with an id that can never be valid changes nothing and gives the current one.
std::uint32_t thread_fsuid() { return static_cast<std::uint32_t>(::setfsuid(static_cast<uid_t>(-1))); }
std::uint32_t thread_fsgid() { return static_cast<std::uint32_t>(::setfsgid(static_cast<gid_t>(-1))); }

bool set_thread_fsuid(std::uint32_t uid) {
  ::setfsuid(static_cast<uid_t>(uid));
  return thread_fsuid() == uid;
}

bool set_thread_fsgid(std::uint32_t gid) {
  ::setfsgid(static_cast<gid_t>(gid));
  return thread_fsgid() == gid;
}

[[noreturn]] void identity_restore_failed() {
  std::fputs("failed to restore the service's file-system identity\n", stderr);
  std::abort();
}

// Gives the thread its saved identity back, user first (which brings back the file-system
// capabilities that the switch took away) so that the group switches are allowed again.
// Only what differs is switched back: an unprivileged thread may not even set its groups to
// the list it already has.
void restore(std::uint32_t fsuid, std::uint32_t fsgid, const std::vector<std::uint32_t>& groups) {
  if (thread_fsuid() != fsuid && !set_thread_fsuid(fsuid)) identity_restore_failed();
  if (thread_fsgid() != fsgid && !set_thread_fsgid(fsgid)) identity_restore_failed();
  const auto now = thread_groups();
  if (!now) identity_restore_failed();
  if (sorted_unique(*now) != sorted_unique(groups) && !set_thread_groups(groups)) identity_restore_failed();
}

// Takes on the wanted identity, groups and group first: once the user is switched away from
// root, the thread may no longer change them. Only what differs is switched.
bool take_on(const FileIdentity& wanted, std::uint32_t fsuid, std::uint32_t fsgid,
             const std::vector<std::uint32_t>& groups) {
  return (sorted_unique(groups) == sorted_unique(wanted.groups) || set_thread_groups(wanted.groups)) &&
         (fsgid == wanted.gid || set_thread_fsgid(wanted.gid)) && (fsuid == wanted.uid || set_thread_fsuid(wanted.uid));
}

// The guard of this thread that has switched identities, if any.
thread_local const posix::IdentityGuard* t_active_guard = nullptr;
// Whether a service-identity scope of this thread is active.
thread_local bool t_service_scope = false;

}  // namespace

FileIdentity process_identity() {
  FileIdentity identity;
  identity.uid = static_cast<std::uint32_t>(::geteuid());
  identity.gid = static_cast<std::uint32_t>(::getegid());
  if (auto groups = thread_groups()) identity.groups = std::move(*groups);
  return identity;
}

bool same_identity(const FileIdentity& a, const FileIdentity& b) {
  return a.uid == b.uid && a.gid == b.gid && sorted_unique(a.groups) == sorted_unique(b.groups);
}

std::optional<FileIdentity> current_acting_identity() { return t_acting_identity; }

ScopedActingIdentity::ScopedActingIdentity(std::optional<FileIdentity> identity)
    : previous_(std::exchange(t_acting_identity, std::move(identity))) {}

ScopedActingIdentity::~ScopedActingIdentity() { t_acting_identity = std::move(previous_); }

std::optional<std::uint32_t> current_creation_mask() { return t_creation_mask; }

ScopedCreationMask::ScopedCreationMask(std::optional<std::uint32_t> mask)
    : previous_(std::exchange(t_creation_mask, mask ? std::optional<std::uint32_t>(*mask & 0777) : std::nullopt)) {}

ScopedCreationMask::~ScopedCreationMask() { t_creation_mask = previous_; }

namespace posix {

IdentityGuard::IdentityGuard() {
  if (!t_acting_identity || t_active_guard != nullptr) return;
  const FileIdentity& wanted = *t_acting_identity;
  auto groups = thread_groups();
  if (!groups) {
    failure_ = OsError::from_code(win::ERROR_ACCESS_DENIED);
    return;
  }
  saved_fsuid_ = thread_fsuid();
  saved_fsgid_ = thread_fsgid();
  saved_groups_ = std::move(*groups);
  if (!take_on(wanted, saved_fsuid_, saved_fsgid_, saved_groups_)) {
    restore(saved_fsuid_, saved_fsgid_, saved_groups_);
    failure_ = OsError::from_code(win::ERROR_ACCESS_DENIED);
    return;
  }
  switched_ = true;
  t_active_guard = this;
}

IdentityGuard::~IdentityGuard() {
  if (!switched_) return;
  restore(saved_fsuid_, saved_fsgid_, saved_groups_);
  t_active_guard = nullptr;
}

ServiceIdentityScope::ServiceIdentityScope() {
  if (t_active_guard == nullptr || t_service_scope) return;
  guard_ = t_active_guard;
  restore(guard_->saved_fsuid_, guard_->saved_fsgid_, guard_->saved_groups_);
  t_service_scope = true;
}

ServiceIdentityScope::~ServiceIdentityScope() {
  if (guard_ == nullptr) return;
  t_service_scope = false;
  // The acting identity cannot change while its guard lives: it is the one the guard took on.
  const auto groups = thread_groups();
  if (!t_acting_identity || !groups ||
      !take_on(*t_acting_identity, guard_->saved_fsuid_, guard_->saved_fsgid_, *groups)) {
    std::fputs("failed to take on the client's file-system identity again\n", stderr);
    std::abort();
  }
}

}  // namespace posix

}  // namespace kavel_lib::platform
