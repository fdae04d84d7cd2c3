// open_device end to end: an unprivileged client process, which may not open the volume
// itself, gets it from the built service through the device open with fallback and reads the
// image's own bytes through the passed descriptor; the NTFS exporter, run in that client, reaches
// the volume the same way. The volume's image is reached through a folder only root may enter.
#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/windows/raw_mft/ntfs_export.h"
#include "ipc/child_process.h"
#include "ipc/device_open.h"
#include "ipc/test_service.h"
#include "platform/device.h"
#include "platform/ntfs_control.h"
#include "service_acceptance/manifest_files.h"
#include "service_acceptance/running_service.h"
#include "support/loop_mount.h"
#include "support/mapped_volume.h"
#include "support/test_env.h"

namespace kavel_test::service_acceptance {
namespace {

constexpr const char* kChildOutVariable = "KAVEL_TEST_CHILD_OUT";

std::string setpriv_prefix() {
  return "setpriv --reuid=" + std::to_string(kUnprivilegedUid) + " --regid=" + std::to_string(kUnprivilegedGid) +
         " --clear-groups";
}

TEST(ServiceOpenDevice, UnprivilegedClientReadsTheVolumeThroughTheService) {
  if (auto why = service_run_missing()) GTEST_SKIP() << *why;
  if (auto why = setpriv_missing()) GTEST_SKIP() << *why;
  // The image behind a link in a folder that only root may enter: the service (root) opens it,
  // the unprivileged client is refused.
  TempDir private_dir;
  ::chmod(private_dir.path().c_str(), 0700);
  const auto link = private_dir / "ntfs-small.img";
  std::filesystem::create_symlink(real_volumes_dir() / "ntfs-small.img", link);
  const std::string drives = "E=" + link.string();

  // Where the child may write: its registry file and its export.
  TempDir open_dir;
  ::chmod(open_dir.path().c_str(), 0777);

  RunningService service(drives);
  ASSERT_TRUE(service.ready()) << service.output();
  ScopedEnv drive_env("KAVEL_DRIVES", drives);
  ScopedEnv data_env("XDG_DATA_HOME", (open_dir / "data").string());
  ScopedEnv out_env(kChildOutVariable, open_dir.path().string());
  ScopedEnv volumes_env("KAVEL_REAL_VOLUMES", real_volumes_dir().string());

  std::string output;
  EXPECT_TRUE(run_child_test("ServiceOpenDeviceChild.DISABLED_OpensAndExportsWithoutRights", output, setpriv_prefix()))
      << output;
  EXPECT_TRUE(service.alive()) << service.output();
  // Every connection of the child was served without a connection error.
  EXPECT_EQ(service.log_text().find("IPC connection error"), std::string::npos) << service.log_text();
}

// How many lines of the log name the drive as one that no longer leads to its object.
std::size_t refusals_logged(const std::string& log, const std::string& drive) {
  const std::string needle = "Drive " + drive + " no longer leads to the image or device";
  std::size_t count = 0;
  for (auto at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1)) ++count;
  return count;
}

// The service keeps each drive on the object its path led to when it started. The image's
// folder is root's, as the service asks of a drive's path (a folder another user may change is
// refused outright: DrivePathsThatAnotherUserMayChangeAreRefused); whoever may change it still
// renames the image and puts a link to another file (a stand-in for /etc/shadow) in its place. The open, an export and icat are refused with
// access denied before anything is read, each with one log line naming the drive, and the
// pinned image stays protected as evidence under its new name. A by-id style link that goes on
// leading to the image is fine, and a drive mapped to a FIFO fails icat at once.
TEST(ServiceOpenDevice, DriveNamesLeadWhereTheyLedAtTheStart) {
  if (auto why = service_run_missing()) GTEST_SKIP() << *why;
  if (auto why = program_missing("icat")) GTEST_SKIP() << *why;
  namespace fs = std::filesystem;
  TempDir evidence;
  const auto image = evidence / "e.img";
  fs::copy_file(real_volumes_dir() / "fat16.img", image);
  const auto shadow = evidence / "shadow";
  write_file(shadow, "root:$y$j9T$not-for-clients:19000:0:99999:7:::\n");
  fs::create_directories(evidence / "by-id");
  const auto by_id = evidence / "by-id" / "usb-disk-e";
  fs::create_symlink("../e.img", by_id);
  const auto fifo = evidence / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  TempDir out;

  const auto later = evidence / "later.img";  // nothing there yet when the service starts
  RunningService service("E=" + image.string() + ";L=" + by_id.string() + ";P=" + fifo.string() +
                         ";F=" + (real_volumes_dir() / "fat16.img").string() + ";M=" + later.string());
  ASSERT_TRUE(service.ready()) << service.output();
  const auto pid = static_cast<std::uint32_t>(::getpid());
  const auto open_text = [&](const std::string& device) {
    return call_text(kavel_lib::ipc::IpcRequest::OpenDevice{device, pid});
  };
  const auto icat_text = [&](char letter, const fs::path& dest) {
    return call_text(kavel_lib::ipc::IpcRequest::IcatToFile{"fat", device_path(letter), "592", 0, dest.string(),
                                                            true, 0});
  };

  // As mapped, everything works; the by-id link may be replaced by another that leads to the
  // same image.
  EXPECT_TRUE(open_text("\\\\.\\E:").starts_with(R"({"handle":)")) << open_text("\\\\.\\E:");
  EXPECT_EQ(call_text(kavel_lib::ipc::IpcRequest::ExportFat32{"E", 53, 90, (out / "before.txt").string()}), kOk);
  EXPECT_EQ(icat_text('E', out / "icat-before.txt"), kOk);
  fs::remove(by_id);
  fs::create_symlink(evidence / "." / "e.img", by_id);
  EXPECT_TRUE(open_text("\\\\.\\L:").starts_with(R"({"handle":)")) << open_text("\\\\.\\L:");

  // The swap.
  const auto renamed = evidence / "e-renamed.img";
  fs::rename(image, renamed);
  fs::create_symlink(shadow, image);
  const std::string open_reply = open_text("\\\\.\\E:");
  const std::string export_reply =
      call_text(kavel_lib::ipc::IpcRequest::ExportFat32{"E", 53, 90, (out / "after.txt").string()});
  const std::string icat_reply = icat_text('E', out / "icat-after.txt");
  EXPECT_EQ(open_reply, "error: OPEN: open device failed: Access is denied. (0x80070005)");
  EXPECT_EQ(export_reply, "error: EXPORT: Access is denied. (os error 5)");
  EXPECT_EQ(icat_reply, "error: ICAT: Access is denied. (0x80070005)");
  EXPECT_FALSE(fs::exists(out / "after.txt"));
  EXPECT_FALSE(fs::exists(out / "icat-after.txt"));
  // The by-id link now leads to the stand-in too.
  EXPECT_EQ(open_text("\\\\.\\L:"), "error: OPEN: open device failed: Access is denied. (0x80070005)");
  EXPECT_EQ(refusals_logged(service.log_text(), "E:"), 3u) << service.log_text();
  EXPECT_EQ(refusals_logged(service.log_text(), "L:"), 1u) << service.log_text();
  // The pinned image is still the evidence under its new name: no export from another drive
  // is written into it.
  EXPECT_EQ(call_text(kavel_lib::ipc::IpcRequest::ExportFat32{"F", 53, 90, renamed.string()}),
            "error: EXPORT: export destination is the image or device mapped as E:");
  EXPECT_EQ(sha256_of_file(renamed), sha256_of_file(real_volumes_dir() / "fat16.img"));

  // A drive whose image was missing at the start is fixed at its first successful open.
  EXPECT_EQ(open_text("\\\\.\\M:"),
            "error: OPEN: open device failed: The system cannot find the file specified. (0x80070002)");
  fs::copy_file(renamed, later);
  EXPECT_TRUE(open_text("\\\\.\\M:").starts_with(R"({"handle":)")) << open_text("\\\\.\\M:");
  fs::rename(later, evidence / "later-renamed.img");
  fs::create_symlink(shadow, later);
  EXPECT_EQ(open_text("\\\\.\\M:"), "error: OPEN: open device failed: Access is denied. (0x80070005)");
  EXPECT_EQ(refusals_logged(service.log_text(), "M:"), 1u) << service.log_text();

  // A drive mapped to a FIFO that nobody writes: refused at once, not after the tool's limits.
  const auto asked = std::chrono::steady_clock::now();
  EXPECT_EQ(icat_text('P', out / "fifo.txt"), "error: ICAT: Access is denied. (0x80070005)");
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(30));
  EXPECT_TRUE(service.alive()) << service.output();
}

