#include "ipc/request_checks.h"

#include <fmt/format.h>

#include "datasource/windows/white_space.h"
#include "platform/drive_table.h"

namespace kavel_lib::ipc {

namespace {

using datasource::windows::trim_white_space;

char ascii_upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string ascii_upper_copy(std::string_view text) {
  std::string copy(text);
  for (char& c : copy) c = ascii_upper(c);
  return copy;
}

// The first component of a path below the root that is not "." (or nothing).
std::string first_component(const std::filesystem::path& path) {
  for (const auto& part : path.relative_path()) {
    if (part.empty() || part == ".") continue;
    return part.native();
  }
  return {};
}

// Whether the path text is longer than a path the system takes, or holds a component longer
// than a file name may be. One pass over the bytes, nothing allocated.
bool path_text_too_long(std::string_view text) {
  if (text.size() > kMaxPathBytes) return true;
  std::size_t component = 0;
  for (const char c : text) {
    component = c == '/' ? 0 : component + 1;
    if (component > kMaxComponentBytes) return true;
  }
  return false;
}

bool is_system_tree(const std::string& component) {
  return component == "dev" || component == "proc" || component == "sys";
}

}  // namespace

std::expected<char, std::string> parse_request_drive_letter(std::string_view text) {
  const std::string_view trimmed = trim_white_space(text);
  if (trimmed.empty()) return std::unexpected(std::string("missing drive letter"));
  const char first = trimmed.front();
  if ((first >= 'A' && first <= 'Z') || (first >= 'a' && first <= 'z')) return ascii_upper(first);
  return std::unexpected(fmt::format("invalid drive letter: {}", json_codec::clip_client_value(text)));
}

std::expected<void, std::string> validate_device_path(std::string_view text) {
  // The device table's own reading of a device path accepts exactly the three forms.
  constexpr std::string_view kPrefix = "\\\\.\\";
  if (text.size() >= 6 && text.starts_with(kPrefix) && platform::device_name_of_path(text).has_value()) return {};
  return std::unexpected(fmt::format("device path not allowed: {}", json_codec::clip_client_value(text)));
}

std::expected<std::filesystem::path, std::string> validate_export_destination(std::string_view text) {
  // First of all, so that no work below grows with a text of any length the frame allows.
  if (path_text_too_long(text)) {
    return std::unexpected(platform::OsError::from_code(platform::win::ERROR_FILENAME_EXCED_RANGE).display());
  }
  // A NUL would end the path early in every system call, so the path acted on would not be
  // the one checked here.
  if (!text.starts_with('/') || text.find('\0') != std::string_view::npos) {
    return std::unexpected(std::string("export destination must be an absolute path"));
  }
  const std::string upper = ascii_upper_copy(text);
  const bool device_text = upper.find("\\\\.\\") != std::string::npos ||
                           upper.find("PHYSICALDRIVE") != std::string::npos ||
                           upper.find("VOLUME{") != std::string::npos;
  const std::filesystem::path path{std::string(text)};
  // Both as written and with "." and ".." worked out: "/dev/x" and "/tmp/../proc/x" alike.
  const bool system_tree =
      is_system_tree(first_component(path)) || is_system_tree(first_component(path.lexically_normal()));
  if (device_text || system_tree) return std::unexpected(std::string("export destination cannot be a device path"));
  return path;
}

std::expected<std::string, std::string> parse_icat_fs_type(std::string_view text) {
  std::string fs(trim_white_space(text));
  for (char& c : fs) c = ascii_lower(c);
  if (fs == "fat" || fs == "exfat" || fs == "ntfs") return fs;
  return std::unexpected(fmt::format("unsupported icat fs type: {}", json_codec::clip_client_value(fs)));
}

std::expected<void, std::string> validate_inode(std::string_view text) {
  const std::string_view trimmed = trim_white_space(text);
  // A NUL would end the argument early: icat would be given another inode than the one checked.
  if (text.size() > kMaxInodeBytes || trimmed.empty() || trimmed.front() == '-' ||
      text.find('\0') != std::string_view::npos) {
    return std::unexpected(std::string("invalid inode"));
  }
  return {};
}

std::expected<nlohmann::json, JsonError> service_status_to_value(const ServiceStatusData& status) {
  // An object of the JSON library keeps its keys in ascending order.
  nlohmann::json value = service_status_to_json(status);
  if (!value.is_object()) return std::unexpected(JsonError{"status record is not an object", 0, 0});
  return value;
}

IpcResponse ipc_response_err(std::string_view code, std::string_view message) {
  return IpcResponse::Err{std::string(code), std::string(message)};
}

std::string io_error_to_string(platform::OsError error) { return error.display(); }

std::string engine_error_to_string(service::EngineError error) { return error.display(); }

}  // namespace kavel_lib::ipc
