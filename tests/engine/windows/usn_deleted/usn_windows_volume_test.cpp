// The journal scan on ntfs.raw, a volume that Windows 10 formatted and used, mapped as E:
// through the emulated NTFS driver. Its journal holds 188 V2 records, among them the
// FILE_DELETE of shadow_2.txt (record 38, in the root), whose record a later file
// (System Volume Information\tracking.log) now occupies.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>
#include <sstream>

#include "engine/windows/usn_deleted/live_file_probe.h"
#include "engine/windows/usn_deleted/usn_record.h"
#include "engine/windows/usn_deleted/usn_scan.h"
#include "engine/windows/raw_mft/volume.h"
#include "platform/volume_paths.h"
#include "scanner/folder_scan.h"
#include "support/test_env.h"
#include "support/windows_testdata.h"

namespace kavel_lib::engine::windows {
namespace {

class UsnOnWindowsVolume : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string why;
    image_ = new std::optional<std::filesystem::path>(kavel_test::windows_ntfs_raw(&why));
    why_ = new std::string(why);
  }
  static void TearDownTestSuite() {
    delete image_;
    delete why_;
    image_ = nullptr;
    why_ = nullptr;
  }
  void SetUp() override {
    if (!*image_) GTEST_SKIP() << "ntfs.raw not available: " << *why_;
    env_.emplace("KAVEL_DRIVES", "E=" + (*image_)->string() + "@" + std::to_string(kavel_test::kWindowsNtfsVolumeOffset));
  }

  static UsnScanResult scan(std::string_view folder, const std::unordered_set<std::uint64_t>* scope = nullptr,
                            const DirNameMap* names = nullptr) {
    auto dir = directory_frn(folder);
    EXPECT_TRUE(dir) << folder;
    if (!dir) return {};
    const std::unordered_set<std::uint64_t> only_folder{dir->dir_frn};
    auto result = scan_usn_deleted(folder, dir->dir_ref, dir->dir_frn, scope ? scope : &only_folder, names, false);
    EXPECT_TRUE(result) << folder;
    return result ? std::move(*result) : UsnScanResult{};
  }

  static std::set<std::pair<std::uint64_t, std::string>> items(const UsnScanResult& r) {
    std::set<std::pair<std::uint64_t, std::string>> out;
    for (const auto& c : r.candidates) out.emplace(c.frn, c.path);
    return out;
  }

  // The directory tree under a folder read through the volume paths, as a scope would hold
  // it: every directory's record number, and its name and parent.
  static void tree(const std::string& path, std::uint64_t frn, std::unordered_set<std::uint64_t>& dirs,
                   DirNameMap& names, int depth = 0) {
    dirs.insert(frn);
    if (depth > 8) return;
    auto children = platform::volume_paths::list_directory(path);
    if (!children) return;
    for (const auto& child : *children) {
      if ((child.attributes & platform::FILE_ATTRIBUTE_DIRECTORY) == 0) continue;
      if ((child.attributes & platform::FILE_ATTRIBUTE_REPARSE_POINT) != 0) continue;
      const std::uint64_t child_frn = child.file_reference & kFrnMask;
      if (dirs.contains(child_frn)) continue;
      names[child_frn] = {child.name, frn};
      tree(path + (path.ends_with('\\') ? "" : "\\") + child.name, child_frn, dirs, names, depth + 1);
    }
  }

  static inline std::optional<std::filesystem::path>* image_ = nullptr;
  static inline std::string* why_ = nullptr;
  std::optional<kavel_test::ScopedEnv> env_;
};

TEST_F(UsnOnWindowsVolume, RootScanFindsTheDeleteOfShadow2AsRecord38) {
  const UsnScanResult r = scan("E:\\");
  ASSERT_TRUE(r.journal);
  EXPECT_EQ(r.journal->first, 0);
  EXPECT_EQ(r.journal->second, 20312);
  EXPECT_FALSE(r.read_error);
  EXPECT_FALSE(r.enum_error);
  const auto found = std::find_if(r.candidates.begin(), r.candidates.end(),
                                  [](const DeletedEntry& e) { return e.path == "E:\\shadow_2.txt"; });
  ASSERT_NE(found, r.candidates.end());
  EXPECT_EQ(found->frn, 38u);
  EXPECT_EQ(found->parent, 5u);
  EXPECT_EQ(found->size, 0u);
  EXPECT_FALSE(found->time);
  // shadow_1.txt, the earlier name of the deleted shadow_2.txt, stays listed: record 38 is in
  // use again, but with sequence number 2. The folders made as "New folder" and renamed
  // (records 50 and 64, now test_dir and test_dir_2) still exist: not listed.
  EXPECT_EQ(items(r), (std::set<std::pair<std::uint64_t, std::string>>{{38, "E:\\shadow_1.txt"},
                                                                       {38, "E:\\shadow_2.txt"}}));
  EXPECT_EQ(usn_summary_text(r), "变更日志发现2个删除记录");
  EXPECT_EQ(r.candidate_map.names_by_frn.at(38).count("shadow_2.txt"), 1u);
  EXPECT_EQ(r.candidate_map.parent_by_frn.at(38), 5u);
}

