// The driver's cache of MFT blocks: bytes served across block edges, the bound on what it
// holds, a neighbour that cannot be read, many threads at once, and records of a fragmented MFT
// read through it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/posix/ntfs_model/mft_cache.h"
#include "platform/posix/ntfs_model/volume.h"
#include "support/ntfs_builder.h"

namespace kavel_lib::platform::ntfs_model {
namespace {

std::vector<std::uint8_t> pattern(std::size_t n) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>((i * 7 + i / 251) & 0xFF);
  return v;
}

// A fill over bytes in memory that counts its calls and can refuse a range.
struct CountingFill {
  const std::vector<std::uint8_t>* bytes;
  std::atomic<int> calls{0};
  std::uint64_t refuse_from = UINT64_MAX;  // reads touching [refuse_from, refuse_from + 1) fail
  MftBlockCache::Fill fill() {
    return [this](std::uint64_t at, std::span<std::uint8_t> out) {
      ++calls;
      if (at <= refuse_from && refuse_from < at + out.size()) return false;
      if (at > bytes->size() || out.size() > bytes->size() - at) return false;
      std::memcpy(out.data(), bytes->data() + at, out.size());
      return true;
    };
  }
};

TEST(MftBlockCache, RangesAcrossBlockEdgesReadEachBlockOnce) {
  const auto data = pattern(10 * 4096 + 1000);  // the last block is short
  CountingFill source{&data};
  const MftBlockCache cache(4096, 1 << 20);
  std::vector<std::uint8_t> out(1024);
  // A 1024-byte range straddling the edge between blocks 2 and 3, then one inside block 3.
  ASSERT_TRUE(cache.read(data.size(), 3 * 4096 - 512, out, source.fill()));
  EXPECT_EQ(0, std::memcmp(out.data(), data.data() + 3 * 4096 - 512, out.size()));
  ASSERT_TRUE(cache.read(data.size(), 3 * 4096 + 100, out, source.fill()));
  EXPECT_EQ(0, std::memcmp(out.data(), data.data() + 3 * 4096 + 100, out.size()));
  EXPECT_EQ(source.calls.load(), 2);
  // The short last block, and a range that passes the stream's end.
  ASSERT_TRUE(cache.read(data.size(), data.size() - out.size(), out, source.fill()));
  EXPECT_EQ(0, std::memcmp(out.data(), data.data() + data.size() - out.size(), out.size()));
  EXPECT_FALSE(cache.read(data.size(), data.size() - 10, out, source.fill()));
}

TEST(MftBlockCache, HoldsNoMoreThanItsBound) {
  const auto data = pattern(64 * 4096);
  CountingFill source{&data};
  const MftBlockCache cache(4096, 4 * 4096);
  std::vector<std::uint8_t> out(1024);
  for (std::uint64_t at = 0; at + out.size() <= data.size(); at += out.size()) {
    ASSERT_TRUE(cache.read(data.size(), at, out, source.fill()));
    ASSERT_EQ(0, std::memcmp(out.data(), data.data() + at, out.size()));
    ASSERT_LE(cache.held_bytes(), 4u * 4096);
  }
  EXPECT_EQ(source.calls.load(), 64);
  // The most recent blocks are kept, the first one is gone.
  ASSERT_TRUE(cache.read(data.size(), data.size() - 1024, out, source.fill()));
  EXPECT_EQ(source.calls.load(), 64);
  ASSERT_TRUE(cache.read(data.size(), 0, out, source.fill()));
  EXPECT_EQ(source.calls.load(), 65);
}

TEST(MftBlockCache, UnreadableNeighbourDoesNotFailARange) {
  const auto data = pattern(8 * 4096);
  CountingFill source{&data};
  source.refuse_from = 2 * 4096 + 3000;  // inside block 2, outside the range asked for
  const MftBlockCache cache(4096, 1 << 20);
  std::vector<std::uint8_t> out(1024);
  ASSERT_TRUE(cache.read(data.size(), 2 * 4096, out, source.fill()));
  EXPECT_EQ(0, std::memcmp(out.data(), data.data() + 2 * 4096, out.size()));
  EXPECT_EQ(cache.held_bytes(), 0u);  // the block that failed is not kept
  out.assign(1024, 0);
  EXPECT_FALSE(cache.read(data.size(), 2 * 4096 + 2048, out, source.fill()));
}

TEST(MftBlockCache, ThreadsShareBlocks) {
  const auto data = pattern(256 * 1024);
  CountingFill source{&data};
  const MftBlockCache cache(16 * 1024, 64 * 1024);  // fewer blocks than the threads touch
  const auto fill = source.fill();
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      std::vector<std::uint8_t> out(1000);
      for (std::uint64_t i = 0; i < 400; ++i) {
        const std::uint64_t at = (i * 7919 + static_cast<std::uint64_t>(t) * 104729) % (data.size() - out.size());
        if (!cache.read(data.size(), at, out, fill) || std::memcmp(out.data(), data.data() + at, out.size()) != 0) {
          ++wrong;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_LE(cache.held_bytes(), 64u * 1024);
}

TEST(MftBlockCache, RecordsOfAFragmentedMftReadThroughBlocks) {
  kavel_test::ntfs::VolumeBuilder b({.spare_records = 300, .mft_fragments = 5});
  const auto docs = b.add_folder(b.root(), "docs");
  for (int i = 0; i < 150; ++i) b.add_file(docs, "f" + std::to_string(i), "x", {.deleted = i % 3 == 0});
  auto image = b.build();
  ASSERT_TRUE(image.has_value()) << image.error();
  ASSERT_EQ(b.mft_extents().size(), 5u);
  const MemoryReader reader(*image);
  auto volume = Volume::load(reader);
  ASSERT_TRUE(volume.has_value());
  ASSERT_NE((*volume)->mft_cache(), nullptr);
  // Each record compared with its bytes found by walking the extents by hand.
  std::vector<std::uint8_t> record;
  std::uint64_t number = 0;
  std::uint64_t formatted = 0;
  for (const auto& [lcn, clusters] : b.mft_extents()) {
    for (std::uint64_t k = 0; k < clusters * 4; ++k, ++number) {
      std::vector<std::uint8_t> expected(image->begin() + static_cast<std::ptrdiff_t>(lcn * 4096 + k * 1024),
                                         image->begin() + static_cast<std::ptrdiff_t>(lcn * 4096 + (k + 1) * 1024));
      const auto status = (*volume)->read_record(reader, number, record);
      if (!apply_update_sequence(expected, "FILE")) {
        ASSERT_EQ(status, RecordStatus::Corrupt) << number;  // a slot never written
        continue;
      }
      ++formatted;
      ASSERT_EQ(status, RecordStatus::Ok) << number;
      ASSERT_EQ(record, expected) << number;
    }
  }
  EXPECT_EQ(number, (*volume)->record_count());
  EXPECT_GT(formatted, 150u);
  EXPECT_LE((*volume)->mft_cache()->held_bytes(), MftBlockCache::kDefaultMaxBytes);
}

}  // namespace
}  // namespace kavel_lib::platform::ntfs_model
