// tarnwick end to end on the volume that Windows 10 wrote (tests/data/windows-ntfs):
// its journal holds five FILE_DELETE records (snapshot-2 and metadata-2 twice each in
// System Volume Information\SPP, shadow_2.txt in the root), and every one of those files' MFT
// records was reused by a later file. The scan of each folder that held one finds its journal
// record, and never shows the record's new occupant under the deleted name.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>

#include "acceptance/tarnwick_report.h"
#include "support/test_env.h"
#include "support/windows_testdata.h"

namespace {

using kavel_acceptance::Report;

constexpr std::uint64_t kSectorOffset = kavel_test::kWindowsNtfsVolumeOffset / 512;

class TarnwickOnWindowsVolume : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    auto raw = kavel_test::windows_ntfs_raw(&why);
    if (!raw) GTEST_SKIP() << why;
    image_ = raw->string();
    drives_ = "E=" + image_ + "@" + std::to_string(kavel_test::kWindowsNtfsVolumeOffset);
  }

  // The names the allocated entries of each record hold now, as fls sees them.
  std::map<std::uint64_t, std::set<std::string>> current_names() const {
    std::map<std::uint64_t, std::set<std::string>> out;
    const auto fls = kavel_acceptance::fls_entries(image_, kSectorOffset);
    EXPECT_TRUE(fls);
    if (!fls) return out;
    for (const auto& e : *fls) {
      if (!e.deleted) out[e.frn].insert(kavel_acceptance::name_of(e.path));
    }
    return out;
  }

  // Every listed entry whose record now belongs to another file came from the journal alone:
  // no size, no time (those would be the occupant's).
  void expect_no_occupant(const Report& r) {
    const auto names = current_names();
    for (const auto& e : r.entries) {
      const auto it = names.find(e.frn);
      if (it == names.end()) continue;
      const std::string name = kavel_acceptance::windows_name_of(e.path);
      EXPECT_FALSE(it->second.contains(name)) << "a live file listed as deleted: " << e.path;
      EXPECT_EQ(e.size, 0u) << "the size of record " << e.frn << "'s new occupant under " << e.path;
      EXPECT_FALSE(e.time) << "the time of record " << e.frn << "'s new occupant under " << e.path;
    }
  }

  std::string image_;
  std::string drives_;
};

TEST_F(TarnwickOnWindowsVolume, SppFolderListsItsJournalDeletesWithoutTheReusedRecordsOccupants) {
  if (auto why = kavel_test::program_missing("fls")) GTEST_SKIP() << *why;
  const Report r = kavel_acceptance::run_tarnwick(drives_, "E:\\System Volume Information\\SPP");
  ASSERT_EQ(r.status, 0) << r.output;
  const std::set<std::pair<std::uint64_t, std::string>> journal_deletes{
      {45, "E:\\System Volume Information\\SPP\\snapshot-2"},
      {47, "E:\\System Volume Information\\SPP\\metadata-2"},
      {50, "E:\\System Volume Information\\SPP\\metadata-2"},
  };
  const auto listed = r.frn_paths();
  for (const auto& d : journal_deletes) EXPECT_TRUE(listed.contains(d)) << d.first << " " << d.second << "\n" << r.output;
  // snapshot-2 was deleted twice under record 45 (sequence 1 and 2): one line.
  for (const auto& [path, n] : r.path_counts()) {
    if (path.ends_with("snapshot-2")) {
      EXPECT_EQ(n, 1) << path;
    }
  }
  EXPECT_EQ(r.usn_line, "变更日志发现3个删除记录");
  expect_no_occupant(r);
  // The occupants' own names never appear.
  EXPECT_EQ(r.output.find("IndexerVolumeGuid"), std::string::npos);
  EXPECT_EQ(r.output.find("_OnDiskSnapshotProp"), std::string::npos);
}

TEST_F(TarnwickOnWindowsVolume, RootListsShadow2FromTheJournalWithoutTheReusedRecordsOccupant) {
  if (auto why = kavel_test::program_missing("fls")) GTEST_SKIP() << *why;
  const Report r = kavel_acceptance::run_tarnwick(drives_, "E:\\");
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(r.frn_paths().contains({38, "E:\\shadow_2.txt"})) << r.output;
  expect_no_occupant(r);
  EXPECT_EQ(r.output.find("E:\\System Volume Information\\tracking.log\n"), std::string::npos);
  // tracking.log.tmp was renamed to tracking.log, which record 38 holds now (sequence 2).
  EXPECT_EQ(r.output.find("tracking.log.tmp"), std::string::npos) << r.output;
}

// The twelve files made in test_dir as "New Text Document.txt" (records 52-63) were renamed
// and all still exist: the journal's old names are not deletions.
TEST_F(TarnwickOnWindowsVolume, TestDirListsNoneOfItsRenamedDocuments) {
  const Report r = kavel_acceptance::run_tarnwick(drives_, "E:\\test_dir");
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(r.output.find("New Text Document.txt"), std::string::npos) << r.output;
  EXPECT_EQ(r.total, 0u) << r.output;
}

}  // namespace
