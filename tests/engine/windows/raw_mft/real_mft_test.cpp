// Records read raw from volumes that Windows and ntfs-3g made, compared record by record with
// what the Sleuth Kit's icat extracts as the $MFT stream.
#include <gtest/gtest.h>

#include <filesystem>

#include "engine/windows/ntfs_deleted/index_root.h"
#include "engine/windows/ntfs_deleted/record_entries.h"
#include "engine/windows/raw_mft/data_runs.h"
#include "engine/windows/raw_mft/mft_record.h"
#include "engine/windows/raw_mft/record_reader.h"
#include "support/test_env.h"
#include "support/windows_testdata.h"

namespace kavel_lib::engine::windows {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// The MFT stream as icat extracts it.
std::optional<Bytes> icat_mft(const std::string& icat_arguments, const kavel_test::TempDir& tmp) {
  const fs::path out = tmp / "mft.bin";
  const auto r = kavel_test::run_command("icat " + icat_arguments + " 0 > " + kavel_test::shell_quote(out.string()));
  if (r.status != 0) return std::nullopt;
  const std::string text = kavel_test::read_file(out);
  return Bytes(text.begin(), text.end());
}

// The update sequence restore, written here again so that the oracle does not rest on the
// code under test.
void oracle_fixups(Bytes& record) {
  const std::size_t usa = record[4] | (record[5] << 8);
  const std::size_t count = record[6] | (record[7] << 8);
  for (std::size_t i = 1; i < count && 512 * i <= record.size(); ++i) {
    record[512 * i - 2] = record[usa + 2 * i];
    record[512 * i - 1] = record[usa + 2 * i + 1];
  }
}

VolumeGeometry geometry_from_boot_sector(const platform::Device& device) {
  Bytes boot(512);
  EXPECT_TRUE(device.read_exact_at(0, boot));
  const std::uint64_t sector = boot[0x0B] | (boot[0x0C] << 8);
  const std::uint64_t cluster = sector * boot[0x0D];
  std::uint64_t mft_lcn = 0;
  for (int i = 7; i >= 0; --i) mft_lcn = (mft_lcn << 8) | boot[0x30 + static_cast<std::size_t>(i)];
  const auto per_record = static_cast<std::int8_t>(boot[0x40]);
  const std::uint32_t record_size =
      per_record < 0 ? (1u << -per_record) : static_cast<std::uint32_t>(per_record * cluster);
  return VolumeGeometry{cluster, mft_lcn, record_size};
}

struct Comparison {
  std::size_t records = 0;    // slots compared
  std::size_t file_records = 0;
  std::size_t mismatches = 0;
};

Comparison compare_with_icat(const VolumeHandle& volume, const VolumeGeometry& g, const Bytes& mft) {
  Comparison c;
  const std::size_t n = mft.size() / g.record_size;
  for (std::size_t i = 0; i < n; ++i) {
    Bytes expected(mft.begin() + static_cast<std::ptrdiff_t>(i * g.record_size),
                   mft.begin() + static_cast<std::ptrdiff_t>((i + 1) * g.record_size));
    const bool is_record = std::equal(expected.begin(), expected.begin() + 4, "FILE") ||
                           std::equal(expected.begin(), expected.begin() + 4, "BAAD");
    auto got = read_raw_mft_record(volume, g, i);
    ++c.records;
    if (!is_record) {
      if (got) ++c.mismatches;
      continue;
    }
    ++c.file_records;
    oracle_fixups(expected);
    if (!got || *got != expected) ++c.mismatches;
  }
  return c;
}

class WindowsVolume : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto missing = kavel_test::program_missing("icat")) GTEST_SKIP() << *missing;
    std::string why;
    raw_ = kavel_test::windows_ntfs_raw(&why);
    if (!raw_) GTEST_SKIP() << why;
    env_.emplace("KAVEL_DRIVES", "E=" + raw_->string() + "@1048576");
  }
  std::optional<fs::path> raw_;
  std::optional<kavel_test::ScopedEnv> env_;
  kavel_test::TempDir tmp_;
};

