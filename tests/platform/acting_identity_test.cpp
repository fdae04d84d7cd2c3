// The destination file calls act as the thread's acting identity: a client's user, group and
// supplementary groups, only inside each call, and the service's own identity again after it.
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "platform/acting_identity.h"
#include "platform/file_ops.h"
#include "support/test_env.h"

namespace kavel_lib::platform {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kNobody = kavel_test::kUnprivilegedUid;
constexpr std::uint32_t kNogroup = kavel_test::kUnprivilegedGid;
constexpr std::uint32_t kSharedGroup = 4242;

std::uint32_t owner_of(const fs::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_uid : 0xFFFFFFFFu;
}

// The file-system user id of the calling thread, as the kernel reports it.
std::string thread_ids(const char* key) {
  std::ifstream in("/proc/thread-self/status");
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with(key)) return line;
  }
  return {};
}

class ActingIdentity : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto why = kavel_test::root_missing()) GTEST_SKIP() << *why;
    fs::permissions(dir_.path(), fs::perms::all);
    closed_ = dir_.path() / "closed";
    fs::create_directories(closed_);
    fs::permissions(closed_, fs::perms::owner_all);
    open_ = dir_.path() / "open";
    fs::create_directories(open_);
    fs::permissions(open_, fs::perms::all);
  }

  kavel_test::TempDir dir_;
  fs::path closed_;
  fs::path open_;
  const FileIdentity nobody_{kNobody, kNogroup, {kNogroup}};
};

TEST_F(ActingIdentity, EveryDestinationCallActsAsTheClient) {
  const ScopedActingIdentity acting(nobody_);
  const OsError denied = OsError::from_code(win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(create_folders(closed_ / "a" / "b"), std::unexpected(denied));
  EXPECT_EQ(create_parent_folders(closed_ / "c" / "f"), std::unexpected(denied));
  auto created = DestinationFile::create(closed_ / "f");
  ASSERT_FALSE(created.has_value());
  EXPECT_EQ(created.error(), denied);
  ASSERT_FALSE(DestinationFile::create_new(closed_ / "g").has_value());

  // Where the client may write, what it makes is its own.
  ASSERT_TRUE(create_parent_folders(open_ / "x" / "f").has_value());
  auto file = DestinationFile::create(open_ / "x" / "f");
  ASSERT_TRUE(file.has_value());
  const std::uint8_t byte = 7;
  ASSERT_TRUE(file->write_all({&byte, 1}).has_value());
  ASSERT_TRUE(file->close().has_value());
  EXPECT_EQ(owner_of(open_ / "x"), kNobody);
  EXPECT_EQ(owner_of(open_ / "x" / "f"), kNobody);
  EXPECT_EQ(regular_file_length(open_ / "x" / "f"), 1u);

  // A root file in a root-only folder can be neither removed, renamed nor looked at.
  kavel_test::write_file(closed_ / "root.txt", "root");
  const auto closed = OpenedFolder::open(closed_);
  EXPECT_FALSE(closed && closed->remove("root.txt"));
  EXPECT_FALSE(rename_path(closed_ / "root.txt", open_ / "stolen").has_value());
  EXPECT_FALSE(regular_file_length(closed_ / "root.txt").has_value());
  EXPECT_TRUE(fs::exists(closed_ / "root.txt"));
}

TEST_F(ActingIdentity, ThreadIsItselfAgainBetweenCalls) {
  {
    const ScopedActingIdentity acting(nobody_);
    ASSERT_TRUE(DestinationFile::create(open_ / "a").has_value());
    // Between calls the thread is root, with root's groups.
    EXPECT_EQ(thread_ids("Uid:"), "Uid:\t0\t0\t0\t0");
    EXPECT_EQ(thread_ids("Gid:"), "Gid:\t0\t0\t0\t0");
    EXPECT_TRUE(current_acting_identity().has_value());
  }
  EXPECT_FALSE(current_acting_identity().has_value());
  ASSERT_TRUE(DestinationFile::create(closed_ / "b").has_value());
  EXPECT_EQ(owner_of(closed_ / "b"), 0u);
}

TEST_F(ActingIdentity, SupplementaryGroupsCount) {
  const auto group_folder = dir_.path() / "group";
  fs::create_directories(group_folder);
  ASSERT_EQ(::chown(group_folder.c_str(), 0, kSharedGroup), 0);
  fs::permissions(group_folder, fs::perms::owner_all | fs::perms::group_all);
  {
    const ScopedActingIdentity acting(FileIdentity{kNobody, kNogroup, {kNogroup, kSharedGroup}});
    EXPECT_TRUE(DestinationFile::create(group_folder / "with").has_value());
  }
  {
    const ScopedActingIdentity acting(nobody_);
    EXPECT_FALSE(DestinationFile::create(group_folder / "without").has_value());
  }
  {
    const ScopedActingIdentity acting(FileIdentity{kNobody, kSharedGroup, {}});
    EXPECT_TRUE(DestinationFile::create(group_folder / "primary").has_value());
  }
}

TEST_F(ActingIdentity, IdentityBelongsToItsThreadOnly) {
  const ScopedActingIdentity acting(nobody_);
  std::thread other([&] {
    EXPECT_FALSE(current_acting_identity().has_value());
    EXPECT_TRUE(DestinationFile::create(closed_ / "other").has_value());
  });
  other.join();
  EXPECT_EQ(owner_of(closed_ / "other"), 0u);
  // glibc's setgroups would have changed every thread's groups; the main thread keeps its own.
  ASSERT_TRUE(DestinationFile::create(open_ / "mine").has_value());
  EXPECT_EQ(thread_ids("Groups:"), [] {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);) {
      if (line.starts_with("Groups:")) return line;
    }
    return std::string();
  }());
}

TEST_F(ActingIdentity, SwitchThatDoesNotTakeRefusesTheCall) {
  // An unprivileged process cannot take on another user: the call fails and changes nothing.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setresgid(kNogroup, kNogroup, kNogroup) != 0 ||
        ::setresuid(kNobody, kNobody, kNobody) != 0) {
      ::_exit(100);
    }
    const ScopedActingIdentity acting(FileIdentity{1234, 1234, {}});
    auto file = DestinationFile::create(open_ / "never");
    if (file || file.error() != OsError::from_code(win::ERROR_ACCESS_DENIED)) ::_exit(1);
    if (fs::exists(open_ / "never")) ::_exit(2);
    if (thread_ids("Uid:") != "Uid:\t65534\t65534\t65534\t65534") ::_exit(3);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(ProcessIdentity, IsTheEffectiveUserAndGroups) {
  const FileIdentity self = process_identity();
  EXPECT_EQ(self.uid, ::geteuid());
  EXPECT_EQ(self.gid, ::getegid());
  EXPECT_TRUE(same_identity(FileIdentity{1, 2, {3, 4, 4}}, FileIdentity{1, 2, {4, 3}}));
  EXPECT_FALSE(same_identity(FileIdentity{1, 2, {3}}, FileIdentity{1, 2, {3, 5}}));
  EXPECT_FALSE(same_identity(FileIdentity{1, 2, {}}, FileIdentity{1, 3, {}}));
}

}  // namespace
}  // namespace kavel_lib::platform
