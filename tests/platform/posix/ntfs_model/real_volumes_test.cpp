// The emulated driver on volumes that ntfs-3g wrote (scripts/make-real-volumes.sh):
// every path of the manifest, every deleted record, and the deleted names of docs/2 that
// still stand in freed index blocks.
#include <map>
#include <set>

#include <gtest/gtest.h>

#include "ntfs_test_util.h"
#include "platform/volume_paths.h"
#include "support/manifest_scope.h"
#include "support/test_env.h"

namespace kavel_lib::platform {
namespace {

using namespace ntfs_test;

struct ManifestEntry {
  std::string path;
  bool directory = false;
  std::uint64_t record = 0;
  bool deleted = false;
  std::string note;
};

std::vector<ManifestEntry> read_manifest(const std::filesystem::path& file) {
  std::vector<ManifestEntry> out;
  for (const auto& row : kavel_test::read_manifest(file).value_or(std::vector<kavel_test::ManifestRow>{})) {
    out.push_back({row.path, row.directory, row.inode.value_or(0), row.deleted, row.note});
  }
  return out;
}

std::string windows_path(const std::string& relative) {
  std::string p = "E:\\" + relative;
  for (auto& c : p) {
    if (c == '/') c = '\\';
  }
  return p;
}

class RealNtfs : public ::testing::TestWithParam<std::pair<const char*, const char*>> {
 protected:
  void SetUp() override {
    if (auto why = kavel_test::real_volumes_missing()) GTEST_SKIP() << *why;
    image_ = kavel_test::real_volumes_dir() / GetParam().first;
    manifest_ = read_manifest(kavel_test::real_volumes_dir() / GetParam().second);
    ASSERT_FALSE(manifest_.empty());
    env_.emplace("KAVEL_DRIVES", "E=" + image_.string());
    auto d = Device::open("\\\\.\\E:");
    ASSERT_TRUE(d.has_value());
    device_ = std::move(*d);
  }

  // The whole $MFT through the Sleuth Kit (which follows its runs), update sequences undone.
  std::vector<std::vector<std::uint8_t>> records(std::uint32_t record_size) const {
    const auto r = kavel_test::run_command("icat " + kavel_test::shell_quote(image_.string()) + " 0");
    std::vector<std::vector<std::uint8_t>> out;
    for (std::size_t o = 0; o + record_size <= r.output.size(); o += record_size) {
      out.emplace_back(r.output.begin() + static_cast<std::ptrdiff_t>(o),
                       r.output.begin() + static_cast<std::ptrdiff_t>(o + record_size));
      if (std::memcmp(out.back().data(), "FILE", 4) == 0) undo_fixups(out.back());
    }
    return out;
  }

