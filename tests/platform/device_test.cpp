#include "platform/device.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/drive_pins.h"
#include "platform/posix/drive_path_trust.h"
#include "support/test_env.h"

namespace kavel_lib::platform {
namespace {

using kavel_test::ScopedEnv;
using kavel_test::TempDir;

std::string pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 7 + 3);
  return s;
}

class DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    image_ = dir_ / "disk.img";
    kavel_test::write_file(image_, pattern(8192));
  }
  TempDir dir_;
  std::filesystem::path image_;
};

TEST_F(DeviceTest, ReadsAtAndPastTheEnd) {
  ScopedEnv env("KAVEL_DRIVES", "E=" + image_.string());
  auto dev = Device::open("\\\\.\\E:");
  ASSERT_TRUE(dev.has_value()) << dev.error().display();
  EXPECT_EQ(dev->device_name(), "E:");
  EXPECT_EQ(*dev->size(), 8192u);

  std::vector<std::uint8_t> buf(512);
  ASSERT_TRUE(dev->read_exact_at(4096, buf).has_value());
  EXPECT_EQ(buf[0], static_cast<std::uint8_t>(4096 * 7 + 3));

  // A read that crosses the end returns what is there; at and past the end nothing.
  EXPECT_EQ(*dev->read_at(8192 - 100, buf), 100u);
  EXPECT_EQ(*dev->read_at(8192, buf), 0u);
  EXPECT_EQ(*dev->read_at(UINT64_MAX - 10, buf), 0u);
  auto short_read = dev->read_exact_at(8000, buf);
  ASSERT_FALSE(short_read.has_value());
  EXPECT_EQ(short_read.error().kind(), OsErrorKind::UnexpectedEof);
  EXPECT_EQ(short_read.error().display(), "failed to fill whole buffer");
}

TEST_F(DeviceTest, OffsetEntriesReadRelativeToTheirStart) {
  ScopedEnv env("KAVEL_DRIVES", "PhysicalDrive0=" + image_.string() + ";E=" + image_.string() + "@1024");
  auto disk = Device::open("\\\\.\\PhysicalDrive0");
  auto vol = Device::open("\\\\.\\E:");
  ASSERT_TRUE(disk && vol);
  EXPECT_EQ(*vol->size(), 8192u - 1024u);
  EXPECT_EQ(vol->base_offset(), 1024u);
  std::vector<std::uint8_t> a(64), b(64);
  ASSERT_TRUE(disk->read_exact_at(1024 + 100, a));
  ASSERT_TRUE(vol->read_exact_at(100, b));
  EXPECT_EQ(a, b);
}

TEST_F(DeviceTest, UnknownNamesAndNonDevicesAreNotFound) {
  ScopedEnv env("KAVEL_DRIVES", "E=" + image_.string() + ";F=" + (dir_ / "missing.img").string());
  EXPECT_EQ(Device::open("\\\\.\\G:").error().code, 2u);
  EXPECT_EQ(Device::open("\\\\.\\F:").error().code, 2u);
  EXPECT_EQ(Device::open(image_.string()).error().code, 2u);
  EXPECT_EQ(Device::open("\\\\.\\E:\\x").error().code, 2u);
}

TEST_F(DeviceTest, NodesThatAreNeitherImageNorBlockDeviceAreAccessDeniedWithoutWaiting) {
  // A FIFO's open would wait for a writer that never comes; a character device or a folder is
  // no volume either. Each is refused with access denied, as the service and the scanner get it.
  const auto fifo = dir_ / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  ScopedEnv env("KAVEL_DRIVES", "E=" + fifo.string() + ";F=/dev/null;G=" + dir_.path().string());
  auto opened = std::async(std::launch::async, [] { return Device::open("\\\\.\\E:"); });
  if (opened.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    // The open waits on the FIFO: let it go with a writer so that the test ends, then fail.
    const int writer = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
    ADD_FAILURE() << "the open of a FIFO waited";
    opened.wait();
    if (writer >= 0) ::close(writer);
  }
  const auto fifo_open = opened.get();
  ASSERT_FALSE(fifo_open.has_value());
  EXPECT_EQ(fifo_open.error().code, 5u);
  EXPECT_EQ(Device::open("\\\\.\\F:").error().code, 5u);
  EXPECT_EQ(Device::open("\\\\.\\G:").error().code, 5u);
}

