#include "platform/system_info.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "support/test_env.h"

namespace kavel_lib::platform {
namespace {

using kavel_test::ScopedEnv;

TEST(SystemInfo, ExecutableDirIsTheTestProgramsFolder) {
  const auto dir = executable_dir();
  ASSERT_FALSE(dir.empty());
  EXPECT_TRUE(std::filesystem::is_directory(dir));
  EXPECT_GT(processor_count(), 0u);
  EXPECT_GT(current_process_id(), 0u);
}

TEST(SystemInfo, AppDataAndTempFollowTheEnvironment) {
  {
    ScopedEnv xdg("XDG_DATA_HOME", "/x/data");
    EXPECT_EQ(roaming_app_data_dir(), std::filesystem::path("/x/data"));
  }
  {
    ScopedEnv xdg("XDG_DATA_HOME", std::nullopt);
    ScopedEnv home("HOME", "/home/u");
    EXPECT_EQ(roaming_app_data_dir(), std::filesystem::path("/home/u/.local/share"));
  }
  {
    ScopedEnv xdg("XDG_DATA_HOME", "");
    ScopedEnv home("HOME", std::nullopt);
    EXPECT_FALSE(roaming_app_data_dir().has_value());
  }
  {
    ScopedEnv tmp("TMPDIR", std::nullopt);
    EXPECT_EQ(temp_dir(), std::filesystem::path("/tmp"));
  }
  ScopedEnv tmp("TMPDIR", "/var/tmp");
  EXPECT_EQ(temp_dir(), std::filesystem::path("/var/tmp"));
}

}  // namespace
}  // namespace kavel_lib::platform

namespace kavel_lib::platform {
namespace {

// In a child process (the test's own limits stay as they are): a soft limit below the hard one
// is raised to it; a limit already at the hard one stays.
TEST(SystemInfo, DescriptorLimitIsRaisedToTheHardLimit) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) ::_exit(10);
    const rlim_t hard = limit.rlim_max == RLIM_INFINITY ? rlim_t{4096} : std::min<rlim_t>(limit.rlim_max, 4096);
    limit.rlim_max = hard;
    limit.rlim_cur = 64;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) ::_exit(11);
    const auto raised = raise_descriptor_limit();
    if (!raised || *raised != hard) ::_exit(12);
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur != hard || limit.rlim_max != hard) ::_exit(13);
    const auto again = raise_descriptor_limit();
    if (!again || *again != hard) ::_exit(14);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace kavel_lib::platform
