// The service's log: one file "app.log" (log_file_choice.h), one line per record at level info
// and above (log_format.h), written from any thread through spdlog.
//
// Records name their target, the module that logs them ("PolvaneService",
// "kavel_lib::ipc::server::win", "kavel_lib::logging"). Records logged before init_logging, or
// when it could open no file, are dropped.
#pragma once

#include <fmt/format.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "logging/log_format.h"

namespace kavel_lib::logging {

inline constexpr std::string_view kLoggingTarget = "kavel_lib::logging";

// The most bytes one run writes into the log (20 MiB). The record that would pass it is
// replaced by one line saying so (kRecordsDroppedText), and nothing is written after it, so a
// client that makes the service log cannot fill the disk.
inline constexpr std::uint64_t kRunLogBudget = 20 * 1024 * 1024;
inline constexpr std::string_view kRecordsDroppedText =
    "Log limit of 20 MiB reached for this run; further records are dropped";

// Chooses the log folder, prepares and opens "app.log" and installs the global logger. Never
// fails towards its caller: when no file can be opened, every later record is dropped. Only the
// first installation in a process takes effect.
void init_logging();

// Whether a record of this level would be written (a logger is installed and the level is
// info or more severe).
bool enabled(Level level);

// Writes one record.
void log(Level level, std::string_view target, std::string_view message);

template <typename... Args>
void log_at(Level level, std::string_view target, fmt::format_string<Args...> format, Args&&... args) {
  if (!enabled(level)) return;
  log(level, target, fmt::format(format, std::forward<Args>(args)...));
}

template <typename... Args>
void error(std::string_view target, fmt::format_string<Args...> format, Args&&... args) {
  log_at(Level::Error, target, format, std::forward<Args>(args)...);
}
template <typename... Args>
void warn(std::string_view target, fmt::format_string<Args...> format, Args&&... args) {
  log_at(Level::Warn, target, format, std::forward<Args>(args)...);
}
template <typename... Args>
void info(std::string_view target, fmt::format_string<Args...> format, Args&&... args) {
  log_at(Level::Info, target, format, std::forward<Args>(args)...);
}
template <typename... Args>
void debug(std::string_view target, fmt::format_string<Args...> format, Args&&... args) {
  log_at(Level::Debug, target, format, std::forward<Args>(args)...);
}
template <typename... Args>
void trace(std::string_view target, fmt::format_string<Args...> format, Args&&... args) {
  log_at(Level::Trace, target, format, std::forward<Args>(args)...);
}

}  // namespace kavel_lib::logging
