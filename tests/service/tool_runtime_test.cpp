// Tool runs with small shell scripts as tools and short time-outs.
#include "service/tool_runtime.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "support/process_watch.h"
#include "support/test_env.h"
#include "system/child_processes.h"

namespace kavel_lib::service {
namespace {

using namespace std::chrono_literals;
using kavel_test::TempDir;
using Bytes = std::vector<std::uint8_t>;

constexpr auto kLong = 60s;  // a time-out no healthy run here comes near

std::string text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

class ToolScripts {
 public:
  LocatedTool make(const std::string& body, const std::string& name = "t") {
    return LocatedTool{kavel_test::write_script(dir_ / name, body), name};
  }
  [[nodiscard]] std::filesystem::path path(const std::string& name) const { return dir_ / name; }

 private:
  TempDir dir_;
};

class MemorySink final : public OutputSink {
 public:
  std::expected<void, platform::OsError> write_all(std::span<const std::uint8_t> bytes) override {
    data.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    ++writes;
    return {};
  }
  std::string data;
  int writes = 0;
};

// Takes `allowed` bytes, then refuses as a full disk would.
class FullSink final : public OutputSink {
 public:
  explicit FullSink(std::size_t allowed) : allowed_(allowed) {}
  std::expected<void, platform::OsError> write_all(std::span<const std::uint8_t> bytes) override {
    if (taken + bytes.size() > allowed_) return std::unexpected(platform::OsError::from_code(112));
    taken += bytes.size();
    return {};
  }
  std::size_t taken = 0;

