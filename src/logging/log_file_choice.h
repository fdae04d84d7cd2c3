// Where the service's log file goes: the first usable of four folders, the size limit applied
// at start-up, and the file opened for appending.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

#include "platform/log_file.h"

namespace kavel_lib::logging {

inline constexpr std::string_view kLogFileName = "app.log";
inline constexpr std::string_view kProbeFileName = ".write_test";
// A log file longer than this is removed at start-up (10 MiB).
inline constexpr std::uint64_t kLogSizeLimit = 0xA00000;

struct LogFolderCandidate {
  std::filesystem::path folder;
  // Set for the folders in the temporary folder, where every user may create files. There
  // the probe file is only ever created new, "app.log" is never followed through a link and
  // is used only when it is the service user's own regular file (else the candidate is
  // skipped), and each folder from `shared_root` down to `folder` must be a real folder of the
  // service's user or of root.
  std::optional<std::filesystem::path> shared_root;
};

// In order: the application data folder's "log", "log" beside the executable, the temporary
// folder's "Polvane/log", the temporary folder itself.
std::vector<LogFolderCandidate> log_folder_candidates();

// The last resort when no candidate is usable: the temporary folder itself, untested.
LogFolderCandidate last_resort_log_folder();

struct OpenedLog {
  std::filesystem::path path;
  platform::AppendFile file;
};

// Chooses the folder, removes an "app.log" there that is longer than kLogSizeLimit and opens
// "app.log" for appending. Nothing when the file cannot be opened.
std::optional<OpenedLog> open_log_file(std::span<const LogFolderCandidate> candidates,
                                       const LogFolderCandidate& last_resort);

}  // namespace kavel_lib::logging
