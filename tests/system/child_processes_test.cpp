#include "system/child_processes.h"

#include <gtest/gtest.h>

#include "support/process_watch.h"
#include "support/test_env.h"

namespace kavel_lib::system {
namespace {

using namespace std::chrono_literals;
using kavel_test::TempDir;

// Numbers far above any real process number on this machine, so no run can collide with them.
constexpr std::uint32_t kFakeA = 0x7FFFFF01;
constexpr std::uint32_t kFakeB = 0x7FFFFF02;

TEST(ChildProcessRegistry, SameNumberTwiceIsRemovedInOnePass) {
  track_child(kFakeA);
  track_child(kFakeB);
  track_child(kFakeA);
  EXPECT_EQ(tracked_count(kFakeA), 2u);
  untrack_child(kFakeA);
  EXPECT_EQ(tracked_count(kFakeA), 0u);
  EXPECT_EQ(tracked_count(kFakeB), 1u);
  untrack_child(kFakeA);  // not there: nothing changes
  untrack_child(kFakeB);
  EXPECT_EQ(tracked_count(kFakeB), 0u);
}

TEST(ChildProcessRegistry, ZeroIsNeverRecorded) {
  track_child(0);
  EXPECT_EQ(tracked_count(0), 0u);
  untrack_child(0);
  EXPECT_EQ(tracked_count(0), 0u);
}

TEST(ChildProcessRegistry, SpawnTrackedRecordsUntilUntracked) {
  auto child = spawn_tracked(platform::ProcessRequest{"/bin/sh", {"-c", "exit 0"}, {}});
  ASSERT_TRUE(child);
  const auto pid = child->life->id();
  EXPECT_EQ(tracked_count(pid), 1u);
  (void)child->life->wait();
  untrack_child(pid);
  EXPECT_EQ(tracked_count(pid), 0u);

  auto failed = spawn_tracked(platform::ProcessRequest{"/nonexistent", {}, {}});
  EXPECT_FALSE(failed);
}

TEST(ChildProcessRegistry, KillTreeEndsGrandchildren) {
  TempDir dir;
  const auto pid_file = dir / "grandchild";
  auto child = spawn_tracked(platform::ProcessRequest{
      "/bin/sh", {"-c", "sleep 300 & echo $! > '" + pid_file.string() + "'; sleep 300"}, {}});
  ASSERT_TRUE(child);
  const auto line = kavel_test::wait_file_line(pid_file, 10s);
  ASSERT_FALSE(line.empty());
  kill_process_tree(child->life->id());
  EXPECT_TRUE(kavel_test::wait_process_ended(child->life->id(), 10s));
  EXPECT_TRUE(kavel_test::wait_process_ended(static_cast<std::uint32_t>(std::stoul(line)), 10s));
  const auto code = child->life->wait();
  ASSERT_TRUE(code);
  EXPECT_EQ(*code, std::nullopt);
  untrack_child(child->life->id());
}

TEST(ChildProcessRegistry, KillTreeOfAnEndedProcessReturns) {
  auto child = spawn_tracked(platform::ProcessRequest{"/bin/sh", {"-c", "exit 0"}, {}});
  ASSERT_TRUE(child);
  const auto pid = child->life->id();
  ASSERT_TRUE(kavel_test::wait_process_ended(pid, 10s));  // ended, not yet reaped
  kill_process_tree(pid);
  const auto code = child->life->wait();
  ASSERT_TRUE(code);
  EXPECT_EQ(*code, std::optional<std::uint32_t>(0));
  untrack_child(pid);
}

TEST(ChildProcessRegistry, EndingAllAtTheStopEndsRunningChildrenAndRefusesNewOnes) {
  // The stop closes the process-wide registry for good: it runs in a child process of the test.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        auto running = spawn_tracked(platform::ProcessRequest{"/bin/sh", {"-c", "sleep 300"}, {}});
        if (!running) ::_exit(10);
        end_tracked_children();
        const auto code = running->life->wait();
        if (!code || code->has_value()) ::_exit(11);  // ended by the signal, not by itself
        auto late = spawn_tracked(platform::ProcessRequest{"/bin/sh", {"-c", "sleep 300"}, {}});
        if (late || late.error().code() != platform::win::ERROR_OPERATION_ABORTED) ::_exit(12);
        ::_exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace kavel_lib::system
