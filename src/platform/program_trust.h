// Whether a program the service is about to start lies where only root and the service's own
// user can change it.
//
// The service starts outside tools with its own rights, from wherever the tool search found
// them. With the drive pins on (drive_pins.h: the service program), the same rule as for a
// drive's path applies to a program's: every folder and link on the way must pass the walk of
// the drive paths, the path must end on a regular file, and that file must belong to root or the
// service's user and be writable by no one else. Once it passes, only those two users can change
// what the path leads to, so the caller starts the program by that path as it is.
//
// Without pins every path passes: a process that never pins runs the tools of whoever started it.
#pragma once

#include <expected>
#include <filesystem>
#include <string>

namespace kavel_lib::platform {

// Nothing when `program` passes (or the pins are off); otherwise why it does not, naming the
// place at fault: "its path passes through /srv/u, which user 52001 may change", "its file
// belongs to user 52001", "its file may be changed by group 100", ...
std::expected<void, std::string> check_program_path(const std::filesystem::path& program);

}  // namespace kavel_lib::platform
