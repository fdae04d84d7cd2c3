// icat_to_file through clients on the socket, with a stand-in icat in KAVEL_BUNDLED_TOOLS that
// writes its arguments one per line and then the first line of the drive it was given as its
// descriptor 3 (or nothing, a failure, or many bytes, as its inode asks), and notes each run
// beside itself.
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "platform/drive_pins.h"
#include "server_fixture.h"
#include "support/mapped_volume.h"

namespace kavel_lib::ipc::server_testing {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kFakeIcat = R"(#!/bin/sh
for last in "$@"; do :; done
echo run >> runs.log
case "$last" in
  empty) exit 0 ;;
  swap) mv "$ICAT_TEST_FOLDER" "$ICAT_TEST_FOLDER.moved" && mkdir "$ICAT_TEST_FOLDER"; exit 0 ;;
  fail) echo "cannot read inode" >&2; exit 1 ;;
  big) head -c 100000 /dev/zero | tr '\000' z; exit 0 ;;
esac
for a in "$@"; do printf '%s\n' "$a"; done
head -n 1 <&3
)";

std::string icat_request(std::string_view fs_type, std::string_view device, std::string_view inode,
                         std::uint64_t offset, std::string_view dest, bool recover, std::uint64_t max_bytes) {
  return R"({"op":"icat_to_file","fs":)" + json_text(fs_type) + R"(,"device":)" + json_text(device) +
         R"(,"inode":)" + json_text(inode) + R"(,"offset":)" + std::to_string(offset) + R"(,"dest":)" +
         json_text(dest) + R"(,"recover":)" + (recover ? "true" : "false") + R"(,"max_bytes":)" +
         std::to_string(max_bytes) + "}";
}

// The temporary files icat's output goes through, left in a folder.
int leftovers(const fs::path& folder) {
  int count = 0;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.path().filename().string().starts_with(".icat-")) ++count;
  }
  return count;
}

class IcatToFile : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    fs::create_directories(tools_.path() / "sleuthkit");
    icat_ = tools_.path() / "sleuthkit" / "icat";
    kavel_test::write_file(icat_, std::string(kFakeIcat));
    fs::permissions(icat_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(out_.path(), fs::perms::all);
  }

  int runs() const {
    const auto log = tools_.path() / "sleuthkit" / "runs.log";
    if (!fs::exists(log)) return 0;
    const std::string text = kavel_test::read_file(log);
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
  }

  // Small images whose first line names them; the service opens them, icat reads what it opened.
  static std::string make_images(const fs::path& dir) {
    kavel_test::write_file(dir / "e.img", "image e\n");
    kavel_test::write_file(dir / "f.img", "image f\n");
    kavel_test::write_file(dir / "disk.img", "disk 0\n");
    return "E=" + (dir / "e.img").string() + "@1048576;F=" + (dir / "f.img").string() +
           ";PhysicalDrive0=" + (dir / "disk.img").string();
  }

  kavel_test::TempDir tools_;
  kavel_test::ScopedEnv tools_env_{"KAVEL_BUNDLED_TOOLS", tools_.path().string()};
  kavel_test::TempDir images_;
  kavel_test::ScopedEnv drives_{"KAVEL_DRIVES", make_images(images_.path())};
  kavel_test::TempDir out_;
  fs::path icat_;
};

TEST_F(IcatToFile, ArgumentsInTheirOrderWithRecoverAndTheMappedOffset) {
  const auto dest = out_ / "a.txt";
  EXPECT_EQ(call_raw(icat_request(" NTFS ", "\\\\.\\E:", " 5-128-1 ", 2048, dest.string(), true, 0)), kOkReply);
  // 2048 sectors asked, and the volume lies 1,048,576 bytes (2048 sectors) into its image. icat
  // is given the drive the service opened, never the table's path.
  EXPECT_EQ(kavel_test::read_file(dest), "-f\nntfs\n-r\n-o\n4096\n/dev/fd/3\n 5-128-1 \nimage e\n");
  EXPECT_EQ(leftovers(out_.path()), 0);
}

