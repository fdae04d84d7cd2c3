// Facts of the running process and its machine.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>

#include "platform/errors.h"

namespace kavel_lib::platform {

// The folder of the running program's file; empty when it cannot be had.
std::filesystem::path executable_dir();
// The full path of the running program's file.
std::expected<std::filesystem::path, OsError> executable_path();
// $TMPDIR, else /tmp.
std::filesystem::path temp_dir();
// The count of processors this process may run on; 0 when unknown.
unsigned processor_count();
// The current process number.
std::uint32_t current_process_id();
// The user's roaming application-data folder: $XDG_DATA_HOME, else $HOME/.local/share;
// nothing when neither is set.
std::optional<std::filesystem::path> roaming_app_data_dir();
// Whether the process runs elevated (effective user id 0).
bool is_elevated();

// Raises this process's soft limit of open descriptors as far as the hard limit allows (where
// the hard limit is unlimited, to the system's per-process ceiling). The service holds one
// descriptor per open connection and allows many more than the usual soft limit of 1,024.
// Gives the soft limit in force afterwards, or the error of the system call.
std::expected<std::uint64_t, OsError> raise_descriptor_limit();

// Hands the memory the allocator holds free back to the system, so that a large request that
// has been served no longer counts in the process's resident memory.
void return_free_memory();

}  // namespace kavel_lib::platform
