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
  bool switched_ = false;
  std::optional<OsError> failure_;
  std::uint32_t saved_fsuid_ = 0;
  std::uint32_t saved_fsgid_ = 0;
  std::vector<std::uint32_t> saved_groups_;
};

}  // namespace kavel_lib::platform::posix
