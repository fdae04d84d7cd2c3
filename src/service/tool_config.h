// Where the outside tools are: the tool configuration file "config.json" beside the executable,
// the tools folder (beside the executable, fixed at build time, or named by
// KAVEL_BUNDLED_TOOLS) and, for icat, the folder of the configured or found fls; and whether the
// service may start what the search found there.
//
// Nothing is cached: every call reads the file system and the configuration file anew, so an
// edited "config.json" takes effect on the next call.
#pragma once

#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "service/engine_error.h"

namespace kavel_lib::service {

// The tool configuration: one optional path (absolute, or relative to the executable folder)
// per tool. As read from "config.json", or after resolution, when each field holds the path
// that will be used for the tool, or nothing.
struct ToolConfig {
  std::optional<std::string> ddrescue;
  std::optional<std::string> testdisk;
  std::optional<std::string> photorec;
  std::optional<std::string> fls;  // icat is looked for beside it
  std::optional<std::string> foremost;

  friend bool operator==(const ToolConfig&, const ToolConfig&) = default;
};

// A tool whose executable was found to exist, and the short label that names it in every
// message about it.
struct LocatedTool {
  std::filesystem::path path;
  std::string label;
};

// The folder of the running program's file; empty when it cannot be had.
std::filesystem::path exe_dir();

// The tools folder: "3rd" beside the executable if it is a folder, else the folder fixed at
// build time if it is one, else $KAVEL_BUNDLED_TOOLS if it names a folder, else "3rd" beside
// the executable whether or not it exists.
std::filesystem::path bundled_tools_dir();

// "config.json" beside the executable decoded, or the defaults when the file is missing,
// unreadable, not UTF-8 or malformed. Fields the file leaves unset stay unset.
ToolConfig load_service_config();

// Decodes the text of "config.json": an object with the five keys (texts or nulls; other keys
// skipped; a key given twice fails) or an array of at most five texts or nulls; only JSON white
// space around the value; no byte-order mark. Nothing when the text is not of that form.
std::optional<ToolConfig> parse_tool_config(std::string_view text);

// Every field set to its tool's default path: tools folder / tool folder / first candidate.
ToolConfig default_tool_config();

// Discovery in the tools folder merged with the configured fields.
ToolConfig resolve_tool_paths(const ToolConfig& config);

// load_service_config followed by resolve_tool_paths.
ToolConfig load_config_and_resolve_tools();

// `text` unchanged when it is an absolute path, else the executable folder joined with it.
std::filesystem::path absolutize_against_exe_dir(std::string_view text);

// The text of folder/name for the first name that is a file in `folder`, or nothing.
std::optional<std::string> probe_candidates(const std::filesystem::path& folder, std::span<const std::string_view> names);

// A configured field whose path exists stays as written; otherwise the discovered path (which
// may be unset) takes its place.
std::optional<std::string> resolve_configured_tool(const std::optional<std::string>& configured,
                                                   const std::optional<std::string>& discovered);

// The first of `names` that is a file in the tools folder, else in one of its direct
// sub-folders (links to folders are not followed), or nothing.
std::optional<std::filesystem::path> find_tool_executable(std::span<const std::string_view> names);

// The path of icat: beside the configured fls (or the fls path itself when it names icat), else
// in the tools folder; ToolNotFound "Recovery tools not found" when there is none.
std::expected<std::filesystem::path, EngineError> find_icat(const ToolConfig& resolved);

// `path` as the located tool `label` when it exists; ToolNotFound "{label} not found at {path}"
// otherwise.
std::expected<LocatedTool, EngineError> require_tool_file(std::string_view label, const std::filesystem::path& path);

// Whether the service may start `tool`: with the drive pins on, its path passes the rule of
// platform/program_trust.h; without, always. A tool that fails is refused, never passed over
// for another place: "icat at /srv/u/icat is refused: its path passes through /srv/u, which
// user 52001 may change". The place where the search found the tool decides, so a set-up that
// puts a tool where others may change it shows rather than being quietly worked around.
std::expected<void, std::string> check_tool_place(const LocatedTool& tool);

// The three path tests of the search: metadata readable (links followed); that and a regular
// file; that and a folder.
bool path_exists(const std::filesystem::path& path);
bool path_is_file(const std::filesystem::path& path);
bool path_is_folder(const std::filesystem::path& path);

// A path's text form; bytes that are not UTF-8 show as U+FFFD.
std::string path_text(const std::filesystem::path& path);

}  // namespace kavel_lib::service