TEST_F(UsnOnWindowsVolume, NoCandidateNamesAFileThatStillExists) {
  std::unordered_set<std::uint64_t> dirs;
  DirNameMap names{{5, {"", 5}}};
  tree("E:\\", 5, dirs, names);
  ASSERT_TRUE(dirs.contains(50));
  ASSERT_TRUE(dirs.contains(64));
  const UsnScanResult r = scan("E:\\", &dirs, &names);
  // The FILE_DELETE records (SPP's snapshot-2 and metadata-2, shadow_2.txt) and the old name
  // of a file deleted since (shadow_1.txt). The journal's other names belong to files renamed
  // and still in use under their new names: tracking.log.tmp (record 38, sequence 2, now
  // tracking.log), the twelve "New Text Document.txt" of test_dir and the one of test_dir_2,
  // file_hidden.txt, and the two "New folder".
  EXPECT_EQ(items(r), (std::set<std::pair<std::uint64_t, std::string>>{
                          {38, "E:\\shadow_1.txt"},
                          {38, "E:\\shadow_2.txt"},
                          {45, "E:\\System Volume Information\\SPP\\snapshot-2"},
                          {47, "E:\\System Volume Information\\SPP\\metadata-2"},
                          {50, "E:\\System Volume Information\\SPP\\metadata-2"},
                      }));
}

// The live-file test on the records Windows left: a renamed file's record is in use with the
// journal's sequence number; a reused record has another; the Recycle Bin's own desktop.ini
// lies in $RECYCLE.BIN.
TEST_F(UsnOnWindowsVolume, LiveFileProbeReadsInUseFlagSequenceAndPlace) {
  auto volume = open_volume_by_letter('E');
  ASSERT_TRUE(volume);
  auto probe = live_file_probe_of(std::make_shared<const VolumeHandle>(std::move(*volume)));
  constexpr std::uint64_t kSeq1 = 1ull << 48;
  constexpr std::uint64_t kSeq2 = 2ull << 48;
  for (std::uint64_t frn = 52; frn <= 63; ++frn) EXPECT_TRUE(probe->live_outside_recycle_bin(frn | kSeq1)) << frn;
  EXPECT_FALSE(probe->live_outside_recycle_bin(52 | kSeq2)) << "another sequence number";
  EXPECT_TRUE(probe->live_outside_recycle_bin(50 | kSeq2)) << "test_dir";
  EXPECT_FALSE(probe->live_outside_recycle_bin(38 | kSeq1)) << "shadow_1.txt's record, now sequence 2";
  EXPECT_TRUE(probe->live_outside_recycle_bin(38 | kSeq2)) << "tracking.log";
  EXPECT_FALSE(probe->live_outside_recycle_bin(41 | kSeq1)) << "$RECYCLE.BIN\\S-1-5-21-...\\desktop.ini";
  EXPECT_FALSE(probe->live_outside_recycle_bin(40 | kSeq1)) << "the bin's SID folder lies in it too";
  EXPECT_FALSE(probe->live_outside_recycle_bin(100000 | kSeq1)) << "past the MFT's end";
}

// test_dir's journal records are all of files made as "New Text Document.txt" and renamed
// (records 52-63, one renamed twice through file_hidden.txt), every one still in use with the
// same sequence number: nothing was deleted there, nor in test_dir_2.
TEST_F(UsnOnWindowsVolume, RenamedFilesOfTestDirAreNotDeletions) {
  const UsnScanResult r = scan("E:\\test_dir");
  EXPECT_EQ(items(r), (std::set<std::pair<std::uint64_t, std::string>>{}));
  EXPECT_EQ(usn_summary_text(r), "变更日志中暂无删除记录，将继续扫描文件记录");
  // The candidate map still learns their names: the hint phase validates them.
  EXPECT_TRUE(r.candidate_map.names_by_frn.contains(52));
  EXPECT_TRUE(scan("E:\\test_dir_2").candidates.empty());
}

