// open_device end to end: an unprivileged client process, which may not open the volume
// itself, gets it from the built service through the device open with fallback and reads the
// image's own bytes through the passed descriptor; the NTFS exporter, run in that client, reaches
// the volume the same way. The volume's image is reached through a folder only root may enter.
#include <sys/stat.h>
#include <unistd.h>

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
#include "service_acceptance/manifest_files.h"
#include "service_acceptance/running_service.h"
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
