#include "service/tool_config.h"

#include <fmt/format.h>

#include <array>
#include <cstdlib>
#include <system_error>
#include <vector>

#include "platform/program_trust.h"
#include "platform/small_file.h"
#include "platform/system_info.h"
#include "service/utf8_text.h"

#ifndef KAVEL_BUILD_TOOLS_DIR
#define KAVEL_BUILD_TOOLS_DIR ""
#endif

namespace kavel_lib::service {

namespace {

namespace fs = std::filesystem;

// The folder of bundled tools fixed when the program was built; empty when none was set.
constexpr std::string_view kBuildToolsDir = KAVEL_BUILD_TOOLS_DIR;
constexpr const char* kToolsEnvironmentVariable = "KAVEL_BUNDLED_TOOLS";
constexpr std::string_view kConfigFileName = "config.json";
// "config.json" holds five paths; anything near this size is not one.
constexpr std::size_t kConfigSizeLimit = 1 << 20;

// The candidate file names of each tool, in the order they are tried; the first also forms the
// tool's default path. Off Windows the plain program names follow the Windows ones.
#ifdef _WIN32
constexpr std::array<std::string_view, 2> kDdrescueNames = {"ddrescue.exe", "ddrescue64.exe"};
constexpr std::array<std::string_view, 2> kTestdiskNames = {"testdisk_win.exe", "testdisk.exe"};
constexpr std::array<std::string_view, 3> kPhotorecNames = {"photorec_win.exe", "photorec.exe", "qphotorec_win.exe"};
#else
constexpr std::array<std::string_view, 3> kDdrescueNames = {"ddrescue.exe", "ddrescue64.exe", "ddrescue"};
constexpr std::array<std::string_view, 3> kTestdiskNames = {"testdisk_win.exe", "testdisk.exe", "testdisk"};
constexpr std::array<std::string_view, 4> kPhotorecNames = {"photorec_win.exe", "photorec.exe",
                                                            "qphotorec_win.exe", "photorec"};
#endif
constexpr std::array<std::string_view, 2> kFlsNames = {"fls.exe", "fls"};
constexpr std::array<std::string_view, 2> kForemostNames = {"foremost.exe", "foremost"};
constexpr std::array<std::string_view, 2> kIcatNames = {"icat.exe", "icat"};

struct ToolEntry {
  std::string_view folder;
  std::span<const std::string_view> candidates;
  std::optional<std::string> ToolConfig::*field;
};

// In the order of the fields of ToolConfig.
const std::array<ToolEntry, 5> kTools = {{
    {"ddrescue", kDdrescueNames, &ToolConfig::ddrescue},
    {"testdisk", kTestdiskNames, &ToolConfig::testdisk},
    {"photorec", kPhotorecNames, &ToolConfig::photorec},
    {"sleuthkit", kFlsNames, &ToolConfig::fls},
    {"foremost", kForemostNames, &ToolConfig::foremost},
}};

bool ascii_iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// A path text with a NUL character would be tested (and run) cut short at the NUL; such a path
// names nothing.
bool has_nul(const fs::path& path) { return path.native().find('\0') != fs::path::string_type::npos; }

std::optional<fs::path> first_file_in(const fs::path& folder, std::span<const std::string_view> names) {
  for (const auto name : names) {
    auto candidate = folder / name;
    if (path_is_file(candidate)) return candidate;
  }
  return std::nullopt;
}

}  // namespace

bool path_exists(const fs::path& path) {
  if (has_nul(path)) return false;
  std::error_code ec;
  const auto st = fs::status(path, ec);
  return !ec && fs::exists(st);
}

bool path_is_file(const fs::path& path) {
  if (has_nul(path)) return false;
  std::error_code ec;
  const auto st = fs::status(path, ec);
  return !ec && fs::is_regular_file(st);
}

bool path_is_folder(const fs::path& path) {
  if (has_nul(path)) return false;
  std::error_code ec;
  const auto st = fs::status(path, ec);
  return !ec && fs::is_directory(st);
}

std::string path_text(const fs::path& path) { return utf8_lossy(path.native()); }

fs::path exe_dir() { return platform::executable_dir(); }

fs::path bundled_tools_dir() {
  const auto beside = exe_dir() / "3rd";
  if (path_is_folder(beside)) return beside;
  if (!kBuildToolsDir.empty()) {
    const fs::path fixed(kBuildToolsDir);
    if (fixed.is_absolute() && path_is_folder(fixed)) return fixed;
  }
  if (const char* value = std::getenv(kToolsEnvironmentVariable); value != nullptr) {
    const std::string_view text(value);
    if (is_valid_utf8(text) && !text.empty() && path_is_folder(fs::path(text))) return fs::path(text);
  }
  return beside;
}

ToolConfig load_service_config() {
  const auto path = exe_dir() / kConfigFileName;
  if (!path_exists(path)) return default_tool_config();
  const auto text = platform::read_small_file(path, kConfigSizeLimit);
  if (!text) return default_tool_config();
  if (auto config = parse_tool_config(*text)) return *std::move(config);
  return default_tool_config();
}

ToolConfig default_tool_config() {
  const auto tools = bundled_tools_dir();
  ToolConfig config;
  for (const auto& tool : kTools) {
    config.*tool.field = path_text(tools / tool.folder / tool.candidates.front());
  }
  return config;
}

ToolConfig resolve_tool_paths(const ToolConfig& config) {
  const auto tools = bundled_tools_dir();
  std::array<std::optional<std::string>, kTools.size()> discovered;
  for (std::size_t i = 0; i < kTools.size(); ++i) {
    discovered[i] = probe_candidates(tools / kTools[i].folder, kTools[i].candidates);
  }
  ToolConfig resolved;
  for (std::size_t i = 0; i < kTools.size(); ++i) {
    resolved.*kTools[i].field = resolve_configured_tool(config.*kTools[i].field, discovered[i]);
  }
  return resolved;
}

ToolConfig load_config_and_resolve_tools() { return resolve_tool_paths(load_service_config()); }

fs::path absolutize_against_exe_dir(std::string_view text) {
  const fs::path path(text);
  if (path.is_absolute()) return path;
  return exe_dir() / path;
}

std::optional<std::string> probe_candidates(const fs::path& folder, std::span<const std::string_view> names) {
  if (auto found = first_file_in(folder, names)) return path_text(*found);
  return std::nullopt;
}

std::optional<std::string> resolve_configured_tool(const std::optional<std::string>& configured,
                                                   const std::optional<std::string>& discovered) {
  if (!configured) return discovered;
  if (path_exists(absolutize_against_exe_dir(*configured))) return configured;
  return discovered;
}

std::optional<fs::path> find_tool_executable(std::span<const std::string_view> names) {
  const auto tools = bundled_tools_dir();
  std::vector<fs::path> folders{tools};
  std::error_code ec;
  fs::directory_iterator it(tools, ec);
  if (!ec) {
    for (const fs::directory_iterator end; it != end; it.increment(ec)) {
      if (ec) break;
      std::error_code entry_ec;
      const auto type = it->symlink_status(entry_ec).type();
      // Only real folders one level down; a link to a folder is not followed.
      if (!entry_ec && type == fs::file_type::directory) folders.push_back(it->path());
    }
  }
  for (const auto& folder : folders) {
    if (auto found = first_file_in(folder, names)) return found;
  }
  return std::nullopt;
}

std::expected<fs::path, EngineError> find_icat(const ToolConfig& resolved) {
  if (resolved.fls) {
    const auto fls = absolutize_against_exe_dir(*resolved.fls);
    const auto name = fls.filename().native();
    if (ascii_iequals(name, "icat") || ascii_iequals(name, "icat.exe")) return fls;
    if (fls.has_relative_path()) {
      if (auto found = first_file_in(fls.parent_path(), kIcatNames)) return *found;
    }
  }
  if (auto found = find_tool_executable(kIcatNames)) return *found;
  return std::unexpected(EngineError::tool_not_found("Recovery tools not found"));
}

std::expected<LocatedTool, EngineError> require_tool_file(std::string_view label, const fs::path& path) {
  if (path_exists(path)) return LocatedTool{path, std::string(label)};
  return std::unexpected(EngineError::tool_not_found(fmt::format("{} not found at {}", label, path_text(path))));
}

std::expected<void, std::string> check_tool_place(const LocatedTool& tool) {
  if (auto passed = platform::check_program_path(tool.path); !passed) {
    return std::unexpected(fmt::format("{} at {} is refused: {}", tool.label, path_text(tool.path), passed.error()));
  }
  return {};
}

}  // namespace kavel_lib::service
