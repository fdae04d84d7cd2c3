#include "platform/system_info.h"

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