// With the service program's drive pins on (here for this test only), a drive leads to what its
// path led to when pinned: a renamed image with a link to another file in its place is refused
// and reported once, naming the drive; a link that still leads to the image is fine; an entry
// with nothing at its path is pinned at its first successful open. Without pins, the path
// decides.
TEST_F(DeviceTest, PinnedDrivesLeadWhereTheyLedWhenPinned) {
  const auto other = dir_ / "other";
  kavel_test::write_file(other, "not a volume");
  std::filesystem::create_directory(dir_ / "by-id");
  std::filesystem::create_symlink("../disk.img", dir_ / "by-id" / "disk-e");
  const auto later = dir_ / "later.img";
  ScopedEnv env("KAVEL_DRIVES", "E=" + image_.string() + ";L=" + (dir_ / "by-id" / "disk-e").string() +
                                    ";M=" + later.string());
  const std::shared_ptr<void> unpin(nullptr, [](void*) { clear_drive_pins(); });
  std::vector<std::string> reported;
  pin_drive_table([&](const DriveRefusal& refusal) { reported.emplace_back(refusal.drive_name); });
  ASSERT_TRUE(drive_pins_active());
  ASSERT_EQ(pinned_drives().size(), 2u);
  EXPECT_TRUE(Device::open("\\\\.\\E:"));
  EXPECT_TRUE(Device::open("\\\\.\\L:"));

  std::filesystem::rename(image_, dir_ / "renamed.img");
  std::filesystem::create_symlink(other, image_);
  const auto swapped = Device::open("\\\\.\\E:");
  ASSERT_FALSE(swapped);
  EXPECT_EQ(swapped.error().code, 5u);
  EXPECT_EQ(reported, std::vector<std::string>{"E:"});
  // The link leads to the image again, by another way.
  std::filesystem::remove(dir_ / "by-id" / "disk-e");
  std::filesystem::create_symlink(dir_ / "renamed.img", dir_ / "by-id" / "disk-e");
  EXPECT_TRUE(Device::open("\\\\.\\L:"));

  kavel_test::write_file(later, pattern(512));
  EXPECT_TRUE(Device::open("\\\\.\\M:"));
  EXPECT_EQ(pinned_drives().size(), 3u);
  // Another file put at the same path (made first, so it cannot reuse the image's inode).
  kavel_test::write_file(dir_ / "replacement.img", pattern(512));
  std::filesystem::rename(dir_ / "replacement.img", later);
  const auto replaced = Device::open("\\\\.\\M:");
  ASSERT_FALSE(replaced);
  EXPECT_EQ(replaced.error().code, 5u);
  EXPECT_EQ(reported, (std::vector<std::string>{"E:", "M:"}));

  clear_drive_pins();
  EXPECT_FALSE(drive_pins_active());
  EXPECT_TRUE(Device::open("\\\\.\\E:"));
}

