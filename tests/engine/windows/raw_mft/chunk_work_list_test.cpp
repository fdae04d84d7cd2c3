// The paged scans' work list: nearest-first chunk order, cutting into worker slices, and the
// chunk counts that the in-use bitmap's length gives.
#include <gtest/gtest.h>

#include <numeric>

#include "engine/windows/raw_mft/chunk_work_list.h"
#include "engine/windows/raw_mft/record_reader.h"

namespace kavel_lib::engine::windows {
namespace {

std::vector<std::uint64_t> order_of(const ChunkWorkList& work) {
  std::vector<std::uint64_t> out;
  for (std::uint64_t p = 0; p < work.size(); ++p) out.push_back(work.first_record(p));
  return out;
}

// What a stable sort of every chunk start by chunk distance gives.
std::vector<std::uint64_t> sorted_starts(std::uint64_t n, std::uint32_t c, std::uint64_t folder) {
  std::vector<std::uint64_t> starts;
  for (std::uint64_t s = 0; s < n; s += c) starts.push_back(s);
  sort_frns_by_chunk(starts, folder, c);
  return starts;
}

TEST(PagedWorkList, FolderInTheThirdChunkComesFirstThenAlternatesBelowAndAbove) {
  const ChunkWorkList work(0x400000, 4096, 10'000);
  ASSERT_EQ(work.size(), 1024u);
  const std::vector<std::uint64_t> head = {8192, 4096, 12288, 0, 16384, 20480, 24576};
  for (std::size_t p = 0; p < head.size(); ++p) EXPECT_EQ(work.first_record(p), head[p]) << p;
  EXPECT_EQ(work.first_record(1023), 1023u * 4096);
}

TEST(PagedWorkList, MatchesAStableSortOfEveryChunkStart) {
  struct Case {
    std::uint64_t n;
    std::uint32_t c;
    std::uint64_t folder;
  };
  const Case cases[] = {{1, 1, 0},         {10, 1, 0},       {10, 1, 9},        {10, 1, 4},     {10, 1, 5},
                        {10, 3, 5},        {10, 3, 9},       {10, 3, 100},      {103118, 4096, 3116},
                        {103118, 4096, 64}, {103118, 4096, 103117}, {40, 7, 20}, {41, 7, 0},     {41, 7, 40},
                        {41, 7, 41},       {1000, 16, 333},  {1000, 16, 999},   {1000, 16, 5000}};
  for (const auto& k : cases) {
    const ChunkWorkList work(k.n, k.c, k.folder);
    EXPECT_EQ(order_of(work), sorted_starts(k.n, k.c, k.folder)) << k.n << " " << k.c << " " << k.folder;
  }
}

TEST(PagedWorkList, EveryChunkAppearsOnce) {
  const ChunkWorkList work(4097, 16, 2000);
  auto order = order_of(work);
  std::sort(order.begin(), order.end());
  std::vector<std::uint64_t> expected(order.size());
  for (std::size_t i = 0; i < expected.size(); ++i) expected[i] = i * 16;
  EXPECT_EQ(order, expected);
  EXPECT_EQ(work.size(), 257u);  // the last chunk holds one record
}

TEST(PagedWorkList, ChunkLengthsStopAtTheRecordCount) {
  const ChunkWorkList work(10'000, 4096, 0);
  EXPECT_EQ(work.records_in_chunk(0), 4096u);
  EXPECT_EQ(work.records_in_chunk(8192), 10'000u - 8192);
  EXPECT_EQ(work.records_in_chunk(10'000), 0u);
  EXPECT_EQ(work.records_in_chunk(UINT64_MAX), 0u);
}

TEST(PagedWorkList, ChunkCountsFromTheBitmapLength) {
  EXPECT_EQ(ChunkWorkList(mft_record_count_estimate(std::nullopt), 4096, 0).size(), 1024u);
  EXPECT_EQ(ChunkWorkList(mft_record_count_estimate(64), 4096, 0).size(), 1024u);
  EXPECT_EQ(ChunkWorkList(mft_record_count_estimate(262'144), 4096, 0).size(), 512u);
  EXPECT_EQ(ChunkWorkList(mft_record_count_estimate(1'000'000), 4096, 0).size(), 1954u);  // 8,000,000 records
}

TEST(PagedWorkList, HugeRecordCountsCostNoMemory) {
  const ChunkWorkList work(UINT64_MAX, 1, UINT64_MAX / 2);
  EXPECT_EQ(work.size(), UINT64_MAX);
  EXPECT_EQ(work.first_record(0), UINT64_MAX / 2);
  EXPECT_EQ(work.first_record(1), UINT64_MAX / 2 - 1);
  EXPECT_EQ(work.first_record(2), UINT64_MAX / 2 + 1);
  EXPECT_EQ(slice_work_list(UINT64_MAX, 16).size(), 16u);
}

TEST(PagedWorkSlices, ContiguousSlicesOfEqualLengthTheLastShorter) {
  const auto slices = slice_work_list(1024, 8);
  ASSERT_EQ(slices.size(), 8u);
  for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(slices[i], (ChunkSlice{i * 128, (i + 1) * 128}));

  EXPECT_EQ(slice_work_list(10, 4), (std::vector<ChunkSlice>{{0, 3}, {3, 6}, {6, 9}, {9, 10}}));
  EXPECT_EQ(slice_work_list(9, 4), (std::vector<ChunkSlice>{{0, 3}, {3, 6}, {6, 9}}));  // 3 workers suffice
}

TEST(PagedWorkSlices, FewerChunksThanThreadsGiveOneChunkPerWorker) {
  EXPECT_EQ(slice_work_list(3, 8), (std::vector<ChunkSlice>{{0, 1}, {1, 2}, {2, 3}}));
  EXPECT_TRUE(slice_work_list(0, 8).empty());
}

TEST(PagedWorkSlices, AtMostSixteenWorkersAndAtLeastOne) {
  EXPECT_EQ(slice_work_list(1024, 64).size(), 16u);
  EXPECT_EQ(slice_work_list(1024, 64).front(), (ChunkSlice{0, 64}));
  EXPECT_EQ(slice_work_list(1024, 0), (std::vector<ChunkSlice>{{0, 1024}}));
  EXPECT_EQ(slice_work_list(1024, 1), (std::vector<ChunkSlice>{{0, 1024}}));
}

}  // namespace
}  // namespace kavel_lib::engine::windows
