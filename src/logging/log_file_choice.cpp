#include "logging/log_file_choice.h"

#include <system_error>

#include "ipc/app_data.h"
#include "platform/acting_identity.h"
#include "platform/system_info.h"
#include "service/tool_config.h"

namespace kavel_lib::logging {

namespace {

std::uint32_t service_user() { return platform::process_identity().uid; }

// Makes the folders from the shared root down to the candidate one at a time, each checked
// (without following links) to be a folder of the service's user or of root before anything
// is made inside it: another user's folder, or a link, could lead anywhere.
bool make_shared_folders(const LogFolderCandidate& candidate) {
  const std::uint32_t self = service_user();
  const auto owned = [&](const std::filesystem::path& folder) {
    const auto facts = platform::path_facts(folder);
    return facts && facts->directory && (facts->owner == self || facts->owner == 0);
  };
  const std::filesystem::path& root = *candidate.shared_root;
  const auto relative = candidate.folder.lexically_relative(root);
  if (relative.empty() || *relative.begin() == "..") return false;
  if (!owned(root)) return false;
  std::filesystem::path folder = root;
  for (const auto& part : relative) {
    if (part == "." || part.empty()) continue;
    folder /= part;
    std::error_code ec;
    std::filesystem::create_directory(folder, ec);  // an existing one is checked below
    if (!owned(folder)) return false;
  }
  return true;
}

// The folder can hold the log: it exists or was made, and a small file can be written in it.
bool folder_usable(const LogFolderCandidate& candidate) {
  std::error_code ec;
  if (candidate.shared_root) {
    if (!make_shared_folders(candidate)) return false;
  } else {
    std::filesystem::create_directories(candidate.folder, ec);
    if (ec) return false;
  }
  const auto probe = candidate.folder / kProbeFileName;
  if (!platform::write_probe_file(probe, "ok", candidate.shared_root.has_value())) return false;
  std::filesystem::remove(probe, ec);  // a probe that stays behind is harmless
  return true;
}

// In a shared folder, an "app.log" that is there must be the service user's own regular file
// under this one name: a hard link placed there could stand for any file of that user.
bool shared_log_acceptable(const std::filesystem::path& log_path) {
  const auto facts = platform::path_facts(log_path);
  if (!facts) return false;
  return !facts->exists || (facts->regular && facts->owner == service_user() && facts->links == 1);
}

}  // namespace

std::vector<LogFolderCandidate> log_folder_candidates() {
  const std::filesystem::path temp = platform::temp_dir();
  return {
      LogFolderCandidate{ipc::app_data_dir() / "log", std::nullopt},
      LogFolderCandidate{service::exe_dir() / "log", std::nullopt},
      LogFolderCandidate{temp / "Polvane" / "log", temp},
      LogFolderCandidate{temp, temp},
  };
}

LogFolderCandidate last_resort_log_folder() {
  const std::filesystem::path temp = platform::temp_dir();
  return LogFolderCandidate{temp, temp};
}

std::optional<OpenedLog> open_log_file(std::span<const LogFolderCandidate> candidates,
                                       const LogFolderCandidate& last_resort) {
  const LogFolderCandidate* chosen = nullptr;
  for (const auto& candidate : candidates) {
    if (!folder_usable(candidate)) continue;
    if (candidate.shared_root && !shared_log_acceptable(candidate.folder / kLogFileName)) continue;
    chosen = &candidate;
    break;
  }
  if (chosen == nullptr) {
    chosen = &last_resort;
    if (last_resort.shared_root && !shared_log_acceptable(last_resort.folder / kLogFileName)) return std::nullopt;
  }

  const bool shared = chosen->shared_root.has_value();
  std::filesystem::path log_path = chosen->folder / kLogFileName;
  std::error_code ec;
  if (shared) {
    // Only the service user's own file gets here (checked above).
    const auto facts = platform::path_facts(log_path);
    if (facts && facts->exists && facts->regular && facts->size > kLogSizeLimit) std::filesystem::remove(log_path, ec);
  } else {
    const auto size = std::filesystem::file_size(log_path, ec);
    if (!ec && size > kLogSizeLimit) std::filesystem::remove(log_path, ec);
  }

  const std::optional<std::uint32_t> owner = shared ? std::optional<std::uint32_t>(service_user()) : std::nullopt;
  auto file = platform::AppendFile::open(log_path, !shared, owner);
  if (!file) return std::nullopt;
  return OpenedLog{std::move(log_path), std::move(*file)};
}

}  // namespace kavel_lib::logging
