#include "platform/file_ops.h"

#include <fcntl.h>
#include <linux/blkpg.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <expected>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string_view>
#include <utility>

#include <gtest/gtest.h>

#include "platform/acting_identity.h"
#include "platform/posix/storage_trace.h"
#include "support/loop_mount.h"
#include "support/mapped_volume.h"
#include "support/test_env.h"

namespace kavel_lib::platform {
namespace {

using kavel_test::Closer;
using kavel_test::LoopDevice;
using kavel_test::Mounted;
using kavel_test::TempDir;
namespace fs = std::filesystem;

std::span<const std::uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(CreateFolders, MakesEveryMissingLevelAndAcceptsExistingOnes) {
  TempDir dir;
  const auto deep = dir / "a" / "b" / "c";
  ASSERT_TRUE(create_folders(deep));
  EXPECT_TRUE(fs::is_directory(deep));
  EXPECT_TRUE(create_folders(deep));
  EXPECT_TRUE(create_folders(deep / ""));  // a trailing separator
  EXPECT_TRUE(create_folders(""));
}

TEST(CreateFolders, AFileInTheWayIsAnError) {
  TempDir dir;
  kavel_test::write_file(dir / "plain", "x");
  auto made = create_folders(dir / "plain" / "sub");
  ASSERT_FALSE(made);
  EXPECT_EQ(made.error().code(), win::ERROR_ALREADY_EXISTS);
}

TEST(CreateFolders, ALinkToAFolderCountsAsTheFolder) {
  TempDir dir;
  fs::create_directory(dir / "real");
  fs::create_directory_symlink(dir / "real", dir / "alias");
  ASSERT_TRUE(create_folders(dir / "alias" / "x"));
  EXPECT_TRUE(fs::is_directory(dir / "real" / "x"));
}

TEST(CreateParentFolders, CreatesOnlyTheParent) {
  TempDir dir;
  const auto dest = dir / "p" / "q" / "file.bin";
  ASSERT_TRUE(create_parent_folders(dest));
  EXPECT_TRUE(fs::is_directory(dir / "p" / "q"));
  EXPECT_FALSE(fs::exists(dest));
  EXPECT_TRUE(create_parent_folders("file-without-folder"));
  EXPECT_TRUE(create_parent_folders("/"));
}

TEST(DestinationFile, CreatesAndWrites) {
  TempDir dir;
  const auto path = dir / "new.bin";
  auto file = DestinationFile::create(path);
  ASSERT_TRUE(file) << file.error().display();
  ASSERT_TRUE(file->write_all(bytes_of("hello ")));
  ASSERT_TRUE(file->write_all(bytes_of("world")));
  ASSERT_TRUE(file->write_all({}));
  ASSERT_TRUE(file->close());
  EXPECT_FALSE(file->is_open());
  EXPECT_EQ(kavel_test::read_file(path), "hello world");
}

TEST(DestinationFile, TruncatesAnExistingRegularFile) {
  TempDir dir;
  const auto path = dir / "old.bin";
  kavel_test::write_file(path, std::string(10000, 'z'));
  auto file = DestinationFile::create(path);
  ASSERT_TRUE(file);
  ASSERT_TRUE(file->write_all(bytes_of("new")));
  file = DestinationFile{};  // closing by release
  EXPECT_EQ(kavel_test::read_file(path), "new");
}

TEST(DestinationFile, RefusesAFinalLinkAndLeavesItsTargetAlone) {
  TempDir dir;
  kavel_test::write_file(dir / "target", "precious");
  fs::create_symlink(dir / "target", dir / "link");
  EXPECT_FALSE(DestinationFile::create(dir / "link"));
  EXPECT_EQ(kavel_test::read_file(dir / "target"), "precious");
  // A dangling link is not followed to create its target either.
  fs::create_symlink(dir / "nowhere", dir / "dangling");
  EXPECT_FALSE(DestinationFile::create(dir / "dangling"));
  EXPECT_FALSE(fs::exists(dir / "nowhere"));
}

TEST(DestinationFile, RefusesAFolderAndAPipeWithoutBlocking) {
  TempDir dir;
  fs::create_directory(dir / "folder");
  auto folder = DestinationFile::create(dir / "folder");
  ASSERT_FALSE(folder);
  EXPECT_EQ(folder.error().code(), win::ERROR_ACCESS_DENIED);

  const auto fifo = dir / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // No reader: a blocking open would hang here.
  EXPECT_FALSE(DestinationFile::create(fifo));
  EXPECT_EQ(fs::status(fifo).type(), fs::file_type::fifo);
}

TEST(DestinationFile, MissingFolderIsNotFound) {
  TempDir dir;
  auto file = DestinationFile::create(dir / "missing" / "x");
  ASSERT_FALSE(file);
  EXPECT_EQ(file.error().kind(), OsErrorKind::NotFound);
}

TEST(DestinationFile, DescriptorIsNotInheritedAcrossExec) {
  TempDir dir;
  auto file = DestinationFile::create(dir / "x");
  ASSERT_TRUE(file);
  // The newest descriptor of this process is the file's; look for FD_CLOEXEC on it.
  bool found = false;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    const auto target = fs::read_symlink(entry.path(), ec);
    if (!ec && target == dir / "x") {
      const int fd = std::stoi(entry.path().filename().string());
      const int flags = ::fcntl(fd, F_GETFD);
      EXPECT_TRUE(flags & FD_CLOEXEC);
      const int status = ::fcntl(fd, F_GETFL);
      EXPECT_FALSE(status & O_NONBLOCK);
      found = true;
    }
  }
  EXPECT_TRUE(found);
}

// ---- places a destination may not be -----------------------------------------------------

const std::string kDeviceDestination = "export destination cannot be a device path";

// The system trees are refused by the folder the path resolves to, however the path is written:
// through a link to /proc/thread-self the service would write its own thread's files, through a
// link to /dev it would create files in /dev/shm.
TEST(DestinationFile, FolderThatResolvesIntoTheSystemTreesIsRefused) {
  TempDir dir;
  fs::create_directory_symlink("/proc/thread-self", dir / "self");
  fs::create_directory_symlink("/dev", dir / "dev");
  const std::string name = "kavel-dest-test-" + std::to_string(::getpid());

  auto comm = DestinationFile::create(dir / "self" / "comm");
  ASSERT_FALSE(comm);
  EXPECT_EQ(comm.error().display(), kDeviceDestination);
  auto in_shm = DestinationFile::create(dir / "dev" / "shm" / name);
  ASSERT_FALSE(in_shm);
  EXPECT_EQ(in_shm.error().display(), kDeviceDestination);
  auto made = create_folders(dir / "dev" / "shm" / name / "sub");
  ASSERT_FALSE(made);
  EXPECT_EQ(made.error().display(), kDeviceDestination);
  EXPECT_FALSE(fs::exists(fs::path("/dev/shm") / name));
  // And /sys.
  fs::create_directory_symlink("/sys/kernel", dir / "kernel");
  auto in_sys = DestinationFile::create(dir / "kernel" / "x");
  ASSERT_FALSE(in_sys);
  EXPECT_EQ(in_sys.error().display(), kDeviceDestination);
}

// The image behind a mapped drive is the evidence: it is never opened for writing, under its
// own name or another hard link's, and nothing is truncated.
TEST(DestinationFile, TheImageBehindAMappedDriveIsNeverWritten) {
  TempDir dir;
  const auto image = dir / "e.img";
  kavel_test::write_file(image, "evidence");
  fs::create_directory(dir / "elsewhere");
  fs::create_hard_link(image, dir / "elsewhere" / "alias.bin");
  fs::create_symlink(image, dir / "image-link");
  kavel_test::ScopedEnv drives("KAVEL_DRIVES", "F=/nowhere/f.img;E=" + (dir / "image-link").string() + "@512");

  for (const auto& path : {image, dir / "elsewhere" / "alias.bin"}) {
    auto created = DestinationFile::create(path);
    ASSERT_FALSE(created) << path;
    EXPECT_EQ(created.error().display(), "export destination is the image or device mapped as E:");
    auto opened = DestinationFile::open_existing(path);
    ASSERT_FALSE(opened) << path;
    EXPECT_EQ(opened.error().display(), "export destination is the image or device mapped as E:");
  }
  EXPECT_EQ(kavel_test::read_file(image), "evidence");
  // Other files are written as before.
  EXPECT_TRUE(DestinationFile::create(dir / "elsewhere" / "other.bin"));
}

// A file system that lives on a mapped block device is the evidence too: nothing is created on it.
TEST(DestinationFile, NothingIsMadeOnTheFileSystemOfAMappedBlockDevice) {
  if (auto why = kavel_test::root_missing()) GTEST_SKIP() << *why;
  TempDir dir;
  struct stat st {};
  ASSERT_EQ(::stat(dir.path().c_str(), &st), 0);
  // A device node standing for the device the temporary folder lives on.
  const auto node = dir / "disk";
  if (::mknod(node.c_str(), S_IFBLK | 0600, st.st_dev) != 0) GTEST_SKIP() << "cannot make a block device node";
  kavel_test::ScopedEnv drives("KAVEL_DRIVES", "PhysicalDrive4=" + node.string());

  const std::string refused = "export destination is on the device mapped as PhysicalDrive4";
  auto created = DestinationFile::create(dir / "x.bin");
  ASSERT_FALSE(created);
  EXPECT_EQ(created.error().display(), refused);
  auto made = create_folders(dir / "sub" / "deeper");
  ASSERT_FALSE(made);
  EXPECT_EQ(made.error().display(), refused);
  EXPECT_FALSE(fs::exists(dir / "x.bin"));
  EXPECT_FALSE(fs::exists(dir / "sub"));
}

// Writes out what the kernel holds for the mount.
void sync_mount(const fs::path& mount) {
  const int fd = ::open(mount.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    (void)::syncfs(fd);
    ::close(fd);
  }
}

// The image's bytes, once what the kernel holds for the mount has been written out.
std::string synced_sha256(const fs::path& mount, const fs::path& image) {
  sync_mount(mount);
  return kavel_test::sha256_of_file(image);
}

// How often `marker` occurs in the file's bytes.
std::size_t count_in_file(const fs::path& file, std::string_view marker) {
  const std::string bytes = kavel_test::read_file(file);
  std::size_t count = 0;
  for (auto at = bytes.find(marker); at != std::string::npos; at = bytes.find(marker, at + 1)) ++count;
  return count;
}

// A shell script run by root in a mount namespace of its own (unshare -m, no user namespace):
// it prints "ready" once its set-up is done, and undoes it and ends when its input is closed,
// which the object does (and waits for the end) when it goes, also after a failed check.
class NamespaceScript {
 public:
  static std::expected<NamespaceScript, std::string> start(const std::string& script) {
    int input[2];
    int output[2];
    if (::pipe2(input, O_CLOEXEC) != 0) return std::unexpected("no pipe");
    if (::pipe2(output, O_CLOEXEC) != 0) {
      ::close(input[0]);
      ::close(input[1]);
      return std::unexpected("no pipe");
    }
    // Found before the fork: the child only sets up its descriptors and runs the program.
    auto program = kavel_test::run_command("command -v unshare").output;
    while (!program.empty() && program.back() == '\n') program.pop_back();
    const char* argv[] = {"unshare", "-m", "--propagation", "private", "sh", "-c", script.c_str(), nullptr};
    const pid_t pid = ::fork();
    if (pid == 0) {
      if (::dup2(input[0], 0) < 0 || ::dup2(output[1], 1) < 0) ::_exit(127);
      ::execv(program.c_str(), const_cast<char* const*>(argv));
      ::_exit(127);
    }
    ::close(input[0]);
    ::close(output[1]);
    NamespaceScript started(pid, input[1], output[0]);
    if (pid < 0) return std::unexpected("cannot fork");
    std::string line;
    char c = 0;
    while (::read(started.output_, &c, 1) == 1 && c != '\n') line.push_back(c);
    if (line != "ready") return std::unexpected("the script's set-up failed");
    return started;
  }
  NamespaceScript(NamespaceScript&& other) noexcept
      : pid_(std::exchange(other.pid_, -1)),
        input_(std::exchange(other.input_, -1)),
        output_(std::exchange(other.output_, -1)) {}
  NamespaceScript& operator=(NamespaceScript&&) = delete;
  ~NamespaceScript() { finish(); }

