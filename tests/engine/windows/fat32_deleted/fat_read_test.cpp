#include <gtest/gtest.h>

#include "engine/windows/fat32_deleted/fat_table.h"
#include "fat_test_volume.h"
#include "engine/windows/fat32_deleted/fat_volume.h"

namespace kavel_lib::engine::windows::fat32_deleted {
namespace {

using kavel_test::FatBuilder;
using kavel_test::FatType;
using platform::OsErrorKind;

TEST(FatVolumeRead, AlignmentAndEndChecksInOrder) {
  FatBuilder b({});
  OpenFatVolume v(b);
  auto empty = read_volume_aligned(v.geometry, v.device, 3, 0);
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());

  auto unaligned_offset = read_volume_aligned(v.geometry, v.device, 100, 7);
  ASSERT_FALSE(unaligned_offset);
  EXPECT_EQ(unaligned_offset.error().kind(), OsErrorKind::InvalidInput);
  EXPECT_EQ(unaligned_offset.error().display(), "unaligned volume offset");

  auto unaligned_length = read_volume_aligned(v.geometry, v.device, 512, 100);
  ASSERT_FALSE(unaligned_length);
  EXPECT_EQ(unaligned_length.error().display(), "unaligned read length");

  const std::uint64_t len = v.geometry.volume_len;
  EXPECT_TRUE(read_volume_aligned(v.geometry, v.device, len - 512, 512));
  auto past = read_volume_aligned(v.geometry, v.device, len - 512, 1024);
  ASSERT_FALSE(past);
  EXPECT_EQ(past.error().kind(), OsErrorKind::InvalidInput);
  EXPECT_EQ(past.error().display(), "read past volume end");
  // The end sum saturates instead of wrapping round.
  auto wrapped = read_volume_aligned(v.geometry, v.device, 0xFFFFFFFFFFFFFE00ull, 1024);
  ASSERT_FALSE(wrapped);
  EXPECT_EQ(wrapped.error().display(), "read past volume end");

