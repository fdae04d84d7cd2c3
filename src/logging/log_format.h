// One log record as one line of "app.log":
//
//   [2025-01-31 14:05:09][ INFO][kavel_lib::ipc::server::win] Polvane Service listening on ...
//
// the local time to the second, the level name right-aligned in five characters, the target,
// a blank and the message. Control characters of the target and the message are written as
// escapes ("\n", "\r", "\t", "\x1b"), so a record never spans lines whatever a client sent.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace kavel_lib::logging {

enum class Level { Error, Warn, Info, Debug, Trace };

// "ERROR", "WARN", "INFO", "DEBUG", "TRACE".
std::string_view level_name(Level level);

struct Record {
  Level level = Level::Info;
  std::string_view target;
  std::chrono::system_clock::time_point time;
};

// Appends the record's line to `out`, without the line separator.
void log_line_format(std::string& out, std::string_view message, const Record& record);

// Appends `text` with its control characters (below 0x20, and 0x7F) escaped.
void append_escaped(std::string& out, std::string_view text);

}  // namespace kavel_lib::logging
