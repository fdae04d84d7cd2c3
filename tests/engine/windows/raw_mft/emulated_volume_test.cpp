// Record access through the emulated NTFS driver on real volumes: the control codes, the
// in-use bitmap, and the record parser's "path still exists" test.
#include <gtest/gtest.h>

#include "engine/windows/ntfs_deleted/record_entries.h"
#include "engine/windows/raw_mft/mft_record.h"
#include "engine/windows/raw_mft/ntfs_layout.h"
#include "engine/windows/raw_mft/record_fetch.h"
#include "engine/windows/raw_mft/record_reader.h"
#include "support/test_env.h"
#include "support/windows_testdata.h"

namespace kavel_lib::engine::windows {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

bool bit_set(const Bytes& bitmap, std::uint64_t n) { return n / 8 < bitmap.size() && (bitmap[n / 8] >> (n % 8)) & 1; }

class WindowsVolumeThroughDriver : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    auto raw = kavel_test::windows_ntfs_raw(&why);
    if (!raw) GTEST_SKIP() << why;
    env_.emplace("KAVEL_DRIVES", "E=" + raw->string() + "@" + std::to_string(kavel_test::kWindowsNtfsVolumeOffset));
  }
  std::optional<kavel_test::ScopedEnv> env_;
};

TEST_F(WindowsVolumeThroughDriver, FileSystemAndRawRoadsAgree) {
  auto volume = open_volume_by_letter('e');
  ASSERT_TRUE(volume);
  auto data = query_ntfs_volume_data(*volume);
  ASSERT_TRUE(data) << data.error().display();
  const VolumeGeometry g = record_reader_geometry(*data);
  EXPECT_EQ(g, (VolumeGeometry{4096, 786432, 1024}));
  auto bitmap = load_mft_in_use_bitmap(*volume, g.record_size);
  ASSERT_TRUE(bitmap);  // non-resident on this volume: read through its runs
  EXPECT_EQ(bitmap->size(), 4104u);
  std::size_t in_use = 0, free_answered_by_neighbour = 0;
  for (std::uint64_t n = 0; n < 256; ++n) {
    auto raw = read_raw_mft_record(*volume, g, n);
    auto via_fs = fsctl_get_ntfs_file_record(*volume, n, g.record_size);
    if (bit_set(*bitmap, n)) {
      ++in_use;
      ASSERT_TRUE(raw && via_fs) << n;
      EXPECT_EQ(*raw, *via_fs) << n;
      EXPECT_EQ(get_mft_record(*data, *volume, n, g.record_size), raw) << n;
    } else {
      // The driver answers a free number with a lower record in use: not this record.
      EXPECT_FALSE(via_fs) << n;
      ++free_answered_by_neighbour;
      EXPECT_EQ(get_mft_record(*data, *volume, n, g.record_size), raw) << n;
    }
  }
  EXPECT_GT(in_use, 50u);
  EXPECT_GT(free_answered_by_neighbour, 100u);
  // Record 0 through the three-request road with its full reference.
  auto mft = get_file_record_via_fsctl(*volume, 0 | (1ull << 48), g.record_size);
  ASSERT_TRUE(mft);
  EXPECT_EQ(std::string(mft->begin(), mft->begin() + 4), "FILE");
}

class SmallVolume : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto missing = kavel_test::real_volumes_missing()) GTEST_SKIP() << *missing;
    image_ = kavel_test::real_volumes_dir() / "ntfs-small.img";
    env_.emplace("KAVEL_DRIVES", "E=" + image_.string());
  }
  RecordParseArgs args(std::uint64_t root) {
    parents_ = {root};
    names_ = {{root, {"", 5}}};
    return RecordParseArgs{.letter = 'E', .folder = "E:\\docs\\2", .root_frn = root, .parent_match_frns = parents_,
                           .dir_names = names_, .hints = nullptr, .fallback_name = std::nullopt,
                           .fallback_enabled = false, .fallback_parent = 0, .absent_path_check = false,
                           .take_in_use = false, .extra_name_flag = false};
  }
  fs::path image_;
  std::optional<kavel_test::ScopedEnv> env_;
  std::unordered_set<std::uint64_t> parents_;
  DirNameMap names_;
};

