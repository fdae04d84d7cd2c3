// The application data folder: the per-user folder in which the library keeps its files (the
// client registry file, and the service's first choice of log folder).
#pragma once

#include <filesystem>

namespace kavel_lib::ipc {

// The user's roaming application-data folder joined with "Polvane"; "./Polvane" (relative to
// the current directory) when that folder cannot be had. Never fails; creates nothing.
std::filesystem::path app_data_dir();

}  // namespace kavel_lib::ipc