TEST_F(UsnOnWindowsVolume, DebugQueryCountsTheWholeJournal) {
  auto stats = debug_usn_query("E:\\test_dir");
  ASSERT_TRUE(stats);
  EXPECT_EQ(stats->dir_frn, 50u);
  EXPECT_EQ(stats->dir_ref, 0x0002000000000032u);
  EXPECT_EQ(stats->first_usn, 0);
  EXPECT_EQ(stats->next_usn, 20312);
  EXPECT_EQ(stats->parsed, 188u);
  EXPECT_EQ(stats->unpaired_v4, 0u);
  // Records of test_dir: 12 files made as "New Text Document.txt", renamed, written.
  EXPECT_EQ(stats->parent_match, 96u);
  // Every record of test_dir names a file that was renamed and still lives: none accepted.
  EXPECT_EQ(stats->accepted, 0u);
}

// The Sleuth Kit's usnjls reads $J from the image by itself: every record it lists comes out
// of our read loop over the emulated driver with the same record numbers and name.
TEST_F(UsnOnWindowsVolume, ReadLoopAgreesWithUsnjls) {
  if (auto why = kavel_test::program_missing("usnjls")) GTEST_SKIP() << *why;
  const auto listing = kavel_test::run_command("usnjls -o 2048 " + kavel_test::shell_quote((*image_)->string()));
  ASSERT_EQ(listing.status, 0);
  // "frn-seq<TAB>parent-seq<TAB>time<TAB>REASONS <TAB>name"
  std::vector<std::tuple<std::uint64_t, std::uint64_t, std::string>> expected;
  std::istringstream lines(listing.output);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> cols;
    std::istringstream fields(line);
    for (std::string col; std::getline(fields, col, '\t');) cols.push_back(col);
    ASSERT_EQ(cols.size(), 5u) << line;
    expected.emplace_back(std::stoull(cols[0]), std::stoull(cols[1]), cols[4]);
  }
  ASSERT_EQ(expected.size(), 188u);

  auto volume = open_volume_by_letter('E');
  ASSERT_TRUE(volume);
  const JournalControl control = [&](std::uint32_t code, std::span<const std::uint8_t> in, std::span<std::uint8_t> out) {
    return volume->control(code, in, out);
  };
  auto journal = query_usn_journal(control);
  ASSERT_TRUE(journal);
  std::vector<std::tuple<std::uint64_t, std::uint64_t, std::string>> ours;
  auto loop = read_journal_loop(control, *journal, journal->first_usn, [&](std::span<const std::uint8_t> records) {
    for_each_usn_record(records, [&](const ParsedUsnRecord& r, std::size_t) { ours.emplace_back(r.frn, r.parent, r.name); });
  });
  ASSERT_TRUE(loop);
  EXPECT_EQ(ours, expected);
}

TEST_F(UsnOnWindowsVolume, DirectoryFrnOfRootAndMissingFolders) {
  auto root = directory_frn("E:\\");
  ASSERT_TRUE(root);
  EXPECT_EQ(root->dir_frn, 5u);
  EXPECT_EQ(root->dir_ref, 0x0005000000000005u);
  auto missing = directory_frn("E:\\no such folder");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind(), platform::OsErrorKind::NotFound);
}

TEST_F(UsnOnWindowsVolume, TheFolderScanListsShadow2AsRecord38) {
  std::string progress;
  const ScanResult result = scanner::scan_folder_deleted("E:\\", TimeBudget{60, 0}, false,
                                                         [&](std::string_view t) { progress.append(t); },
                                                         scanner::default_folder_scan_sources());
  const auto found = std::find_if(result.entries.begin(), result.entries.end(),
                                  [](const DeletedEntry& e) { return e.path == "E:\\shadow_2.txt"; });
  ASSERT_NE(found, result.entries.end()) << progress;
  EXPECT_EQ(found->frn, 38u);
  EXPECT_EQ(found->parent, 5u);
  // Nothing of the record's current file (tracking.log, in use) is given to the deleted name:
  // no size, no time.
  EXPECT_EQ(found->size, 0u);
  EXPECT_FALSE(found->time);
  EXPECT_EQ(std::count_if(result.entries.begin(), result.entries.end(),
                          [](const DeletedEntry& e) { return e.path == "E:\\shadow_2.txt"; }),
            1);
  for (const auto& e : result.entries) {
    if (e.frn != 38) continue;
    EXPECT_FALSE(platform::volume_paths::exists(e.path)) << "record 38's current file is never listed: " << e.path;
  }
  EXPECT_TRUE(result.usn_summary.starts_with("变更日志发现")) << result.usn_summary;
}

}  // namespace
}  // namespace kavel_lib::engine::windows
