#include "engine/windows/fat32_deleted/fat_export.h"

#include <filesystem>

#include <gtest/gtest.h>

#include "support/fat_builder.h"
#include "support/mapped_volume.h"
#include "support/test_env.h"

namespace kavel_lib::engine::windows::fat32_deleted {
namespace {

using kavel_test::FatBuilder;
using kavel_test::FatType;
using kavel_test::MappedVolume;
using platform::OsErrorKind;

std::string as_text(const std::vector<std::uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

class FatExport : public ::testing::Test {
 protected:
  FatBuilder b_{{.type = FatType::Fat32, .sectors_per_cluster = 2, .cluster_count = 400}};
  kavel_test::TempDir out_;
};

TEST_F(FatExport, ChainedFileCutToItsSize) {
  const auto contents = kavel_test::pattern_bytes(3 * 1024 + 100, 1);
  b_.write_file({10, 30, 11, 12}, contents);
  MappedVolume volume(b_.image(), 'F');
  const auto dest = out_ / "file.bin";
  auto done = export_fat32('F', 10, contents.size(), dest);
  ASSERT_TRUE(done) << done.error().display();
  EXPECT_EQ(kavel_test::read_file(dest), as_text(contents));
}

TEST_F(FatExport, DeletedFileIsExportedWhole) {
  const auto contents = kavel_test::pattern_bytes(10 * 1024 - 5, 2);
  std::vector<std::uint32_t> clusters;
  for (std::uint32_t c = 50; c < 60; ++c) clusters.push_back(c);
  b_.write_file(clusters, contents);
  b_.free_clusters(clusters);
  MappedVolume volume(b_.image(), 'F');
  const auto dest = out_ / "deleted.bin";
  ASSERT_TRUE(export_fat32('f', 50, contents.size(), dest));
  EXPECT_EQ(kavel_test::read_file(dest), as_text(contents));
}

TEST_F(FatExport, ChainShorterThanTheSizeGivesAShorterFile) {
  const auto contents = kavel_test::pattern_bytes(2048, 3);
  b_.write_file({70, 71}, contents);
  MappedVolume volume(b_.image(), 'F');
  const auto dest = out_ / "short.bin";
  ASSERT_TRUE(export_fat32('F', 70, 100000, dest));
  EXPECT_EQ(kavel_test::read_file(dest), as_text(contents));
}

TEST_F(FatExport, SizeZeroAndStartsOutsideTheVolumeGiveEmptyFiles) {
  b_.write_file({80}, kavel_test::pattern_bytes(1024, 4));
  MappedVolume volume(b_.image(), 'F');
  for (const auto& [start, size] : std::vector<std::pair<std::uint32_t, std::uint64_t>>{
           {80, 0}, {0, 4096}, {1, 4096}, {402, 4096}, {0xFFFFFFFF, 4096}}) {
    const auto dest = out_ / ("empty-" + std::to_string(start));
    auto done = export_fat32('F', start, size, dest);
    ASSERT_TRUE(done) << done.error().display();
    ASSERT_TRUE(std::filesystem::exists(dest));
    EXPECT_EQ(std::filesystem::file_size(dest), 0u);
  }
}

TEST_F(FatExport, CreatesMissingFoldersAndTruncatesAnExistingFile) {
  const auto contents = kavel_test::pattern_bytes(700, 5);
  b_.write_file({90}, contents);
  MappedVolume volume(b_.image(), 'F');
  const auto dest = out_ / "a" / "b" / "c" / "out.bin";
  ASSERT_TRUE(export_fat32('F', 90, contents.size(), dest));
  EXPECT_EQ(kavel_test::read_file(dest), as_text(contents));
  kavel_test::write_file(dest, std::string(5000, 'x'));
  ASSERT_TRUE(export_fat32('F', 90, 10, dest));
  EXPECT_EQ(kavel_test::read_file(dest), as_text(contents).substr(0, 10));
}

TEST_F(FatExport, NeverWritesThroughALinkInTheDestinationsPlace) {
  b_.write_file({90}, kavel_test::pattern_bytes(700, 6));
  MappedVolume volume(b_.image(), 'F');
  const auto target = out_ / "precious.txt";
  kavel_test::write_file(target, "keep me");
  const auto link = out_ / "link.bin";
  std::filesystem::create_symlink(target, link);
  auto done = export_fat32('F', 90, 700, link);
  ASSERT_FALSE(done);
  EXPECT_EQ(kavel_test::read_file(target), "keep me");
}

TEST_F(FatExport, RefusedVolumeCreatesNothing) {
  b_.image().write_text(3, "EXFAT   ");
  MappedVolume volume(b_.image(), 'F');
  const auto dest = out_ / "sub" / "never.bin";
  auto done = export_fat32('F', 10, 100, dest);
  ASSERT_FALSE(done);
  EXPECT_EQ(done.error().kind(), OsErrorKind::InvalidData);
  EXPECT_EQ(done.error().display(), "not a FAT volume");
  EXPECT_FALSE(std::filesystem::exists(out_ / "sub"));
}

TEST_F(FatExport, DevicePathTakesThePlaceOfTheLetter) {
  const auto contents = kavel_test::pattern_bytes(512, 7);
  b_.write_file({15}, contents);
  MappedVolume volume(b_.image(), 'Q');
  const auto dest = out_ / "by-path.bin";
  ASSERT_TRUE(export_fat32('Z', 15, 512, dest, "\\\\.\\Q:"));
  EXPECT_EQ(kavel_test::read_file(dest), as_text(contents));
  // An unmapped drive fails with the open's own error and writes nothing.
  auto missing = export_fat32('Z', 15, 512, out_ / "none.bin");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind(), OsErrorKind::NotFound);
  EXPECT_FALSE(std::filesystem::exists(out_ / "none.bin"));
}

TEST_F(FatExport, ClusterReadFailureKeepsWhatWasWritten) {
  const auto contents = kavel_test::pattern_bytes(4096, 8);
  b_.write_file({398, 399, 400, 401}, contents);
  // The image ends inside cluster 401, as a truncated copy of a volume would.
  b_.image().resize(b_.cluster_offset(401) + 512);
  MappedVolume volume(b_.image(), 'F');
  const auto dest = out_ / "partial.bin";
  auto done = export_fat32('F', 398, contents.size(), dest);
  ASSERT_FALSE(done);
  EXPECT_EQ(done.error().display(), "read past volume end");
  EXPECT_EQ(kavel_test::read_file(dest), as_text(contents).substr(0, 3 * 1024));
}

TEST(FatExportFat16, RootDirectoryAreaIsSkipped) {
  FatBuilder b({.type = FatType::Fat16, .sectors_per_cluster = 4, .root_entries = 512, .cluster_count = 5000,
                .total_in_16bit_field = true});
  const auto contents = kavel_test::pattern_bytes(5000, 9);
  b.write_file({2, 3, 4}, contents);
  b.free_clusters({2, 3, 4});
  MappedVolume volume(b.image(), 'F');
  kavel_test::TempDir out;
  ASSERT_TRUE(export_fat32('F', 2, contents.size(), out / "x"));
  EXPECT_EQ(kavel_test::read_file(out / "x"), as_text(contents));
}

// FAT12 is refused before anything is written, even a parent folder: its 12-bit FAT entries
// read as 16-bit ones would end live chains early and misjudge free clusters. FAT12 is told by
// a cluster count below 4,085 on a volume that is not FAT32 (the FAT32 volumes of the tests
// above have 400 clusters): the builder's FAT12 volume, a FAT16 one of 4,084 clusters but not
// one of 4,085, and one that mkfs.fat made, on which mtools wrote and deleted a file.
TEST(FatExportFat12, VolumesAreRefusedBeforeAnythingIsWritten) {
  kavel_test::TempDir out;
  const auto dest = out / "sub" / "x.bin";
  const auto expect_refused = [&](const char* what) {
    auto done = export_fat32('F', 2, 3000, dest);
    ASSERT_FALSE(done) << what;
    EXPECT_EQ(done.error().kind(), OsErrorKind::InvalidData) << what;
    EXPECT_EQ(done.error().display(), "FAT12 volumes are not supported") << what;
    EXPECT_FALSE(std::filesystem::exists(out / "sub")) << what;
  };
  {
    FatBuilder b({.type = FatType::Fat12, .sectors_per_cluster = 1, .root_entries = 224, .cluster_count = 2000,
                  .total_in_16bit_field = true});
    b.write_file({2, 3, 4, 5, 6, 7}, kavel_test::pattern_bytes(3000, 10));
    MappedVolume volume(b.image(), 'F');
    expect_refused("builder FAT12");
  }
  for (const std::uint32_t clusters : {4084u, 4085u}) {
    FatBuilder b({.type = FatType::Fat16, .sectors_per_cluster = 1, .cluster_count = clusters});
    b.write_file({2, 3, 4, 5, 6, 7}, kavel_test::pattern_bytes(3000, 11));
    MappedVolume volume(b.image(), 'F');
    if (clusters < 4085) {
      expect_refused("FAT16 of 4,084 clusters");
    } else {
      ASSERT_TRUE(export_fat32('F', 2, 3000, dest));
      EXPECT_EQ(kavel_test::read_file(dest), as_text(kavel_test::pattern_bytes(3000, 11)));
      std::filesystem::remove_all(out / "sub");
    }
  }

  const std::string tools = "PATH=\"$PATH:/usr/sbin:/sbin\" ";
  for (const char* tool : {"mkfs.fat", "mcopy", "mdel"}) {
    if (kavel_test::run_command(tools + "command -v " + tool + " >/dev/null 2>&1").status != 0) {
      GTEST_SKIP() << tool << " is not installed: the mkfs.fat volume is not tried";
    }
  }
  const auto image = (out / "fat12.img").string();
  const auto file = out / "three-thousand.bin";
  const auto bytes = kavel_test::pattern_bytes(3000, 12);
  kavel_test::write_file(file, as_text(bytes));
  const std::string i = " -i " + kavel_test::shell_quote(image);
  const auto made = kavel_test::run_command(
      tools + "MTOOLS_SKIP_CHECK=1 sh -c " +
      kavel_test::shell_quote("mkfs.fat -C -F 12 " + kavel_test::shell_quote(image) + " 1440 && mcopy" + i + " " +
                              kavel_test::shell_quote(file.string()) + " ::/a.bin && mdel" + i + " ::/a.bin") +
      " 2>&1");
  ASSERT_EQ(made.status, 0) << made.output;
  MappedVolume volume(std::filesystem::path(image), 'F');
  expect_refused("mkfs.fat -F 12");
}

}  // namespace
}  // namespace kavel_lib::engine::windows::fat32_deleted
