#include "platform/file_ops.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "support/test_env.h"

namespace kavel_lib::platform {
namespace {

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
  ASSERT_TRUE(remove_file(dir / "b"));
  EXPECT_FALSE(fs::exists(dir / "b"));
  auto again = remove_file(dir / "b");
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().kind(), OsErrorKind::NotFound);
  EXPECT_FALSE(rename_path(dir / "b", dir / "c"));
}

TEST(RenameAndRemove, RemovingALinkKeepsItsTargetAndFoldersAreRefused) {
  TempDir dir;
  kavel_test::write_file(dir / "target", "t");
  fs::create_symlink(dir / "target", dir / "link");
  ASSERT_TRUE(remove_file(dir / "link"));
  EXPECT_EQ(kavel_test::read_file(dir / "target"), "t");
  fs::create_directory(dir / "folder");
  EXPECT_FALSE(remove_file(dir / "folder"));
  EXPECT_TRUE(fs::is_directory(dir / "folder"));
}

}  // namespace
}  // namespace kavel_lib::platform
