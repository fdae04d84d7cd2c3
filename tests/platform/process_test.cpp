#include "platform/process.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "support/process_watch.h"
#include "support/test_env.h"

namespace kavel_lib::platform {
namespace {

using kavel_test::TempDir;
using kavel_test::write_script;
using namespace std::chrono_literals;

struct Collected {
  std::string out;
  std::string err;
  std::optional<std::uint32_t> code;
};

Collected run_to_end(SpawnedChild& child) {
  Collected c;
  auto drained = read_both_to_end(child.stdout_pipe, child.stderr_pipe, [&](int stream, std::span<const std::uint8_t> b) {
    (stream == 1 ? c.out : c.err).append(reinterpret_cast<const char*>(b.data()), b.size());
  });
  EXPECT_TRUE(drained);
  auto code = child.life->wait();
  EXPECT_TRUE(code);
  if (code) c.code = *code;
  return c;
}

SpawnedChild spawn_sh(const std::string& command, std::filesystem::path folder = {}) {
  auto child = spawn_hidden(ProcessRequest{"/bin/sh", {"-c", command}, std::move(folder)});
  EXPECT_TRUE(child) << (child ? "" : child.error().display());
  return std::move(*child);
}

TEST(ProcessSpawn, PipesExitCodeAndArguments) {
  auto child = spawn_sh("printf 'out %s|' \"$0\" \"$1\"; printf err >&2; exit 3");
  const auto c = run_to_end(child);
  EXPECT_EQ(c.out, "out /bin/sh|out |");
  EXPECT_EQ(c.err, "err");
  EXPECT_EQ(c.code, std::optional<std::uint32_t>(3));
  EXPECT_TRUE(child.life->reaped());
  const auto again = child.life->wait();  // a second wait repeats the result
  ASSERT_TRUE(again);
  EXPECT_EQ(*again, std::optional<std::uint32_t>(3));
}

TEST(ProcessSpawn, ArgumentsArriveUnchanged) {
  TempDir dir;
  const auto tool = write_script(dir / "args", "for a in \"$@\"; do printf '[%s]' \"$a\"; done");
  auto child = spawn_hidden(ProcessRequest{tool, {"a b", "", "\"q\"", "x\\y", "*"}, dir.path()});
  ASSERT_TRUE(child);
  EXPECT_EQ(run_to_end(*child).out, "[a b][][\"q\"][x\\y][*]");
}

TEST(ProcessSpawn, HiddenInItsOwnGroupAndFolder) {
  TempDir dir;
  // Fields 5, 6 and 7 of /proc/PID/stat: process group, session, controlling terminal.
  auto child = spawn_sh("pwd; readlink /proc/self/fd/0; cut -d' ' -f5-7 /proc/$$/stat; echo $$", dir.path());
  const auto c = run_to_end(child);
  const auto pid = std::to_string(child.life->id());
  EXPECT_EQ(c.out, std::filesystem::canonical(dir.path()).string() + "\n/dev/null\n" + pid + " " + pid + " 0\n" +
                       pid + "\n");
}

TEST(ProcessSpawn, RelativeProgramIsTakenFromTheCurrentFolder) {
  TempDir dir;
  std::filesystem::create_directory(dir / "tools");
  write_script(dir / "tools" / "t", "pwd");
  const auto old = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  auto child = spawn_hidden(ProcessRequest{"tools/t", {}, "tools"});
  std::filesystem::current_path(old);
  ASSERT_TRUE(child) << child.error().display();
  EXPECT_EQ(run_to_end(*child).out, std::filesystem::canonical(dir / "tools").string() + "\n");
}

TEST(ProcessSpawn, SignalsStartAtTheirDefaults) {
  // Whatever this thread blocks and this process ignores, a tool starts clean.
  sigset_t block;
  sigset_t old_mask;
  sigemptyset(&block);
  sigaddset(&block, SIGTERM);
  sigaddset(&block, SIGUSR1);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &block, &old_mask), 0);
  const auto old_pipe = ::signal(SIGPIPE, SIG_IGN);
  const auto old_term = ::signal(SIGTERM, SIG_IGN);
  auto child = spawn_sh("grep -E '^Sig(Blk|Ign)' /proc/self/status");
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  ::signal(SIGPIPE, old_pipe);
  ::signal(SIGTERM, old_term);

  const auto c = run_to_end(child);
  const auto blocked_at = c.out.find("SigBlk:");
  const auto ignored_at = c.out.find("SigIgn:");
  ASSERT_NE(blocked_at, std::string::npos) << c.out;
  ASSERT_NE(ignored_at, std::string::npos) << c.out;
  const auto blocked = std::stoull(c.out.substr(blocked_at + 7), nullptr, 16);
  const auto ignored = std::stoull(c.out.substr(ignored_at + 7), nullptr, 16);
  EXPECT_EQ(blocked, 0u);
  EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u);
  EXPECT_EQ(ignored & (1ull << (SIGTERM - 1)), 0u);
}

