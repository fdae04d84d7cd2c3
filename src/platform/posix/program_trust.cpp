#include "platform/program_trust.h"

#include <sys/stat.h>

#include <variant>

#include <fmt/format.h>

#include "platform/drive_pins.h"
#include "platform/errors.h"
#include "platform/posix/drive_path_trust.h"

namespace kavel_lib::platform {

std::expected<void, std::string> check_program_path(const std::filesystem::path& program) {
  const auto service_user = drive_pins_service_user();
  if (!service_user) return {};
  const auto walked = posix::walk_drive_path(program.native(), static_cast<uid_t>(*service_user));
  if (const auto* fault = std::get_if<posix::UntrustedPlace>(&walked)) return std::unexpected(posix::describe(*fault));
  if (std::holds_alternative<posix::NothingThere>(walked)) return std::unexpected(std::string("nothing is there"));
  if (const auto* failed = std::get_if<posix::WalkFailed>(&walked)) {
    return std::unexpected(
        fmt::format("its path cannot be followed: {}", WinError{windows_code_from_errno(failed->error)}.display()));
  }
  // The walk followed every link, so this is what a start of the path runs.
  const auto& file = std::get<posix::ReachedObject>(walked).status;
  if (!S_ISREG(file.st_mode)) return std::unexpected(std::string("it is not a regular file"));
  if (file.st_uid != 0 && file.st_uid != *service_user) {
    return std::unexpected(fmt::format("its file belongs to user {}", file.st_uid));
  }
  // The group bits stand for the ACL mask where the file has one, so a user given write access
  // through an ACL shows here too.
  if ((file.st_mode & S_IWOTH) != 0) return std::unexpected(std::string("its file may be changed by any user"));
  if ((file.st_mode & S_IWGRP) != 0) {
    return std::unexpected(fmt::format("its file may be changed by group {}", file.st_gid));
  }
  return {};
}

}  // namespace kavel_lib::platform