  FatGeometry zero = v.geometry;
  zero.bytes_per_sector = 0;
  auto no_sector = read_volume_aligned(zero, v.device, 0, 512);
  ASSERT_FALSE(no_sector);
  EXPECT_EQ(no_sector.error().kind(), OsErrorKind::InvalidData);
  EXPECT_EQ(no_sector.error().display(), "invalid sector size");
}

TEST(FatVolumeRead, UnknownLengthLeavesTheEndToTheSystem) {
  FatBuilder b({});
  OpenFatVolume v(b);
  FatGeometry unknown = v.geometry;
  unknown.volume_len = 0;
  auto past = read_volume_aligned(unknown, v.device, v.geometry.volume_len, 512);
  ASSERT_FALSE(past);
  EXPECT_EQ(past.error().kind(), OsErrorKind::UnexpectedEof);
  EXPECT_EQ(past.error().display(), "failed to fill whole buffer");
}

TEST(FatVolumeRead, LastValidClusterIsReadAndTheNextIsOutOfRange) {
  FatBuilder b({.type = FatType::Fat16, .sectors_per_cluster = 2, .cluster_count = 300});
  const auto last = kavel_test::pattern_bytes(b.cluster_bytes(), 9);
  b.write_cluster(301, last);
  const auto first = kavel_test::pattern_bytes(b.cluster_bytes(), 8);
  b.write_cluster(2, first);
  OpenFatVolume v(b);
  auto data = read_fat_cluster(v.geometry, v.device, 301);
  ASSERT_TRUE(data) << data.error().display();
  EXPECT_EQ(*data, last);
  // FAT16 data clusters start after the root-directory area.
  EXPECT_EQ(*read_fat_cluster(v.geometry, v.device, 2), first);
  for (const std::uint32_t c : {0u, 1u, 302u, 0xFFFFFFFFu}) {
    auto out = read_fat_cluster(v.geometry, v.device, c);
    ASSERT_FALSE(out);
    EXPECT_EQ(out.error().kind(), OsErrorKind::InvalidInput);
    EXPECT_EQ(out.error().display(), "cluster " + std::to_string(c) + " out of range");
  }
}

TEST(FatTable, CachedAndSectorReadsAgree) {
  for (const auto type : {FatType::Fat16, FatType::Fat32}) {
    FatBuilder b({.type = type, .sectors_per_cluster = 1, .cluster_count = 3000});
    for (std::uint32_t c = 3; c < 3000; c += 7) b.set_entry(c, c * 3 + 1);
    b.set_entry(2999, 0xFFFFFFFF);  // the top four bits of FAT32 entries are not part of them
    OpenFatVolume v(b);
    const auto cache = build_fat_cache(v.geometry, v.device);
    ASSERT_TRUE(cache.has_value());
    EXPECT_EQ(cache->entry_size, type == FatType::Fat32 ? 4u : 2u);
    FatSectorMemo memo;
    for (std::uint32_t c = 0; c < 3002; ++c) {
      auto cached = read_fat_entry(v.geometry, v.device, c, cache);
      auto direct = read_fat_entry(v.geometry, v.device, c, std::nullopt);
      auto remembered = read_fat_entry(v.geometry, v.device, (c * 37) % 3002, std::nullopt, memo);
      ASSERT_TRUE(cached && direct && remembered);
      ASSERT_EQ(*cached, *direct) << c;
      ASSERT_EQ(*remembered, b.entry((c * 37) % 3002)) << c;
      ASSERT_EQ(*cached, b.entry(c)) << c;
    }
    EXPECT_EQ(*read_fat_entry(v.geometry, v.device, 2999, cache), type == FatType::Fat32 ? 0x0FFFFFFFu : 0xFFFFu);
  }
}

TEST(FatTable, EntryBeyondTheCacheIsReadFromItsSector) {
  FatBuilder b({.type = FatType::Fat16, .sectors_per_cluster = 1, .cluster_count = 100});
  OpenFatVolume v(b);
  FatCache small{std::vector<std::uint8_t>(8, 0xAB), 2, false};
  EXPECT_EQ(*read_fat_entry(v.geometry, v.device, 3, small), 0xABABu);
  EXPECT_EQ(*read_fat_entry(v.geometry, v.device, 4, small), b.entry(4));
}

TEST(FatTable, EntryCrossingItsSectorEnd) {
  FatBuilder b({});
  OpenFatVolume v(b);
  FatGeometry odd = v.geometry;
  odd.volume_len = 0;
  odd.fat_offset = 0;
  odd.bytes_per_sector = 3;  // FAT16 entry of cluster 1 starts at byte 2 of sector 0
  auto fat16 = read_fat_entry(odd, v.device, 1, std::nullopt);
  ASSERT_FALSE(fat16);
  EXPECT_EQ(fat16.error().kind(), OsErrorKind::InvalidData);
  EXPECT_EQ(fat16.error().display(), "FAT16 entry out of sector");
  odd.is_fat32 = true;
  odd.bytes_per_sector = 6;  // FAT32 entry of cluster 1 starts at byte 4
  auto fat32 = read_fat_entry(odd, v.device, 1, std::nullopt);
  ASSERT_FALSE(fat32);
  EXPECT_EQ(fat32.error().display(), "FAT32 entry out of sector");
}

TEST(FatTable, FatOfExactly96MiBIsCachedAndOneSectorMoreIsNot) {
  const std::uint32_t sectors = 96u * 1024 * 1024 / 512;
  for (const std::uint32_t fat_sectors : {sectors, sectors + 1}) {
    FatBuilder b({.type = FatType::Fat32, .sectors_per_cluster = 1, .fat_count = 1, .cluster_count = 500,
                  .fat_size_sectors = fat_sectors});
    OpenFatVolume v(b);
    const auto cache = build_fat_cache(v.geometry, v.device);
    EXPECT_EQ(cache.has_value(), fat_sectors == sectors);
  }
}

TEST(FatTable, UnreadableFatGivesNoCache) {
  FatBuilder b({.type = FatType::Fat16, .sectors_per_cluster = 1, .cluster_count = 100});
  OpenFatVolume v(b);
  FatGeometry beyond = v.geometry;
  beyond.fat_offset = v.geometry.volume_len;
  EXPECT_FALSE(build_fat_cache(beyond, v.device).has_value());
  FatGeometry huge = v.geometry;
  huge.fat_size_sectors = 0xFFFFFFFFFFFFFFFFull;  // the byte count would overflow
  EXPECT_FALSE(build_fat_cache(huge, v.device).has_value());
}

}  // namespace
}  // namespace kavel_lib::engine::windows::fat32_deleted
