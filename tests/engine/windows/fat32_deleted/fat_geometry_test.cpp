#include "engine/windows/fat32_deleted/fat_geometry.h"

#include <gtest/gtest.h>

#include "engine/windows/fat32_deleted/fat_table.h"
#include "ipc/device_open.h"
#include "support/fat_builder.h"
#include "support/mapped_volume.h"

namespace kavel_lib::engine::windows::fat32_deleted {
namespace {

using kavel_test::FatBuilder;
using kavel_test::FatLayout;
using kavel_test::FatType;
using kavel_test::MappedVolume;
using platform::OsErrorKind;

std::expected<FatGeometry, platform::OsError> parse_image(const kavel_test::SparseImage& image) {
  MappedVolume volume(image);
  auto device = ipc::open_device_or_via_service(volume.device_path());
  if (!device) return std::unexpected(device.error());
  return parse_fat_boot(*device);
}

TEST(FatGeometry, Fat16FieldsAndDerivedOffsets) {
  FatBuilder b({.type = FatType::Fat16, .sectors_per_cluster = 4, .root_entries = 512, .cluster_count = 5000});
  auto g = parse_image(b.image());
  ASSERT_TRUE(g) << g.error().display();
  EXPECT_FALSE(g->is_fat32);
  EXPECT_EQ(g->bytes_per_sector, 512u);
  EXPECT_EQ(g->sectors_per_cluster, 4u);
  EXPECT_EQ(g->reserved_sectors, 1u);
  EXPECT_EQ(g->fat_count, 2u);
  EXPECT_EQ(g->fat_size_sectors, b.fat_size_sectors());
  EXPECT_EQ(g->fat_offset, 512u);
  EXPECT_EQ(g->data_offset, (1 + 2 * std::uint64_t{b.fat_size_sectors()}) * 512);
  EXPECT_EQ(g->cluster_bytes, 2048u);
  EXPECT_EQ(g->root_entries, 512u);
  EXPECT_EQ(g->root_cluster, 2u);
  EXPECT_EQ(g->cluster_count, 5000u);
  EXPECT_EQ(g->volume_len, b.image().size());
}

TEST(FatGeometry, Fat32TakesRootClusterAndThe32BitFatSize) {
  FatBuilder b({.type = FatType::Fat32, .sectors_per_cluster = 1, .cluster_count = 70000});
  b.image().write_u32(44, 7);
  auto g = parse_image(b.image());
  ASSERT_TRUE(g) << g.error().display();
  EXPECT_TRUE(g->is_fat32);
  EXPECT_EQ(g->fat_size_sectors, b.fat_size_sectors());
  EXPECT_EQ(g->root_cluster, 7u);
  EXPECT_EQ(g->cluster_count, 70000u);
  EXPECT_EQ(g->data_offset, b.data_start());
}

TEST(FatGeometry, Fat12IsReadAsFat16) {
  FatBuilder b({.type = FatType::Fat12, .sectors_per_cluster = 1, .root_entries = 224, .cluster_count = 2000,
                .total_in_16bit_field = true});
  auto g = parse_image(b.image());
  ASSERT_TRUE(g) << g.error().display();
  EXPECT_FALSE(g->is_fat32);
  EXPECT_EQ(g->cluster_count, 2000u);
  EXPECT_EQ(g->fat_size_sectors, b.fat_size_sectors());
  // Parsed as FAT16, it is still told apart by its cluster count (the exporter refuses it).
  EXPECT_TRUE(g->is_fat12());
}

// Volumes under 65,536 sectors hold 0 at offset 32: the total then comes from offset 19.
TEST(FatGeometry, SmallVolumeTakesTheSixteenBitTotal) {
  FatBuilder b({.type = FatType::Fat16, .sectors_per_cluster = 2, .cluster_count = 4100, .total_in_16bit_field = true});
  ASSERT_EQ(b.image().read(32, 4), std::vector<std::uint8_t>(4, 0));
  auto g = parse_image(b.image());
  ASSERT_TRUE(g) << g.error().display();
  EXPECT_EQ(g->cluster_count, 4100u);
}

TEST(FatGeometry, BothFatSizesZeroWithFat32TextIsFat32WithEmptyFatArea) {
  FatBuilder b({.type = FatType::Fat32, .sectors_per_cluster = 1, .cluster_count = 100});
  b.image().write_u32(36, 0);
  auto g = parse_image(b.image());
  ASSERT_TRUE(g) << g.error().display();
  EXPECT_TRUE(g->is_fat32);
  EXPECT_EQ(g->fat_size_sectors, 0u);
  EXPECT_EQ(g->data_offset, g->fat_offset);

  // No cache; an entry comes from the sectors at fat_offset.
  b.image().write_u32(g->fat_offset + 5 * 4, 0x1234567);
  MappedVolume volume(b.image());
  auto device = ipc::open_device_or_via_service(volume.device_path());
  ASSERT_TRUE(device);
  EXPECT_FALSE(build_fat_cache(*g, *device).has_value());
  auto entry = read_fat_entry(*g, *device, 5, std::nullopt);
  ASSERT_TRUE(entry) << entry.error().display();
  EXPECT_EQ(*entry, 0x1234567u);
}

TEST(FatGeometry, BothFatSizesZeroWithoutFat32TextIsFat16) {
  FatBuilder b({.type = FatType::Fat32, .sectors_per_cluster = 1, .cluster_count = 100});
  b.image().write_u32(36, 0);
  b.image().write_text(82, "FAT     ");
  auto g = parse_image(b.image());
  ASSERT_TRUE(g) << g.error().display();
  EXPECT_FALSE(g->is_fat32);
  EXPECT_EQ(g->root_cluster, 2u);
}

TEST(FatGeometry, RefusesNtfsAndExfatBootSectors) {
  for (const char* name : {"NTFS    ", "EXFAT   "}) {
    FatBuilder b({});
    b.image().write_text(3, name);
    auto g = parse_image(b.image());
    ASSERT_FALSE(g);
    EXPECT_EQ(g.error().kind(), OsErrorKind::InvalidData);
    EXPECT_EQ(g.error().display(), "not a FAT volume");
  }
}

TEST(FatGeometry, ZeroSectorSizeOrClusterSizeIsInvalidBpb) {
  for (const std::uint64_t offset : {11u, 13u}) {
    FatBuilder b({});
    b.image().write_u8(offset, 0);
    if (offset == 11) b.image().write_u8(12, 0);
    auto g = parse_image(b.image());
    ASSERT_FALSE(g);
    EXPECT_EQ(g.error().kind(), OsErrorKind::InvalidData);
    EXPECT_EQ(g.error().display(), "invalid FAT BPB");
  }
}

TEST(FatGeometry, SectorSizeNeedNotBeAPowerOfTwo) {
  auto sector = FatBuilder({}).image().read(0, 512);
  sector[11] = 0x08;  // 520 bytes per sector
  sector[12] = 0x02;
  auto g = parse_fat_boot_sector(sector, 0);
  ASSERT_TRUE(g) << g.error().display();
  EXPECT_EQ(g->bytes_per_sector, 520u);
  EXPECT_EQ(g->cluster_bytes, 2080u);
}

TEST(FatGeometry, VolumeNoLongerThanItsMetadataIsRefused) {
  FatBuilder b({});
  const std::uint64_t fats_end = b.fat_offset() + 2 * std::uint64_t{b.fat_size_sectors()} * 512;
  b.image().resize(fats_end);
  auto g = parse_image(b.image());
  ASSERT_FALSE(g);
  EXPECT_EQ(g.error().kind(), OsErrorKind::InvalidData);
  EXPECT_EQ(g.error().display(), "FAT layout exceeds volume size");
  b.image().resize(fats_end + 1);
  EXPECT_TRUE(parse_image(b.image()));
}

TEST(FatGeometry, UnknownLengthSkipsTheLayoutTest) {
  FatBuilder b({});
  auto g = parse_fat_boot_sector(b.image().read(0, 512), 0);
  ASSERT_TRUE(g) << g.error().display();
  EXPECT_EQ(g->volume_len, 0u);
}

TEST(FatGeometry, TooShortForABootSector) {
  kavel_test::SparseImage tiny(300);
  tiny.write_text(3, "MSWIN4.1");
  auto g = parse_image(tiny);
  ASSERT_FALSE(g);
  EXPECT_EQ(g.error().kind(), OsErrorKind::Other);
  EXPECT_EQ(g.error().display(), "cannot read boot sector");
}

TEST(FatGeometry, DataSmallerThanMetadataGivesNoClusters) {
  FatBuilder b({});
  auto sector = b.image().read(0, 512);
  sector[32] = 10;  // total 10 sectors: less than the FATs and the root directory
  sector[33] = sector[34] = sector[35] = 0;
  auto g = parse_fat_boot_sector(sector, 0);
  ASSERT_TRUE(g);
  EXPECT_EQ(g->cluster_count, 0u);
  EXPECT_FALSE(g->is_valid_cluster(2));
}

}  // namespace
}  // namespace kavel_lib::engine::windows::fat32_deleted
