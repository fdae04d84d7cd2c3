#include "engine/windows/exfat_deleted/exfat_geometry.h"

#include <gtest/gtest.h>

#include "exfat_test_volume.h"
#include "support/fat_builder.h"

namespace kavel_lib::engine::windows::exfat_deleted {
namespace {

using kavel_test::ExfatBuilder;
using platform::OsErrorKind;

std::vector<std::uint8_t> boot_of(const ExfatBuilder& b) { return b.image().read(0, 512); }

TEST(ExfatGeometry, FormatReadingOfABuilderVolume) {
  ExfatBuilder b({});
  OpenExfatVolume v(b);
  const auto& g = v.geometry;
  EXPECT_EQ(g.bytes_per_sector, 512u);
  EXPECT_EQ(g.cluster_bytes, 4096u);
  EXPECT_EQ(g.fat_offset, 24u * 512);
  EXPECT_EQ(g.heap_offset, b.heap_offset());
  EXPECT_EQ(g.cluster_end, 1002u);
  EXPECT_EQ(g.root_cluster, 4u);
  EXPECT_EQ(g.read_end, b.image().size());
}

TEST(ExfatGeometry, UnknownLengthReadsUpToTheEndOfTheHeap) {
  ExfatBuilder b({});
  auto g = parse_exfat_boot_sector(boot_of(b), 0);
  ASSERT_TRUE(g);
  EXPECT_EQ(g->read_end, b.heap_offset() + 1000u * 4096);
}

TEST(ExfatGeometry, RefusesOtherFileSystems) {
  kavel_test::FatBuilder fat({});
  auto g = parse_exfat_boot_sector(fat.image().read(0, 512), 0);
  ASSERT_FALSE(g);
  EXPECT_EQ(g.error().kind(), OsErrorKind::InvalidData);
  EXPECT_EQ(g.error().display(), "not an exFAT volume");
}

TEST(ExfatGeometry, TooShortForABootSector) {
  kavel_test::SparseImage tiny(200);
  tiny.write_text(3, "EXFAT   ");
  kavel_test::MappedVolume volume(tiny, 'X');
  auto device = ipc::open_device_or_via_service(volume.device_path());
  ASSERT_TRUE(device);
  auto g = parse_exfat_boot(*device);
  ASSERT_FALSE(g);
  EXPECT_EQ(g.error().kind(), OsErrorKind::Other);
  EXPECT_EQ(g.error().display(), "cannot read boot sector");
}

// 4K-sector disks: one sector per cluster is a cluster shift of 0.
TEST(ExfatGeometry, ClusterShiftZeroIsOneSectorPerCluster) {
  ExfatBuilder b({.sector_shift = 12, .cluster_shift = 0, .fat_offset_sectors = 4, .cluster_count = 100});
  auto g = parse_exfat_boot_sector(boot_of(b), 0);
  ASSERT_TRUE(g) << g.error().display();
  EXPECT_EQ(g->bytes_per_sector, 4096u);
  EXPECT_EQ(g->cluster_bytes, 4096u);
  EXPECT_EQ(g->heap_offset, b.heap_offset());
}

TEST(ExfatGeometry, ShiftCandidatesAtTwelveAndThirteenComeFirst) {
  ExfatBuilder b({});
  auto sector = boot_of(b);
  sector[12] = 10;
  sector[13] = 1;
  auto g = parse_exfat_boot_sector(sector, 0);
  ASSERT_TRUE(g);
  EXPECT_EQ(g->bytes_per_sector, 1024u);
  EXPECT_EQ(g->cluster_bytes, 2048u);
}

TEST(ExfatGeometry, NoShiftsAnywhereMeansFiveTwelveByteSectorsAnd256PerCluster) {
  ExfatBuilder b({});
  auto sector = boot_of(b);
  sector[108] = 0;
  sector[109] = 0;
  auto g = parse_exfat_boot_sector(sector, 0);
  ASSERT_TRUE(g);
  EXPECT_EQ(g->bytes_per_sector, 512u);
  EXPECT_EQ(g->cluster_bytes, 128u * 1024);
}

TEST(ExfatGeometry, RefusesSectorSizesOutsideTheFormatAndClustersOver32MiB) {
  struct Case {
    std::uint8_t s12, s13, s108, s109;
    bool ok;
  };
  const Case cases[] = {
      {0, 0, 8, 3, false},   {0, 0, 13, 1, false}, {0, 0, 200, 3, false}, {0, 0, 63, 63, false},
      {40, 40, 9, 3, false}, {0, 0, 9, 17, false}, {0, 0, 12, 14, false}, {0, 0, 9, 16, true},
      {0, 0, 12, 13, true},  {0, 0, 9, 0, true},
  };
  ExfatBuilder b({});
  for (const auto& c : cases) {
    auto sector = boot_of(b);
    sector[12] = c.s12;
    sector[13] = c.s13;
    sector[108] = c.s108;
    sector[109] = c.s109;
    auto g = parse_exfat_boot_sector(sector, 0);
    ASSERT_EQ(g.has_value(), c.ok) << int(c.s108) << "/" << int(c.s109);
    if (!c.ok) {
      EXPECT_EQ(g.error().kind(), OsErrorKind::InvalidData);
      EXPECT_EQ(g.error().display(), "invalid exFAT geometry");
    }
  }
}

// mkfs.exfat's 8 MiB volume: heap at sector 4096, 1536 clusters of 4 KiB.
ExfatBuilder small_mkfs_volume() {
  return ExfatBuilder({.fat_offset_sectors = 2048, .cluster_count = 1536, .heap_offset_sectors = 4096, .root_cluster = 5});
}

TEST(ExfatGeometry, HeapOffsetAboveTheClusterCountTakesTheCountWhenItFits) {
  auto b = small_mkfs_volume();
  ASSERT_EQ(b.image().size(), 8u * 1024 * 1024);
  OpenExfatVolume v(b);
  EXPECT_EQ(v.geometry.cluster_end, 1538u);
  EXPECT_EQ(v.geometry.root_cluster, 5u);
  EXPECT_EQ(v.geometry.read_end, 8u * 1024 * 1024);
  // Unknown length: the count is taken as well.
  auto unknown = parse_exfat_boot_sector(boot_of(b), 0);
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->cluster_end, 1538u);
  EXPECT_EQ(unknown->read_end, 8u * 1024 * 1024);
}

TEST(ExfatGeometry, ClusterCountThatDoesNotFitFallsBackToTheHeapOffset) {
  auto b = small_mkfs_volume();
  const std::uint64_t short_len = 6u * 1024 * 1024;
  auto g = parse_exfat_boot_sector(boot_of(b), short_len);
  ASSERT_TRUE(g);
  EXPECT_EQ(g->cluster_end, 4096u);
  EXPECT_EQ(g->root_cluster, 1536u);
  EXPECT_EQ(g->read_end, short_len);  // never past the device
}

TEST(ExfatGeometry, NeitherCaseTakesTheLargestFields) {
  ExfatBuilder b({});
  auto sector = boot_of(b);
  sector[96] = 0xE8;  // root cluster 1000 == cluster count: not below it
  sector[97] = 0x03;
  auto g = parse_exfat_boot_sector(sector, 0);
  ASSERT_TRUE(g);
  EXPECT_EQ(g->cluster_end, 1000u);
  EXPECT_EQ(g->root_cluster, 1000u);
}

TEST(ExfatGeometry, LargestClusterCountDoesNotWrapTheEnd) {
  ExfatBuilder b({});
  auto sector = boot_of(b);
  for (int i = 92; i < 96; ++i) sector[i] = 0xFF;
  auto g = parse_exfat_boot_sector(sector, 0);
  ASSERT_TRUE(g);
  EXPECT_EQ(g->cluster_end, 0xFFFFFFFFu);
  EXPECT_EQ(g->read_end, b.heap_offset() + 0xFFFFFFFDull * 4096);
}

}  // namespace
}  // namespace kavel_lib::engine::windows::exfat_deleted
