#include "engine/windows/exfat_deleted/allocation_bitmap.h"

#include <gtest/gtest.h>

#include "exfat_test_volume.h"

namespace kavel_lib::engine::windows::exfat_deleted {
namespace {

using kavel_test::ExfatBuilder;

// 512-byte clusters 2 .. 99,999: the bitmap takes 12,500 bytes, clusters 5 .. 29.
ExfatBuilder wide_volume() {
  ExfatBuilder b({.sector_shift = 9, .cluster_shift = 0, .fat_offset_sectors = 24, .cluster_count = 99998});
  b.add_allocation_bitmap(5);
  return b;
}

TEST(AllocationBitmap, TellsFreeClustersFromClustersInUse) {
  auto b = wide_volume();
  b.set_allocated(100);
  b.set_allocated(99999);
  OpenExfatVolume v(b);
  const auto bitmap = AllocationBitmap::find(v.geometry, v.device, *v.fat);
  ASSERT_TRUE(bitmap);
  for (const std::uint32_t used : {4u, 5u, 29u, 100u, 99999u}) {
    EXPECT_FALSE(bitmap->is_free(used)) << used;
    EXPECT_TRUE(bitmap->is_in_use(used)) << used;
  }
  for (const std::uint32_t free : {2u, 3u, 30u, 99u, 101u, 50000u, 99998u}) {
    EXPECT_TRUE(bitmap->is_free(free)) << free;
    EXPECT_FALSE(bitmap->is_in_use(free)) << free;
  }
  // Outside the heap nothing is known: neither free nor in use.
  for (const std::uint32_t outside : {0u, 1u, 100000u, 0xFFFFFFFFu}) {
    EXPECT_FALSE(bitmap->is_free(outside)) << outside;
    EXPECT_FALSE(bitmap->is_in_use(outside)) << outside;
  }
}

TEST(AllocationBitmap, ItsClustersAreFollowedThroughTheFat) {
  auto b = wide_volume();
  // The bitmap's second cluster (the bits of clusters 4098 .. 8193) moved to cluster 3000,
  // where cluster 5000 is marked in use; the old place says free.
  b.write_cluster(3000, b.image().read(b.cluster_offset(6), 512));
  b.image().write_u8(b.cluster_offset(3000) + (5000 - 2 - 4096) / 8, 1u << ((5000 - 2) % 8));
  b.set_entry(5, 3000);
  b.set_entry(3000, 7);
  OpenExfatVolume v(b);
  const auto bitmap = AllocationBitmap::find(v.geometry, v.device, *v.fat);
  ASSERT_TRUE(bitmap);
  EXPECT_FALSE(bitmap->is_free(5000));
  EXPECT_TRUE(bitmap->is_free(5001));
  // A chain that ends early leaves the bits past it unknown: neither free nor in use.
  b.set_entry(3000, 0xFFFFFFFF);
  OpenExfatVolume cut(b, 'Y');
  const auto short_bitmap = AllocationBitmap::find(cut.geometry, cut.device, *cut.fat);
  ASSERT_TRUE(short_bitmap);
  EXPECT_TRUE(short_bitmap->is_free(5001));
  EXPECT_FALSE(short_bitmap->is_free(9000));
  EXPECT_FALSE(short_bitmap->is_in_use(9000));
}

TEST(AllocationBitmap, OnlyTheFirstFatsBitmapNamedByTheRootDirectoryCounts) {
  auto b = wide_volume();
  OpenExfatVolume named(b);
  EXPECT_TRUE(AllocationBitmap::find(named.geometry, named.device, *named.fat));
  // The entry marked as the second FAT's bitmap is not taken.
  b.image().write_u8(b.cluster_offset(4) + 1, 1);
  OpenExfatVolume second(b, 'Y');
  EXPECT_FALSE(AllocationBitmap::find(second.geometry, second.device, *second.fat));
  // An end entry before it, and a volume without one.
  b.image().write_u8(b.cluster_offset(4) + 1, 0);
  b.image().write_u8(b.cluster_offset(4), 0);
  OpenExfatVolume ended(b, 'Z');
  EXPECT_FALSE(AllocationBitmap::find(ended.geometry, ended.device, *ended.fat));
  ExfatBuilder bare({});
  OpenExfatVolume none(bare, 'W');
  EXPECT_FALSE(AllocationBitmap::find(none.geometry, none.device, *none.fat));
}

}  // namespace
}  // namespace kavel_lib::engine::windows::exfat_deleted