 private:
  std::size_t allowed_;
};

std::uint32_t read_pid(const std::filesystem::path& file) {
  const auto line = kavel_test::wait_file_line(file, 10s);
  EXPECT_FALSE(line.empty()) << file;
  return line.empty() ? 0 : static_cast<std::uint32_t>(std::stoul(line));
}

// ---- preview ---------------------------------------------------------------------------

TEST(ToolRunPreview, CapReachedReturnsExactlyTheCapWithoutWaiting) {
  ToolScripts tools;
  const auto tool = tools.make("head -c 5000 /dev/zero | tr '\\0' a; sleep 300");
  const auto start = std::chrono::steady_clock::now();
  const auto preview = run_tool_preview(tool, {}, 5000, kLong);
  ASSERT_TRUE(preview) << preview.error().display();
  EXPECT_EQ(text(*preview), std::string(5000, 'a'));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);  // not the time-out's 60 s
}

TEST(ToolRunPreview, EndlessOutputGivesItsFirstBytes) {
  ToolScripts tools;
  const auto tool = tools.make("exec yes abcdefg");
  const auto preview = run_tool_preview(tool, {}, 100'003, kLong);
  ASSERT_TRUE(preview);
  std::string expected;
  while (expected.size() < 100'003) expected += "abcdefg\n";
  expected.resize(100'003);
  EXPECT_EQ(text(*preview), expected);
}

TEST(ToolRunPreview, TimeOutReturnsWhatWasRead) {
  ToolScripts tools;
  const auto tool = tools.make("printf 0123456789; sleep 300");
  const auto preview = run_tool_preview(tool, {}, 65536, 300ms);
  ASSERT_TRUE(preview) << preview.error().display();
  EXPECT_EQ(text(*preview), "0123456789");
}

TEST(ToolRunPreview, NothingReadIsAnError) {
  ToolScripts tools;
  const auto silent = tools.make("exit 0", "icat");
  auto preview = run_tool_preview(silent, {}, 65536, kLong);
  ASSERT_FALSE(preview);
  EXPECT_EQ(preview.error().display(), "icat produced no preview data");

  const auto talker = tools.make("echo hello", "talker");
  preview = run_tool_preview(talker, {}, 0, kLong);
  ASSERT_FALSE(preview);
  EXPECT_EQ(preview.error().display(), "talker produced no preview data");
}

TEST(ToolRunPreview, ArgumentsAndFolder) {
  ToolScripts tools;
  const auto tool = tools.make("pwd; printf '%s|' \"$@\"");
  const std::vector<std::string> args = {"-f", "ntfs", "\\\\.\\E:", " 5-128-1 "};
  const auto preview = run_tool_preview(tool, args, 1 << 20, kLong);
  ASSERT_TRUE(preview);
  EXPECT_EQ(text(*preview), std::filesystem::canonical(tool.path.parent_path()).string() +
                                "\n-f|ntfs|\\\\.\\E:| 5-128-1 |");
}

TEST(ToolRunPreview, GrandchildEndsWithTheTool) {
  ToolScripts tools;
  const auto pid_file = tools.path("grandchild");
  const auto tool = tools.make("sleep 300 & echo $! > \"$1\"; sleep 300");
  const auto preview = run_tool_preview(tool, std::vector<std::string>{pid_file.string()}, 100, 500ms);
  ASSERT_FALSE(preview);
  EXPECT_EQ(preview.error().display(), "t produced no preview data");
  EXPECT_TRUE(kavel_test::wait_process_ended(read_pid(pid_file), 10s));
}

TEST(ToolRunPreview, StartFailure) {
  const LocatedTool tool{"/nonexistent/icat", "icat"};
  const auto preview = run_tool_preview(tool, {}, 10, kLong);
  ASSERT_FALSE(preview);
  EXPECT_EQ(preview.error().display(),
            "failed to start icat: The system cannot find the file specified. (os error 2)");
}

// ---- checked -----------------------------------------------------------------------------

TEST(ToolRunChecked, SuccessIgnoresStandardError) {
  ToolScripts tools;
  const auto tool = tools.make("printf data; echo warning >&2; exit 0");
  const auto output = run_tool_checked(tool, {}, kLong);
  ASSERT_TRUE(output) << output.error().display();
  EXPECT_EQ(output->status, std::optional<std::uint32_t>(0));
  EXPECT_EQ(text(output->stdout), "data");
  EXPECT_EQ(text(output->stderr), "warning\n");
}

TEST(ToolRunChecked, NonZeroExitGivesTheTrimmedStandardError) {
  ToolScripts tools;
  const auto tool = tools.make("printf '  bad inode\\n' >&2; exit 2", "icat");
  const auto output = run_tool_checked(tool, {}, kLong);
  ASSERT_FALSE(output);
  EXPECT_EQ(output.error().display(), "icat failed (code Some(2)): bad inode");

  // run_tool_output hands back the same run whatever its code.
  const auto raw = run_tool_output(tool, {}, kLong);
  ASSERT_TRUE(raw);
  EXPECT_EQ(raw->status, std::optional<std::uint32_t>(2));
  EXPECT_EQ(text(raw->stderr), "  bad inode\n");
}

TEST(ToolRunChecked, ToolEndedBySignalFails) {
  ToolScripts tools;
  const auto tool = tools.make("echo partial; echo dying >&2; kill -9 $$");
  const auto output = run_tool_checked(tool, {}, kLong);
  ASSERT_FALSE(output);
  EXPECT_EQ(output.error().display(), "t failed (code None): dying");
}

TEST(ToolRunChecked, InvalidUtf8InStandardErrorIsReplaced) {
  ToolScripts tools;
  const auto tool = tools.make("printf 'bad \\377 byte\\n' >&2; exit 255");
  const auto output = run_tool_checked(tool, {}, kLong);
  ASSERT_FALSE(output);
  EXPECT_EQ(output.error().display(), "t failed (code Some(255)): bad \xEF\xBF\xBD byte");
}

TEST(ToolRunChecked, TimeOutEndsTheTreeAndReturnsAtOnce) {
  ToolScripts tools;
  const auto pid_file = tools.path("pids");
  const auto tool = tools.make("sleep 300 & echo $$ $! > \"$1\"; sleep 300");
  const auto output = run_tool_checked(tool, std::vector<std::string>{pid_file.string()}, 500ms);
  ASSERT_FALSE(output);
  EXPECT_EQ(output.error().display(), "t timed out");
  std::ifstream in(pid_file);
  std::uint32_t tool_pid = 0;
  std::uint32_t grandchild = 0;
  in >> tool_pid >> grandchild;
  ASSERT_NE(tool_pid, 0u);
  EXPECT_EQ(system::tracked_count(tool_pid), 0u);
  EXPECT_TRUE(kavel_test::wait_process_ended(tool_pid, 10s));
  EXPECT_TRUE(kavel_test::wait_process_ended(grandchild, 10s));
}

TEST(ToolRunChecked, BothPipesAreDrainedTogether) {
  ToolScripts tools;
  // A megabyte on standard error before anything on standard output: a reader of only one pipe
  // would leave the tool blocked.
  const auto tool = tools.make("head -c 1000000 /dev/zero >&2; head -c 3000000 /dev/zero; exit 1");
  const auto output = run_tool_output(tool, {}, kLong);
  ASSERT_TRUE(output) << output.error().display();
  EXPECT_EQ(output->stdout.size(), 3'000'000u);
  EXPECT_EQ(output->stderr.size(), kStderrKept);  // only the last 64 KiB are kept
}

TEST(ToolRunChecked, FailureMessageKeepsTheEndOfStandardError) {
  ToolScripts tools;
  const auto tool = tools.make("head -c 200000 /dev/zero | tr '\\0' x >&2; printf END >&2; exit 1");
  const auto output = run_tool_checked(tool, {}, kLong);
  ASSERT_FALSE(output);
  EXPECT_EQ(output.error().display(), "t failed (code Some(1)): " + std::string(kStderrKept - 3, 'x') + "END");
}

TEST(ToolRunChecked, StartFailure) {
  ToolScripts tools;
  const auto path = tools.path("plain");
  kavel_test::write_file(path, "not a program");
  const auto output = run_tool_checked(LocatedTool{path, "icat"}, {}, kLong);
  ASSERT_FALSE(output);
  EXPECT_EQ(output.error().display(), "failed to start icat: Access is denied. (os error 5)");
}

// ---- the registry during runs --------------------------------------------------------------

TEST(ToolRunRegistry, HoldsTheNumberOnlyWhileTheRunLasts) {
  ToolScripts tools;
  const auto pid_file = tools.path("pid");
  const auto release = tools.path("release");
  const auto tool = tools.make("echo $$ > \"$1\"; while [ ! -e \"$2\" ]; do sleep 0.02; done; echo done");
  for (const bool checked : {true, false}) {
    std::filesystem::remove(pid_file);
    std::filesystem::remove(release);
    std::thread run([&] {
      const std::vector<std::string> args = {pid_file.string(), release.string()};
      if (checked) {
        EXPECT_TRUE(run_tool_checked(tool, args, kLong));
      } else {
        EXPECT_TRUE(run_tool_preview(tool, args, 1000, kLong));
      }
    });
    const auto pid = read_pid(pid_file);
    // The tool may write its number before the starting thread has recorded it.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (system::tracked_count(pid) == 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(system::tracked_count(pid), 1u);
    kavel_test::write_file(release, "");
    run.join();
    EXPECT_EQ(system::tracked_count(pid), 0u);
  }
}

TEST(ToolRunRegistry, PreviewTimeOutForgetsTheNumber) {
  ToolScripts tools;
  const auto pid_file = tools.path("pid");
  const auto tool = tools.make("echo $$ > \"$1\"; printf x; sleep 300");
  const auto preview = run_tool_preview(tool, std::vector<std::string>{pid_file.string()}, 10, 300ms);
  ASSERT_TRUE(preview);
  const auto pid = read_pid(pid_file);
  EXPECT_EQ(system::tracked_count(pid), 0u);
  EXPECT_TRUE(kavel_test::process_ended(pid));
}

// ---- concurrency -------------------------------------------------------------------------

TEST(ToolRunConcurrency, SixteenRunsAtOnceAllFinish) {
  // Each tool lists the descriptors it holds: a pipe of a concurrent run leaking into it would
  // show there (and would hold that run until this tool ends).
  const LocatedTool sh{"/bin/sh", "sh"};
  const std::vector<std::string> args = {"-c", std::string("sleep 0.2; ") + kavel_test::kListDescriptorsCommand};
  const auto expected = kavel_test::expected_descriptor_listing();
  std::vector<std::thread> runs;
  std::atomic<int> good{0};
  for (int i = 0; i < 16; ++i) {
    runs.emplace_back([&, i] {
      if (i % 2 == 0) {
        const auto output = run_tool_checked(sh, args, 30s);
        ASSERT_TRUE(output) << output.error().display();
        EXPECT_EQ(text(output->stdout), expected);
      } else {
        const auto preview = run_tool_preview(sh, args, 1 << 16, 30s);
        ASSERT_TRUE(preview) << preview.error().display();
        EXPECT_EQ(text(*preview), expected);
      }
      ++good;
    });
  }
  for (auto& run : runs) run.join();
  EXPECT_EQ(good.load(), 16);
}

// ---- file-writing variants ------------------------------------------------------------------

TEST(ToolRunToFile, WritesExactlyWhatTheMemoryRunsReturn) {
  ToolScripts tools;
  const auto tool = tools.make("seq 1 100000");
  for (const std::uint64_t cap : {std::uint64_t{1}, std::uint64_t{12345}, std::uint64_t{1} << 40}) {
    const auto memory = run_tool_preview(tool, {}, cap, kLong);
    ASSERT_TRUE(memory);
    MemorySink sink;
    const auto written = run_tool_preview_to_file(tool, {}, cap, kLong, sink);
    ASSERT_TRUE(written) << written.error().display();
    EXPECT_EQ(*written, memory->size());
    EXPECT_EQ(sink.data, text(*memory));
  }
  const auto memory = run_tool_checked(tool, {}, kLong);
  ASSERT_TRUE(memory);
  MemorySink sink;
  const auto written = run_tool_checked_to_file(tool, {}, kLong, sink);
  ASSERT_TRUE(written) << written.error().display();
  EXPECT_EQ(written->stdout_length, memory->stdout.size());
  EXPECT_EQ(sink.data, text(memory->stdout));
  EXPECT_EQ(written->status, std::optional<std::uint32_t>(0));
}

TEST(ToolRunToFile, ToolFailuresKeepTheirTexts) {
  ToolScripts tools;
  MemorySink sink;
  const auto failing = tools.make("printf partial; printf ' bad inode ' >&2; exit 2", "icat");
  const auto checked = run_tool_checked_to_file(failing, {}, kLong, sink);
  ASSERT_FALSE(checked);
  EXPECT_EQ(checked.error().display(), "icat failed (code Some(2)): bad inode");
  EXPECT_EQ(sink.data, "partial");  // written stays written

  const auto silent = tools.make("exit 0", "icat2");
  const auto preview = run_tool_preview_to_file(silent, {}, 100, kLong, sink);
  ASSERT_FALSE(preview);
  EXPECT_EQ(preview.error().display(), "icat2 produced no preview data");

  const auto slow = tools.make("printf 0123456789; sleep 300", "slow");
  MemorySink slow_sink;
  const auto timed = run_tool_checked_to_file(slow, {}, 300ms, slow_sink);
  ASSERT_FALSE(timed);
  EXPECT_EQ(timed.error().display(), "slow timed out");
  MemorySink preview_sink;
  const auto partial = run_tool_preview_to_file(slow, {}, 100, 300ms, preview_sink);
  ASSERT_TRUE(partial);
  EXPECT_EQ(*partial, 10u);
  EXPECT_EQ(preview_sink.data, "0123456789");
}

TEST(ToolRunToFile, RefusedWriteEndsTheToolAndIsReported) {
  ToolScripts tools;
  const auto endless = tools.make("exec yes");
  FullSink full(20000);
  const auto checked = run_tool_checked_to_file(endless, {}, kLong, full);
  ASSERT_FALSE(checked);
  EXPECT_EQ(checked.error().display(), "There is not enough space on the disk. (os error 112)");
  EXPECT_TRUE(std::holds_alternative<platform::OsError>(checked.error().cause));
  EXPECT_LE(full.taken, 20000u);

  FullSink full_preview(20000);
  const auto preview = run_tool_preview_to_file(endless, {}, 1 << 30, kLong, full_preview);
  ASSERT_FALSE(preview);
  EXPECT_EQ(preview.error().display(), "There is not enough space on the disk. (os error 112)");
}

}  // namespace
}  // namespace kavel_lib::service
