#include <numeric>

#include <gtest/gtest.h>

#include "engine/windows/exfat_deleted/exfat_chain.h"
#include "engine/windows/exfat_deleted/exfat_data.h"
#include "engine/windows/exfat_deleted/exfat_read.h"
#include "exfat_test_volume.h"
#include "support/fat_builder.h"

namespace kavel_lib::engine::windows::exfat_deleted {
namespace {

using kavel_test::ExfatBuilder;
using kavel_test::pattern_bytes;
using platform::OsErrorKind;
using Chain = std::vector<std::uint32_t>;

std::vector<std::uint8_t> cut(const std::vector<std::uint8_t>& bytes, std::size_t from, std::size_t length) {
  return {bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.begin() + static_cast<std::ptrdiff_t>(from + length)};
}

TEST(ExfatAlignedRead, ChecksInOrder) {
  ExfatBuilder b({});
  OpenExfatVolume v(b);
  const auto& g = v.geometry;
  auto empty = read_exfat_aligned(512, g.read_end, v.device, 7, 0);
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
  for (const auto& [offset, length] : {std::pair<std::uint64_t, std::uint64_t>{100, 512}, {512, 100}}) {
    auto r = read_exfat_aligned(512, g.read_end, v.device, offset, length);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), OsErrorKind::InvalidInput);
    EXPECT_EQ(r.error().display(), "unaligned exFAT read");
  }
  auto past = read_exfat_aligned(512, g.read_end, v.device, g.read_end - 512, 1024);
  ASSERT_FALSE(past);
  EXPECT_EQ(past.error().display(), "read past volume end");
  auto wrapped = read_exfat_aligned(512, g.read_end, v.device, 0xFFFFFFFFFFFFFE00ull, 1024);
  ASSERT_FALSE(wrapped);
  EXPECT_EQ(wrapped.error().display(), "read past volume end");
  // No end known: the device's own end stops the read.
  auto eof = read_exfat_aligned(512, 0, v.device, g.read_end, 512);
  ASSERT_FALSE(eof);
  EXPECT_EQ(eof.error().kind(), OsErrorKind::UnexpectedEof);
  EXPECT_EQ(eof.error().display(), "failed to fill whole buffer");
}

TEST(ExfatFatEntry, ReadsEntriesAndRefusesOnesCrossingTheirSector) {
  ExfatBuilder b({});
  b.set_entry(700, 0xDEADBEEF);
  OpenExfatVolume v(b);
  EXPECT_EQ(*read_exfat_fat_entry(v.geometry, v.device, 700), 0xDEADBEEFu);
  EXPECT_EQ(*read_exfat_fat_entry(v.geometry, v.device, 1), 0xFFFFFFFFu);
  ExfatGeometry odd = v.geometry;
  odd.fat_offset = 0;
  odd.bytes_per_sector = 6;
  odd.read_end = 0;
  auto out = read_exfat_fat_entry(odd, v.device, 1);
  ASSERT_FALSE(out);
  EXPECT_EQ(out.error().kind(), OsErrorKind::InvalidData);
  EXPECT_EQ(out.error().display(), "exFAT FAT entry out of sector");
}

// The chain through the cached FAT, checked against the same walk with every entry read from
// its sector.
Chain chain_of(const OpenExfatVolume& v, std::uint32_t start, std::size_t limit = kMaxFileClusters) {
  EXPECT_TRUE(v.fat->cached());
  auto chain = collect_fat_chain(v.geometry, *v.fat, start, limit);
  EXPECT_TRUE(chain) << chain.error().display();
  const ExfatFat sectors(v.geometry, v.device, 0);
  EXPECT_FALSE(sectors.cached());
  auto uncached = collect_fat_chain(v.geometry, sectors, start, limit);
  EXPECT_TRUE(uncached && chain && *uncached == *chain);
  return chain ? *chain : Chain{};
}

TEST(ExfatChain, EndsAsTheFormatSays) {
  ExfatBuilder b({});
  b.write_file({10, 11, 20}, {}, true);  // ends with 0xFFFFFFFF
  b.set_entry(30, 31);
  b.set_entry(31, 0xFFFFFFF7);  // bad cluster
  b.set_entry(40, 41);          // 41 is free: a zeroed chain
  b.set_entry(50, 50);          // self-link
  b.set_entry(60, 61);
  b.set_entry(61, 62);
  b.set_entry(62, 60);  // loop
  b.set_entry(70, 1);
  b.set_entry(80, 1001);  // last valid cluster
  b.set_entry(1001, 1002);  // past the end
  OpenExfatVolume v(b);
  EXPECT_EQ(chain_of(v, 10), (Chain{10, 11, 20}));
  EXPECT_EQ(chain_of(v, 30), (Chain{30, 31}));
  EXPECT_EQ(chain_of(v, 40), (Chain{40, 41}));
  EXPECT_EQ(chain_of(v, 41), (Chain{41}));
  EXPECT_EQ(chain_of(v, 50), (Chain{50}));
  EXPECT_EQ(chain_of(v, 61), (Chain{61, 62, 60}));
  EXPECT_EQ(chain_of(v, 70), (Chain{70}));
  EXPECT_EQ(chain_of(v, 80), (Chain{80, 1001}));
  for (const std::uint32_t start : {0u, 1u, 1002u, 0xFFFFFFFFu}) EXPECT_TRUE(chain_of(v, start).empty());
  EXPECT_EQ(chain_of(v, 10, 2), (Chain{10, 11}));
}

