// One log record as one line of "app.log":
//
//   [2025-01-31 14:05:09][ INFO][kavel_lib::ipc::server::win] Polvane Service listening on ...
//
// the local time to the second, the level name right-aligned in five characters, the target,
// a blank and the message. Characters of the target and the message that would break or
// reorder the line (service::is_line_control) are written as escapes ("\n", "\r", "\t",
// "\x1b", "\u{85}", "\u{202e}"), and so are bytes that are not UTF-8 ("\xff"), so a record never
// spans lines or hides text whatever a client sent. A line is at most kMaxRecordBytes long with
// its line feed; a longer one is cut, after a whole character or escape, and ends with "…".
#pragma once

#include <chrono>
#include <cstddef>
#include <limits>
#include <string>
#include <string_view>

namespace kavel_lib::logging {

// The most bytes one record takes in the file, its line feed included (8 KiB).
inline constexpr std::size_t kMaxRecordBytes = 8 * 1024;

enum class Level { Error, Warn, Info, Debug, Trace };

// "ERROR", "WARN", "INFO", "DEBUG", "TRACE".
std::string_view level_name(Level level);

struct Record {
  Level level = Level::Info;
  std::string_view target;
  std::chrono::system_clock::time_point time;
};

// Appends the record's line to `out`, without the line separator: at most
// kMaxRecordBytes - 1 bytes.
void log_line_format(std::string& out, std::string_view message, const Record& record);

// Appends `text` with its line controls and its bytes that are not UTF-8 escaped. When `out`
// would grow past `max_size` bytes, the text is cut after a whole character or escape and "…"
// ends it, `out` staying within `max_size`; returns false then.
bool append_escaped(std::string& out, std::string_view text,
                    std::size_t max_size = std::numeric_limits<std::size_t>::max());

}  // namespace kavel_lib::logging
