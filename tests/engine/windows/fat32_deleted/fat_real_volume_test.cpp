// Exports every deleted file of the real FAT16 and FAT32 test volumes (made by mkfs.vfat and
// mtools) whose clusters were not reused, and compares it with the manifest's SHA-256.

#include <gtest/gtest.h>

#include "engine/windows/fat32_deleted/fat_export.h"
#include "support/mapped_volume.h"
#include "support/manifest_scope.h"

namespace kavel_lib::engine::windows::fat32_deleted {
namespace {

// The deleted regular files of a manifest; empty when it cannot be read.
std::vector<kavel_test::ManifestRow> deleted_files(const std::filesystem::path& manifest) {
  std::vector<kavel_test::ManifestRow> out;
  for (auto& row : kavel_test::read_manifest(manifest).value_or(std::vector<kavel_test::ManifestRow>{})) {
    if (row.type == "f" && row.deleted) out.push_back(std::move(row));
  }
  return out;
}

class FatRealVolume : public ::testing::TestWithParam<const char*> {};

TEST_P(FatRealVolume, DeletedFilesMatchTheManifest) {
  if (auto why = kavel_test::real_volumes_missing()) GTEST_SKIP() << *why;
  const std::string name = GetParam();
  const auto dir = kavel_test::real_volumes_dir();
  kavel_test::MappedVolume volume(dir / (name + ".img"), 'H');
  kavel_test::TempDir out;
  int exported = 0;
  for (const auto& f : deleted_files(dir / ("manifest-" + name + ".tsv"))) {
    if (f.note.find("clusters-reused-by:") != std::string::npos) continue;
    const std::uint64_t size = f.size.value_or(0);
    const auto first_cluster = static_cast<std::uint32_t>(f.first_cluster.value_or(0));
    const auto dest = out / ("file-" + std::to_string(exported++));
    auto done = export_fat32('H', first_cluster, size, dest);
    ASSERT_TRUE(done) << f.path << ": " << done.error().display();
    EXPECT_EQ(std::filesystem::file_size(dest), size) << f.path;
    EXPECT_EQ(kavel_test::sha256_of_file(dest), f.sha256) << f.path;
  }
  EXPECT_GE(exported, 14);
}

INSTANTIATE_TEST_SUITE_P(Volumes, FatRealVolume, ::testing::Values("fat16", "fat32"));

}  // namespace
}  // namespace kavel_lib::engine::windows::fat32_deleted