TEST(ExfatChain, LongChainStopsAtTheLimit) {
  ExfatBuilder b({.cluster_count = 6000});
  for (std::uint32_t c = 2; c < 6001; ++c) b.set_entry(c, c + 1);
  OpenExfatVolume v(b);
  const auto chain = chain_of(v, 2);
  ASSERT_EQ(chain.size(), kMaxFileClusters);
  EXPECT_EQ(chain.back(), 2u + 4095u);
}

class ExfatFileData : public ::testing::Test {
 protected:
  std::vector<std::uint8_t> read(const OpenExfatVolume& v, std::uint32_t start, std::uint32_t offset,
                                 std::uint64_t size, bool contiguous) {
    auto data = read_exfat_file_data(v.geometry, v.device, *v.fat, start, offset, size, contiguous);
    EXPECT_TRUE(data) << data.error().display();
    return data ? *data : std::vector<std::uint8_t>{};
  }
};

TEST_F(ExfatFileData, ContiguousFileIgnoresTheFat) {
  ExfatBuilder b({});
  const auto contents = pattern_bytes(4 * 4096, 1);
  b.write_file({100, 101, 102, 103}, contents, false);
  b.set_entry(100, 500);  // whatever the FAT says is not used
  OpenExfatVolume v(b);
  EXPECT_EQ(read(v, 100, 0, 3 * 4096 + 10, true), cut(contents, 0, 3 * 4096 + 10));
  EXPECT_EQ(read(v, 100, 4000, 200, true), cut(contents, 4000, 200));
}

TEST_F(ExfatFileData, ContiguousReadStopsAtTheEndOfTheClusters) {
  ExfatBuilder b({});
  const auto contents = pattern_bytes(2 * 4096, 2);
  b.write_file({1000, 1001}, contents, false);
  OpenExfatVolume v(b);
  EXPECT_EQ(read(v, 1000, 0, 10 * 4096, true), contents);
}

TEST_F(ExfatFileData, ChainedFileFollowsTheFat) {
  ExfatBuilder b({});
  const auto contents = pattern_bytes(3 * 4096 - 7, 3);
  b.write_file({200, 350, 201}, contents, true);
  OpenExfatVolume v(b);
  EXPECT_EQ(read(v, 200, 0, contents.size(), false), contents);
  EXPECT_EQ(read(v, 200, 10, 5000, false), cut(contents, 10, 5000));
}

// Deleting a chained file zeroes its FAT entries: only the first cluster can be found.
TEST_F(ExfatFileData, ZeroedChainYieldsTheFirstClusterOnly) {
  ExfatBuilder b({});
  const auto contents = pattern_bytes(3 * 4096, 4);
  b.write_file({200, 350, 201}, contents, true);
  for (const std::uint32_t c : {200u, 350u, 201u}) b.set_entry(c, 0);
  OpenExfatVolume v(b);
  EXPECT_EQ(read(v, 200, 0, contents.size(), false), cut(contents, 0, 4096));
}

TEST_F(ExfatFileData, OffsetOfAWholeClusterDiffersBetweenTheModes) {
  ExfatBuilder b({});
  const auto contents = pattern_bytes(2 * 4096, 5);
  b.write_file({300, 301}, contents, true);
  OpenExfatVolume v(b);
  EXPECT_TRUE(read(v, 300, 4096, 100, true).empty());
  EXPECT_EQ(read(v, 300, 4096, 100, false), cut(contents, 4096, 100));
}

TEST_F(ExfatFileData, ChainedStartOutsideTheRangeIsAnError) {
  ExfatBuilder b({});
  OpenExfatVolume v(b);
  for (const std::uint32_t start : {0u, 1u, 1002u}) {
    auto data = read_exfat_file_data(v.geometry, v.device, *v.fat, start, 0, 100, false);
    ASSERT_FALSE(data);
    EXPECT_EQ(data.error().kind(), OsErrorKind::InvalidInput);
    EXPECT_EQ(data.error().display(), "cluster " + std::to_string(start) + " out of range");
  }
  // A contiguous read there simply finds nothing, and size 0 reads nothing at all.
  EXPECT_TRUE(read(v, 1002, 0, 100, true).empty());
  EXPECT_TRUE(read(v, 1002, 0, 0, false).empty());
}

TEST_F(ExfatFileData, ReadIsCappedAt4096Clusters) {
  ExfatBuilder b({.cluster_count = 5000});
  OpenExfatVolume v(b);
  EXPECT_EQ(read(v, 2, 0, 30'000'000, true).size(), 4096u * 4096);
}

TEST_F(ExfatFileData, ReadIsCappedAt64MiB) {
  ExfatBuilder b({.cluster_shift = 6, .cluster_count = 2100});  // 32 KiB clusters
  b.write_cluster(2, pattern_bytes(32768, 6));
  OpenExfatVolume v(b);
  const auto data = read(v, 2, 0, 100'000'000, true);
  EXPECT_EQ(data.size(), kMaxFileBytes);
  EXPECT_EQ(cut(data, 0, 32768), pattern_bytes(32768, 6));
}

}  // namespace
}  // namespace kavel_lib::engine::windows::exfat_deleted
