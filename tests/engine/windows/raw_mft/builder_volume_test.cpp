// Records of synthetic volumes from the test builder, whose $MFT is cut into several extents,
// read raw and through the emulated driver, and compared with icat.
#include <gtest/gtest.h>

#include "engine/windows/raw_mft/record_reader.h"
#include "support/ntfs_builder.h"
#include "support/test_env.h"

namespace kavel_lib::engine::windows {
namespace {

using Bytes = std::vector<std::uint8_t>;

void oracle_fixups(Bytes& record) {
  const std::size_t usa = record[4] | (record[5] << 8);
  const std::size_t count = record[6] | (record[7] << 8);
  for (std::size_t i = 1; i < count && 512 * i <= record.size(); ++i) {
    record[512 * i - 2] = record[usa + 2 * i];
    record[512 * i - 1] = record[usa + 2 * i + 1];
  }
}

struct Built {
  kavel_test::TempDir dir;
  std::filesystem::path image;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> extents;
  std::vector<std::uint64_t> deleted;
};

void build(Built& out, kavel_test::ntfs::Options options) {
  kavel_test::ntfs::VolumeBuilder b(options);
  const auto docs = b.add_folder(b.root(), "docs");
  for (int i = 0; i < 120; ++i) {
    const bool deleted = i % 4 == 0;
    const auto n = b.add_file(docs, "file-" + std::to_string(i) + ".txt", std::string(100 + i, 'a'),
                              {.deleted = deleted});
    if (deleted) out.deleted.push_back(n);
  }
  out.image = out.dir / "volume.img";
  auto written = b.write(out.image);
  ASSERT_TRUE(written) << written.error();
  out.extents = b.mft_extents();
}

void compare_all_records(const std::filesystem::path& image, std::size_t* compared, std::size_t* beyond_first) {
  kavel_test::ScopedEnv env("KAVEL_DRIVES", "E=" + image.string());
  auto volume = open_volume_by_letter('E');
  ASSERT_TRUE(volume);
  auto data = query_ntfs_volume_data(*volume);
  ASSERT_TRUE(data) << data.error().display();
  const VolumeGeometry g = record_reader_geometry(*data);
  const auto layout = volume->mft_layout(g);
  ASSERT_TRUE(layout);
  const std::uint64_t first_run = layout->runs.at(0).length * g.bytes_per_cluster / g.record_size;
  kavel_test::TempDir tmp;
  const auto out = tmp / "mft.bin";
  ASSERT_EQ(kavel_test::run_command("icat " + kavel_test::shell_quote(image.string()) + " 0 > " +
                                    kavel_test::shell_quote(out.string()))
                .status,
            0);
  const std::string mft = kavel_test::read_file(out);
  ASSERT_EQ(mft.size() / g.record_size, layout->record_count);
  for (std::uint64_t n = 0; n < layout->record_count; ++n) {
    Bytes expected(mft.begin() + static_cast<std::ptrdiff_t>(n * g.record_size),
                   mft.begin() + static_cast<std::ptrdiff_t>((n + 1) * g.record_size));
    auto got = read_raw_mft_record(*volume, g, n);
    if (std::string(expected.begin(), expected.begin() + 4) != "FILE") {
      EXPECT_FALSE(got) << n;
      continue;
    }
    oracle_fixups(expected);
    ASSERT_TRUE(got) << n;
    EXPECT_EQ(*got, expected) << "record " << n;
    ++*compared;
    if (n >= first_run) ++*beyond_first;
    // Through get_mft_record as well: the file system for records in use, raw for free ones.
    EXPECT_EQ(get_mft_record(*data, *volume, n, g.record_size), got) << n;
  }
  // Chunks read across the extents equal the single reads.
  auto chunk = read_mft_records(*volume, g, 0, static_cast<std::uint32_t>(layout->record_count));
  ASSERT_TRUE(chunk);
  for (std::uint64_t n = 0; n < layout->record_count; ++n) {
    if (auto single = read_raw_mft_record(*volume, g, n)) {
      EXPECT_TRUE(std::equal(single->begin(), single->end(), chunk->begin() + static_cast<std::ptrdiff_t>(n * g.record_size)))
          << n;
    }
  }
}

TEST(BuilderVolume, FragmentedMftEqualsIcatRecordByRecord) {
  if (auto missing = kavel_test::program_missing("icat")) GTEST_SKIP() << *missing;
  Built v;
  build(v, {.mft_fragments = 4});
  if (HasFatalFailure()) return;
  ASSERT_GE(v.extents.size(), 2u);
  std::size_t compared = 0, beyond = 0;
  compare_all_records(v.image, &compared, &beyond);
  EXPECT_GT(compared, 120u);
  EXPECT_GT(beyond, 20u) << "records beyond the first MFT extent";
  std::cout << "builder volume: " << compared << " FILE records equal to icat, " << beyond
            << " beyond the first of " << v.extents.size() << " MFT extents\n";
}

TEST(BuilderVolume, FourKilobyteRecordsAndResidentBitmap) {
  if (auto missing = kavel_test::program_missing("icat")) GTEST_SKIP() << *missing;
  Built v;
  build(v, {.record_size = 4096, .mft_fragments = 3, .mft_bitmap_resident = true});
  if (HasFatalFailure()) return;
  std::size_t compared = 0, beyond = 0;
  compare_all_records(v.image, &compared, &beyond);
  EXPECT_GT(compared, 120u);
  EXPECT_GT(beyond, 0u);
  kavel_test::ScopedEnv env("KAVEL_DRIVES", "E=" + v.image.string());
  auto volume = open_volume_by_letter('E');
  ASSERT_TRUE(volume);
  auto bitmap = load_mft_in_use_bitmap(*volume, 4096);
  ASSERT_TRUE(bitmap);
  for (const std::uint64_t n : v.deleted) EXPECT_EQ(((*bitmap)[n / 8] >> (n % 8)) & 1, 0) << n;
}

}  // namespace
}  // namespace kavel_lib::engine::windows
