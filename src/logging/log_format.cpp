#include "logging/log_format.h"

#include <fmt/chrono.h>
#include <fmt/format.h>
#include <spdlog/details/os.h>

#include <ctime>

#include "service/utf8_text.h"

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

namespace {

constexpr std::string_view kCutMark = "\u2026";

// The escape of one character of the escape set, or of a byte that is not UTF-8.
void append_escape(std::string& out, const service::Utf8Character& c, unsigned char first_byte) {
  if (!c.ok) {
    fmt::format_to(std::back_inserter(out), "\\x{:02x}", first_byte);
    return;
  }
  switch (c.code_point) {
    case U'\n':
      out += "\\n";
      return;
    case U'\r':
      out += "\\r";
      return;
    case U'\t':
      out += "\\t";
      return;
    default:
      break;
  }
  if (c.code_point < 0x80) {
    fmt::format_to(std::back_inserter(out), "\\x{:02x}", static_cast<unsigned>(c.code_point));
  } else {
    fmt::format_to(std::back_inserter(out), "\\u{{{:x}}}", static_cast<unsigned>(c.code_point));
  }
}

}  // namespace

bool append_escaped(std::string& out, std::string_view text, std::size_t max_size) {
  const std::size_t room_for_mark = max_size >= kCutMark.size() ? max_size - kCutMark.size() : 0;
  // Where `out` last ended on a whole piece with room left for the cut mark.
  std::size_t last_fit = out.size();
  std::size_t at = 0;
  while (at < text.size()) {
    const std::string_view rest = text.substr(at);
    service::Utf8Character c = service::decode_utf8_character(rest);
    if (!c.ok) c.length = 1;  // each stray byte is escaped on its own
    if (c.ok && !service::is_line_control(c.code_point)) {
      out.append(rest.substr(0, c.length));
    } else {
      append_escape(out, c, static_cast<unsigned char>(rest.front()));
    }
    at += c.length;
    if (out.size() > max_size || (out.size() == max_size && at < text.size())) {
      out.resize(last_fit);
      out += kCutMark;
      return false;
    }
    if (out.size() <= room_for_mark) last_fit = out.size();
  }
  return true;
}

void log_line_format(std::string& out, std::string_view message, const Record& record) {
  const std::size_t limit = out.size() + kMaxRecordBytes - 1;
  // The local time as the system's time-zone rules give it (spdlog's thread-safe conversion).
  const std::tm local = spdlog::details::os::localtime(std::chrono::system_clock::to_time_t(record.time));
  fmt::format_to(std::back_inserter(out), "[{:%Y-%m-%d %H:%M:%S}][{:>5}][", local, level_name(record.level));
  append_escaped(out, record.target, limit);
  out += "] ";
  append_escaped(out, message, limit);
}

}  // namespace kavel_lib::logging