TEST_F(WindowsVolume, EveryRawRecordEqualsIcat) {
  auto volume = open_volume_by_letter('E');
  ASSERT_TRUE(volume);
  const VolumeGeometry g = geometry_from_boot_sector(volume->device());
  EXPECT_EQ(g, (VolumeGeometry{4096, 786432, 1024}));
  auto mft = icat_mft("-o 2048 " + kavel_test::shell_quote(raw_->string()), tmp_);
  ASSERT_TRUE(mft);
  ASSERT_EQ(mft->size(), 262144u);
  const Comparison c = compare_with_icat(*volume, g, *mft);
  EXPECT_EQ(c.records, 256u);
  EXPECT_GT(c.file_records, 50u);
  EXPECT_EQ(c.mismatches, 0u);
  std::cout << "ntfs.raw: " << c.records << " records compared (" << c.file_records << " FILE or BAAD)\n";
  // The extracted copy in tests/data is the same stream.
  if (auto why = kavel_test::test_data_missing({"windows-ntfs/ntfs.raw.MFT.bin"})) GTEST_SKIP() << *why;
  const std::string copy = kavel_test::read_file(kavel_test::test_data_dir() / "windows-ntfs/ntfs.raw.MFT.bin");
  EXPECT_TRUE(std::equal(copy.begin(), copy.end(), mft->begin(), mft->end(),
                         [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; }));
  // A past-the-end number is absent.
  EXPECT_FALSE(read_raw_mft_record(*volume, g, 256));
}

TEST_F(WindowsVolume, ChunkReadsEqualSingleReads) {
  auto volume = open_volume_by_letter('E');
  ASSERT_TRUE(volume);
  const VolumeGeometry g = geometry_from_boot_sector(volume->device());
  auto chunk = read_mft_records(*volume, g, 0, 4096);  // covers the whole table and beyond
  ASSERT_TRUE(chunk);
  for (std::uint64_t i = 0; i < 256; ++i) {
    const Bytes slot(chunk->begin() + static_cast<std::ptrdiff_t>(i * 1024),
                     chunk->begin() + static_cast<std::ptrdiff_t>((i + 1) * 1024));
    auto single = read_raw_mft_record(*volume, g, i);
    if (single) {
      EXPECT_EQ(slot, *single) << i;
    }
  }
  EXPECT_TRUE(std::all_of(chunk->begin() + 256 * 1024, chunk->end(), [](std::uint8_t b) { return b == 0; }));
}

TEST_F(WindowsVolume, SmallDirectoryIndexRootListsItsFile) {
  auto volume = open_volume_by_letter('E');
  ASSERT_TRUE(volume);
  const VolumeGeometry g = geometry_from_boot_sector(volume->device());
  // test_dir_2 (record 64) keeps its one file in its $INDEX_ROOT; fls shows 65 file_2_1.txt.
  auto record = read_raw_mft_record(*volume, g, 64);
  ASSERT_TRUE(record);
  const auto fls = kavel_test::run_command("fls -o 2048 " + kavel_test::shell_quote(raw_->string()) + " 64");
  ASSERT_EQ(fls.status, 0);
  ASSERT_NE(fls.output.find("65-128-1:\tfile_2_1.txt"), std::string::npos);
  const auto entries = list_index_root_entries(*record, {}, 64, false);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].frn, 65u);
  EXPECT_EQ(entries[0].name, "file_2_1.txt");  // its key's parent is test_dir_2 itself
  // test_dir (record 50) keeps its files in an index allocation: the root lists none of them.
  auto big = read_raw_mft_record(*volume, g, 50);
  ASSERT_TRUE(big);
  for (const auto& e : list_index_root_entries(*big, {}, 50, false)) EXPECT_FALSE(e.name) << e.frn;
}