// The walk behind the service's drive-path rule, for a service run as root and as an ordinary
// user (47301): that user's own folder is the service's own place then, and another user's
// otherwise; a group-writable team folder and a loop of links are refused; a name missing in
// sound folders is nothing there yet. From a sticky folder others may add to, only a folder of
// root's that no one else may write passes: root's own image, link or folder that others may
// write there is refused, as anything a user may have moved in. A user's link is refused in
// root's folder too, and a path that ends on the kernel's own objects (/proc) is refused, while
// a node of /dev passes the walk.
TEST_F(DeviceTest, DrivePathWalkTrustsOnlyRootAndTheServicesUser) {
  if (auto why = kavel_test::root_missing()) GTEST_SKIP() << *why << " (the folders belong to other users)";
  namespace fs = std::filesystem;
  using posix::walk_drive_path;
  constexpr uid_t kUser = 47301;
  ::chmod(dir_.path().c_str(), 0755);
  const auto own = dir_ / "own";
  fs::create_directory(own);
  ::chmod(own.c_str(), 0755);
  ASSERT_EQ(::chown(own.c_str(), kUser, kUser), 0);
  kavel_test::write_file(own / "e.img", pattern(512));
  ASSERT_EQ(::chown((own / "e.img").c_str(), kUser, kUser), 0);
  const auto text_of = [](const posix::PathWalk& walk) -> std::string {
    if (const auto* fault = std::get_if<posix::UntrustedPlace>(&walk)) return posix::describe(*fault);
    if (const auto* failed = std::get_if<posix::WalkFailed>(&walk)) return "errno " + std::to_string(failed->error);
    if (std::holds_alternative<posix::NothingThere>(walk)) return "nothing there";
    return "reached " + std::get<posix::ReachedObject>(walk).name;
  };
  EXPECT_EQ(text_of(walk_drive_path((own / "e.img").string(), 0)),
            "its path passes through " + own.string() + ", which user 47301 may change");
  EXPECT_EQ(text_of(walk_drive_path((own / "e.img").string(), kUser)), "reached e.img");
  EXPECT_EQ(text_of(walk_drive_path((own / "later.img").string(), kUser)), "nothing there");

  const auto team = dir_ / "team";
  fs::create_directory(team);
  ASSERT_EQ(::chown(team.c_str(), 0, 1001), 0);
  ::chmod(team.c_str(), 02775);
  EXPECT_EQ(text_of(walk_drive_path((team / "e.img").string(), 0)),
            "its path passes through " + team.string() + ", which group 1001 may change");

  const auto sticky = dir_ / "sticky";
  fs::create_directory(sticky);
  ::chmod(sticky.c_str(), 01777);
  const auto added = [&](const fs::path& place) {
    return "its path passes through " + place.string() + ", which lies in a folder any user may add to";
  };
  kavel_test::write_file(sticky / "root.img", pattern(512));
  EXPECT_EQ(text_of(walk_drive_path((sticky / "root.img").string(), 0)), added(sticky / "root.img"));
  fs::create_symlink(own / "e.img", sticky / "root-link.img");
  EXPECT_EQ(text_of(walk_drive_path((sticky / "root-link.img").string(), kUser)), added(sticky / "root-link.img"));
  // The owner is told first.
  ASSERT_EQ(::chown((sticky / "root.img").c_str(), kUser, kUser), 0);
  EXPECT_EQ(text_of(walk_drive_path((sticky / "root.img").string(), 0)),
            "its path passes through " + (sticky / "root.img").string() + ", which user 47301 may change");
  EXPECT_EQ(text_of(walk_drive_path((sticky / "root.img").string(), kUser)), added(sticky / "root.img"));
  // Root's mktemp -d folder there passes; the same folder open to all does not, sticky or not.
  const auto root_made = sticky / "root-made";
  fs::create_directory(root_made);
  ::chmod(root_made.c_str(), 0700);
  kavel_test::write_file(root_made / "e.img", pattern(512));
  EXPECT_EQ(text_of(walk_drive_path((root_made / "e.img").string(), 0)), "reached e.img");
  ::chmod(root_made.c_str(), 01777);
  EXPECT_EQ(text_of(walk_drive_path((root_made / "e.img").string(), 0)),
            "its path passes through " + root_made.string() + ", which any user may change");

  // A user's link in root's folder, as an overlay over the user's folder shows one.
  const auto shown = dir_ / "shown";
  fs::create_directory(shown);
  ::chmod(shown.c_str(), 0755);
  fs::create_symlink(image_, shown / "e.img");
  EXPECT_EQ(text_of(walk_drive_path((shown / "e.img").string(), 0)), "reached disk.img");
  ASSERT_EQ(::lchown((shown / "e.img").c_str(), kUser, kUser), 0);
  EXPECT_EQ(text_of(walk_drive_path((shown / "e.img").string(), 0)),
            "its path passes through " + (shown / "e.img").string() + ", which user 47301 may change");

  // Root's link to the kernel's objects of a root process.
  fs::create_symlink("/proc/1/environ", shown / "environ.img");
  EXPECT_EQ(text_of(walk_drive_path((shown / "environ.img").string(), 0)),
            "its path ends on /proc/1/environ, which is not an image file or a block device");
  EXPECT_EQ(text_of(walk_drive_path("/dev/null", 0)), "reached null");

  fs::create_symlink("loop-b", dir_ / "loop-a");
  fs::create_symlink("loop-a", dir_ / "loop-b");
  EXPECT_EQ(text_of(walk_drive_path((dir_ / "loop-a").string(), 0)), "errno " + std::to_string(ELOOP));
}

TEST_F(DeviceTest, MalformedTableIsInvalidParameter) {
  ScopedEnv env("KAVEL_DRIVES", "E=" + image_.string() + ";garbage");
  EXPECT_EQ(Device::open("\\\\.\\E:").error().code, 87u);
}

TEST_F(DeviceTest, MovedDeviceKeepsOneOwner) {
  ScopedEnv env("KAVEL_DRIVES", "E=" + image_.string());
  auto dev = Device::open("\\\\.\\E:");
  ASSERT_TRUE(dev);
  const int fd = dev->native_handle();
  Device moved = std::move(*dev);
  EXPECT_FALSE(dev->is_open());
  EXPECT_EQ(moved.native_handle(), fd);
  EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
  { Device gone = std::move(moved); }
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);  // closed with its last owner
}

TEST_F(DeviceTest, UnreadableImageIsAccessDeniedForAnUnprivilegedUser) {
  if (auto why = kavel_test::root_missing()) GTEST_SKIP() << *why;
  std::filesystem::permissions(image_, std::filesystem::perms::owner_read);
  std::filesystem::permissions(dir_.path(), std::filesystem::perms::owner_all | std::filesystem::perms::others_exec);
  ScopedEnv env("KAVEL_DRIVES", "E=" + image_.string());
  // Root ignores file modes: drop to an unprivileged user in a child and open there.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setresgid(kavel_test::kUnprivilegedGid, kavel_test::kUnprivilegedGid,
                                                    kavel_test::kUnprivilegedGid) != 0 ||
        ::setresuid(kavel_test::kUnprivilegedUid, kavel_test::kUnprivilegedUid, kavel_test::kUnprivilegedUid) != 0) {
      ::_exit(100);
    }
    auto dev = Device::open("\\\\.\\E:");
    ::_exit(dev ? 0 : static_cast<int>(dev.error().code));
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 5) << "expected access denied (5)";
  // Root itself still opens it.
  EXPECT_TRUE(Device::open("\\\\.\\E:").has_value());
}

}  // namespace
}  // namespace kavel_lib::platform
