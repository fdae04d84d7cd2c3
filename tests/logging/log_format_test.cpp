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

TEST(LogFormat, CharactersThatBreakOrReorderALineAndStrayBytesAreEscaped) {
  const auto when = std::chrono::system_clock::now();
  // C1 controls, the line and paragraph separators, every bidirectional control (the Arabic
  // letter mark, the left-to-right and right-to-left marks, the embeddings, overrides and
  // isolates) and the zero-width no-break space; then bytes that are no UTF-8 (a lone C1 byte, a
  // cut sequence). A no-break space, a zero-width joiner and a letter are ordinary text.
  const std::string message =
      "x\u0080\u0085\u009f\u2028\u2029\u061c\u200e\u200f\u202a\u202b\u202c\u202d\u202e\u2066\u2067"
      "\u2068\u2069\ufeff\u00a0\u200d\u00e9|\x9b|\xe2\x80|\xff";
  EXPECT_TRUE(line_of(Level::Info, "t", message, when)
                  .ends_with("] x\\u{80}\\u{85}\\u{9f}\\u{2028}\\u{2029}\\u{61c}\\u{200e}\\u{200f}\\u{202a}"
                             "\\u{202b}\\u{202c}\\u{202d}\\u{202e}\\u{2066}\\u{2067}\\u{2068}\\u{2069}\\u{feff}"
                             "\u00a0\u200d\u00e9|\\x9b|\\xe2\\x80|\\xff"))
      << line_of(Level::Info, "t", message, when);
}

TEST(LogFormat, ARecordIsCutToEightKibibytesAfterAWholeCharacterOrEscape) {
  const auto when = std::chrono::system_clock::now();
  EXPECT_EQ(kMaxRecordBytes, 8192u);
  // A short record and one that just fits are whole.
  const std::string head = line_of(Level::Warn, "t", "", when);
  const std::string fitting(kMaxRecordBytes - 1 - head.size(), 'a');
  EXPECT_EQ(line_of(Level::Warn, "t", fitting, when), head + fitting);
  // One byte more and the line is cut, "…" in the place of what was left out.
  const std::string cut = line_of(Level::Warn, "t", fitting + "b", when);
  EXPECT_EQ(cut.size(), kMaxRecordBytes - 1);
  EXPECT_EQ(cut, head + fitting.substr(0, fitting.size() - 3) + "\u2026");
  // A 16 MiB message of multi-byte characters and escapes: no sequence or escape is split.
  std::string flood;
  while (flood.size() < (16u << 20)) flood += "\u4e2d\n";
  const std::string line = line_of(Level::Warn, "t", flood, when);
  ASSERT_LE(line.size(), kMaxRecordBytes - 1);
  EXPECT_GT(line.size(), kMaxRecordBytes - 16);
  ASSERT_TRUE(line.ends_with("\u2026")) << line.substr(line.size() - 16);
  const std::string body = line.substr(head.size(), line.size() - head.size() - 3);
  std::string whole;
  for (bool character = true; whole.size() < body.size(); character = !character) whole += character ? "\u4e2d" : "\\n";
  EXPECT_EQ(whole, body);
}

}  // namespace
}  // namespace kavel_lib::logging
