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