  std::filesystem::path image_;
  std::vector<ManifestEntry> manifest_;
  std::optional<kavel_test::ScopedEnv> env_;
  Device device_;
};

TEST_P(RealNtfs, EveryLivePathResolvesToItsRecordAndNoDeletedOneDoes) {
  std::set<std::string> live_paths;
  for (const auto& e : manifest_) {
    if (!e.deleted) live_paths.insert(e.path);
  }
  for (const auto& e : manifest_) {
    const std::string path = windows_path(e.path);
    if (e.deleted) {
      if (!live_paths.count(e.path)) {
        EXPECT_FALSE(volume_paths::exists(path)) << path;
      }
      continue;
    }
    const auto id = volume_paths::file_id(path);
    ASSERT_TRUE(id.has_value()) << path << ": " << id.error().display();
    EXPECT_EQ(le64(id->file_id, 0) & 0xFFFFFFFFFFFF, e.record) << path;
    if (e.directory) {
      EXPECT_TRUE(volume_paths::is_directory(path)) << path;
    }
  }
}

TEST_P(RealNtfs, DeletedRecordsAreFreeOnDiskAndAnsweredByTheirNearestInUseNeighbour) {
  if (auto m = kavel_test::program_missing("icat")) GTEST_SKIP() << *m;
  const auto vd = control(device_, ctl::FSCTL_GET_NTFS_VOLUME_DATA, {}, 96);
  ASSERT_EQ(vd.error, 0u);
  const std::uint32_t record_size = le32(vd.out, 48);
  const auto mft = records(record_size);
  ASSERT_FALSE(mft.empty());
  auto in_use = [&](std::uint64_t n) {
    return n < mft.size() && std::memcmp(mft[n].data(), "FILE", 4) == 0 && (le16(mft[n], 0x16) & 1) != 0;
  };
  std::set<std::uint64_t> live_records;
  for (const auto& e : manifest_) {
    if (!e.deleted) live_records.insert(e.record);
  }
  int checked = 0;
  for (const auto& e : manifest_) {
    if (!e.deleted || live_records.count(e.record) || e.record >= mft.size()) continue;
    ASSERT_FALSE(in_use(e.record)) << e.path;
    std::uint64_t nearest = e.record;
    while (!in_use(nearest)) --nearest;
    const auto c = control(device_, ctl::FSCTL_GET_NTFS_FILE_RECORD, file_record_input(e.record), 12 + record_size);
    ASSERT_EQ(c.error, 0u);
    ASSERT_EQ(le64(c.out, 0) & 0xFFFFFFFFFFFF, nearest) << e.path;
    EXPECT_EQ(le64(c.out, 0) >> 48, le16(mft[nearest], 0x10));
    EXPECT_EQ(0, std::memcmp(c.out.data() + 12, mft[nearest].data(), record_size)) << e.path;
    ++checked;
  }
  EXPECT_GT(checked, 10);
}

INSTANTIATE_TEST_SUITE_P(Volumes, RealNtfs,
                         ::testing::Values(std::pair{"ntfs-small.img", "manifest-ntfs.tsv"},
                                           std::pair{"ntfs-large.img", "manifest-ntfs-large.tsv"}),
                         [](const auto& info) { return std::string(info.param.first).find("large") != std::string::npos
                                                           ? std::string("large")
                                                           : std::string("small"); });

TEST(RealNtfsLarge, DeletedNamesInFreedIndexBlocksAreNotListed) {
  if (auto why = kavel_test::real_volumes_missing()) GTEST_SKIP() << *why;
  if (auto m = kavel_test::program_missing("icat")) GTEST_SKIP() << *m;
  const auto image = kavel_test::real_volumes_dir() / "ntfs-large.img";
  const auto manifest = read_manifest(kavel_test::real_volumes_dir() / "manifest-ntfs-large.tsv");
  kavel_test::ScopedEnv env("KAVEL_DRIVES", "E=" + image.string());

  std::set<std::string> live, deleted;
  std::uint64_t folder = 0;
  for (const auto& e : manifest) {
    if (e.path == "docs/2") folder = e.record;
    if (e.path.rfind("docs/2/", 0) != 0 || e.path.find('/', 7) != std::string::npos) continue;
    (e.deleted ? deleted : live).insert(e.path.substr(7));
  }
  ASSERT_EQ(deleted.size(), 500u);
  const auto children = volume_paths::list_directory("E:\\docs\\2");
  ASSERT_TRUE(children.has_value()) << children.error().display();
  std::set<std::string> listed;
  for (const auto& c : *children) listed.insert(c.name);
  EXPECT_EQ(listed, live);
  EXPECT_EQ(children->size(), live.size());

  // Some deleted names still stand in the folder's index blocks, in blocks now free.
  const auto allocation =
      kavel_test::run_command("icat " + kavel_test::shell_quote(image.string()) + " " + std::to_string(folder) + "-160").output;
  int standing = 0;
  for (const auto& name : deleted) {
    std::string utf16;
    for (char c : name) {
      utf16 += c;
      utf16 += '\0';
    }
    if (allocation.find(utf16) != std::string::npos) ++standing;
  }
  EXPECT_GT(standing, 0);
}

}  // namespace
}  // namespace kavel_lib::platform
