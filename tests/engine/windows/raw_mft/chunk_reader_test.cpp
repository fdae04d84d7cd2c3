// The paged scans' chunk reader: the same bytes as read_mft_records for every chunk, across the
// MFT's run boundaries, with its one buffer reused from chunk to chunk; cut at the MFT's end.
#include <gtest/gtest.h>

#include "engine/windows/raw_mft/chunk_reader.h"
#include "engine/windows/raw_mft/record_reader.h"
#include "support/ntfs_builder.h"
#include "support/test_env.h"

namespace kavel_lib::engine::windows {
namespace {

// Every chunk of `count` records, and a few odd ones, against read_mft_records.
void expect_same_as_record_reader(const VolumeHandle& volume, const VolumeGeometry& g, std::uint32_t count) {
  const auto layout = volume.mft_layout(g);
  ASSERT_TRUE(layout);
  ChunkReader reader(volume, g);
  std::vector<std::uint64_t> starts;
  for (std::uint64_t s = 0; s < layout->record_count; s += count) starts.push_back(s);
  // Backwards, so that a short chunk follows a long one in the same buffer.
  for (auto it = starts.rbegin(); it != starts.rend(); ++it) {
    const auto got = reader.read(*it, count);
    const auto want = read_mft_records(volume, g, *it, count);
    ASSERT_TRUE(got && want) << *it;
    const std::uint64_t records = std::min<std::uint64_t>(count, layout->record_count - *it);
    ASSERT_EQ(got->size(), records * g.record_size) << *it;
    EXPECT_TRUE(std::equal(got->begin(), got->end(), want->begin())) << *it;
  }
  EXPECT_FALSE(reader.read(layout->record_count, count));
  EXPECT_FALSE(reader.read(UINT64_MAX, count));
  EXPECT_FALSE(reader.read(0, 0));
}

TEST(PagedChunkReader, BuilderVolumesWithAThreeRunMft) {
  for (const std::uint32_t record_size : {1024u, 4096u}) {
    kavel_test::ntfs::VolumeBuilder b({.record_size = record_size, .spare_records = 200, .mft_fragments = 3});
    const auto docs = b.add_folder(b.root(), "docs");
    for (int i = 0; i < 30; ++i) b.add_file(docs, "f" + std::to_string(i) + ".txt", "x", {.deleted = i % 2 == 0});
    kavel_test::TempDir dir;
    ASSERT_TRUE(b.write(dir / "v.img"));
    kavel_test::ScopedEnv env("KAVEL_DRIVES", "E=" + (dir / "v.img").string());
    auto volume = open_volume_by_letter('E');
    ASSERT_TRUE(volume);
    auto data = query_ntfs_volume_data(*volume);
    ASSERT_TRUE(data);
    const VolumeGeometry g = record_reader_geometry(*data);
    ASSERT_GE(volume->mft_layout(g)->runs.size(), 3u);
    for (const std::uint32_t count : {1u, 7u, 64u, 4096u}) expect_same_as_record_reader(*volume, g, count);
  }
}

TEST(PagedChunkReader, LargeRealVolumeWhoseMftLiesInTwoRuns) {
  if (auto m = kavel_test::real_volumes_missing()) GTEST_SKIP() << *m;
  kavel_test::ScopedEnv env("KAVEL_DRIVES", "E=" + (kavel_test::real_volumes_dir() / "ntfs-large.img").string());
  auto volume = open_volume_by_letter('E');
  ASSERT_TRUE(volume);
  auto data = query_ntfs_volume_data(*volume);
  ASSERT_TRUE(data);
  const VolumeGeometry g = record_reader_geometry(*data);
  ASSERT_EQ(volume->mft_layout(g)->runs.size(), 2u);
  expect_same_as_record_reader(*volume, g, 4096);
}

TEST(PagedChunkReader, UnusableGeometryGivesNothing) {
  if (auto m = kavel_test::real_volumes_missing()) GTEST_SKIP() << *m;
  kavel_test::ScopedEnv env("KAVEL_DRIVES", "E=" + (kavel_test::real_volumes_dir() / "ntfs-small.img").string());
  auto volume = open_volume_by_letter('E');
  ASSERT_TRUE(volume);
  auto data = query_ntfs_volume_data(*volume);
  ASSERT_TRUE(data);
  const VolumeGeometry g = record_reader_geometry(*data);
  EXPECT_FALSE(ChunkReader(*volume, VolumeGeometry{0, g.mft_start_lcn, g.record_size}).read(0, 16));
  EXPECT_FALSE(ChunkReader(*volume, VolumeGeometry{g.bytes_per_cluster, g.mft_start_lcn, 0}).read(0, 16));
  // A start cluster that holds no MFT record 0.
  EXPECT_FALSE(ChunkReader(*volume, VolumeGeometry{g.bytes_per_cluster, 1, g.record_size}).read(0, 16));
  EXPECT_TRUE(ChunkReader(*volume, g).read(0, 16));
}

}  // namespace
}  // namespace kavel_lib::engine::windows
