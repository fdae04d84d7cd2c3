// The log line: time, right-aligned level, target, message, one line per record.
#include <ctime>

#include <gtest/gtest.h>

#include "logging/log_format.h"

namespace kavel_lib::logging {
namespace {

std::string local_time_text(std::chrono::system_clock::time_point when) {
  const std::time_t t = std::chrono::system_clock::to_time_t(when);
  std::tm local{};
  localtime_r(&t, &local);
  char text[32];
  std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

std::string line_of(Level level, std::string_view target, std::string_view message,
                    std::chrono::system_clock::time_point when) {
  std::string out;
  log_line_format(out, message, Record{level, target, when});
  return out;
}

TEST(LogFormat, LevelsStandRightAlignedInFiveCharacters) {
  const auto when = std::chrono::system_clock::from_time_t(1738332309) + std::chrono::milliseconds(750);
  const std::string time = local_time_text(when);
  EXPECT_EQ(line_of(Level::Info, "kavel_lib::ipc::server::win", "Polvane Service listening on \\\\.\\pipe\\PolvaneService",
                    when),
            "[" + time + "][ INFO][kavel_lib::ipc::server::win] Polvane Service listening on \\\\.\\pipe\\PolvaneService");
  EXPECT_EQ(line_of(Level::Warn, "kavel_lib::ipc::server::win", "IPC connection error: unexpected EOF", when),
            "[" + time + "][ WARN][kavel_lib::ipc::server::win] IPC connection error: unexpected EOF");
  EXPECT_EQ(line_of(Level::Error, "PolvaneService", "x", when), "[" + time + "][ERROR][PolvaneService] x");
  EXPECT_EQ(line_of(Level::Debug, "t", "", when), "[" + time + "][DEBUG][t] ");
  EXPECT_EQ(line_of(Level::Trace, "t", "y", when), "[" + time + "][TRACE][t] y");
}

TEST(LogFormat, ControlCharactersOfClientTextAreEscaped) {
  const auto when = std::chrono::system_clock::now();
  std::string message = "bad request: a\nb\rc\td\x01" "e\x7f" "f";
  message.push_back('\0');
  message += "g \xE4\xB8\xAD \\n";
  const std::string line = line_of(Level::Warn, "t", message, when);
  EXPECT_EQ(line.find('\n'), std::string::npos);
  EXPECT_TRUE(line.ends_with("] bad request: a\\nb\\rc\\td\\x01e\\x7ff\\x00g \xE4\xB8\xAD \\n")) << line;
}

}  // namespace
}  // namespace kavel_lib::logging