  [[nodiscard]] pid_t pid() const { return pid_; }

  // Ends the script (its undoing done) and waits for it; its exit status.
  int finish() {
    if (input_ >= 0) ::close(std::exchange(input_, -1));
    int status = -1;
    if (pid_ > 0) {
      while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
      pid_ = -1;
    }
    if (output_ >= 0) ::close(std::exchange(output_, -1));
    return status;
  }

 private:
  NamespaceScript(pid_t pid, int input, int output) : pid_(pid), input_(input), output_(output) {}
  pid_t pid_;
  int input_;
  int output_;
};

// Makes an ext4 file system of `bytes` bytes in a new image file.
bool make_ext4(const fs::path& image, off_t bytes) {
  kavel_test::write_file(image, "");
  return ::truncate(image.c_str(), bytes) == 0 &&
         kavel_test::run_command("mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 " +
                                 kavel_test::shell_quote(image.string()) + " >/dev/null 2>&1")
                 .status == 0;
}

// Why ntfs-3g mounts cannot be made here, or nothing.
std::optional<std::string> ntfs3g_missing() {
  for (const char* program : {"ntfs-3g", "mkntfs"}) {
    if (auto why = kavel_test::program_missing(program)) return why;
  }
  if (!fs::exists("/dev/fuse")) return "no /dev/fuse";
  return std::nullopt;
}

// Makes a 16 MiB NTFS file system in a new image file and mounts it at `target` with ntfs-3g;
// whether both worked.
bool mount_new_ntfs(const fs::path& image, const fs::path& target) {
  kavel_test::write_file(image, "");
  if (::truncate(image.c_str(), 16 * 1048576) != 0 ||
      kavel_test::run_command("mkntfs -q -F -f " + kavel_test::shell_quote(image.string()) + " >/dev/null 2>&1")
              .status != 0) {
    return false;
  }
  fs::create_directories(target);
  return kavel_test::run_command("ntfs-3g " + kavel_test::shell_quote(image.string()) + " " +
                                 kavel_test::shell_quote(target.string()) + " >/dev/null 2>&1")
             .status == 0;
}

// A file system that lives on the evidence is the evidence: a mapped image mounted through a
// loop device or with ntfs-3g, a mapped disk image's partition, a partition at a mapped offset.
// Nothing is made in it, with the mapped name in the refusal, and the image stays as it was.

TEST(DestinationFile, NothingIsMadeInAFileSystemStoredOnTheEvidence) {
  if (auto why = kavel_test::root_missing()) GTEST_SKIP() << *why;
  if (auto why = kavel_test::program_missing("mkfs.ext4")) GTEST_SKIP() << *why;
  TempDir dir;
  constexpr std::uint64_t kPartitionStart = 1048576;
  constexpr std::uint64_t kDiskBytes = 16 * 1048576;
  const auto refused = [](const fs::path& mount, const std::string& name) {
    const std::string text = "export destination is on the device mapped as " + name;
    auto created = DestinationFile::create(mount / "x.bin");
    EXPECT_FALSE(created) << mount;
    if (!created) {
      EXPECT_EQ(created.error().display(), text);
    }
    auto made = create_folders(mount / "sub" / "deeper");
    EXPECT_FALSE(made) << mount;
    if (!made) {
      EXPECT_EQ(made.error().display(), text);
    }
    EXPECT_FALSE(fs::exists(mount / "x.bin"));
    EXPECT_FALSE(fs::exists(mount / "sub"));
  };

  // A mapped image mounted through a loop device; the same mount is written when the table
  // maps another image.
  // The images lie in a folder only root may enter; the file systems are open to everyone.
  fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  fs::create_directory(dir / "private");
  fs::permissions(dir / "private", fs::perms::owner_all);
  const auto image = dir / "private" / "f.img";
  ASSERT_TRUE(make_ext4(image, 8 * 1048576));
  {
    auto loop = LoopDevice::attach(image, 0);
    if (!loop) GTEST_SKIP() << "loop devices cannot be used here: " << loop.error();
    Mounted mount(loop->node(), dir / "m", "ext4");
    if (!mount.mounted()) GTEST_SKIP() << "cannot mount ext4 from a loop device";
    fs::permissions(dir / "m", fs::perms::all);  // any client could write there
    const auto before = synced_sha256(dir / "m", image);
    {
      kavel_test::ScopedEnv drives("KAVEL_DRIVES", "PhysicalDrive1=/nowhere;F=" + image.string());
      refused(dir / "m", "F:");
      // A client that may not reach the image is refused all the same: the trace reads as the
      // service.
      const ScopedActingIdentity client(
          FileIdentity{static_cast<std::uint32_t>(kavel_test::kUnprivilegedUid),
                       static_cast<std::uint32_t>(kavel_test::kUnprivilegedGid), {}});
      refused(dir / "m", "F:");
    }
    EXPECT_EQ(synced_sha256(dir / "m", image), before);
    {
      kavel_test::ScopedEnv drives("KAVEL_DRIVES", "F=" + (dir / "other.img").string());
      kavel_test::write_file(dir / "other.img", "other");
      EXPECT_TRUE(DestinationFile::create(dir / "m" / "x.bin"));
      fs::remove(dir / "m" / "x.bin");
    }
    {
      // The image behind a mapped loop device, named as a destination itself: never truncated.
      const auto image_before = synced_sha256(dir / "m", image);
      kavel_test::ScopedEnv drives("KAVEL_DRIVES", "PhysicalDrive2=" + loop->node());
      const std::string text = "export destination is the image or device mapped as PhysicalDrive2";
      const auto created = DestinationFile::create(image);
      ASSERT_FALSE(created);
      EXPECT_EQ(created.error().display(), text);
      const auto opened = DestinationFile::open_existing(image);
      ASSERT_FALSE(opened);
      EXPECT_EQ(opened.error().display(), text);
      EXPECT_EQ(synced_sha256(dir / "m", image), image_before);
    }

    // Stacked on the mounted image: an image inside it mounted through a loop device of its
    // own, an overlay writing into a folder of it, and a file of it bind-mounted over a name in
    // a plain folder.
    const auto inner = dir / "m" / "inner.img";
    ASSERT_TRUE(make_ext4(inner, 4 * 1048576));
    auto inner_loop = LoopDevice::attach(inner, 0);
    ASSERT_TRUE(inner_loop) << inner_loop.error();
    Mounted nested(inner_loop->node(), dir / "hi", "ext4");
    ASSERT_TRUE(nested.mounted());
    fs::create_directories(dir / "m" / "ud" / "upper");
    fs::create_directories(dir / "m" / "ud" / "work");
    fs::create_directories(dir / "lower");
    fs::create_directories(dir / "ov");
    Mounted overlay("overlay", dir / "ov", "overlay", 0,
                    "lowerdir=" + (dir / "lower").string() + ",upperdir=" + (dir / "m" / "ud" / "upper").string() +
                        ",workdir=" + (dir / "m" / "ud" / "work").string());
    ASSERT_TRUE(overlay.mounted());
    fs::permissions(dir / "ov", fs::perms::all);
    kavel_test::write_file(dir / "m" / "kept.txt", "a file of the evidence");
    fs::create_directories(dir / "plain");
    kavel_test::write_file(dir / "plain" / "over.bin", "");
    Mounted bound((dir / "m" / "kept.txt").string(), dir / "plain" / "over.bin", nullptr, MS_BIND, "");
    ASSERT_TRUE(bound.mounted());
    const auto evidence_sha256 = [&] {
      sync_mount(dir / "hi");
      sync_mount(dir / "ov");
      return synced_sha256(dir / "m", image);
    };
    const auto stacked_before = evidence_sha256();
    kavel_test::ScopedEnv drives("KAVEL_DRIVES", "F=" + image.string());
    refused(dir / "hi", "F:");
    EXPECT_EQ(evidence_sha256(), stacked_before);
    refused(dir / "ov", "F:");
    EXPECT_EQ(evidence_sha256(), stacked_before);
    {
      const std::string text = "export destination is on the device mapped as F:";
      auto created = DestinationFile::create(dir / "plain" / "over.bin");
      ASSERT_FALSE(created);
      EXPECT_EQ(created.error().display(), text);
      auto opened = DestinationFile::open_existing(dir / "plain" / "over.bin");
      ASSERT_FALSE(opened);
      EXPECT_EQ(opened.error().display(), text);
      EXPECT_EQ(kavel_test::read_file(dir / "plain" / "over.bin"), "a file of the evidence");
    }
    EXPECT_EQ(evidence_sha256(), stacked_before);
    // A FUSE mount that passes its writes on to a folder of the evidence (bindfs).
    if (const auto why = kavel_test::program_missing("bindfs")) {
      std::cout << "the bindfs row is left out: " << *why << "\n";
    } else {
      const auto command = "bindfs " + kavel_test::shell_quote((dir / "m").string()) + " " +
                           kavel_test::shell_quote((dir / "bf").string()) + " 2>&1";
      fs::create_directories(dir / "bf");
      Mounted passed(dir / "bf", kavel_test::run_command(command).status == 0);
      ASSERT_TRUE(passed.mounted());
      refused(dir / "bf", "F:");
      EXPECT_EQ(evidence_sha256(), stacked_before);
    }
    // An overlay whose upper folder is no longer where its options say cannot be told.
    fs::rename(dir / "m" / "ud", dir / "m" / "ud-moved");
    auto lost = DestinationFile::create(dir / "ov" / "x.bin");
    ASSERT_FALSE(lost);
    EXPECT_EQ(lost.error().display(), "cannot tell what the export destination is stored on");
  }

  // A mapped image behind a loop device set up through a hard link that is gone since: the
  // loop device's backing file is known by the device and inode the driver holds.
  {
    const auto linked = dir / "private" / "c.img";
    ASSERT_TRUE(make_ext4(linked, 8 * 1048576));
    fs::create_directories(dir / "private" / "x");
    fs::create_hard_link(linked, dir / "private" / "x" / "hl.img");
    auto loop = LoopDevice::attach(dir / "private" / "x" / "hl.img", 0);
    ASSERT_TRUE(loop) << loop.error();
    fs::remove(dir / "private" / "x" / "hl.img");
    const auto name = fs::path(loop->node()).filename().string();
    EXPECT_TRUE(kavel_test::read_file("/sys/block/" + name + "/loop/backing_file").ends_with(" (deleted)\n"));
    Mounted mount(loop->node(), dir / "c", "ext4");
    ASSERT_TRUE(mount.mounted());
    const auto before = synced_sha256(dir / "c", linked);
    {
      kavel_test::ScopedEnv drives("KAVEL_DRIVES", "C=" + linked.string());
      refused(dir / "c", "C:");
    }
    {
      // The loop device mapped itself: the file it reads is known by what the driver holds, so
      // the name the file keeps is the mapped image too, though sysfs gives the removed one.
      kavel_test::ScopedEnv drives("KAVEL_DRIVES", "C=" + loop->node());
      refused(dir / "c", "C:");
      const std::string text = "export destination is the image or device mapped as C:";
      const auto created = DestinationFile::create(linked);
      ASSERT_FALSE(created);
      EXPECT_EQ(created.error().display(), text);
      const auto opened = DestinationFile::open_existing(linked);
      ASSERT_FALSE(opened);
      EXPECT_EQ(opened.error().display(), text);
    }
    EXPECT_EQ(synced_sha256(dir / "c", linked), before);
  }

  // A loop device over a mapped loop device, or over a loop device over a mapped image: a loop
  // device whose backing is a block device node is traced down the device the node names, not
  // to the node's own file in /dev.
  {
    const auto stacked = dir / "private" / "s.img";
    ASSERT_TRUE(make_ext4(stacked, 8 * 1048576));
    auto lower = LoopDevice::attach(stacked, 0);
    ASSERT_TRUE(lower) << lower.error();
    auto upper = LoopDevice::attach(lower->node(), 0);
    ASSERT_TRUE(upper) << upper.error();
    Mounted mount(upper->node(), dir / "s", "ext4");
    ASSERT_TRUE(mount.mounted());
    const auto before = synced_sha256(dir / "s", stacked);
    {
      kavel_test::ScopedEnv drives("KAVEL_DRIVES", "D=" + lower->node());
      refused(dir / "s", "D:");
    }
    {
      kavel_test::ScopedEnv drives("KAVEL_DRIVES", "D=" + stacked.string());
      refused(dir / "s", "D:");
    }
    EXPECT_EQ(synced_sha256(dir / "s", stacked), before);
  }

  // A disk image with one partition at 1 MiB, mapped whole and at the partition's offset.
  const auto disk = dir / "private" / "disk.img";
  kavel_test::write_file(disk, "");
  ASSERT_EQ(::truncate(disk.c_str(), static_cast<off_t>(kDiskBytes)), 0);
  ASSERT_EQ(kavel_test::run_command("mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0,offset=" +
                                    std::to_string(kPartitionStart) + " " + kavel_test::shell_quote(disk.string()) +
                                    " 15M >/dev/null 2>&1")
                .status,
            0);
  {
    // The partition table: one Linux partition from sector 2048 to the end.
    std::string mbr(512, '\0');
    const auto le32 = [&](std::size_t at, std::uint32_t value) {
      for (int i = 0; i < 4; ++i) mbr[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    };
    mbr[446 + 4] = static_cast<char>(0x83);
    le32(446 + 8, kPartitionStart / 512);
    le32(446 + 12, (kDiskBytes - kPartitionStart) / 512);
    mbr[510] = static_cast<char>(0x55);
    mbr[511] = static_cast<char>(0xAA);
    const int fd = ::open(disk.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, mbr.data(), mbr.size(), 0), 512);
    ::close(fd);
  }
  const std::string whole_and_part = "PhysicalDrive0=" + disk.string() + ";E=" + disk.string() + "@1048576";
  {
    auto loop = LoopDevice::attach(disk, 0);
    ASSERT_TRUE(loop) << loop.error();
    const auto node = loop->partition_node(kPartitionStart, kDiskBytes - kPartitionStart, dir.path());
    ASSERT_TRUE(node) << node.error();
    Mounted mount(node->string(), dir / "p", "ext4");
    ASSERT_TRUE(mount.mounted());
    const auto before = synced_sha256(dir / "p", disk);
    {
      kavel_test::ScopedEnv drives("KAVEL_DRIVES", whole_and_part);
      refused(dir / "p", "PhysicalDrive0");
    }
    {
      kavel_test::ScopedEnv drives("KAVEL_DRIVES", "E=" + disk.string() + "@1048576");
      refused(dir / "p", "E:");
    }
    EXPECT_EQ(synced_sha256(dir / "p", disk), before);
  }
  {
    // The partition of a loop device over a loop device over the disk image.
    auto lower = LoopDevice::attach(disk, 0);
    ASSERT_TRUE(lower) << lower.error();
    auto upper = LoopDevice::attach(lower->node(), 0);
    ASSERT_TRUE(upper) << upper.error();
    fs::create_directories(dir / "stacked-nodes");
    const auto node = upper->partition_node(kPartitionStart, kDiskBytes - kPartitionStart, dir / "stacked-nodes");
    ASSERT_TRUE(node) << node.error();
    Mounted mount(node->string(), dir / "sp", "ext4");
    ASSERT_TRUE(mount.mounted());
    const auto before = synced_sha256(dir / "sp", disk);
    {
      kavel_test::ScopedEnv drives("KAVEL_DRIVES", whole_and_part);
      refused(dir / "sp", "PhysicalDrive0");
    }
    {
      kavel_test::ScopedEnv drives("KAVEL_DRIVES", "D=" + lower->node());
      refused(dir / "sp", "D:");
    }
    EXPECT_EQ(synced_sha256(dir / "sp", disk), before);
  }
  {
    // The partition through a loop device at its offset.
    auto loop = LoopDevice::attach(disk, kPartitionStart);
    ASSERT_TRUE(loop) << loop.error();
    Mounted mount(loop->node(), dir / "o", "ext4");
    ASSERT_TRUE(mount.mounted());
    const auto before = synced_sha256(dir / "o", disk);
    kavel_test::ScopedEnv drives("KAVEL_DRIVES", "E=" + disk.string() + "@1048576");
    refused(dir / "o", "E:");
    EXPECT_EQ(synced_sha256(dir / "o", disk), before);
  }

  // A mapped NTFS image mounted with ntfs-3g: the mount's source is the image's path.
  if (ntfs3g_missing()) return;
  const auto ntfs = dir / "private" / "n.img";
  Mounted mount(dir / "n", mount_new_ntfs(ntfs, dir / "n"));
  ASSERT_TRUE(mount.mounted());
  const auto before = synced_sha256(dir / "n", ntfs);
  {
    kavel_test::ScopedEnv drives("KAVEL_DRIVES", "G=" + ntfs.string());
    refused(dir / "n", "G:");
  }
  EXPECT_EQ(synced_sha256(dir / "n", ntfs), before);
  mount.unmount();

  // The same mount made in another mount namespace, reached through a link in a plain folder
  // to /proc/PID/root: a magic link, which no destination passes through.
  if (kavel_test::program_missing("unshare")) return;
  fs::create_directories(dir / "elsewhere");
  fs::create_directories(dir / "elsewhere-tmp");
  const auto elsewhere = kavel_test::shell_quote((dir / "elsewhere").string());
  const auto elsewhere_tmp = kavel_test::shell_quote((dir / "elsewhere-tmp").string());
  const auto script = "mount -t tmpfs kavel-test " + elsewhere_tmp + " || exit 1; ntfs-3g " +
                      kavel_test::shell_quote(ntfs.string()) + " " + elsewhere +
                      " >/dev/null 2>&1 || exit 1; echo ready; read line; umount " + elsewhere + "; umount " +
                      elsewhere_tmp;
  const std::string marker = "kavel-marker-" + std::to_string(::getpid());
  {
    auto other = NamespaceScript::start(script);
    ASSERT_TRUE(other) << other.error();
    fs::create_directories(dir / "plain-folder");
    fs::create_directory_symlink("/proc/" + std::to_string(other->pid()) + "/root" + (dir / "elsewhere").string(),
                                 dir / "plain-folder" / "link");
    kavel_test::ScopedEnv drives("KAVEL_DRIVES", "G=" + ntfs.string());
    auto created = DestinationFile::create(dir / "plain-folder" / "link" / "x.bin");
    if (created) {
      (void)created->write_all(bytes_of(marker));
      (void)created->close();
    }
    ASSERT_FALSE(created);
    EXPECT_EQ(created.error().display(), kDeviceDestination);
    auto made = create_folders(dir / "plain-folder" / "link" / "sub");
    ASSERT_FALSE(made);
    EXPECT_EQ(made.error().display(), kDeviceDestination);
    auto folder = OpenedFolder::open(dir / "plain-folder" / "link");
    ASSERT_FALSE(folder);
    EXPECT_EQ(folder.error().display(), kDeviceDestination);
    // Where the kernel has no openat2 such a folder is opened all the same: its mount is in the
    // service's table neither by ID nor by device number, so what it is stored on cannot be told.
    for (const auto& mount_point : {dir / "elsewhere", dir / "elsewhere-tmp"}) {
      const auto foreign = "/proc/" + std::to_string(other->pid()) + "/root" + mount_point.string();
      const Closer opened(::open(foreign.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
      ASSERT_GE(opened.fd, 0) << foreign;
      EXPECT_FALSE(posix::trace_file_system(opened.fd)) << foreign;
    }
    EXPECT_EQ(other->finish(), 0);
  }
  EXPECT_EQ(count_in_file(ntfs, marker), 0U);
}

// An image stored on btrfs: a btrfs file carries its subvolume's device number, which the mount
// table does not list, so the file system an image lies in is found through the image itself
// (its mount by ID). An ext4 image mounted through a loop device, and an NTFS image mounted with
// ntfs-3g, take exports while another drive is mapped; with the btrfs volume's own image mapped
// they are refused.
TEST(DestinationFile, AnImageStoredOnBtrfsIsTracedThroughTheImageItself) {
  if (auto why = kavel_test::root_missing()) GTEST_SKIP() << *why;
  if (auto why = kavel_test::program_missing("mkfs.btrfs")) GTEST_SKIP() << *why;
  if (auto why = kavel_test::program_missing("mkfs.ext4")) GTEST_SKIP() << *why;
  TempDir dir;
  const auto volume = dir / "btrfs.img";
  kavel_test::write_file(volume, "");
  ASSERT_EQ(::truncate(volume.c_str(), 128 * 1048576), 0);
  ASSERT_EQ(
      kavel_test::run_command("mkfs.btrfs -q " + kavel_test::shell_quote(volume.string()) + " >/dev/null 2>&1").status,
      0);
  auto volume_loop = LoopDevice::attach(volume, 0);
  if (!volume_loop) GTEST_SKIP() << "loop devices cannot be used here: " << volume_loop.error();
  Mounted btrfs(volume_loop->node(), dir / "b", "btrfs");
  if (!btrfs.mounted()) GTEST_SKIP() << "this kernel cannot mount btrfs";
  kavel_test::write_file(dir / "other.img", "other");

  const auto takes_exports = [&](const fs::path& mount) {
    kavel_test::ScopedEnv drives("KAVEL_DRIVES", "F=" + (dir / "other.img").string());
    auto created = DestinationFile::create(mount / "x.bin");
    ASSERT_TRUE(created) << mount << ": " << created.error().display();
    ASSERT_TRUE(created->write_all(bytes_of("exported")));
    ASSERT_TRUE(created->close());
    EXPECT_EQ(kavel_test::read_file(mount / "x.bin"), "exported");
  };
  const auto refused = [&](const fs::path& mount) {
    kavel_test::ScopedEnv drives("KAVEL_DRIVES", "F=" + volume.string());
    auto created = DestinationFile::create(mount / "y.bin");
    ASSERT_FALSE(created) << mount;
    EXPECT_EQ(created.error().display(), "export destination is on the device mapped as F:");
    EXPECT_FALSE(fs::exists(mount / "y.bin"));
  };

  const auto image = dir / "b" / "e.img";
  ASSERT_TRUE(make_ext4(image, 8 * 1048576));
  auto loop = LoopDevice::attach(image, 0);
  ASSERT_TRUE(loop) << loop.error();
  Mounted ext4(loop->node(), dir / "e", "ext4");
  ASSERT_TRUE(ext4.mounted());
  takes_exports(dir / "e");
  refused(dir / "e");

  if (auto why = ntfs3g_missing()) {
    std::cout << "the ntfs-3g row is left out: " << *why << "\n";
    return;
  }
  Mounted fuse(dir / "n", mount_new_ntfs(dir / "b" / "n.img", dir / "n"));
  ASSERT_TRUE(fuse.mounted());
  takes_exports(dir / "n");
  refused(dir / "n");
}

// The mount table's lines as the trace reads them: fields split at spaces, then unescaped; an
// overlay's super options split at commas before their escapes are undone, so a comma in a
// folder's name stays in the name.
TEST(StorageTrace, MountLinesAndOverlayOptionsAreTakenApart) {
  const auto line = posix::parse_mount_line(
      R"(36 35 98:3 /mnt1 /mnt\040two rw,noatime master:1 - fuseblk /srv/my\040n.img rw,user_id=0)");
  ASSERT_TRUE(line);
  EXPECT_EQ(line->id, 36U);
  EXPECT_EQ(line->device, makedev(98, 3));
  EXPECT_EQ(line->type, "fuseblk");
  EXPECT_EQ(line->source, "/srv/my n.img");
  EXPECT_EQ(line->super_options, "rw,user_id=0");
  EXPECT_FALSE(posix::parse_mount_line("36 35 98:x / / rw - ext4 /dev/sda1 rw"));
  EXPECT_FALSE(posix::parse_mount_line("ID 35 98:0 / / rw - ext4 /dev/sda1 rw"));
  EXPECT_FALSE(posix::parse_mount_line("36 35"));

  const auto overlay = posix::parse_mount_line(
      R"(90 26 0:51 / /o rw - overlay overlay rw,lowerdir=/l\054x,upperdir=/u\054p/up,workdir=/w\134k\0401,index=off)");
  ASSERT_TRUE(overlay);
  EXPECT_EQ(posix::overlay_write_folders(overlay->super_options), (std::vector<std::string>{"/u,p/up", "/w\\k 1"}));
  EXPECT_TRUE(posix::overlay_write_folders("rw,lowerdir=/a:/b").empty());
}

TEST(DestinationFile, ContentIsReplacedInPlace) {
  TempDir dir;
  kavel_test::write_file(dir / "source", std::string(200000, 's'));
  kavel_test::write_file(dir / "dest", std::string(300000, 'd'));
  fs::create_hard_link(dir / "dest", dir / "dest-link");
  ASSERT_EQ(::chmod((dir / "dest").c_str(), 0600), 0);
  struct stat before {};
  ASSERT_EQ(::stat((dir / "dest").c_str(), &before), 0);

  auto source = DestinationFile::create_new(dir / "work");
  ASSERT_TRUE(source);
  ASSERT_TRUE(source->write_all(bytes_of(kavel_test::read_file(dir / "source"))));
  auto dest = DestinationFile::open_existing(dir / "dest");
  ASSERT_TRUE(dest) << dest.error().display();
  ASSERT_TRUE(dest->replace_content_from(*source));
  ASSERT_TRUE(dest->close());
  struct stat after {};
  ASSERT_EQ(::stat((dir / "dest").c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mode & 07777, 0600u);
  EXPECT_EQ(kavel_test::read_file(dir / "dest-link"), std::string(200000, 's'));
  // The working file is its owner's alone, and nothing is created where nothing was.
  EXPECT_EQ(fs::status(dir / "work").permissions(), fs::perms::owner_read | fs::perms::owner_write);
  auto missing = DestinationFile::open_existing(dir / "missing");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().code(), win::ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(fs::exists(dir / "missing"));
}

TEST(RenameAndRemove, MoveAndDeleteFiles) {
  TempDir dir;
  kavel_test::write_file(dir / "a", "1");
  ASSERT_TRUE(rename_path(dir / "a", dir / "b"));
  EXPECT_FALSE(fs::exists(dir / "a"));
  EXPECT_EQ(kavel_test::read_file(dir / "b"), "1");
  const auto folder = OpenedFolder::open(dir.path());
  ASSERT_TRUE(folder);
  ASSERT_TRUE(folder->remove("b"));
  EXPECT_FALSE(fs::exists(dir / "b"));
  auto again = folder->remove("b");
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().kind(), OsErrorKind::NotFound);
  EXPECT_FALSE(rename_path(dir / "b", dir / "c"));
}

TEST(RenameAndRemove, RemovingALinkKeepsItsTargetAndFoldersAreRefused) {
  TempDir dir;
  kavel_test::write_file(dir / "target", "t");
  fs::create_symlink(dir / "target", dir / "link");
  const auto folder = OpenedFolder::open(dir.path());
  ASSERT_TRUE(folder);
  ASSERT_TRUE(folder->remove("link"));
  EXPECT_EQ(kavel_test::read_file(dir / "target"), "t");
  fs::create_directory(dir / "folder");
  EXPECT_FALSE(folder->remove("folder"));
  EXPECT_TRUE(fs::is_directory(dir / "folder"));
  // Only a name in the folder itself: nothing above or below it.
  EXPECT_FALSE(folder->remove("../x"));
  EXPECT_FALSE(folder->remove(".."));
}

}  // namespace
}  // namespace kavel_lib::platform
