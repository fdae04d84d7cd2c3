#include "ipc/ui_clients.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "ipc/app_data.h"
#include "ipc/child_process.h"
#include "support/test_env.h"

namespace kavel_lib::ipc {
namespace {

using kavel_test::ScopedEnv;
using kavel_test::TempDir;
using Pids = std::vector<std::uint32_t>;

TEST(AppDataDir, FollowsTheRoamingFolderOrTheCurrentDirectory) {
  {
    ScopedEnv xdg("XDG_DATA_HOME", "/x/data");
    EXPECT_EQ(app_data_dir(), std::filesystem::path("/x/data/Polvane"));
    EXPECT_EQ(ui_clients_file_path(), std::filesystem::path("/x/data/Polvane/service_ui_clients.txt"));
  }
  ScopedEnv xdg("XDG_DATA_HOME", std::nullopt);
  ScopedEnv home("HOME", std::nullopt);
  EXPECT_EQ(app_data_dir(), std::filesystem::path("./Polvane"));
  EXPECT_EQ(ui_clients_file_path(), std::filesystem::path("./Polvane/service_ui_clients.txt"));
}

TEST(UiClientsGrammar, TrimsSkipsAndKeepsOrder) {
  EXPECT_EQ(parse_ui_clients("12\r\n+34\n\n  56  \nabc\n-7\n99999999999"), (Pids{12, 34, 56}));
  EXPECT_EQ(parse_ui_clients("4294967295\n4294967296\n0007\n+\n+-1\n1 2\n\t9\t\r\n"), (Pids{4294967295u, 7, 9}));
  // A last line without a line feed counts; duplicates stay.
  EXPECT_EQ(parse_ui_clients("5\n5\n6"), (Pids{5, 5, 6}));
  // White space in the Unicode sense is trimmed too (no-break space, ideographic space).
  EXPECT_EQ(parse_ui_clients("\xC2\xA0" "8\xE3\x80\x80\n"), (Pids{8}));
  // A carriage return alone does not split lines.
  EXPECT_EQ(parse_ui_clients("1\r2\n3"), (Pids{3}));
  EXPECT_EQ(parse_ui_clients(""), Pids{});
}

class UiClientsFile : public ::testing::Test {
 protected:
  std::filesystem::path file() const { return dir_.path() / "Polvane" / "service_ui_clients.txt"; }
  void put(const std::string& text) {
    std::filesystem::create_directories(file().parent_path());
    kavel_test::write_file(file(), text);
  }
  TempDir dir_;
  ScopedEnv xdg_{"XDG_DATA_HOME", dir_.path().string()};
};

TEST_F(UiClientsFile, MissingUnreadableOrNonUtf8ReadsEmpty) {
  EXPECT_EQ(read_ui_clients_file(), Pids{});
  put("12\n\xFF\xFE\n34");
  EXPECT_EQ(read_ui_clients_file(), Pids{});
  put("12\n\xED\xA0\x80\n34");  // an encoded surrogate is not UTF-8
  EXPECT_EQ(read_ui_clients_file(), Pids{});
  put("12\n34\n");
  EXPECT_EQ(read_ui_clients_file(), (Pids{12, 34}));
  std::filesystem::remove(file());
  std::filesystem::create_directory(file());  // a folder where the file should be
  EXPECT_EQ(read_ui_clients_file(), Pids{});
}

TEST_F(UiClientsFile, WriteJoinsWithLineFeedsAndEmptyRemoves) {
  write_ui_clients_file({100, 4242, 100});
  EXPECT_EQ(kavel_test::read_file(file()), "100\n4242\n100");
  write_ui_clients_file({7});
  EXPECT_EQ(kavel_test::read_file(file()), "7");
  write_ui_clients_file({});
  EXPECT_FALSE(std::filesystem::exists(file()));
  write_ui_clients_file({});  // nothing to remove: still silent
  EXPECT_FALSE(std::filesystem::exists(file()));
}

TEST_F(UiClientsFile, WriteFailureIsSilent) {
  // The folder's place is taken by a file: nothing can be written, nothing is reported.
  kavel_test::write_file(dir_.path() / "Polvane", "x");
  write_ui_clients_file({1});
  EXPECT_EQ(read_ui_clients_file(), Pids{});
}

TEST_F(UiClientsFile, PlantedPipeOrLinkIsNeitherWaitedOnNorFollowed) {
  std::filesystem::create_directories(file().parent_path());
  ASSERT_EQ(::mkfifo(file().c_str(), 0600), 0);
  EXPECT_EQ(read_ui_clients_file(), Pids{});  // returns at once instead of waiting for a writer
  std::filesystem::remove(file());

  const auto target = dir_.path() / "elsewhere.txt";
  kavel_test::write_file(target, "keep");
  std::filesystem::create_symlink(target, file());
  write_ui_clients_file({5});
  EXPECT_EQ(kavel_test::read_file(target), "keep");
}

TEST_F(UiClientsFile, PruneKeepsLiveNumbersInOrder) {
  const pid_t ended = ::fork();
  ASSERT_GE(ended, 0);
  if (ended == 0) ::_exit(0);
  int status = 0;
  ASSERT_EQ(::waitpid(ended, &status, 0), ended);
  const auto self = static_cast<std::uint32_t>(::getpid());
  const auto gone = static_cast<std::uint32_t>(ended);
  EXPECT_EQ(prune_dead_ui_clients({gone, self, 0, self, 0xFFFFFFFFu}), (Pids{self, self}));
  EXPECT_TRUE(process_is_alive(self));
  EXPECT_FALSE(process_is_alive(gone));
  EXPECT_FALSE(process_is_alive(0));
}

TEST_F(UiClientsFile, RegistrationDropsEndedProcessesAndAddsItselfOnce) {
  const pid_t ended = ::fork();
  ASSERT_GE(ended, 0);
  if (ended == 0) ::_exit(0);
  int status = 0;
  ASSERT_EQ(::waitpid(ended, &status, 0), ended);
  const auto parent = std::to_string(::getpid());

  // A file of an ended process and of this (live) process listed twice: the ended one goes,
  // this one stays twice, and the registering child adds itself at the end.
  put(std::to_string(ended) + "\n" + parent + "\n" + parent + "\n");
  ScopedEnv expected("KAVEL_TEST_EXPECTED", parent + "\n" + parent + "\n");
  std::string output;
  EXPECT_TRUE(kavel_test::run_child_test("UiClientsChild.DISABLED_RegistersOnceKeepingLiveNumbers", output))
      << output;
}

TEST(UiClientsChild, DISABLED_RegistersOnceKeepingLiveNumbers) {
  if (!kavel_test::in_child_role()) GTEST_SKIP() << "runs as a child of UiClientsFile tests";
  const auto file = ui_clients_file_path();
  register_ui_client();
  EXPECT_EQ(kavel_test::read_file(file), std::getenv("KAVEL_TEST_EXPECTED") + std::to_string(::getpid()));
  // The second registration does nothing, even with the file gone.
  std::filesystem::remove(file);
  register_ui_client();
  EXPECT_FALSE(std::filesystem::exists(file));
}

TEST_F(UiClientsFile, RegistrationInAListedProcessDoesNotAddItAgain) {
  std::string output;
  EXPECT_TRUE(kavel_test::run_child_test("UiClientsChild.DISABLED_ListedProcessIsNotAddedAgain", output)) << output;
}

TEST(UiClientsChild, DISABLED_ListedProcessIsNotAddedAgain) {
  if (!kavel_test::in_child_role()) GTEST_SKIP() << "runs as a child of UiClientsFile tests";
  const auto file = ui_clients_file_path();
  std::filesystem::create_directories(file.parent_path());
  const auto self = std::to_string(::getpid());
  kavel_test::write_file(file, "100000000\n" + self);  // far above any process number: ended
  register_ui_client();
  EXPECT_EQ(kavel_test::read_file(file), self);
}

TEST_F(UiClientsFile, RegistrationWithoutAReadableListWritesOnlyItself) {
  std::string output;
  EXPECT_TRUE(kavel_test::run_child_test("UiClientsChild.DISABLED_NoFileGivesOnlyItself", output)) << output;
  put("1\n\xC3\x28");  // not UTF-8: read as no list at all
  EXPECT_TRUE(kavel_test::run_child_test("UiClientsChild.DISABLED_NoFileGivesOnlyItself", output)) << output;
}

TEST(UiClientsChild, DISABLED_NoFileGivesOnlyItself) {
  if (!kavel_test::in_child_role()) GTEST_SKIP() << "runs as a child of UiClientsFile tests";
  register_ui_client();
  EXPECT_EQ(kavel_test::read_file(ui_clients_file_path()), std::to_string(::getpid()));
}

}  // namespace
}  // namespace kavel_lib::ipc
