// Inside the backend: takes on the thread's acting identity (acting_identity.h) for the length
// of one file operation.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/errors.h"

namespace kavel_lib::platform::posix {

// When the thread names an acting identity, switches the thread's file-system user, group and
// supplementary groups to it (each switch checked by asking again) and switches them back when
// the guard ends. A switch that did not take leaves the service's identity in place and makes
// failure() say so; a switch back that does not take stops the program. A guard made while
// another is active on the thread changes nothing.
class IdentityGuard {
 public:
  IdentityGuard();
  ~IdentityGuard();
  IdentityGuard(const IdentityGuard&) = delete;
  IdentityGuard& operator=(const IdentityGuard&) = delete;

  // Nothing when the operation may go on.
  [[nodiscard]] const std::optional<OsError>& failure() const { return failure_; }

 private:
  friend class ServiceIdentityScope;
  bool switched_ = false;
  std::optional<OsError> failure_;
  std::uint32_t saved_fsuid_ = 0;
  std::uint32_t saved_fsgid_ = 0;
  std::vector<std::uint32_t> saved_groups_;
};

// Inside an active guard of this thread, gives the thread the service's own identity back for
// the life of the scope: the checks of a destination look at the places the service itself
// must see (the mount table, the devices, the images), which the client may not be allowed to
// reach. The guard's identity is taken on again when the scope ends; if that does not take, the
// program stops (the thread would otherwise go on writing as the service). Without an active
// guard, or inside another such scope, it changes nothing.
class ServiceIdentityScope {
 public:
  ServiceIdentityScope();
  ~ServiceIdentityScope();
  ServiceIdentityScope(const ServiceIdentityScope&) = delete;
  ServiceIdentityScope& operator=(const ServiceIdentityScope&) = delete;

 private:
  const IdentityGuard* guard_ = nullptr;
};

}  // namespace kavel_lib::platform::posix
