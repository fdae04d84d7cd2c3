// The request dispatcher through clients on the socket: open_device, the three exports, their
// field checks, and the exports made as the client (an unprivileged client writes only where it
// may itself, never through a link).
#include <sys/stat.h>

#include <array>
#include <csignal>

#include "platform/local_pipe.h"
#include "server_fixture.h"
#include "support/mapped_volume.h"
#include "support/manifest_scope.h"

namespace kavel_lib::ipc::server_testing {
namespace {

namespace fs = std::filesystem;

struct ManifestEntry {
  std::uint64_t size = 0;
  std::string sha256;
  std::string inode;
  std::string first_cluster;
};

// The manifest row of a path, from a real volume's manifest.
std::optional<ManifestEntry> manifest_entry(const std::string& volume, const std::string& path) {
  const auto rows = kavel_test::read_manifest(kavel_test::real_volumes_dir() / ("manifest-" + volume + ".tsv"));
  if (!rows) return std::nullopt;
  const auto text = [](const std::optional<std::uint64_t>& n) { return n ? std::to_string(*n) : std::string("-"); };
  for (const auto& row : *rows) {
    if (row.path == path) return ManifestEntry{row.size.value_or(0), row.sha256, text(row.inode), text(row.first_cluster)};
  }
  return std::nullopt;
}

std::string fat32_request(std::string_view letter, std::uint32_t cluster, std::uint64_t size, std::string_view dest) {
  return R"({"op":"export_fat32","letter":)" + json_text(letter) + R"(,"cluster":)" + std::to_string(cluster) +
         R"(,"size":)" + std::to_string(size) + R"(,"dest":)" + json_text(dest) + "}";
}

std::string open_request(std::string_view path, std::uint64_t pid) {
  return R"({"op":"open_device","path":)" + json_text(path) + R"(,"client_pid":)" + std::to_string(pid) + "}";
}

std::uint32_t owner_of(const fs::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_uid : 0xFFFFFFFFu;
}

class Dispatcher : public ServerTest {
 protected:
  // A folder any user may write in, for the unprivileged client's files.
  fs::path open_folder(const std::string& name) {
    const auto folder = out_.path() / name;
    fs::create_directories(folder);
    fs::permissions(out_.path(), fs::perms::owner_all | fs::perms::others_exec | fs::perms::group_exec);
    fs::permissions(folder, fs::perms::all);
    return folder;
  }