// Sets the allocated size of every $FILE_NAME of the record to 0, as Windows often leaves it.
void clear_file_name_sizes(Bytes& record) {
  AttributeWalk walk(record);
  std::vector<std::size_t> at;
  while (auto a = walk.next()) {
    if (a->type != ntfs::kAttrTypeFileName || a->non_resident) continue;
    auto value = a->resident_value(record);
    if (value) at.push_back(static_cast<std::size_t>(value->data() - record.data()) + ntfs::kFileNameAllocatedSize);
  }
  for (std::size_t off : at) std::fill_n(record.begin() + static_cast<std::ptrdiff_t>(off), 8, 0);
}

TEST_F(SmallVolume, LiveFileWithZeroSizedNameIsNotReportedDeleted) {
  auto volume = open_volume_by_letter('E');
  ASSERT_TRUE(volume);
  auto data = query_ntfs_volume_data(*volume);
  ASSERT_TRUE(data);
  const VolumeGeometry g = record_reader_geometry(*data);
  // docs/2/notes-live-120.txt is record 89, in use, in docs/2 (record 65).
  auto live = get_mft_record(*data, *volume, 89, g.record_size);
  ASSERT_TRUE(live);
  ASSERT_EQ(ntfs::load_u16(*live, ntfs::kRecordFlags) & 1, 1);
  EXPECT_TRUE(parse_record_entries(*live, 89, args(65)).empty());  // sized name: live
  clear_file_name_sizes(*live);
  EXPECT_TRUE(parse_record_entries(*live, 89, args(65)).empty());  // still live: its path exists
  auto a = args(65);
  a.take_in_use = true;
  a.absent_path_check = true;
  EXPECT_TRUE(parse_record_entries(*live, 89, a).empty());
  // A deleted file of the same folder is reported.
  auto gone = get_mft_record(*data, *volume, 90, g.record_size);
  ASSERT_TRUE(gone);
  const auto entries = parse_record_entries(*gone, 90, args(65));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].path, "E:\\docs\\2\\deleted-resident-450.txt");
}

TEST_F(SmallVolume, NonResidentBitmapMatchesIcat) {
  if (auto missing = kavel_test::program_missing("icat")) GTEST_SKIP() << *missing;
  auto volume = open_volume_by_letter('E');
  ASSERT_TRUE(volume);
  auto bitmap = load_mft_in_use_bitmap(*volume, 1024);
  ASSERT_TRUE(bitmap);
  const auto icat = kavel_test::run_command("icat " + kavel_test::shell_quote(image_.string()) + " 0-176");
  ASSERT_EQ(icat.status, 0);
  EXPECT_EQ(std::string(bitmap->begin(), bitmap->end()), icat.output);
  EXPECT_FALSE(bit_set(*bitmap, 90));
  EXPECT_TRUE(bit_set(*bitmap, 89));
}

TEST_F(SmallVolume, ScanFrnListKeepsEachEntryOnceAndDropsLiveFiles) {
  const auto a = args(65);
  const auto entries = scan_frn_list('E', "E:\\docs\\2", 65, a.parent_match_frns, a.dir_names,
                                     {90, 90, 89, 78, 91, 999999}, nullptr);
  std::vector<std::string> paths;
  for (const auto& e : entries) paths.push_back(e.path);
  // 89 is live; 78 is deleted-exact-4096.bin, a name the noise filter drops.
  EXPECT_EQ(paths, (std::vector<std::string>{"E:\\docs\\2\\deleted-resident-450.txt", "E:\\docs\\2\\tiny-90.txt"}));
  EXPECT_TRUE(scan_frn_list('Q', "Q:\\x", 65, a.parent_match_frns, a.dir_names, {90}, nullptr).empty());
}

}  // namespace
}  // namespace kavel_lib::engine::windows