// How many lines of the log say that the drive's path passes through `place`, which `who` may
// change.
std::size_t untrusted_logged(const std::string& log, const std::string& drive, const std::string& place,
                             const std::string& who) {
  const std::string needle = "Drive " + drive + " its path passes through " + place + ", which " + who +
                             " may change; open refused";
  std::size_t count = 0;
  for (auto at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1)) ++count;
  return count;
}

// The service trusts a drive's path only when no user but root and its own may change where it
// leads. A user (47301) who owns a folder on a drive's path, or who owns the image in a sticky
// folder, gets nothing: J names a missing file in her folder, where she then puts a link to a
// root-only file; K's link was in place before the start; S is her own image in a root-owned
// sticky folder. Each is logged once at the start and refused at every open, by open_device, the
// three exporters and icat, with one more line each, and its path is not traced as evidence.
// Once the folder is root's, the drive is walked again, passes and is pinned at that open. A
// /dev/disk/by-id-style chain of links in root's folders keeps working.
TEST(ServiceOpenDevice, DrivePathsThatAnotherUserMayChangeAreRefused) {
  if (auto why = service_run_missing()) GTEST_SKIP() << *why;
  if (auto why = program_missing("icat")) GTEST_SKIP() << *why;
  namespace fs = std::filesystem;
  constexpr uid_t kUser = 47301;
  const std::string user = "user " + std::to_string(kUser);
  const auto volume = real_volumes_dir() / "fat16.img";
  TempDir evidence;
  ::chmod(evidence.path().c_str(), 0755);
  const auto secret = evidence / "secret";  // a stand-in for /etc/shadow
  write_file(secret, "root:$y$j9T$not-for-clients:19000:0:99999:7:::\n");
  ::chmod(secret.c_str(), 0600);
  const auto users_folder = [&](const std::string& name) {
    const auto folder = evidence / name;
    fs::create_directory(folder);
    ::chmod(folder.c_str(), 0755);
    EXPECT_EQ(::chown(folder.c_str(), kUser, kUser), 0);
    return folder;
  };
  const auto u = users_folder("u");
  const auto k = users_folder("k");
  fs::create_symlink(secret, k / "early.img");
  EXPECT_EQ(::lchown((k / "early.img").c_str(), kUser, kUser), 0);
  const auto sticky = evidence / "sticky";
  fs::create_directory(sticky);
  ::chmod(sticky.c_str(), 01777);
  fs::copy_file(volume, sticky / "user.img");
  EXPECT_EQ(::chown((sticky / "user.img").c_str(), kUser, kUser), 0);
  // /dev/disk/by-id/usb-e -> ../../../images/e.img, reached through /dev/mapper/e -> by-id link.
  fs::create_directories(evidence / "images");
  fs::copy_file(volume, evidence / "images" / "e.img");
  fs::create_directories(evidence / "dev" / "disk" / "by-id");
  fs::create_directories(evidence / "dev" / "mapper");
  fs::create_symlink("../../../images/e.img", evidence / "dev" / "disk" / "by-id" / "usb-e");
  fs::create_symlink(evidence / "dev" / "disk" / "by-id" / "usb-e", evidence / "dev" / "mapper" / "e");
  TempDir out;

  RunningService service("J=" + (u / "missing.img").string() + ";K=" + (k / "early.img").string() +
                         ";S=" + (sticky / "user.img").string() + ";D=" + (evidence / "dev/mapper/e").string());
  ASSERT_TRUE(service.ready()) << service.output();
  const auto pid = static_cast<std::uint32_t>(::getpid());
  const auto open_text = [&](char letter) {
    return call_text(kavel_lib::ipc::IpcRequest::OpenDevice{device_path(letter), pid});
  };
  const auto fat_text = [&](char letter, const fs::path& dest) {
    return call_text(kavel_lib::ipc::IpcRequest::ExportFat32{std::string(1, letter), 53, 90, dest.string()});
  };
  const auto icat_text = [&](char letter, const fs::path& dest) {
    return call_text(kavel_lib::ipc::IpcRequest::IcatToFile{"fat", device_path(letter), "592", 0, dest.string(),
                                                            true, 0});
  };
  const std::string denied_open = "error: OPEN: open device failed: Access is denied. (0x80070005)";
  const std::string denied_export = "error: EXPORT: Access is denied. (os error 5)";
  const std::string denied_icat = "error: ICAT: Access is denied. (0x80070005)";

  // She plants the link after the start.
  fs::create_symlink(secret, u / "missing.img");
  EXPECT_EQ(::lchown((u / "missing.img").c_str(), kUser, kUser), 0);
  for (const char letter : {'J', 'K', 'S'}) {
    SCOPED_TRACE(std::string(1, letter));
    EXPECT_EQ(open_text(letter), denied_open);
    EXPECT_EQ(fat_text(letter, out / "fat.txt"), denied_export);
    EXPECT_EQ(icat_text(letter, out / "icat.txt"), denied_icat);
  }
  EXPECT_EQ(call_text(kavel_lib::ipc::IpcRequest::ExportNtfsFrn{"J", 78, (out / "ntfs.txt").string()}),
            denied_export);
  EXPECT_EQ(call_text(kavel_lib::ipc::IpcRequest::ExportExfat{"J", 5, 0, 90, false, std::nullopt,
                                                              (out / "exfat.txt").string()}),
            denied_export);
  EXPECT_FALSE(fs::exists(out / "fat.txt"));
  EXPECT_FALSE(fs::exists(out / "icat.txt"));
  const std::string log = service.log_text();
  // J: the start, then one line per open: the NTFS exporter tries the volume twice.
  EXPECT_EQ(untrusted_logged(log, "J:", u.string(), user), 7u) << log;
  EXPECT_EQ(untrusted_logged(log, "K:", k.string(), user), 4u) << log;
  EXPECT_EQ(untrusted_logged(log, "S:", (sticky / "user.img").string(), user), 4u) << log;

  // The chain of links in root's folders works, and J's path, which she now points at a disk of
  // the host (a stand-in), is no evidence: an export onto that disk is not refused for J.
  EXPECT_TRUE(open_text('D').starts_with(R"({"handle":)")) << open_text('D');
  EXPECT_EQ(fat_text('D', out / "fat.txt"), kOk);
  EXPECT_EQ(icat_text('D', out / "icat.txt"), kOk);
  const auto host_disk = evidence / "host-disk";
  write_file(host_disk, "not evidence\n");
  fs::remove(u / "missing.img");
  fs::create_symlink(host_disk, u / "missing.img");
  EXPECT_EQ(fat_text('D', host_disk), kOk);
  EXPECT_EQ(service.log_text().find("Drive D:"), std::string::npos) << service.log_text();

  // The administrator takes the folder over and puts the image there: J is pinned at this open,
  // and leads nowhere else afterwards.
  fs::remove(u / "missing.img");
  ASSERT_EQ(::chown(u.c_str(), 0, 0), 0);
  fs::copy_file(volume, u / "missing.img");
  EXPECT_TRUE(open_text('J').starts_with(R"({"handle":)")) << open_text('J');
  fs::rename(u / "missing.img", u / "renamed.img");
  fs::create_symlink(secret, u / "missing.img");
  EXPECT_EQ(open_text('J'), denied_open);
  EXPECT_EQ(refusals_logged(service.log_text(), "J:"), 1u) << service.log_text();
  EXPECT_TRUE(service.alive()) << service.output();
}