TEST_F(IcatToFile, PlainArgumentsWithoutOffsetOrRecover) {
  const auto dest = out_ / "b.txt";
  EXPECT_EQ(call_raw(icat_request("ExFAT", "\\\\.\\f:", "7", 0, dest.string(), false, 0)), kOkReply);
  EXPECT_EQ(kavel_test::read_file(dest), "-f\nexfat\n/dev/fd/3\n7\nimage f\n");
  EXPECT_EQ(call_raw(icat_request("fat", "\\\\.\\PhysicalDrive0", "9", 63, dest.string(), false, 0)), kOkReply);
  EXPECT_EQ(kavel_test::read_file(dest), "-f\nfat\n-o\n63\n/dev/fd/3\n9\ndisk 0\n");
}

TEST_F(IcatToFile, FileSystemTypeChecks) {
  const auto dest = (out_ / "c.txt").string();
  EXPECT_EQ(call_raw(icat_request("ext4", "\\\\.\\E:", "5", 0, dest, false, 0)),
            err_reply("ICAT", "unsupported icat fs type: ext4"));
  EXPECT_EQ(call_raw(icat_request(" EXT4\t", "\\\\.\\E:", "5", 0, dest, false, 0)),
            err_reply("ICAT", "unsupported icat fs type: ext4"));
  EXPECT_EQ(call_raw(icat_request("", "\\\\.\\E:", "5", 0, dest, false, 0)),
            err_reply("ICAT", "unsupported icat fs type: "));
  EXPECT_EQ(runs(), 0);
}

TEST_F(IcatToFile, InodeChecks) {
  const auto dest = (out_ / "d.txt").string();
  const std::string invalid = err_reply("ICAT", "invalid inode");
  for (const std::string& inode : {std::string(129, '1'), std::string(), std::string("  \t"), std::string("-V"),
                                  std::string(" -V"), std::string("--help"), std::string("\n-o")}) {
    EXPECT_EQ(call_raw(icat_request("ntfs", "\\\\.\\E:", inode, 0, dest, false, 0)), invalid) << inode;
  }
  EXPECT_EQ(runs(), 0);
  EXPECT_FALSE(fs::exists(dest));
  // 128 bytes is still a valid inode, and a "-" inside it is no option.
  const std::string longest = "5-" + std::string(126, '1');
  EXPECT_EQ(call_raw(icat_request("ntfs", "\\\\.\\E:", longest, 0, dest, false, 0)), kOkReply);
  EXPECT_EQ(kavel_test::read_file(dest), "-f\nntfs\n-o\n2048\n/dev/fd/3\n" + longest + "\nimage e\n");
}

TEST_F(IcatToFile, DeviceAndDestinationChecks) {
  const auto dest = (out_ / "e.txt").string();
  EXPECT_EQ(call_raw(icat_request("ntfs", "\\\\.\\C:\\x", "5", 0, dest, false, 0)),
            err_reply("ICAT", "device path not allowed: \\\\.\\C:\\x"));
  EXPECT_EQ(call_raw(icat_request("ntfs", "/images/e.img", "5", 0, dest, false, 0)),
            err_reply("ICAT", "device path not allowed: /images/e.img"));
  EXPECT_EQ(call_raw(icat_request("ntfs", "\\\\.\\E:", "5", 0, "e.txt", false, 0)),
            err_reply("ICAT", "export destination must be an absolute path"));
  EXPECT_EQ(call_raw(icat_request("ntfs", "\\\\.\\E:", "5", 0, "/proc/self/mem", false, 0)),
            err_reply("ICAT", "export destination cannot be a device path"));
  // A device that passes the check but that the drive table does not map.
  EXPECT_EQ(call_raw(icat_request("ntfs", "\\\\.\\Z:", "5", 0, dest, false, 0)),
            err_reply("ICAT", "The system cannot find the file specified. (0x80070002)"));
  // A drive mapped to a FIFO (nobody writes it) or a folder is refused before icat runs, as the
  // exporters refuse it: at once, without waiting on the FIFO.
  const auto fifo = images_ / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  kavel_test::ScopedEnv odd("KAVEL_DRIVES", "P=" + fifo.string() + ";D=" + images_.path().string());
  EXPECT_EQ(call_raw(icat_request("ntfs", "\\\\.\\P:", "5", 0, dest, false, 0)),
            err_reply("ICAT", "Access is denied. (0x80070005)"));
  EXPECT_EQ(call_raw(icat_request("ntfs", "\\\\.\\D:", "5", 0, dest, false, 0)),
            err_reply("ICAT", "Access is denied. (0x80070005)"));
  EXPECT_EQ(runs(), 0);
  EXPECT_FALSE(fs::exists(dest));
}

