// The three exports of the built service, asked for through the library's client, on the real
// volumes that ntfs-3g, the FAT driver of mtools and exfat-fuse wrote: every deleted file whose
// record or clusters were not reused comes out with the manifest's sha256, under its own name
// (spaces, commas, non-ASCII) in folders the service creates; the empty deleted file is answered
// with its error; the chained exFAT file whose chain the driver zeroed yields its first cluster.
#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "ipc/messages.h"
#include "service_acceptance/manifest_files.h"
#include "service_acceptance/running_service.h"
#include "support/mapped_volume.h"
#include "support/test_env.h"

namespace kavel_test::service_acceptance {
namespace {

using kavel_lib::ipc::IpcRequest;

class ServiceExports : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto why = service_run_missing()) GTEST_SKIP() << *why;
    service_ = std::make_unique<RunningService>();
    ASSERT_TRUE(service_->ready()) << service_->output();
  }
  void TearDown() override {
    if (service_) {
      EXPECT_TRUE(service_->alive()) << service_->output();
    }
  }

  // The destination of a manifest file under `volume`: its own relative path.
  [[nodiscard]] std::filesystem::path dest(const std::string& volume, const DeletedFile& file) const {
    return out_.path() / volume / std::filesystem::path(file.path);
  }

  std::unique_ptr<RunningService> service_;
  TempDir out_;
};

TEST_F(ServiceExports, NtfsDeletedFilesByRecordNumberMatchTheManifest) {
  const auto files = manifest_deleted_files(real_volumes_dir() / "manifest-ntfs.tsv");
  int exported = 0, empty = 0, resident = 0, fragmented = 0;
  for (const auto& file : files) {
    if (!file.inode || file.record_reused()) continue;
    const auto target = dest("ntfs", file);
    const std::string reply = call_text(IpcRequest::ExportNtfsFrn{"N", *file.inode, target.string()});
    if (file.size == 0) {
      // The empty resident value sends the exporter to the run list, which an empty file has not.
      EXPECT_EQ(reply, "error: EXPORT: No $DATA stream in MFT record (file data may have been overwritten)")
          << file.path;
      ++empty;
      continue;
    }
    ASSERT_EQ(reply, kOk) << file.path;
    EXPECT_EQ(sha256_of_file(target), file.sha256) << file.path;
    ++exported;
    if (file.runs == "resident") ++resident;
    if (file.fragmented()) ++fragmented;
  }
  EXPECT_EQ(exported, 16);
  EXPECT_EQ(empty, 1);
  EXPECT_GE(resident, 4);
  EXPECT_EQ(fragmented, 1);
}

TEST_F(ServiceExports, NtfsRecordReusedByAnotherFileExportsThatFile) {
  // scratch/h5's record 78 now holds deleted-exact-4096.bin: the record number names the newer
  // file, whose bytes are what the export gives.
  const auto files = manifest_deleted_files(real_volumes_dir() / "manifest-ntfs.tsv");
  std::string newer_sha;
  for (const auto& file : files) {
    if (file.path == "docs/2/deleted-exact-4096.bin") newer_sha = file.sha256;
  }
  ASSERT_FALSE(newer_sha.empty());
  const auto target = out_ / "record-78.bin";
  ASSERT_EQ(call_text(IpcRequest::ExportNtfsFrn{" n", 78, target.string()}), kOk);
  EXPECT_EQ(sha256_of_file(target), newer_sha);
}

// The small client of the demo prints the exported file's path, size and sha256.
TEST_F(ServiceExports, PolvaneExportToolPrintsPathSizeAndSha256) {
  const auto tool = program_path("polvane_export");
  if (!std::filesystem::exists(tool)) GTEST_SKIP() << "polvane_export is not built";
  DeletedFile large;
  for (const auto& file : manifest_deleted_files(real_volumes_dir() / "manifest-ntfs.tsv")) {
    if (file.path == "docs/2/deleted-large-1000000.bin") large = file;
  }
  ASSERT_TRUE(large.inode);
  const auto target = out_ / "tool" / "large.bin";
  const auto done = run_command(shell_quote(tool.string()) + " N " + std::to_string(*large.inode) + " " +
                                shell_quote(target.string()) + " 2>&1");
  EXPECT_EQ(done.status, 0) << done.output;
  EXPECT_EQ(done.output, "path: " + target.string() + "\nsize: 1000000\nsha256: " + large.sha256 + "\n");

  const auto refused = run_command(shell_quote(tool.string()) + " N 999999 " + shell_quote((out_ / "x").string()) +
                                   " 2>&1");
  EXPECT_NE(refused.status, 0);
  EXPECT_EQ(refused.output, "export failed: EXPORT: Cannot read MFT record (record may have been overwritten)\n");
  EXPECT_NE(run_command(shell_quote(tool.string()) + " N not-a-number /tmp/x 2>/dev/null").status, 0);
}