  kavel_test::TempDir out_;
};

// ---- open_device ------------------------------------------------------------------------

TEST_F(Dispatcher, DevicePathsOutsideTheThreeFormsAreRefused) {
  for (const std::string path : {"C:\\", "\\\\.\\C", "\\\\?\\C:", "\\\\.\\pipe\\x", "//./C:", "\\\\.\\C:\\Users\\x\\a",
                                 "\\\\.\\C:x", "\\\\.\\PhysicalDrive", "\\\\.\\PhysicalDrive0x", "\\\\.\\Volume{a/b}",
                                 "\\\\.\\XVOLUME{1}", "\\\\.\\ab:"}) {
    EXPECT_EQ(call_raw(open_request(path, ::getpid())), err_reply("OPEN", "device path not allowed: " + path)) << path;
  }
}

TEST_F(Dispatcher, DevicePathsOfTheThreeFormsPassTheCheckInAnyCase) {
  kavel_test::ScopedEnv drives("KAVEL_DRIVES", std::nullopt);
  // Nothing is mapped, so the open itself fails: the check was passed.
  for (const std::string path : {"\\\\.\\C:", "\\\\.\\c:", "\\\\.\\PhysicalDrive0", "\\\\.\\physicaldrive12",
                                 "\\\\.\\Volume{0a1b-2c}", "\\\\.\\VOLUME{ABC}"}) {
    EXPECT_EQ(call_raw(open_request(path, ::getpid())),
              err_reply("OPEN", "open device failed: The system cannot find the file specified. (0x80070002)"))
        << path;
  }
}

TEST_F(Dispatcher, OpenedDeviceTravelsToTheClientWithTheReply) {
  const auto image = out_ / "disk.img";
  std::string bytes(8192, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
  kavel_test::write_file(image, bytes);
  kavel_test::ScopedEnv drives("KAVEL_DRIVES", "PhysicalDrive3=" + image.string());

  wait_for_idle_server();
  ASSERT_EQ(descriptors_open_on(image), 0u);
  platform::OwnedDescriptor passed;
  // The reply names the service's own number of the descriptor; what arrives here has a number
  // of its own.
  const std::string reply = call_raw(open_request("\\\\.\\PHYSICALDRIVE3", ::getpid()), &passed);
  ASSERT_TRUE(passed.valid()) << reply;
  const std::string prefix = R"({"status":"ok","data":{"handle":)";
  ASSERT_TRUE(reply.starts_with(prefix) && reply.ends_with("}}")) << reply;
  const std::string number = reply.substr(prefix.size(), reply.size() - prefix.size() - 2);
  EXPECT_FALSE(number.empty());
  EXPECT_EQ(number.find_first_not_of("0123456789"), std::string::npos) << number;
  std::array<char, 16> head{};
  ASSERT_EQ(::pread(passed.get(), head.data(), head.size(), 4096), 16);
  EXPECT_EQ(std::string(head.data(), head.size()), bytes.substr(4096, 16));
  passed.reset();
  // Through the client library the data names the descriptor it received.
  auto called = ipc_call_default(IpcRequest::OpenDevice{"\\\\.\\PhysicalDrive3", static_cast<std::uint32_t>(::getpid())});
  ASSERT_TRUE(called.has_value()) << called.error().display();
  ASSERT_TRUE(called->handle.valid());
  EXPECT_EQ(called->data, nlohmann::json({{"handle", called->handle.get()}}));
  called->handle.reset();
  // The service kept nothing open: once every connection thread has ended, no descriptor of
  // this process (client and service alike) is left on the image.
  wait_for_idle_server();
  EXPECT_EQ(descriptors_open_on(image), 0u);
}

TEST_F(Dispatcher, ClientProcessThatIsNotThereFailsAndClosesTheDevice) {
  const auto image = out_ / "disk.img";
  kavel_test::write_file(image, std::string(4096, 'x'));
  kavel_test::ScopedEnv drives("KAVEL_DRIVES", "E=" + image.string());
  wait_for_idle_server();
  ASSERT_EQ(descriptors_open_on(image), 0u);
  for (const std::uint64_t pid : {0ull, 2147483632ull, 4294967295ull}) {
    platform::OwnedDescriptor passed;
    EXPECT_EQ(call_raw(open_request("\\\\.\\E:", pid), &passed),
              err_reply("OPEN", "OpenProcess(" + std::to_string(pid) +
                                    ") failed: The parameter is incorrect. (0x80070057)"));
    EXPECT_FALSE(passed.valid());
  }
  wait_for_idle_server();
  EXPECT_EQ(descriptors_open_on(image), 0u);
}

// ---- export checks ------------------------------------------------------------------------

TEST_F(Dispatcher, DriveLetterChecks) {
  const std::string dest = (out_ / "x.bin").string();
  EXPECT_EQ(call_raw(fat32_request("", 2, 1, dest)), err_reply("EXPORT", "missing drive letter"));
  EXPECT_EQ(call_raw(fat32_request(" \t ", 2, 1, dest)), err_reply("EXPORT", "missing drive letter"));
  EXPECT_EQ(call_raw(fat32_request("1", 2, 1, dest)), err_reply("EXPORT", "invalid drive letter: 1"));
  EXPECT_EQ(call_raw(fat32_request(" :E", 2, 1, dest)), err_reply("EXPORT", "invalid drive letter:  :E"));
  EXPECT_FALSE(fs::exists(dest));
}

TEST_F(Dispatcher, DestinationChecks) {
  for (const std::string dest : {"out\\a.doc", "out/a.doc", "C:\\out\\a.doc", "\\\\?\\C:\\out\\a.doc", ""}) {
    EXPECT_EQ(call_raw(fat32_request("E", 2, 1, dest)),
              err_reply("EXPORT", "export destination must be an absolute path"))
        << dest;
  }
  for (const std::string dest : {"/tmp/x\\\\.\\y", "/tmp/physicaldrive0", "/tmp/Volume{1}", "/dev/null", "/dev",
                                 "/proc/self/environ", "/sys/kernel/x", "//dev/x", "/./proc/x", "/tmp/../dev/x"}) {
    EXPECT_EQ(call_raw(fat32_request("E", 2, 1, dest)),
              err_reply("EXPORT", "export destination cannot be a device path"))
        << dest;
  }
}

// A NUL character would cut the path short in every system call: the path acted on would be
// another one than the path checked. Such a destination is refused before anything is made.
TEST_F(Dispatcher, DestinationWithANulCharacterIsRefused) {
  kavel_test::ScopedEnv drives("KAVEL_DRIVES", std::nullopt);
  const std::string cut = (out_ / "cut").string();
  for (const std::string& dest : {cut + std::string("\0", 1) + "/a.bin", cut + std::string("\0", 1)}) {
    EXPECT_EQ(call_raw(fat32_request("E", 2, 1, dest)),
              err_reply("EXPORT", "export destination must be an absolute path"));
    EXPECT_FALSE(fs::exists(cut));
  }
}

// ---- exports from the real volumes --------------------------------------------------------

TEST_F(Dispatcher, Fat32ExportIntoAMissingFolderCreatesIt) {
  if (auto why = kavel_test::real_volumes_missing()) GTEST_SKIP() << *why;
  const auto file = manifest_entry("fat32", "docs/2/deleted-exact-8192.bin");
  ASSERT_TRUE(file.has_value());
  kavel_test::MappedVolume volume(kavel_test::real_volumes_dir() / "fat32.img", 'H');
  const auto dest = out_ / "new" / "deeper" / "file.bin";
  EXPECT_EQ(call_raw(fat32_request("  h", static_cast<std::uint32_t>(std::stoul(file->first_cluster)), file->size,
                                   dest.string())),
            kOkReply);
  EXPECT_EQ(kavel_test::sha256_of_file(dest), file->sha256);
}

TEST_F(Dispatcher, ExportThatWritesNothingIsEmpty) {
  if (auto why = kavel_test::real_volumes_missing()) GTEST_SKIP() << *why;
  kavel_test::MappedVolume volume(kavel_test::real_volumes_dir() / "fat32.img", 'H');
  const auto dest = out_ / "empty.bin";
  // A start cluster outside the volume: the exporter succeeds with an empty file.
  EXPECT_EQ(call_raw(fat32_request("H", 0x0FFFFFF0, 4096, dest.string())), err_reply("EXPORT", "exported file is empty"));
  EXPECT_TRUE(fs::exists(dest));
}

TEST_F(Dispatcher, ExporterFailureTextIsTheMessage) {
  kavel_test::ScopedEnv drives("KAVEL_DRIVES", std::nullopt);
  EXPECT_EQ(call_raw(fat32_request("Q", 2, 10, (out_ / "q.bin").string())),
            err_reply("EXPORT", "The system cannot find the file specified. (os error 2)"));
}

TEST_F(Dispatcher, NtfsExportByRecordNumber) {
  if (auto why = kavel_test::real_volumes_missing()) GTEST_SKIP() << *why;
  const auto file = manifest_entry("ntfs", "docs/2/deleted-exact-4096.bin");
  ASSERT_TRUE(file.has_value());
  kavel_test::MappedVolume volume(kavel_test::real_volumes_dir() / "ntfs-small.img", 'N');
  const auto dest = out_ / "ntfs.bin";
  EXPECT_EQ(call_raw(R"({"op":"export_ntfs_frn","letter":"n","frn":)" + file->inode + R"(,"dest":)" +
                     json_text(dest.string()) + "}"),
            kOkReply);
  EXPECT_EQ(kavel_test::sha256_of_file(dest), file->sha256);
}

TEST_F(Dispatcher, ExfatExport) {
  if (auto why = kavel_test::real_volumes_missing()) GTEST_SKIP() << *why;
  const auto file = manifest_entry("exfat", "docs/2/deleted-exact-4096.bin");
  ASSERT_TRUE(file.has_value());
  kavel_test::MappedVolume volume(kavel_test::real_volumes_dir() / "exfat.img", 'X');
  const auto dest = out_ / "exfat.bin";
  EXPECT_EQ(call_raw(R"({"op":"export_exfat","letter":"X","cluster":)" + file->first_cluster +
                     R"(,"offset":0,"size":)" + std::to_string(file->size) +
                     R"(,"no_fat_chain":true,"filename":null,"dest":)" + json_text(dest.string()) + "}"),
            kOkReply);
  EXPECT_EQ(kavel_test::sha256_of_file(dest), file->sha256);
}

// ---- the evidence is never a destination --------------------------------------------------

// Each export asked to write onto the image behind a mapped drive, by its own name or through
// another hard link, is refused before anything is written: the image stays byte for byte.
TEST_F(Dispatcher, ExportsNeverWriteOntoAMappedImage) {
  if (auto why = kavel_test::real_volumes_missing()) GTEST_SKIP() << *why;
  const auto fat = manifest_entry("fat32", "docs/2/deleted-exact-4096.bin");
  const auto ntfs = manifest_entry("ntfs", "docs/2/deleted-exact-4096.bin");
  const auto exfat = manifest_entry("exfat", "docs/2/deleted-exact-4096.bin");
  ASSERT_TRUE(fat && ntfs && exfat);
  // Copies, so that a failure here cannot harm the shared volumes.
  for (const std::string name : {"fat32.img", "ntfs-small.img", "exfat.img"}) {
    fs::copy_file(kavel_test::real_volumes_dir() / name, out_ / name);
  }
  fs::create_directory(out_ / "links");
  fs::create_hard_link(out_ / "exfat.img", out_ / "links" / "exfat-alias.bin");
  kavel_test::ScopedEnv drives("KAVEL_DRIVES", "H=" + (out_ / "fat32.img").string() + ";N=" +
                                                  (out_ / "ntfs-small.img").string() + ";X=" +
                                                  (out_ / "exfat.img").string());
  const std::string fat_sha = kavel_test::sha256_of_file(out_ / "fat32.img");
  const std::string ntfs_sha = kavel_test::sha256_of_file(out_ / "ntfs-small.img");
  const std::string exfat_sha = kavel_test::sha256_of_file(out_ / "exfat.img");

  const auto exfat_request = [&](const fs::path& dest) {
    return R"({"op":"export_exfat","letter":"X","cluster":)" + exfat->first_cluster + R"(,"offset":0,"size":)" +
           std::to_string(exfat->size) + R"(,"no_fat_chain":true,"filename":null,"dest":)" +
           json_text(dest.string()) + "}";
  };
  EXPECT_EQ(call_raw(fat32_request("H", static_cast<std::uint32_t>(std::stoul(fat->first_cluster)), fat->size,
                                   (out_ / "fat32.img").string())),
            err_reply("EXPORT", "export destination is the image or device mapped as H:"));
  // The NTFS image is another drive's evidence than the one exported from: refused all the same.
  EXPECT_EQ(call_raw(R"({"op":"export_ntfs_frn","letter":"N","frn":)" + ntfs->inode + R"(,"dest":)" +
                     json_text((out_ / "ntfs-small.img").string()) + "}"),
            err_reply("EXPORT", "export destination is the image or device mapped as N:"));
  EXPECT_EQ(call_raw(R"({"op":"export_ntfs_frn","letter":"N","frn":)" + ntfs->inode + R"(,"dest":)" +
                     json_text((out_ / "fat32.img").string()) + "}"),
            err_reply("EXPORT", "export destination is the image or device mapped as H:"));
  EXPECT_EQ(call_raw(exfat_request(out_ / "exfat.img")),
            err_reply("EXPORT", "export destination is the image or device mapped as X:"));
  EXPECT_EQ(call_raw(exfat_request(out_ / "links" / "exfat-alias.bin")),
            err_reply("EXPORT", "export destination is the image or device mapped as X:"));

  EXPECT_EQ(kavel_test::sha256_of_file(out_ / "fat32.img"), fat_sha);
  EXPECT_EQ(kavel_test::sha256_of_file(out_ / "ntfs-small.img"), ntfs_sha);
  EXPECT_EQ(kavel_test::sha256_of_file(out_ / "exfat.img"), exfat_sha);
  // The same export to another file goes through.
  EXPECT_EQ(call_raw(exfat_request(out_ / "links" / "exported.bin")), kOkReply);
}

// ---- path lengths ---------------------------------------------------------------------------

// A destination longer than a path or with a component longer than a file name is refused
// before any work on its components: no folder of it is made.
TEST_F(Dispatcher, OverlongDestinationsAreRefusedBeforeAnyFolderIsMade) {
  kavel_test::ScopedEnv drives("KAVEL_DRIVES", std::nullopt);
  const std::string too_long = err_reply("EXPORT", "The filename or extension is too long. (os error 206)");
  const std::string base = (out_ / "new").string();
  std::string dots;
  while (dots.size() <= 4096) dots += "/.";
  for (const std::string& dest : {base + dots + "/f.bin", base + "/" + std::string(256, 'n') + "/f.bin",
                                  base + "/sub/" + std::string(256, 'f')}) {
    EXPECT_EQ(call_raw(fat32_request("E", 2, 1, dest)), too_long);
    EXPECT_FALSE(fs::exists(out_ / "new"));
  }
}

// ---- exports as the client ----------------------------------------------------------------

TEST_F(Dispatcher, UnprivilegedClientCannotWriteIntoARootOnlyFolder) {
  if (auto why = kavel_test::root_missing()) GTEST_SKIP() << *why;
  if (auto why = kavel_test::real_volumes_missing()) GTEST_SKIP() << *why;
  const auto file = manifest_entry("fat32", "docs/2/deleted-exact-4096.bin");
  ASSERT_TRUE(file.has_value());
  kavel_test::MappedVolume volume(kavel_test::real_volumes_dir() / "fat32.img", 'H');
  const auto cluster = static_cast<std::uint32_t>(std::stoul(file->first_cluster));
  fs::permissions(out_.path(), fs::perms::owner_all | fs::perms::others_exec | fs::perms::group_exec);
  const auto closed = out_ / "root-only";
  fs::create_directories(closed);
  fs::permissions(closed, fs::perms::owner_all);

  const std::string denied = err_reply("EXPORT", "Access is denied. (os error 5)");
  EXPECT_EQ(call_raw_as_user(fat32_request("H", cluster, file->size, (closed / "a.bin").string())), denied);
  EXPECT_EQ(call_raw_as_user(fat32_request("H", cluster, file->size, (closed / "sub" / "a.bin").string())), denied);
  EXPECT_FALSE(fs::exists(closed / "a.bin"));
  EXPECT_FALSE(fs::exists(closed / "sub"));
  // The same request from root goes through.
  EXPECT_EQ(call_raw(fat32_request("H", cluster, file->size, (closed / "a.bin").string())), kOkReply);
}

TEST_F(Dispatcher, UnprivilegedClientsFilesAndFoldersAreItsOwn) {
  if (auto why = kavel_test::root_missing()) GTEST_SKIP() << *why;
  if (auto why = kavel_test::real_volumes_missing()) GTEST_SKIP() << *why;
  const auto file = manifest_entry("fat32", "docs/2/deleted-exact-4096.bin");
  ASSERT_TRUE(file.has_value());
  kavel_test::MappedVolume volume(kavel_test::real_volumes_dir() / "fat32.img", 'H');
  const auto folder = open_folder("shared");
  const auto dest = folder / "made" / "by" / "client.bin";
  EXPECT_EQ(call_raw_as_user(fat32_request("H", static_cast<std::uint32_t>(std::stoul(file->first_cluster)),
                                           file->size, dest.string())),
            kOkReply);
  EXPECT_EQ(kavel_test::sha256_of_file(dest), file->sha256);
  EXPECT_EQ(owner_of(dest), static_cast<std::uint32_t>(kavel_test::kUnprivilegedUid));
  EXPECT_EQ(owner_of(folder / "made"), static_cast<std::uint32_t>(kavel_test::kUnprivilegedUid));
  // The service's own identity is back: a root-only file it makes now is root's.
  EXPECT_EQ(call_raw(fat32_request("H", static_cast<std::uint32_t>(std::stoul(file->first_cluster)), file->size,
                                   (folder / "root.bin").string())),
            kOkReply);
  EXPECT_EQ(owner_of(folder / "root.bin"), 0u);
}

// What the service makes for a client takes the client process's umask, not the service's:
// new files 0666 and new folders 0777 less it, whether the client is another user or the
// service's own; an existing file keeps its mode.
TEST_F(Dispatcher, NewFilesAndFoldersTakeTheClientsUmask) {
  if (auto why = kavel_test::root_missing()) GTEST_SKIP() << *why;
  if (auto why = kavel_test::real_volumes_missing()) GTEST_SKIP() << *why;
  const auto file = manifest_entry("fat32", "docs/2/deleted-exact-4096.bin");
  ASSERT_TRUE(file.has_value());
  kavel_test::MappedVolume volume(kavel_test::real_volumes_dir() / "fat32.img", 'H');
  const auto folder = open_folder("masks");
  const auto mode_of = [](const fs::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0xFFFFu;
  };
  const auto export_as = [&](uid_t uid, const fs::path& dest) {
    return call_raw_as_user(fat32_request("H", static_cast<std::uint32_t>(std::stoul(file->first_cluster)),
                                          file->size, dest.string()),
                            uid, 027);
  };
  // The service's own umask would give 0666 and 0777.
  const mode_t service_mask = ::umask(0);
  for (const uid_t uid : {static_cast<uid_t>(kavel_test::kUnprivilegedUid), uid_t{0}}) {
    const auto dest = folder / ("by-" + std::to_string(uid)) / "made" / "client.bin";
    EXPECT_EQ(export_as(uid, dest), kOkReply) << uid;
    EXPECT_EQ(mode_of(dest), 0640u) << uid;
    EXPECT_EQ(mode_of(dest.parent_path()), 0750u) << uid;
    EXPECT_EQ(mode_of(dest.parent_path().parent_path()), 0750u) << uid;
  }
  const auto kept = folder / "kept.bin";
  kavel_test::write_file(kept, "old");
  ASSERT_EQ(::chmod(kept.c_str(), 0604), 0);
  EXPECT_EQ(export_as(0, kept), kOkReply);
  EXPECT_EQ(mode_of(kept), 0604u);
  ::umask(service_mask);
}

TEST_F(Dispatcher, DestinationThatIsALinkIsNeverFollowed) {
  if (auto why = kavel_test::root_missing()) GTEST_SKIP() << *why;
  if (auto why = kavel_test::real_volumes_missing()) GTEST_SKIP() << *why;
  const auto file = manifest_entry("fat32", "docs/2/deleted-exact-4096.bin");
  ASSERT_TRUE(file.has_value());
  kavel_test::MappedVolume volume(kavel_test::real_volumes_dir() / "fat32.img", 'H');
  const auto cluster = static_cast<std::uint32_t>(std::stoul(file->first_cluster));
  const auto folder = open_folder("links");
  const auto secret = out_ / "secret";
  kavel_test::write_file(secret, "keep");
  fs::create_symlink(secret, folder / "link.bin");

  const std::string unprivileged =
      call_raw_as_user(fat32_request("H", cluster, file->size, (folder / "link.bin").string()));
  EXPECT_TRUE(unprivileged.starts_with(R"({"status":"err","code":"EXPORT")")) << unprivileged;
  EXPECT_TRUE(call_raw(fat32_request("H", cluster, file->size, (folder / "link.bin").string()))
                  .starts_with(R"({"status":"err","code":"EXPORT")"));
  EXPECT_EQ(kavel_test::read_file(secret), "keep");
  EXPECT_TRUE(fs::is_symlink(folder / "link.bin"));
}

TEST_F(Dispatcher, DestinationThatIsAPipeIsRefusedWithoutBlocking) {
  if (auto why = kavel_test::real_volumes_missing()) GTEST_SKIP() << *why;
  kavel_test::MappedVolume volume(kavel_test::real_volumes_dir() / "fat32.img", 'H');
  const auto fifo = out_ / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0666), 0);
  EXPECT_TRUE(call_raw(fat32_request("H", 2, 10, fifo.string())).starts_with(R"({"status":"err","code":"EXPORT")"));
}

// A service that does not run as root acts only for its own user.
TEST(DispatcherUnprivilegedService, RefusesExportsOfOtherUsers) {
  if (auto why = kavel_test::root_missing()) GTEST_SKIP() << *why;
  // The service's pipe folder belongs to the service's user; only it may write there.
  kavel_test::TempDir dir;
  ASSERT_EQ(::chown(dir.path().c_str(), kavel_test::kUnprivilegedUid, kavel_test::kUnprivilegedGid), 0);
  std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                               std::filesystem::perms::group_exec |
                                               std::filesystem::perms::others_read |
                                               std::filesystem::perms::others_exec);
  kavel_test::ScopedEnv env("KAVEL_PIPE_DIR", dir.path().string());
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setgroups(0, nullptr) != 0 ||
        ::setresgid(kavel_test::kUnprivilegedGid, kavel_test::kUnprivilegedGid, kavel_test::kUnprivilegedGid) != 0 ||
        ::setresuid(kavel_test::kUnprivilegedUid, kavel_test::kUnprivilegedUid, kavel_test::kUnprivilegedUid) != 0) {
      ::_exit(100);
    }
    std::atomic<bool> running{true};
    (void)serve(running);
    ::_exit(0);
  }
  std::string reply;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < give_up) {
    reply = call_raw(R"({"op":"ping"})");
    if (reply == kPongReply) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(reply, kPongReply);
  EXPECT_EQ(call_raw(fat32_request("H", 2, 10, (dir.path() / "x.bin").string())),
            err_reply("EXPORT", "Access is denied. (os error 5)"));
  EXPECT_EQ(call_raw(R"({"op":"icat_to_file","fs":"ntfs","device":"\\\\.\\E:","inode":"5","offset":0,"dest":)" +
                     json_text((dir.path() / "y.bin").string()) + R"(,"recover":false,"max_bytes":0})"),
            err_reply("ICAT", "Access is denied. (os error 5)"));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "x.bin"));
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
}

}  // namespace
}  // namespace kavel_lib::ipc::server_testing