// Whoever holds a loop device, or a partition of one, may re-point it at a file of their own, so
// no client is handed one. A loop device that reads its whole file from the start is handed as
// that file, read-only: the same bytes at the loop device's offsets, the file's identity, and no
// loop request to make through it; a disk mapped to the same loop device keeps answering the
// disk-extent query for a volume on it. A partition of a loop device and loop devices that read
// at an offset or to a size limit are refused, naming the image file to map instead, with a log
// line each. A loop device re-pointed after the start is refused like a swapped image.
TEST(ServiceOpenDevice, LoopDevicesAreHandedOnlyAsTheImageFileTheyReadWhole) {
  if (auto why = root_missing()) GTEST_SKIP() << *why << " (loop devices are set up as root)";
  if (!std::filesystem::exists(program_path("PolvaneService"))) GTEST_SKIP() << "PolvaneService is not built";
  namespace fs = std::filesystem;
  constexpr std::uint64_t kStart = 1048576;
  constexpr std::uint64_t kDiskBytes = 8 * 1048576;
  TempDir evidence;
  ::chmod(evidence.path().c_str(), 0755);
  // A disk image: every sector tells its number; one partition from 1 MiB to the end.
  std::string bytes(kDiskBytes, '\0');
  for (std::uint64_t sector = 0; sector < kDiskBytes / 512; ++sector) {
    const std::string text = "sector " + std::to_string(sector) + " of the evidence";
    bytes.replace(sector * 512 + 16, text.size(), text);
  }
  std::string mbr(512, '\0');
  const auto le32 = [&](std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) mbr[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  };
  mbr[446 + 4] = static_cast<char>(0x83);
  le32(446 + 8, kStart / 512);
  le32(446 + 12, (kDiskBytes - kStart) / 512);
  mbr[510] = static_cast<char>(0x55);
  mbr[511] = static_cast<char>(0xAA);
  bytes.replace(0, 512, mbr);
  const auto disk_image = evidence / "disk.img";
  write_file(disk_image, bytes);
  ::chmod(disk_image.c_str(), 0600);
  const auto copy = evidence / "copy.img";
  write_file(copy, bytes);
  const auto planted = evidence / "planted.img";
  write_file(planted, std::string(kDiskBytes, 'P'));

  kavel_test::LoopSetup read_only;
  read_only.read_only = true;
  auto disk = LoopDevice::attach(disk_image, read_only);
  if (!disk) GTEST_SKIP() << "loop devices cannot be used here: " << disk.error();
  const auto partition = disk->partition_node(kStart, kDiskBytes - kStart, evidence.path());
  ASSERT_TRUE(partition) << partition.error();
  kavel_test::LoopSetup at_offset = read_only;
  at_offset.offset = kStart;
  auto offset = LoopDevice::attach(disk_image, at_offset);
  ASSERT_TRUE(offset) << offset.error();
  kavel_test::LoopSetup limited_setup = read_only;
  limited_setup.size_limit = 4 * 1048576;
  auto limited = LoopDevice::attach(disk_image, limited_setup);
  ASSERT_TRUE(limited) << limited.error();
  auto repointed = LoopDevice::attach(copy, read_only);
  ASSERT_TRUE(repointed) << repointed.error();

  const std::string drives = "D=" + disk->node() + ";E=" + disk->node() + "@" + std::to_string(kStart) +
                             ";PhysicalDrive0=" + disk->node() + ";P=" + partition->string() + ";O=" + offset->node() +
                             ";L=" + limited->node() + ";R=" + repointed->node();
  RunningService service(drives);
  ASSERT_TRUE(service.ready()) << service.output();
  const auto pid = static_cast<std::uint32_t>(::getpid());
  const auto open = [&](const std::string& device) {
    return kavel_lib::ipc::ipc_call(kavel_lib::ipc::IpcRequest{kavel_lib::ipc::IpcRequest::OpenDevice{device, pid}},
                                    std::chrono::seconds(3));
  };
  const auto open_text = [&](const std::string& device) {
    return call_text(kavel_lib::ipc::IpcRequest::OpenDevice{device, pid});
  };

  // D: the image file itself, read-only, with the loop device's bytes; no loop request passes.
  auto whole = open("\\\\.\\D:");
  ASSERT_TRUE(whole) << whole.error().display();
  ASSERT_TRUE(whole->handle.valid());
  const int handed = whole->handle.get();
  struct stat got {}, image {};
  ASSERT_EQ(::fstat(handed, &got), 0);
  ASSERT_EQ(::stat(disk_image.c_str(), &image), 0);
  EXPECT_TRUE(S_ISREG(got.st_mode));
  EXPECT_EQ(got.st_dev, image.st_dev);
  EXPECT_EQ(got.st_ino, image.st_ino);
  EXPECT_EQ(::fcntl(handed, F_GETFL) & O_ACCMODE, O_RDONLY);
  for (const std::uint64_t at : {std::uint64_t{0}, kStart + 4096 + 7, kDiskBytes - 1024}) {
    std::string read(1024, '\0');
    ASSERT_EQ(::pread(handed, read.data(), read.size(), static_cast<off_t>(at)), 1024);
    EXPECT_EQ(read, bytes.substr(at, 1024)) << at;
  }
  const kavel_test::Closer other(::open(planted.c_str(), O_RDONLY | O_CLOEXEC));
  EXPECT_NE(::ioctl(handed, LOOP_CHANGE_FD, other.fd), 0);
  EXPECT_NE(::ioctl(handed, LOOP_CLR_FD, 0), 0);

  // E, a volume at 1 MiB on the disk PhysicalDrive0: both mapped to the loop device.
  {
    ScopedEnv drive_env("KAVEL_DRIVES", drives);
    auto reply = open("\\\\.\\E:");
    ASSERT_TRUE(reply) << reply.error().display();
    ASSERT_TRUE(reply->handle.valid());
    const auto volume = kavel_lib::platform::Device::adopt(reply->handle.release(), "E:", kStart);
    std::vector<std::uint8_t> out(32);
    const auto answered = kavel_lib::platform::device_io_control(
        volume, kavel_lib::platform::ctl::IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, {}, out);
    ASSERT_TRUE(answered) << answered.error().display();
    const auto u64 = [&](std::size_t at) {
      std::uint64_t value = 0;
      for (int i = 7; i >= 0; --i) value = (value << 8) | out[at + static_cast<std::size_t>(i)];
      return value;
    };
    EXPECT_EQ(u64(0) & 0xFFFFFFFFu, 1u);   // one extent
    EXPECT_EQ(u64(8) & 0xFFFFFFFFu, 0u);   // on PhysicalDrive0
    EXPECT_EQ(u64(16), kStart);
    EXPECT_EQ(u64(24), kDiskBytes - kStart);
  }

  // Refused, naming what to map instead.
  const std::string prefix = "error: OPEN: open device failed: ";
  const std::string partition_text = open_text("\\\\.\\P:");
  EXPECT_TRUE(partition_text.starts_with(prefix + "P: is the partition ")) << partition_text;
  EXPECT_NE(partition_text.find("of the loop device " + disk->node() + "; no client is handed a device that stands "
                                "on a loop device: map the image file instead (" +
                                disk_image.string() + "@1048576)"),
            std::string::npos)
      << partition_text;
  EXPECT_EQ(open_text("\\\\.\\O:"),
            prefix + "O: is the loop device " + offset->node() + ", which reads " + disk_image.string() +
                " from byte 1048576, not the whole file; a loop device is handed to a client only as the image file "
                "it reads whole: map the image file instead (" +
                disk_image.string() + "@1048576)");
  EXPECT_EQ(open_text("\\\\.\\L:"),
            prefix + "L: is the loop device " + limited->node() + ", which reads " + disk_image.string() +
                " from byte 0 for 4194304 bytes, not the whole file; a loop device is handed to a client only as the "
                "image file it reads whole: map the image file instead (" +
                disk_image.string() + ")");
  const std::string log = service.log_text();
  for (const std::string drive : {"P:", "O:", "L:"}) {
    EXPECT_NE(log.find("Drive " + drive + " is "), std::string::npos) << drive << "\n" << log;
  }

  // R, pinned at the start to the copy, is re-pointed at another file of the same size.
  EXPECT_TRUE(open_text("\\\\.\\R:").starts_with(R"({"handle":)")) << open_text("\\\\.\\R:");
  ASSERT_EQ(::ioctl(repointed->descriptor(), LOOP_CHANGE_FD, other.fd), 0);
  EXPECT_EQ(open_text("\\\\.\\R:"), prefix + "Access is denied. (0x80070005)");
  EXPECT_EQ(refusals_logged(service.log_text(), "R:"), 1u) << service.log_text();
  EXPECT_TRUE(service.alive()) << service.output();
}