void export_fat_volume(const std::string& manifest, char letter, const std::filesystem::path& out) {
  int exported = 0, empty = 0, fragmented = 0;
  for (const auto& file : manifest_deleted_files(real_volumes_dir() / manifest)) {
    if (file.clusters_reused()) continue;
    const auto target = out / std::filesystem::path(file.path);
    const std::string reply =
        call_text(IpcRequest::ExportFat32{std::string(1, letter), file.first_cluster.value_or(0), file.size,
                                          target.string()});
    if (file.size == 0) {
      EXPECT_EQ(reply, "error: EXPORT: exported file is empty") << file.path;
      ++empty;
      continue;
    }
    ASSERT_EQ(reply, kOk) << manifest << ": " << file.path;
    EXPECT_EQ(sha256_of_file(target), file.sha256) << manifest << ": " << file.path;
    ++exported;
    if (file.fragmented()) ++fragmented;
  }
  EXPECT_EQ(exported, 16) << manifest;
  EXPECT_EQ(empty, 1) << manifest;
  EXPECT_EQ(fragmented, 1) << manifest;
}

TEST_F(ServiceExports, Fat16DeletedFilesByFirstClusterMatchTheManifest) {
  export_fat_volume("manifest-fat16.tsv", kFat16Letter, out_ / "fat16");
}

TEST_F(ServiceExports, Fat32DeletedFilesByFirstClusterMatchTheManifest) {
  export_fat_volume("manifest-fat32.tsv", kFat32Letter, out_ / "fat32");
}

TEST_F(ServiceExports, ExfatDeletedFilesWithoutNameFollowTheirNoFatChainFlag) {
  const std::string image = read_file(real_volumes_dir() / "exfat.img");
  ASSERT_GT(image.size(), 512u);
  const auto flags = exfat_deleted_stream_flags(image);
  const auto shift_sector = static_cast<std::uint8_t>(image[108]);
  const auto shift_cluster = static_cast<std::uint8_t>(image[109]);
  const std::uint64_t heap = std::uint64_t{le32_at(image, 88)} << shift_sector;
  const std::uint64_t cluster_bytes = std::uint64_t{1} << (shift_sector + shift_cluster);

  int contiguous = 0, chained = 0, empty = 0;
  for (const auto& file : manifest_deleted_files(real_volumes_dir() / "manifest-exfat.tsv")) {
    if (file.clusters_reused()) continue;
    const auto target = out_ / "exfat" / std::filesystem::path(file.path);
    if (file.size == 0) {
      EXPECT_EQ(call_text(IpcRequest::ExportExfat{"X", 0, 0, 0, false, std::nullopt, target.string()}),
                "error: EXPORT: exported file is empty")
          << file.path;
      ++empty;
      continue;
    }
    ASSERT_TRUE(file.first_cluster) << file.path;
    const auto flag = flags.find({*file.first_cluster, file.size});
    ASSERT_NE(flag, flags.end()) << file.path << ": no deleted Stream Extension entry";
    const bool no_fat_chain = (flag->second & kNoFatChainFlag) != 0;
    ASSERT_EQ(call_text(IpcRequest::ExportExfat{"X", *file.first_cluster, 0, file.size, no_fat_chain, std::nullopt,
                                                target.string()}),
              kOk)
        << file.path;
    if (no_fat_chain) {
      EXPECT_EQ(sha256_of_file(target), file.sha256) << file.path;
      ++contiguous;
    } else {
      // exfat-fuse zeroed the chain of the chained file when it deleted it: the exporter takes
      // the first cluster, the one the chain still names.
      EXPECT_EQ(read_file(target), image.substr(heap + (*file.first_cluster - 2) * cluster_bytes, cluster_bytes))
          << file.path;
      ++chained;
    }
  }
  EXPECT_EQ(contiguous + chained, 16);
  EXPECT_EQ(chained, 1);
  EXPECT_EQ(empty, 1);
}

}  // namespace
}  // namespace kavel_test::service_acceptance
