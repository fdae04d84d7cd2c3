#include "platform/process_info.h"

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/test_env.h"

namespace kavel_lib::platform {
namespace {

TEST(ProcessIsAlive, OwnProcessLivesAndImpossibleNumbersDoNot) {
  EXPECT_TRUE(process_is_alive(static_cast<std::uint32_t>(::getpid())));
  EXPECT_FALSE(process_is_alive(0));
  // As a pid_t these would be -1 and INT_MIN: kill() would answer for process groups or for
  // every process we may signal.
  EXPECT_FALSE(process_is_alive(0xFFFFFFFFu));
  EXPECT_FALSE(process_is_alive(0x80000000u));
  EXPECT_FALSE(process_is_alive(4u * 1024u * 1024u + 1u));
}

TEST(ProcessIsAlive, EndedProcessIsNotAliveButAnUncollectedOneIs) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) ::_exit(0);
  // Until it is collected, the ended child still holds its number (a zombie).
  siginfo_t info{};
  ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT), 0);
  EXPECT_TRUE(process_is_alive(static_cast<std::uint32_t>(child)));
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_FALSE(process_is_alive(static_cast<std::uint32_t>(child)));
}

// A process's umask as its status shows it; 0077 for a number that names no process.
TEST(ProcessUmask, OwnMaskIsReadAndAMissingProcessGivesTheNarrowOne) {
  const mode_t own = ::umask(0027);
  EXPECT_EQ(process_umask(static_cast<std::uint32_t>(::getpid())), 0027u);
  ::umask(own);
  EXPECT_EQ(process_umask(static_cast<std::uint32_t>(::getpid())), static_cast<std::uint32_t>(own));
  EXPECT_EQ(process_umask(0), 0077u);
  EXPECT_EQ(process_umask(0xFFFFFFFFu), 0077u);
}

TEST(ProcessIsAlive, ProcessWeMayNotOpenIsNotAlive) {
  if (auto why = kavel_test::root_missing()) GTEST_SKIP() << *why;
  const auto parent = static_cast<std::uint32_t>(::getpid());
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setgroups(0, nullptr) != 0 ||
        ::setresgid(kavel_test::kUnprivilegedGid, kavel_test::kUnprivilegedGid, kavel_test::kUnprivilegedGid) != 0 ||
        ::setresuid(kavel_test::kUnprivilegedUid, kavel_test::kUnprivilegedUid, kavel_test::kUnprivilegedUid) != 0) {
      ::_exit(100);
    }
    // The root-owned parent exists but is not ours; our own process is.
    const bool parent_seen = process_is_alive(parent);
    const bool self_seen = process_is_alive(static_cast<std::uint32_t>(::getpid()));
    ::_exit((parent_seen ? 1 : 0) | (self_seen ? 0 : 2));
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace kavel_lib::platform
