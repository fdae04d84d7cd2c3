#include "engine/windows/fat32_deleted/fat_chain.h"

#include <numeric>

#include <gtest/gtest.h>

#include "fat_test_volume.h"

namespace kavel_lib::engine::windows::fat32_deleted {
namespace {

using kavel_test::FatBuilder;
using kavel_test::FatType;
using Chain = std::vector<std::uint32_t>;

Chain walk(const OpenFatVolume& v, std::uint32_t start, std::uint64_t size, bool cached = true) {
  const auto cache = cached ? build_fat_cache(v.geometry, v.device) : std::nullopt;
  auto chain = follow_cluster_chain(v.geometry, v.device, start, cache, size);
  EXPECT_TRUE(chain) << chain.error().display();
  return chain ? *chain : Chain{};
}

Chain range(std::uint32_t from, std::uint32_t to) {  // [from, to]
  Chain out(to - from + 1);
  std::iota(out.begin(), out.end(), from);
  return out;
}

FatBuilder small_fat(FatType type, std::uint32_t clusters = 200) {
  return FatBuilder({.type = type, .sectors_per_cluster = 1, .cluster_count = clusters});
}

class FatChainBothTypes : public ::testing::TestWithParam<FatType> {};

TEST_P(FatChainBothTypes, LiveChainEndsAtTheEndMark) {
  auto b = small_fat(GetParam());
  b.write_file({10, 11, 40, 12}, {});
  OpenFatVolume v(b);
  EXPECT_EQ(walk(v, 10, 0), (Chain{10, 11, 40, 12}));
  EXPECT_EQ(walk(v, 10, 0, false), (Chain{10, 11, 40, 12}));
  // The size does not shorten a chain.
  EXPECT_EQ(walk(v, 10, 1), (Chain{10, 11, 40, 12}));
}

TEST_P(FatChainBothTypes, StartOutsideTheValidRangeGivesAnEmptyChain) {
  auto b = small_fat(GetParam());
  OpenFatVolume v(b);
  for (const std::uint32_t start : {0u, 1u, 202u, 0xFFFFFFFFu}) EXPECT_TRUE(walk(v, start, 4096).empty()) << start;
}

TEST_P(FatChainBothTypes, LoopStopsBeforeTheRepeatAndSelfLinkAtOnce) {
  auto b = small_fat(GetParam());
  b.set_entry(20, 21);
  b.set_entry(21, 22);
  b.set_entry(22, 20);
  b.set_entry(30, 30);
  OpenFatVolume v(b);
  EXPECT_EQ(walk(v, 20, 100 * 512), (Chain{20, 21, 22}));
  EXPECT_EQ(walk(v, 21, 100 * 512), (Chain{21, 22, 20}));
  EXPECT_EQ(walk(v, 30, 100 * 512), (Chain{30}));
}

TEST_P(FatChainBothTypes, NextClusterPastTheRangeEndsTheChainAfterTheLastValidOne) {
  auto b = small_fat(GetParam());
  b.set_entry(200, 201);  // 201 is the last valid cluster
  b.set_entry(201, 202);  // 202 is not
  OpenFatVolume v(b);
  EXPECT_EQ(walk(v, 200, 0), (Chain{200, 201}));
}

TEST_P(FatChainBothTypes, ReservedEntryOneEndsWithoutLookingFurther) {
  auto b = small_fat(GetParam());
  b.set_entry(50, 1);
  OpenFatVolume v(b);
  EXPECT_EQ(walk(v, 50, 10 * 512), (Chain{50}));
}

// Deleting frees every cluster (entry 0): the file continues in the free clusters above.
TEST_P(FatChainBothTypes, DeletedContiguousFileContinuesThroughFreeClusters) {
  auto b = small_fat(GetParam());
  b.write_file(range(60, 69), {});
  b.free_clusters(range(60, 69));
  OpenFatVolume v(b);
  EXPECT_EQ(walk(v, 60, 10 * 512), range(60, 69));
  EXPECT_EQ(walk(v, 60, 9 * 512 + 1), range(60, 69));
  EXPECT_EQ(walk(v, 60, 9 * 512), range(60, 68));
  EXPECT_EQ(walk(v, 60, 10 * 512, false), range(60, 69));
  // A size that needs one cluster, or none, leaves the chain at its first cluster.
  EXPECT_EQ(walk(v, 60, 1), (Chain{60}));
  EXPECT_EQ(walk(v, 60, 0), (Chain{60}));
}

TEST_P(FatChainBothTypes, DeletedFileSkipsTheLiveClustersInItsGaps) {
  auto b = small_fat(GetParam());
  b.write_file({80, 81, 84, 85, 88}, {});
  b.write_file({82, 83}, {});  // a live file in the gaps
  b.write_file({86, 87}, {});
  b.free_clusters({80, 81, 84, 85, 88});
  OpenFatVolume v(b);
  EXPECT_EQ(walk(v, 80, 5 * 512), (Chain{80, 81, 84, 85, 88}));
}

TEST_P(FatChainBothTypes, FreeClusterSearchStopsAtTheEndOfTheValidRange) {
  auto b = small_fat(GetParam());
  b.free_clusters({198});
  OpenFatVolume v(b);
  EXPECT_EQ(walk(v, 198, 50 * 512), (Chain{198, 199, 200, 201}));
}

TEST_P(FatChainBothTypes, FreeClusterSearchSkipsClustersAlreadyListed) {
  auto b = small_fat(GetParam());
  b.set_entry(100, 96);  // 100 -> 96 -> free
  OpenFatVolume v(b);
  EXPECT_EQ(walk(v, 100, 6 * 512), (Chain{100, 96, 97, 98, 99, 101}));
}

// A chain that ends any other way is final, however short it is for the size.
TEST_P(FatChainBothTypes, ChainShorterThanTheSizeEndingOnAnEndMarkIsFinal) {
  auto b = small_fat(GetParam());
  b.write_file({120, 121}, {});
  OpenFatVolume v(b);
  EXPECT_EQ(walk(v, 120, 50 * 512), (Chain{120, 121}));
}

INSTANTIATE_TEST_SUITE_P(Types, FatChainBothTypes, ::testing::Values(FatType::Fat16, FatType::Fat32),
                         [](const auto& info) { return info.param == FatType::Fat16 ? "Fat16" : "Fat32"; });

TEST(FatChain, Fat32BadClusterMarkEndsTheChain) {
  auto b = small_fat(FatType::Fat32);
  b.set_entry(10, 11);
  b.set_entry(11, 0x0FFFFFF7);
  OpenFatVolume v(b);
  EXPECT_EQ(walk(v, 10, 40 * 512), (Chain{10, 11}));
}

TEST(FatChain, Fat16BadMarkEndsTheChainThroughTheRangeTest) {
  auto b = small_fat(FatType::Fat16);
  b.set_entry(10, 0xFFF7);
  OpenFatVolume v(b);
  EXPECT_EQ(walk(v, 10, 40 * 512), (Chain{10}));
}

TEST(FatChain, ChainIsCappedAt65536Clusters) {
  auto b = small_fat(FatType::Fat32, 70000);
  for (std::uint32_t c = 2; c < 70001; ++c) b.set_entry(c, c + 1);
  OpenFatVolume v(b);
  const auto chain = walk(v, 2, 0);
  ASSERT_EQ(chain.size(), kMaxChainClusters);
  EXPECT_EQ(chain.back(), 2u + 65535u);
  // The free-cluster search keeps to the same cap.
  auto empty = small_fat(FatType::Fat32, 70000);
  OpenFatVolume e(empty);
  EXPECT_EQ(walk(e, 3, std::uint64_t{80000} * 512).size(), kMaxChainClusters);
}

TEST(FatChain, FatOver96MiBIsReadSectorBySectorWithTheSameChain) {
  const std::uint32_t over = 96u * 1024 * 1024 / 512 + 1;
  FatBuilder big({.type = FatType::Fat32, .sectors_per_cluster = 1, .fat_count = 1, .cluster_count = 300,
                  .fat_size_sectors = over});
  FatBuilder normal({.type = FatType::Fat32, .sectors_per_cluster = 1, .fat_count = 1, .cluster_count = 300});
  for (auto* b : {&big, &normal}) {
    b->write_file({5, 6, 9, 100, 7}, {});
    b->write_file(range(200, 210), {});
    b->free_clusters(range(200, 210));
  }
  OpenFatVolume vb(big, 'B');
  OpenFatVolume vn(normal, 'N');
  ASSERT_FALSE(build_fat_cache(vb.geometry, vb.device).has_value());
  EXPECT_EQ(walk(vb, 5, 0), (Chain{5, 6, 9, 100, 7}));
  EXPECT_EQ(walk(vb, 5, 0), walk(vn, 5, 0));
  EXPECT_EQ(walk(vb, 200, 11 * 512), range(200, 210));
}

}  // namespace
}  // namespace kavel_lib::engine::windows::fat32_deleted