std::string read_range(const kavel_lib::platform::Device& device, std::uint64_t offset, std::size_t length) {
  std::string bytes(length, '\0');
  auto read = device.read_exact_at(offset, std::span(reinterpret_cast<std::uint8_t*>(bytes.data()), bytes.size()));
  if (!read) return "read failed: " + read.error().display();
  return bytes;
}

TEST(ServiceOpenDeviceChild, DISABLED_OpensAndExportsWithoutRights) {
  if (!in_child_role()) GTEST_SKIP() << "runs as a child of ServiceOpenDevice tests";
  ASSERT_NE(::geteuid(), 0u);
  // Were the status probe to fail, the start would go to this stand-in, never to systemctl.
  FakeServiceManager manager;
  manager.fail_open_service = true;

  auto direct = kavel_lib::platform::Device::open("\\\\.\\E:");
  ASSERT_FALSE(direct);
  EXPECT_EQ(direct.error().code, 5u);

  auto device = kavel_lib::ipc::open_device_or_via_service("\\\\.\\E:");
  ASSERT_TRUE(device) << device.error().display();
  const auto image_path = real_volumes_dir() / "ntfs-small.img";
  const std::string image = read_file(image_path);
  ASSERT_EQ(image.size(), std::filesystem::file_size(image_path));
  ASSERT_TRUE(device->size());
  EXPECT_EQ(*device->size(), image.size());
  // The boot sector, a stretch of the middle and the last bytes.
  EXPECT_EQ(read_range(*device, 0, 512), image.substr(0, 512));
  EXPECT_EQ(read_range(*device, 3 * 1024 * 1024 + 17, 1 << 20), image.substr(3 * 1024 * 1024 + 17, 1 << 20));
  EXPECT_EQ(read_range(*device, image.size() - 4096, 4096), image.substr(image.size() - 4096));
  EXPECT_EQ(manager.calls(), 0);

  // The exporter in this process opens the volume through the same road.
  const char* out = std::getenv(kChildOutVariable);
  ASSERT_NE(out, nullptr);
  std::string sha;
  std::uint64_t frn = 0;
  for (const auto& file : manifest_deleted_files(real_volumes_dir() / "manifest-ntfs.tsv")) {
    if (file.path == "docs/2/fragmented-deleted.bin" && file.inode) {
      sha = file.sha256;
      frn = *file.inode;
    }
  }
  ASSERT_FALSE(sha.empty());
  const auto dest = std::filesystem::path(out) / "client-export" / "fragmented.bin";
  auto exported = kavel_lib::engine::windows::export_ntfs_frn(U'E', frn, dest);
  ASSERT_TRUE(exported) << exported.error().display();
  EXPECT_EQ(sha256_of_file(dest), sha);
  EXPECT_EQ(manager.calls(), 0);
}

}  // namespace
}  // namespace kavel_test::service_acceptance
