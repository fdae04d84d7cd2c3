#include "logging/log_format.h"

#include <fmt/chrono.h>
#include <fmt/format.h>
#include <spdlog/details/os.h>

#include <ctime>

namespace kavel_lib::logging {

std::string_view level_name(Level level) {
  switch (level) {
    case Level::Error:
      return "ERROR";
    case Level::Warn:
      return "WARN";
    case Level::Info:
      return "INFO";
    case Level::Debug:
      return "DEBUG";
    case Level::Trace:
      return "TRACE";
  }
  return "INFO";
}

void append_escaped(std::string& out, std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F) {
      out.push_back(c);
      continue;
    }
    switch (c) {
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        fmt::format_to(std::back_inserter(out), "\\x{:02x}", byte);
        break;
    }
  }
}

void log_line_format(std::string& out, std::string_view message, const Record& record) {
  // The local time as the system's time-zone rules give it (spdlog's thread-safe conversion).
  const std::tm local = spdlog::details::os::localtime(std::chrono::system_clock::to_time_t(record.time));
  fmt::format_to(std::back_inserter(out), "[{:%Y-%m-%d %H:%M:%S}][{:>5}][", local, level_name(record.level));
  append_escaped(out, record.target);
  out += "] ";
  append_escaped(out, message);
}

}  // namespace kavel_lib::logging
