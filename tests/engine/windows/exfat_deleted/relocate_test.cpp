#include "engine/windows/exfat_deleted/relocate.h"

#include <gtest/gtest.h>

#include "exfat_test_volume.h"
#include "support/fat_builder.h"

namespace kavel_lib::engine::windows::exfat_deleted {
namespace {

using kavel_test::ExfatBuilder;

const std::string kText = "plain text notes, line one\nline two\n";

// 512-byte clusters numbered 2 .. 99,999: cluster_end is 100,000. The root directory (cluster
// 4) and the allocation bitmap (clusters 5 .. 29) are in use; every other cluster is free and
// zero unless a test writes into it.
ExfatBuilder wide_volume(bool bitmap = true) {
  ExfatBuilder b({.sector_shift = 9, .cluster_shift = 0, .fat_offset_sectors = 24, .cluster_count = 99998});
  if (bitmap) b.add_allocation_bitmap(5);
  return b;
}

StartPosition relocate(const OpenExfatVolume& v, std::uint32_t start, std::uint32_t offset, std::uint64_t size,
                       std::string_view name) {
  const auto bitmap = AllocationBitmap::find(v.geometry, v.device, *v.fat);
  return relocate_start_cluster(v.geometry, v.device, *v.fat, bitmap ? &*bitmap : nullptr, start, offset, size, false,
                                name);
}

StartPosition relocate_with_text_at(std::initializer_list<std::uint32_t> clusters, std::uint32_t start = 1000,
                                    std::uint32_t offset = 100, std::string_view name = "notes.txt") {
  auto b = wide_volume();
  for (const auto c : clusters) b.write_cluster(c, text_bytes(kText));
  OpenExfatVolume v(b);
  EXPECT_EQ(v.geometry.cluster_end, 100000u);
  return relocate(v, start, offset, kText.size(), name);
}

TEST(Relocate, NearWindowIs744To1256AroundCluster1000) {
  EXPECT_EQ(relocate_with_text_at({744, 500}), (StartPosition{744, 0}));
  EXPECT_EQ(relocate_with_text_at({1256}), (StartPosition{1256, 0}));
  // Just outside the window: the low scan finds them, from cluster 2 upward.
  EXPECT_EQ(relocate_with_text_at({743, 1257}), (StartPosition{743, 0}));
  EXPECT_EQ(relocate_with_text_at({1257}), (StartPosition{1257, 0}));
  EXPECT_EQ(relocate_with_text_at({2047}), (StartPosition{2047, 0}));
  // Beyond both: the start stays as it was.
  EXPECT_EQ(relocate_with_text_at({2048}), (StartPosition{1000, 100}));
}

TEST(Relocate, StartWhoseDataFitsIsKept) {
  auto b = wide_volume();
  b.write_cluster(1000, text_bytes(kText));
  b.write_cluster(999, text_bytes(kText));
  OpenExfatVolume v(b);
  EXPECT_EQ(relocate(v, 1000, 0, kText.size(), "notes.txt"), (StartPosition{1000, 0}));
}

TEST(Relocate, WithoutANameAnyNonZeroDataIsKeptAndNothingElseIsSearched) {
  auto b = wide_volume();
  b.write_cluster(1000, std::vector<std::uint8_t>{0, 0, 7});
  b.write_cluster(1001, text_bytes(kText));
  OpenExfatVolume v(b);
  EXPECT_EQ(relocate(v, 1000, 0, 3, ""), (StartPosition{1000, 0}));
  // All zero: no candidate can fit an empty name.
  EXPECT_EQ(relocate(v, 1002, 0, 3, ""), (StartPosition{1002, 0}));
}

TEST(Relocate, NothingToDoForSizeZeroOrAStartBelowTwo) {
  auto b = wide_volume();
  b.write_cluster(3, text_bytes(kText));
  OpenExfatVolume v(b);
  EXPECT_EQ(relocate(v, 1000, 5, 0, "notes.txt"), (StartPosition{1000, 5}));
  EXPECT_EQ(relocate(v, 1, 5, 10, "notes.txt"), (StartPosition{1, 5}));
}

TEST(Relocate, WindowIsClippedAtTheVolumesEdges) {
  ExfatBuilder b({.cluster_count = 100});  // clusters 2 .. 101
  b.add_allocation_bitmap(2);
  b.write_cluster(101, text_bytes(kText));
  OpenExfatVolume v(b);
  // Half of min(100, 512) is 50: the window around 90 is 40 .. 101.
  EXPECT_EQ(relocate(v, 90, 0, kText.size(), "a.txt"), (StartPosition{101, 0}));
  // A start past the end has an empty window; the low scan still runs.
  EXPECT_EQ(relocate(v, 0xFFFFFFFF, 0, kText.size(), "a.txt"),
            (StartPosition{101, 0}));
}

TEST(Relocate, AStartThatHoldsDataIsNeverMoved) {
  auto b = wide_volume();
  b.write_cluster(1000, kavel_test::pattern_bytes(512, 1));  // binary where a text file should start
  b.write_cluster(1001, text_bytes(kText));
  OpenExfatVolume v(b);
  EXPECT_EQ(relocate(v, 1000, 100, kText.size(), "notes.txt"), (StartPosition{1000, 100}));
}

TEST(Relocate, ClustersTheBitmapMarksInUseAreNeverTaken) {
  auto b = wide_volume();
  b.write_cluster(900, text_bytes(kText));
  b.set_allocated(900);  // another file's text
  b.write_cluster(1100, text_bytes(kText));
  OpenExfatVolume v(b);
  EXPECT_EQ(relocate(v, 1000, 100, kText.size(), "notes.txt"), (StartPosition{1100, 0}));

  auto only_used = wide_volume();
  only_used.write_cluster(1001, text_bytes(kText));
  only_used.set_allocated(1001);
  OpenExfatVolume u(only_used);
  EXPECT_EQ(relocate(u, 1000, 100, kText.size(), "notes.txt"), (StartPosition{1000, 100}));
  EXPECT_EQ(relocate(u, 0xFFFFFFFF, 0, kText.size(), "notes.txt"), (StartPosition{0xFFFFFFFF, 0}));
}

TEST(Relocate, WithoutAnAllocationBitmapNoCandidateIsTaken) {
  auto b = wide_volume(false);
  b.write_cluster(1001, text_bytes(kText));
  OpenExfatVolume v(b);
  EXPECT_EQ(relocate(v, 1000, 100, kText.size(), "notes.txt"), (StartPosition{1000, 100}));
  EXPECT_EQ(relocate(v, 0xFFFFFFFF, 0, kText.size(), "notes.txt"), (StartPosition{0xFFFFFFFF, 0}));
}

// A zeroed heap whose FAT links every cluster to the next: each candidate's chain is long.
// Through the cached FAT only the clusters the size needs are looked up. (The largest sizes,
// whose chains run to the export's cap, are timed in bench/exfat_relocate_bench.)
TEST(Relocate, LongChainsOfAZeroedHeapAreSearchedWithoutAFind) {
  auto b = wide_volume();
  for (std::uint32_t c = 30; c < 99999; ++c) b.set_entry(c, c + 1);
  OpenExfatVolume v(b);
  ASSERT_TRUE(v.fat->cached());
  EXPECT_EQ(relocate(v, 1000, 0, 4096, "x.bin"), (StartPosition{1000, 0}));
}

}  // namespace
}  // namespace kavel_lib::engine::windows::exfat_deleted
