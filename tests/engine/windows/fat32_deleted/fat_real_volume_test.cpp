// Exports every deleted file of the real FAT16 and FAT32 test volumes (made by mkfs.vfat and
// mtools) whose clusters were not reused, and compares it with the manifest's SHA-256.
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "engine/windows/fat32_deleted/fat_export.h"
#include "support/mapped_volume.h"

namespace kavel_lib::engine::windows::fat32_deleted {
namespace {

struct ManifestFile {
  std::string path;
  std::uint64_t size = 0;
  std::string sha256;
  std::uint32_t first_cluster = 0;
  std::string note;
};

std::vector<ManifestFile> deleted_files(const std::filesystem::path& manifest) {
  std::vector<ManifestFile> out;
  std::ifstream in(manifest);
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::vector<std::string> cols;
    std::stringstream s(line);
    for (std::string col; std::getline(s, col, '\t');) cols.push_back(col);
    cols.resize(9);
    if (cols[1] != "f" || cols[7] != "1") continue;
    ManifestFile f{cols[0], std::stoull(cols[2]), cols[3], 0, cols[8]};
    if (cols[5] != "-") f.first_cluster = static_cast<std::uint32_t>(std::stoul(cols[5]));
    out.push_back(f);
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
    const auto dest = out / ("file-" + std::to_string(exported++));
    auto done = export_fat32('H', f.first_cluster, f.size, dest);
    ASSERT_TRUE(done) << f.path << ": " << done.error().display();
    EXPECT_EQ(std::filesystem::file_size(dest), f.size) << f.path;
    EXPECT_EQ(kavel_test::sha256_of_file(dest), f.sha256) << f.path;
  }
  EXPECT_GE(exported, 14);
}

INSTANTIATE_TEST_SUITE_P(Volumes, FatRealVolume, ::testing::Values("fat16", "fat32"));

}  // namespace
}  // namespace kavel_lib::engine::windows::fat32_deleted
