// The "runas" start on Linux: the two helper steps, the refusal as error 1223, the KAVEL_*
// variables passed through /usr/bin/env, and the console title escape.
#include "platform/elevation.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "platform/console.h"
#include "platform/system_info.h"
#include "support/process_watch.h"
#include "support/test_env.h"

namespace kavel_lib::platform {
namespace {

using kavel_test::ScopedEnv;
using kavel_test::TempDir;

TEST(ElevationCommands, PromptThenCopyThroughEnv) {
  EXPECT_EQ(elevation_prompt_command("sudo"), (std::vector<std::string>{"sudo", "-v"}));
  EXPECT_EQ(elevated_copy_command("sudo", "/opt/polvane/PolvaneService", {"--console", "--elevated-console"},
                                  {"KAVEL_PIPE_DIR=/run/x", "KAVEL_DRIVES=E=/img/e.img;F=/img/f.img"}),
            (std::vector<std::string>{"sudo", "/usr/bin/env", "KAVEL_PIPE_DIR=/run/x",
                                      "KAVEL_DRIVES=E=/img/e.img;F=/img/f.img", "/opt/polvane/PolvaneService",
                                      "--console", "--elevated-console"}));
}

TEST(ElevationCommands, OnlyKavelVariablesArePassedOn) {
  ScopedEnv a("KAVEL_TEST_ELEVATION_A", "one two");
  ScopedEnv b("KAVELX", "not ours");
  ScopedEnv c("XKAVEL_B", "not ours either");
  ScopedEnv d("KAVEL_TEST_ELEVATION_EMPTY", "");
  const auto entries = kavel_environment();
  EXPECT_NE(std::find(entries.begin(), entries.end(), "KAVEL_TEST_ELEVATION_A=one two"), entries.end());
  EXPECT_NE(std::find(entries.begin(), entries.end(), "KAVEL_TEST_ELEVATION_EMPTY="), entries.end());
  for (const auto& e : entries) {
    EXPECT_TRUE(e.starts_with("KAVEL_")) << e;
    EXPECT_FALSE(e.starts_with("KAVELX")) << e;
  }
}

class ElevationHelper : public ::testing::Test {
 protected:
  // A helper that logs each run's arguments, answers the prompt with `prompt_status` and
  // otherwise runs its arguments.
  void use_helper(int prompt_status) {
    helper_ = kavel_test::write_script(dir_ / "helper",
                                       "d=$(dirname \"$0\")\n"
                                       "echo \"$*\" >> \"$d/runs\"\n"
                                       "if [ \"$1\" = \"-v\" ]; then exit " +
                                           std::to_string(prompt_status) +
                                           "; fi\n"
                                           "exec \"$@\"");
    env_ = std::make_unique<ScopedEnv>(kElevateHelperVariable, helper_.string());
  }
  std::string runs() { return kavel_test::read_file(dir_ / "runs"); }

  TempDir dir_;
  std::filesystem::path helper_;
  std::unique_ptr<ScopedEnv> env_;
};

TEST_F(ElevationHelper, RefusedPromptIsCancelledByTheUser) {
  use_helper(1);
  const auto started = shell_execute_runas("/bin/true", {"--console"});
  ASSERT_FALSE(started);
  EXPECT_EQ(started.error().code, win::ERROR_CANCELLED);
  EXPECT_EQ(started.error().display(), "The operation was canceled by the user. (0x800704C7)");
  // Only the prompt ran.
  EXPECT_EQ(runs(), "-v\n");
}

TEST_F(ElevationHelper, AcceptedPromptStartsTheCopyWithItsVariables) {
  use_helper(0);
  ScopedEnv pass("KAVEL_TEST_PASSED", "a b;c=d");
  const auto record = dir_ / "copy";
  const auto program = kavel_test::write_script(dir_ / "program", "echo \"$KAVEL_TEST_PASSED|$*\" > \"" +
                                                                    record.string() + "\"\nexit 7");
  auto started = shell_execute_runas(program, {"--console", "--elevated-console"});
  ASSERT_TRUE(started) << started.error().display();
  const auto ended = started->wait();
  ASSERT_TRUE(ended);
  EXPECT_EQ(*ended, std::optional<std::uint32_t>(7));
  EXPECT_EQ(kavel_test::read_file(record), "a b;c=d|--console --elevated-console\n");
  const std::string log = runs();
  EXPECT_TRUE(log.starts_with("-v\n/usr/bin/env ")) << log;
  EXPECT_NE(log.find("KAVEL_TEST_PASSED=a b;c=d"), std::string::npos) << log;
  EXPECT_TRUE(log.ends_with(program.string() + " --console --elevated-console\n")) << log;
}

TEST_F(ElevationHelper, MissingHelperIsFileNotFound) {
  env_ = std::make_unique<ScopedEnv>(kElevateHelperVariable, (dir_ / "no-such-helper").string());
  const auto started = shell_execute_runas("/bin/true", {});
  ASSERT_FALSE(started);
  EXPECT_EQ(started.error().code, win::ERROR_FILE_NOT_FOUND);
}

TEST(ExecutablePath, IsTheRunningTestProgram) {
  const auto path = executable_path();
  ASSERT_TRUE(path) << path.error().display();
  EXPECT_TRUE(path->is_absolute());
  EXPECT_EQ(path->parent_path(), executable_dir());
  EXPECT_TRUE(std::filesystem::is_regular_file(*path));
}

// Standard output is pointed at `fd` for the life of the object.
class StdoutRedirect {
 public:
  explicit StdoutRedirect(int fd) : saved_(::dup(STDOUT_FILENO)) {
    std::fflush(stdout);
    ::dup2(fd, STDOUT_FILENO);
  }
  ~StdoutRedirect() {
    std::fflush(stdout);
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
  }
  StdoutRedirect(const StdoutRedirect&) = delete;
  StdoutRedirect& operator=(const StdoutRedirect&) = delete;

 private:
  int saved_;
};

TEST(ConsoleTitle, EscapeOnlyToATerminal) {
  EXPECT_TRUE(alloc_console());

  TempDir dir;
  const auto file = dir / "out";
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  {
    StdoutRedirect redirect(fd);
    const auto set = set_console_title("Polvane Service");
    ASSERT_FALSE(set);
    EXPECT_EQ(set.error().code, win::ERROR_INVALID_HANDLE);
  }
  ::close(fd);
  EXPECT_EQ(kavel_test::read_file(file), "");

  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  const int terminal = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(terminal, 0);
  {
    StdoutRedirect redirect(terminal);
    EXPECT_TRUE(set_console_title("Polvane\nService\x07"));
  }
  ::close(terminal);
  char buffer[64];
  const ssize_t n = ::read(master, buffer, sizeof buffer);
  ::close(master);
  ASSERT_GT(n, 0);
  // Control characters of the title never reach the terminal inside the escape.
  EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(n)), "\x1b]0;PolvaneService\x07");
}

}  // namespace
}  // namespace kavel_lib::platform