TEST_F(IcatToFile, EmptyOutputLeavesTheDestinationAsItWas) {
  const auto dest = out_ / "f.txt";
  kavel_test::write_file(dest, "before");
  EXPECT_EQ(call_raw(icat_request("ntfs", "\\\\.\\E:", "empty", 0, dest.string(), false, 0)),
            err_reply("ICAT", "icat returned empty output"));
  EXPECT_EQ(kavel_test::read_file(dest), "before");
  EXPECT_EQ(leftovers(out_.path()), 0);
  EXPECT_EQ(runs(), 1);
}

TEST_F(IcatToFile, FailedRunLeavesTheDestinationAsItWas) {
  const auto dest = out_ / "g.txt";
  kavel_test::write_file(dest, "before");
  EXPECT_EQ(call_raw(icat_request("ntfs", "\\\\.\\E:", "fail", 0, dest.string(), false, 0)),
            err_reply("ICAT", "icat failed (code Some(1)): cannot read inode"));
  EXPECT_EQ(kavel_test::read_file(dest), "before");
  EXPECT_EQ(leftovers(out_.path()), 0);
}

// The working file is removed from the folder it was made in, even when that folder's path
// leads elsewhere by the time the run ends.
TEST_F(IcatToFile, WorkingFileGoesFromItsOwnFolderAfterASwap) {
  const auto folder = out_ / "swapped";
  fs::create_directories(folder);
  kavel_test::ScopedEnv swap("ICAT_TEST_FOLDER", folder.string());
  EXPECT_EQ(call_raw(icat_request("ntfs", "\\\\.\\E:", "swap", 0, (folder / "s.txt").string(), false, 0)),
            err_reply("ICAT", "icat returned empty output"));
  ASSERT_TRUE(fs::is_directory(out_ / "swapped.moved"));
  EXPECT_EQ(leftovers(out_ / "swapped.moved"), 0);
  EXPECT_EQ(leftovers(folder), 0);
}

TEST_F(IcatToFile, ByteCapTakesThePreview) {
  const auto capped = out_ / "h.bin";
  EXPECT_EQ(call_raw(icat_request("ntfs", "\\\\.\\E:", "big", 0, capped.string(), false, 65536)), kOkReply);
  EXPECT_EQ(fs::file_size(capped), 65536u);
  const auto whole = out_ / "i.bin";
  EXPECT_EQ(call_raw(icat_request("ntfs", "\\\\.\\E:", "big", 0, whole.string(), false, 0)), kOkReply);
  EXPECT_EQ(fs::file_size(whole), 100000u);
  EXPECT_EQ(leftovers(out_.path()), 0);
}

TEST_F(IcatToFile, DestinationFolderIsMadeFirst) {
  const auto dest = out_ / "new" / "sub" / "j.txt";
  EXPECT_EQ(call_raw(icat_request("ntfs", "\\\\.\\E:", "5", 0, dest.string(), false, 0)), kOkReply);
  EXPECT_TRUE(fs::is_regular_file(dest));
}

TEST_F(IcatToFile, MissingIcatIsTheToolSearchError) {
  kavel_test::TempDir empty;
  kavel_test::ScopedEnv tools("KAVEL_BUNDLED_TOOLS", empty.path().string());
  EXPECT_EQ(call_raw(icat_request("ntfs", "\\\\.\\E:", "5", 0, (out_ / "k.txt").string(), false, 0)),
            err_reply("ICAT", "tool not found: Recovery tools not found"));
}