TEST(ProcessSpawn, OnlyTheStandardDescriptorsReachTheTool) {
  auto first = spawn_sh("sleep 1");  // its pipes are open while the second starts
  // A descriptor opened without close-on-exec (as a library or a sanitizer's runtime may open
  // one at any moment) must not reach the tool either.
  const int inheritable = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(inheritable, 0);
  auto second = spawn_sh(kavel_test::kListDescriptorsCommand);
  const auto listed = run_to_end(second).out;
  ::close(inheritable);
  first.life->signal_if_unreaped([](std::uint32_t id) { kill_process_group(id); });
  (void)run_to_end(first);
  // The tool holds 0, 1 and 2 only, none of the pipes of the first run and nothing else.
  EXPECT_EQ(listed, kavel_test::expected_descriptor_listing());

  // A descriptor passed on explicitly is the tool's 3 (readable as /dev/fd/3, whatever its
  // close-on-exec mark), and still the only one above the standard three; the listing's own
  // folder descriptor then comes after it.
  TempDir dir;
  kavel_test::write_file(dir / "passed", "passed\n");
  const int passed = ::open((dir / "passed").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(passed, 0);
  const int stray = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(stray, 0);
  ProcessRequest request{"/bin/sh", {"-c", std::string("cat /dev/fd/3; ") + kavel_test::kListDescriptorsCommand}, {}};
  request.descriptor_3 = passed;
  auto third = spawn_hidden(request);
  ::close(stray);
  ASSERT_TRUE(third) << third.error().display();
  EXPECT_EQ(run_to_end(*third).out, "passed\n0\n1\n2\n3\n4\n");
  // The caller keeps its own descriptor.
  EXPECT_EQ(::fcntl(passed, F_GETFD), FD_CLOEXEC);
  ::close(passed);
}

TEST(ProcessSpawn, StartFailures) {
  auto missing = spawn_hidden(ProcessRequest{"/nonexistent/tool", {}, {}});
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().display(), "The system cannot find the file specified. (os error 2)");

  TempDir dir;
  kavel_test::write_file(dir / "plain", "#!/bin/sh\n");
  auto not_executable = spawn_hidden(ProcessRequest{dir / "plain", {}, {}});
  ASSERT_FALSE(not_executable);
  EXPECT_EQ(not_executable.error().code(), std::optional<std::uint32_t>(5));

  auto no_folder = spawn_hidden(ProcessRequest{"/bin/true", {}, dir / "missing"});
  ASSERT_FALSE(no_folder);
  EXPECT_EQ(no_folder.error().kind(), OsErrorKind::NotFound);
}

TEST(ProcessSpawn, SignalledChildHasNoExitCode) {
  auto child = spawn_sh("kill -9 $$");
  const auto c = run_to_end(child);
  EXPECT_EQ(c.code, std::nullopt);
}

TEST(ProcessGroupKill, RefusesNumbersThatReachOthers) {
  EXPECT_FALSE(may_signal_process_group(0));
  EXPECT_FALSE(may_signal_process_group(1));
  EXPECT_FALSE(may_signal_process_group(static_cast<std::uint32_t>(INT_MAX) + 1));
  EXPECT_FALSE(may_signal_process_group(0xFFFFFFFFu));
  EXPECT_FALSE(may_signal_process_group(static_cast<std::uint32_t>(::getpid())));
  EXPECT_FALSE(may_signal_process_group(static_cast<std::uint32_t>(::getpgrp())));
  // kill_process_group itself is not called with these: should its guard ever break, the test
  // would signal every process it may reach.
}

TEST(ProcessGroupKill, EndsTheChildAndItsGrandchildren) {
  TempDir dir;
  const auto pid_file = dir / "grandchild";
  auto child = spawn_sh("sleep 300 & echo $! > '" + pid_file.string() + "'; sleep 300");
  const auto line = kavel_test::wait_file_line(pid_file, 10s);
  ASSERT_FALSE(line.empty());
  const auto grandchild = static_cast<std::uint32_t>(std::stoul(line));
  EXPECT_TRUE(may_signal_process_group(child.life->id()));
  EXPECT_TRUE(child.life->signal_if_unreaped([](std::uint32_t id) { kill_process_group(id); }));
  const auto c = run_to_end(child);
  EXPECT_EQ(c.code, std::nullopt);
  EXPECT_TRUE(kavel_test::wait_process_ended(grandchild, 10s));
  // Reaped: the number is no longer the child's, so nothing is signalled through it.
  EXPECT_FALSE(child.life->signal_if_unreaped([](std::uint32_t) { ADD_FAILURE() << "signalled a reaped child"; }));
}

TEST(ProcessGroupKill, DroppedChildIsEndedAndReaped) {
  std::uint32_t pid;
  {
    auto child = spawn_sh("sleep 300");
    pid = child.life->id();
  }
  // The last owner ended the group and reaped the child: no zombie, no process.
  EXPECT_FALSE(std::filesystem::exists("/proc/" + std::to_string(pid)));
}

}  // namespace
}  // namespace kavel_lib::platform
