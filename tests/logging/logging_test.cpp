// init_logging and the global logger, each run in a forked child (the logger is installed once
// per process); the child shares the parent's temporary folder and environment.
#include <gtest/gtest.h>

#include "logging/logging.h"
#include "support/test_env.h"

namespace kavel_lib::logging {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const auto end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return lines;
}

// "[YYYY-MM-DD HH:MM:SS]" then the rest.
std::string without_time(const std::string& line) {
  if (line.size() < 21 || line[0] != '[' || line[20] != ']' || line[5] != '-' || line[11] != ' ') return "?" + line;
  return line.substr(21);
}

class Logging : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "fast"); }
  kavel_test::TempDir data_;
  kavel_test::ScopedEnv env_{"XDG_DATA_HOME", data_.path().string()};
  fs::path log_path() const { return data_.path() / "Polvane" / "log" / "app.log"; }
};

TEST_F(Logging, FirstLineNamesTheFileAndOnlyInfoAndAboveAreWritten) {
  EXPECT_EXIT(
      {
        info("PolvaneService", "dropped: no logger yet");
        init_logging();
        info("PolvaneService", "info {}", 1);
        warn("kavel_lib::ipc::server::win", "warn {}", "two");
        error("PolvaneService", "error {{braces}}");
        debug("PolvaneService", "debug");
        trace("PolvaneService", "trace");
        log(Level::Info, "t", "raw {} text");
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  const auto lines = lines_of(kavel_test::read_file(log_path()));
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(without_time(lines[0]), "[ INFO][kavel_lib::logging] Logger initialized, log file: " + log_path().string());
  EXPECT_EQ(without_time(lines[1]), "[ INFO][PolvaneService] info 1");
  EXPECT_EQ(without_time(lines[2]), "[ WARN][kavel_lib::ipc::server::win] warn two");
  EXPECT_EQ(without_time(lines[3]), "[ERROR][PolvaneService] error {braces}");
  EXPECT_EQ(without_time(lines[4]), "[ INFO][t] raw {} text");
}

TEST_F(Logging, LaterRunsAppendAndASecondSetUpChangesNothing) {
  EXPECT_EXIT(
      {
        init_logging();
        info("PolvaneService", "first run");
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(
      {
        init_logging();
        init_logging();
        info("PolvaneService", "second run");
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  const auto lines = lines_of(kavel_test::read_file(log_path()));
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(without_time(lines[1]), "[ INFO][PolvaneService] first run");
  EXPECT_TRUE(without_time(lines[3]).starts_with("[ INFO][kavel_lib::logging] Logger initialized"));
  EXPECT_EQ(without_time(lines[4]), "[ INFO][PolvaneService] second run");
}

TEST_F(Logging, RecordsFromManyThreadsStayWholeLines) {
  EXPECT_EXIT(
      {
        init_logging();
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
          threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) info("t", "thread {} record {} {}", t, i, std::string(100, 'x'));
          });
        }
        for (auto& thread : threads) thread.join();
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  const auto lines = lines_of(kavel_test::read_file(log_path()));
  ASSERT_EQ(lines.size(), 1u + 8 * 200);
  for (std::size_t i = 1; i < lines.size(); ++i) {
    ASSERT_TRUE(without_time(lines[i]).starts_with("[ INFO][t] thread ")) << lines[i];
    ASSERT_TRUE(lines[i].ends_with(std::string(100, 'x'))) << lines[i];
  }
}

TEST_F(Logging, LongRecordsAreCutAndARunStopsWritingPastItsBudgetWithOneNotice) {
  EXPECT_EXIT(
      {
        init_logging();
        // Each record asks for far more than a record may take; together they pass the budget.
        const std::string flood(9'000, 'x');
        for (int i = 0; i < 3000; ++i) warn("kavel_lib::ipc::server::win", "IPC connection error: {} {}", i, flood);
        error("PolvaneService", "after the budget");
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  const std::string text = kavel_test::read_file(log_path());
  const auto lines = lines_of(text);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_LE(text.size(), kRunLogBudget + 200);
  EXPECT_GT(text.size(), kRunLogBudget - kMaxRecordBytes);
  // Every record between the first line and the notice is cut to 8 KiB with its line feed.
  for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
    ASSERT_EQ(lines[i].size() + 1, kMaxRecordBytes) << i;
    ASSERT_TRUE(lines[i].ends_with("x\u2026")) << i;
  }
  // The notice comes once, last; nothing is written after it.
  EXPECT_EQ(without_time(lines.back()), "[ WARN][kavel_lib::logging] " + std::string(kRecordsDroppedText));
  EXPECT_EQ(text.find(kRecordsDroppedText), text.rfind(kRecordsDroppedText));
  EXPECT_EQ(text.find("after the budget"), std::string::npos);
  EXPECT_TRUE(text.ends_with("\n"));
}

}  // namespace
}  // namespace kavel_lib::logging