// With the drive pins on, as the service program has them, icat runs only from a path that no
// user but root and the service's may change. The place the search finds it first decides: a
// user's icat found there is refused, and the stand-in behind it is not run instead.
TEST_F(IcatToFile, WithPinsAnIcatInAnotherUsersFolderIsRefusedAndNotPassedOver) {
  if (auto why = kavel_test::root_missing()) GTEST_SKIP() << *why;
  const std::shared_ptr<void> unpin(nullptr, [](void*) { platform::clear_drive_pins(); });
  platform::pin_drive_table();
  const auto dest = out_ / "pinned.txt";
  // Root's stand-in, 0755 in root's folders, runs.
  EXPECT_EQ(call_raw(icat_request("fat", "\\\\.\\F:", "7", 0, dest.string(), false, 0)), kOkReply);
  EXPECT_EQ(kavel_test::read_file(dest), "-f\nfat\n/dev/fd/3\n7\nimage f\n");
  EXPECT_EQ(runs(), 1);

  // An icat in a folder of uid 52001, reached through a link in the tools folder itself, which
  // the search looks in before its sub-folders.
  const auto user = tools_.path() / "user";
  fs::create_directories(user);
  const auto marker = out_ / "marker";
  kavel_test::write_file(user / "icat", "#!/bin/sh\necho ran > " + kavel_test::shell_quote(marker.string()) + "\n");
  fs::permissions(user / "icat", fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                     fs::perms::others_read | fs::perms::others_exec);
  ASSERT_EQ(::chown(user.c_str(), 52001, 52001), 0);
  fs::create_symlink(user / "icat", tools_.path() / "icat");
  const std::string refusal = "icat at " + (tools_.path() / "icat").string() + " is refused: its path passes through " +
                              fs::canonical(user).string() + ", which user 52001 may change";
  EXPECT_EQ(call_raw(icat_request("fat", "\\\\.\\F:", "8", 0, dest.string(), false, 0)), err_reply("ICAT", refusal));
  EXPECT_FALSE(fs::exists(marker));
  EXPECT_EQ(runs(), 1);
  EXPECT_EQ(kavel_test::read_file(dest), "-f\nfat\n/dev/fd/3\n7\nimage f\n");
  EXPECT_NE(read_text(test_log_path()).find("[ WARN][kavel_lib::ipc::server::win] " + refusal), std::string::npos);
}

TEST_F(IcatToFile, UnprivilegedClientIsRefusedARootOnlyFolderBeforeIcatRuns) {
  if (auto why = kavel_test::root_missing()) GTEST_SKIP() << *why;
  const auto closed = out_ / "root-only";
  fs::create_directories(closed);
  fs::permissions(closed, fs::perms::owner_all);
  const auto reply =
      call_raw_as_user(icat_request("ntfs", "\\\\.\\E:", "5", 0, (closed / "x.txt").string(), false, 0));
  EXPECT_EQ(reply, err_reply("ICAT", "Access is denied. (os error 5)"));
  EXPECT_EQ(runs(), 0);
  EXPECT_TRUE(fs::is_empty(closed));
}