TEST_F(WindowsVolume, ParsingEveryRecordIsSafe) {
  if (auto why = kavel_test::test_data_missing({"windows-ntfs/ntfs.raw.MFT.bin"})) GTEST_SKIP() << *why;
  const std::string copy = kavel_test::read_file(kavel_test::test_data_dir() / "windows-ntfs/ntfs.raw.MFT.bin");
  std::unordered_set<std::uint64_t> parents{5, 50, 64};
  DirNameMap names{{5, {"", 5}}, {50, {"test_dir", 5}}, {64, {"test_dir_2", 5}}};
  std::size_t with_runs = 0;
  for (std::size_t i = 0; i + 1024 <= copy.size(); i += 1024) {
    Bytes r(copy.begin() + static_cast<std::ptrdiff_t>(i), copy.begin() + static_cast<std::ptrdiff_t>(i + 1024));
    apply_fixups(r);
    if (decode_data_runs(r)) ++with_runs;
    const RecordParseArgs args{.letter = 'E', .folder = "E:\\", .root_frn = 5, .parent_match_frns = parents,
                               .dir_names = names, .hints = nullptr, .fallback_name = std::nullopt,
                               .fallback_enabled = false, .fallback_parent = 0, .absent_path_check = false,
                               .take_in_use = true, .extra_name_flag = true};
    for (const auto& e : parse_record_entries(r, i / 1024, args)) EXPECT_EQ(e.frn, i / 1024);
  }
  EXPECT_GT(with_runs, 5u);
}

class RealVolumes : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto missing = kavel_test::real_volumes_missing()) GTEST_SKIP() << *missing;
    if (auto missing = kavel_test::program_missing("icat")) GTEST_SKIP() << *missing;
  }
  kavel_test::TempDir tmp_;
};

TEST_F(RealVolumes, FragmentedMftOfNtfsLargeEqualsIcat) {
  const fs::path image = kavel_test::real_volumes_dir() / "ntfs-large.img";
  kavel_test::ScopedEnv env("KAVEL_DRIVES", "E=" + image.string());
  auto volume = open_volume_by_letter('E');
  ASSERT_TRUE(volume);
  const VolumeGeometry g = geometry_from_boot_sector(volume->device());
  auto layout = volume->mft_layout(g);
  ASSERT_TRUE(layout);
  ASSERT_GE(layout->runs.size(), 2u) << "the $MFT of ntfs-large.img should be in more than one run";
  const std::uint64_t first_run_records = layout->runs[0].length * g.bytes_per_cluster / g.record_size;
  auto mft = icat_mft(kavel_test::shell_quote(image.string()), tmp_);
  ASSERT_TRUE(mft);
  const Comparison c = compare_with_icat(*volume, g, *mft);
  EXPECT_EQ(c.records, layout->record_count);
  EXPECT_GT(c.records, first_run_records);
  EXPECT_EQ(c.mismatches, 0u);
  // Chunks across the run boundary equal single reads.
  auto chunk = read_mft_records(*volume, g, first_run_records - 2, 4);
  ASSERT_TRUE(chunk);
  for (std::uint64_t i = 0; i < 4; ++i) {
    auto single = read_raw_mft_record(*volume, g, first_run_records - 2 + i);
    if (single) {
      EXPECT_TRUE(std::equal(single->begin(), single->end(), chunk->begin() + static_cast<std::ptrdiff_t>(i * 1024)));
    }
  }
  std::cout << "ntfs-large.img: " << c.records << " records compared (" << c.file_records << " FILE), first run "
            << first_run_records << " records, " << layout->runs.size() << " runs\n";
}

TEST_F(RealVolumes, NtfsSmallEqualsIcat) {
  const fs::path image = kavel_test::real_volumes_dir() / "ntfs-small.img";
  kavel_test::ScopedEnv env("KAVEL_DRIVES", "E=" + image.string());
  auto volume = open_volume_by_letter('E');
  ASSERT_TRUE(volume);
  const VolumeGeometry g = geometry_from_boot_sector(volume->device());
  auto mft = icat_mft(kavel_test::shell_quote(image.string()), tmp_);
  ASSERT_TRUE(mft);
  const Comparison c = compare_with_icat(*volume, g, *mft);
  EXPECT_GT(c.file_records, 20u);
  EXPECT_EQ(c.mismatches, 0u);
}

}  // namespace
}  // namespace kavel_lib::engine::windows
