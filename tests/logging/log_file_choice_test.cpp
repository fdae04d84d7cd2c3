// The choice of the log folder, the size limit at start-up, and the rules for the folders in
// the temporary folder that every user may write in.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "logging/log_file_choice.h"
#include "support/test_env.h"

namespace kavel_lib::logging {
namespace {

namespace fs = std::filesystem;

class LogFileChoice : public ::testing::Test {
 protected:
  LogFolderCandidate plain(const std::string& name) const { return {dir_.path() / name / "log", std::nullopt}; }
  // A candidate inside the stand-in temporary folder.
  LogFolderCandidate shared(const fs::path& relative) const {
    return {relative.empty() ? temp() : temp() / relative, temp()};
  }
  fs::path temp() const { return dir_.path() / "tmp"; }

  void SetUp() override { fs::create_directories(temp()); }

  std::optional<OpenedLog> open(const std::vector<LogFolderCandidate>& candidates) const {
    return open_log_file(candidates, shared(""));
  }

  kavel_test::TempDir dir_;
};

// A folder that cannot be made: a file stands where it would go.
void block(const fs::path& folder) {
  fs::create_directories(folder.parent_path());
  kavel_test::write_file(folder, "in the way");
}

TEST_F(LogFileChoice, CandidatesInOrder) {
  const auto candidates = log_folder_candidates();
  ASSERT_EQ(candidates.size(), 4u);
  EXPECT_EQ(candidates[0].folder.filename(), "log");
  EXPECT_EQ(candidates[0].folder.parent_path().filename(), "Polvane");
  EXPECT_FALSE(candidates[0].shared_root.has_value());
  EXPECT_EQ(candidates[1].folder.filename(), "log");
  EXPECT_FALSE(candidates[1].shared_root.has_value());
  ASSERT_TRUE(candidates[2].shared_root.has_value());
  EXPECT_EQ(candidates[2].folder, *candidates[2].shared_root / "Polvane" / "log");
  ASSERT_TRUE(candidates[3].shared_root.has_value());
  EXPECT_EQ(candidates[3].folder, *candidates[3].shared_root);
}

TEST_F(LogFileChoice, FirstUsableFolderWins) {
  auto opened = open({plain("a"), plain("b"), shared("Polvane/log"), shared("")});
  ASSERT_TRUE(opened.has_value());
  EXPECT_EQ(opened->path, dir_.path() / "a" / "log" / "app.log");
  EXPECT_FALSE(fs::exists(dir_.path() / "a" / "log" / ".write_test"));
  EXPECT_FALSE(fs::exists(dir_.path() / "b"));

  block(dir_.path() / "a2" / "log");
  opened = open({plain("a2"), plain("b"), shared("Polvane/log"), shared("")});
  ASSERT_TRUE(opened.has_value());
  EXPECT_EQ(opened->path, dir_.path() / "b" / "log" / "app.log");

  block(dir_.path() / "b2" / "log");
  opened = open({plain("a2"), plain("b2"), shared("Polvane/log"), shared("")});
  ASSERT_TRUE(opened.has_value());
  EXPECT_EQ(opened->path, temp() / "Polvane" / "log" / "app.log");
}

TEST_F(LogFileChoice, LeftoverProbeIsReplacedInAPlainFolderOnly) {
  fs::create_directories(dir_.path() / "a" / "log");
  kavel_test::write_file(dir_.path() / "a" / "log" / ".write_test", "old");
  auto opened = open({plain("a"), shared("")});
  ASSERT_TRUE(opened.has_value());
  EXPECT_EQ(opened->path.parent_path(), dir_.path() / "a" / "log");

  fs::create_directories(temp() / "Polvane" / "log");
  kavel_test::write_file(temp() / "Polvane" / "log" / ".write_test", "old");
  opened = open({shared("Polvane/log"), shared("")});
  ASSERT_TRUE(opened.has_value());
  EXPECT_EQ(opened->path, temp() / "app.log");
  EXPECT_EQ(kavel_test::read_file(temp() / "Polvane" / "log" / ".write_test"), "old");
}

TEST_F(LogFileChoice, SizeLimitAtStartUp) {
  const auto folder = dir_.path() / "a" / "log";
  fs::create_directories(folder);
  const auto log = folder / "app.log";
  fs::resize_file((kavel_test::write_file(log, ""), log), kLogSizeLimit);
  auto opened = open({plain("a")});
  ASSERT_TRUE(opened.has_value());
  ASSERT_TRUE(opened->file.write_all("x\n").has_value());
  EXPECT_EQ(fs::file_size(log), kLogSizeLimit + 2);  // kept and appended to

  fs::resize_file(log, kLogSizeLimit + 1);
  opened = open({plain("a")});
  ASSERT_TRUE(opened.has_value());
  EXPECT_EQ(fs::file_size(log), 0u);  // removed: a new file begins
  ASSERT_TRUE(opened->file.write_all("y\n").has_value());
  EXPECT_EQ(kavel_test::read_file(log), "y\n");
}

TEST_F(LogFileChoice, SharedLogThatIsALinkIsSkippedAndItsTargetUntouched) {
  const auto target = dir_.path() / "target";
  kavel_test::write_file(target, "keep");
  fs::create_directories(temp() / "Polvane" / "log");
  fs::create_symlink(target, temp() / "Polvane" / "log" / "app.log");
  auto opened = open({shared("Polvane/log"), plain("b")});
  ASSERT_TRUE(opened.has_value());
  EXPECT_EQ(opened->path, dir_.path() / "b" / "log" / "app.log");
  EXPECT_EQ(kavel_test::read_file(target), "keep");
  EXPECT_TRUE(fs::is_symlink(temp() / "Polvane" / "log" / "app.log"));
}

// A hard link is the service user's own regular file as much as its target is: in a folder
// every user may write in, it could name any file of the service's user, which must then be
// neither appended to nor removed.
TEST_F(LogFileChoice, SharedLogThatIsAHardLinkIsSkippedAndItsTargetUntouched) {
  const auto target = dir_.path() / "target";
  kavel_test::write_file(target, "keep");
  fs::resize_file(target, kLogSizeLimit + 5);
  fs::create_directories(temp() / "Polvane" / "log");
  fs::create_hard_link(target, temp() / "Polvane" / "log" / "app.log");
  fs::create_hard_link(target, temp() / "app.log");
  auto opened = open({shared("Polvane/log"), shared(""), plain("b")});
  ASSERT_TRUE(opened.has_value());
  EXPECT_EQ(opened->path, dir_.path() / "b" / "log" / "app.log");
  EXPECT_EQ(fs::file_size(target), kLogSizeLimit + 5);
  EXPECT_EQ(fs::hard_link_count(target), 3u);

  // The last resort too: no log rather than the linked file.
  opened.reset();
  block(dir_.path() / "z" / "log");
  EXPECT_FALSE(open({plain("z"), shared("Polvane/log"), shared("")}).has_value());
  EXPECT_EQ(fs::file_size(target), kLogSizeLimit + 5);

  // Opened directly for the shared folder, the linked file is refused as well.
  EXPECT_FALSE(platform::AppendFile::open(temp() / "app.log", false, ::geteuid()).has_value());
}

TEST_F(LogFileChoice, SharedFolderThatIsALinkIsSkippedAndNothingIsMadeBehindIt) {
  const auto elsewhere = dir_.path() / "elsewhere";
  fs::create_directories(elsewhere);
  fs::create_directory_symlink(elsewhere, temp() / "Polvane");
  auto opened = open({shared("Polvane/log"), shared("")});
  ASSERT_TRUE(opened.has_value());
  EXPECT_EQ(opened->path, temp() / "app.log");
  EXPECT_TRUE(fs::is_empty(elsewhere));
}

TEST_F(LogFileChoice, SharedLogOfAnotherUserIsNeitherAppendedToNorRemoved) {
  if (auto why = kavel_test::root_missing()) GTEST_SKIP() << *why;
  fs::create_directories(temp() / "Polvane" / "log");
  const auto foreign = temp() / "Polvane" / "log" / "app.log";
  kavel_test::write_file(foreign, "theirs");
  fs::resize_file(foreign, kLogSizeLimit + 5);
  ASSERT_EQ(::chown(foreign.c_str(), kavel_test::kUnprivilegedUid, kavel_test::kUnprivilegedGid), 0);
  auto opened = open({shared("Polvane/log"), shared("")});
  ASSERT_TRUE(opened.has_value());
  EXPECT_EQ(opened->path, temp() / "app.log");
  EXPECT_EQ(fs::file_size(foreign), kLogSizeLimit + 5);

  // The same in the last resort: no log at all.
  const auto last = temp() / "app.log";
  opened.reset();
  fs::remove(last);
  kavel_test::write_file(last, "theirs too");
  ASSERT_EQ(::chown(last.c_str(), kavel_test::kUnprivilegedUid, kavel_test::kUnprivilegedGid), 0);
  block(dir_.path() / "z" / "log");
  EXPECT_FALSE(open({plain("z"), shared("Polvane/log"), shared("")}).has_value());
  EXPECT_EQ(kavel_test::read_file(last), "theirs too");
}

TEST_F(LogFileChoice, SharedFolderOfAnotherUserIsSkipped) {
  if (auto why = kavel_test::root_missing()) GTEST_SKIP() << *why;
  fs::create_directories(temp() / "Polvane");
  ASSERT_EQ(::chown((temp() / "Polvane").c_str(), kavel_test::kUnprivilegedUid, kavel_test::kUnprivilegedGid), 0);
  auto opened = open({shared("Polvane/log"), shared("")});
  ASSERT_TRUE(opened.has_value());
  EXPECT_EQ(opened->path, temp() / "app.log");
  EXPECT_FALSE(fs::exists(temp() / "Polvane" / "log"));
}

TEST_F(LogFileChoice, LastResortIsTakenUntested) {
  block(dir_.path() / "a" / "log");
  block(temp() / "Polvane");
  // The temporary folder itself refuses the exclusive probe.
  kavel_test::write_file(temp() / ".write_test", "stuck");
  auto opened = open({plain("a"), shared("Polvane/log"), shared("")});
  ASSERT_TRUE(opened.has_value());
  EXPECT_EQ(opened->path, temp() / "app.log");
}

}  // namespace
}  // namespace kavel_lib::logging