TEST_F(IcatToFile, UnprivilegedClientsFileIsItsOwnAndALinkIsRefusedNotFollowed) {
  if (auto why = kavel_test::root_missing()) GTEST_SKIP() << *why;
  const auto secret = tools_.path() / "secret";
  kavel_test::write_file(secret, "keep");
  fs::create_symlink(secret, out_ / "link.txt");
  const auto refused =
      call_raw_as_user(icat_request("ntfs", "\\\\.\\E:", "5", 0, (out_ / "link.txt").string(), false, 0));
  EXPECT_TRUE(refused.starts_with(R"({"status":"err","code":"ICAT")")) << refused;
  EXPECT_EQ(kavel_test::read_file(secret), "keep");
  EXPECT_TRUE(fs::is_symlink(out_ / "link.txt"));
  EXPECT_EQ(runs(), 0);

  const auto made = out_ / "mine.txt";
  EXPECT_EQ(call_raw_as_user(icat_request("ntfs", "\\\\.\\E:", "5", 0, made.string(), false, 0)), kOkReply);
  struct stat st {};
  ASSERT_EQ(::lstat(made.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, static_cast<uid_t>(kavel_test::kUnprivilegedUid));
  EXPECT_EQ(leftovers(out_.path()), 0);
}

// icat writes into its destination as the exporters do: the client's file keeps its inode, its
// hard links and its mode; a new file gets the mode an export gives; anything but a regular
// file is refused before icat runs.
TEST_F(IcatToFile, ExistingDestinationIsWrittenInPlace) {
  const auto dest = out_ / "private.txt";
  kavel_test::write_file(dest, std::string(5000, 'o'));
  ASSERT_EQ(::chmod(dest.c_str(), 0600), 0);
  fs::create_hard_link(dest, out_ / "second-name.txt");
  struct stat before {};
  ASSERT_EQ(::stat(dest.c_str(), &before), 0);
  EXPECT_EQ(call_raw(icat_request("fat", "\\\\.\\F:", "7", 0, dest.string(), false, 0)), kOkReply);
  struct stat after {};
  ASSERT_EQ(::stat(dest.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mode & 07777, 0600u);
  EXPECT_EQ(kavel_test::read_file(out_ / "second-name.txt"), "-f\nfat\n/dev/fd/3\n7\nimage f\n");

  const mode_t mask = ::umask(0);
  ::umask(mask);
  const auto fresh = out_ / "fresh.txt";
  EXPECT_EQ(call_raw(icat_request("fat", "\\\\.\\F:", "7", 0, fresh.string(), false, 0)), kOkReply);
  ASSERT_EQ(::stat(fresh.c_str(), &after), 0);
  EXPECT_EQ(after.st_mode & 07777, 0666u & ~mask);
  if (!kavel_test::root_missing()) {
    // A client whose umask differs gets its own: the mode is the client's, not the service's.
    const auto masked = out_ / "masked.txt";
    EXPECT_EQ(call_raw_as_user(icat_request("fat", "\\\\.\\F:", "7", 0, masked.string(), false, 0), 0, 027),
              kOkReply);
    ASSERT_EQ(::stat(masked.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 07777, 0640u);
  }
  // An empty run makes nothing where nothing was.
  EXPECT_EQ(call_raw(icat_request("fat", "\\\\.\\F:", "empty", 0, (out_ / "none.txt").string(), false, 0)),
            err_reply("ICAT", "icat returned empty output"));
  EXPECT_FALSE(fs::exists(out_ / "none.txt"));

  const auto fifo = out_ / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int runs_before = runs();
  EXPECT_EQ(call_raw(icat_request("fat", "\\\\.\\F:", "7", 0, fifo.string(), false, 0)),
            err_reply("ICAT", "Access is denied. (os error 5)"));
  EXPECT_EQ(fs::status(fifo).type(), fs::file_type::fifo);
  EXPECT_EQ(runs(), runs_before);
  EXPECT_EQ(leftovers(out_.path()), 0);
}

// The image behind a mapped drive is never icat's destination, under any of its names.
TEST_F(IcatToFile, MappedImageIsNeverTheDestination) {
  const auto image = out_ / "g.img";
  kavel_test::write_file(image, std::string(70000, 'e'));
  fs::create_directory(out_ / "other");
  fs::create_hard_link(image, out_ / "other" / "alias.img");
  kavel_test::ScopedEnv drives("KAVEL_DRIVES", "G=" + image.string());
  const std::string sha = kavel_test::sha256_of_file(image);
  for (const auto& dest : {image, out_ / "other" / "alias.img"}) {
    EXPECT_EQ(call_raw(icat_request("ntfs", "\\\\.\\G:", "5", 0, dest.string(), false, 0)),
              err_reply("ICAT", "export destination is the image or device mapped as G:"));
  }
  EXPECT_EQ(kavel_test::sha256_of_file(image), sha);
  EXPECT_EQ(fs::hard_link_count(image), 2u);
  EXPECT_EQ(runs(), 0);
  EXPECT_EQ(leftovers(out_.path()), 0);
}

// An overlong destination is refused before any folder of it is made.
TEST_F(IcatToFile, OverlongDestinationIsRefusedFirst) {
  const std::string dest = (out_ / "new").string() + "/" + std::string(256, 'x') + "/a.txt";
  EXPECT_EQ(call_raw(icat_request("ntfs", "\\\\.\\E:", "5", 0, dest, false, 0)),
            err_reply("ICAT", "The filename or extension is too long. (os error 206)"));
  EXPECT_FALSE(fs::exists(out_ / "new"));
  EXPECT_EQ(runs(), 0);
}

}  // namespace
}  // namespace kavel_lib::ipc::server_testing
