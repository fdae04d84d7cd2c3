// Starting a copy of a program with administrator rights: the shell's "runas" verb
// (ShellExecuteExW), behind which Windows shows the User Account Control prompt.
//
// On Linux "elevated" is effective user id 0 (system_info.h) and the prompt is sudo's, in two
// steps through the helper program named by KAVEL_ELEVATE (default "sudo"), both on the
// caller's terminal:
//   1. `HELPER -v` asks for the password. An exit status other than 0 is the user's refusal:
//      ERROR_CANCELLED (1223), "The operation was canceled by the user.".
//   2. `HELPER /usr/bin/env KAVEL_...=... PROGRAM PARAMETERS...` starts the elevated copy. The
//      KAVEL_* variables of this process are passed on as `env` arguments: sudo clears the
//      environment and refuses `VAR=value` of its own without the SETENV tag.
// A helper that cannot be started fails with the Windows code of the start's error (2 when it
// is not found).
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/errors.h"

namespace kavel_lib::platform {

// The environment variable naming the elevation helper.
inline constexpr const char* kElevateHelperVariable = "KAVEL_ELEVATE";

// A started elevated copy. The starter owns it and waits for it.
class ElevatedProcess {
 public:
  ElevatedProcess() = default;
  explicit ElevatedProcess(std::int32_t process_id) : pid_(process_id) {}
  ElevatedProcess(ElevatedProcess&& other) noexcept;
  ElevatedProcess& operator=(ElevatedProcess&& other) noexcept;
  ElevatedProcess(const ElevatedProcess&) = delete;
  ElevatedProcess& operator=(const ElevatedProcess&) = delete;
  // A copy nobody waited for is left running: it serves on its own.
  ~ElevatedProcess() = default;

  [[nodiscard]] std::int32_t id() const { return pid_; }
  // Waits until the copy (the helper running it) has ended; gives its exit code, or nothing
  // when a signal ended it.
  std::expected<std::optional<std::uint32_t>, OsError> wait();

 private:
  std::int32_t pid_ = -1;
};

// The helper's argument lists of the two steps, as they are run (the helper's name first).
std::vector<std::string> elevation_prompt_command(const std::string& helper);
std::vector<std::string> elevated_copy_command(const std::string& helper, const std::filesystem::path& program,
                                               const std::vector<std::string>& parameters,
                                               const std::vector<std::string>& kavel_environment);

// The KAVEL_* entries ("NAME=value") of this process's environment, in their order.
std::vector<std::string> kavel_environment();

// Starts `program` elevated with the parameters, as described at the top.
std::expected<ElevatedProcess, WinError> shell_execute_runas(const std::filesystem::path& program,
                                                             const std::vector<std::string>& parameters);

}  // namespace kavel_lib::platform
