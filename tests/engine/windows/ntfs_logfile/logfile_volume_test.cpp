// Phases 4 and 5 against whole volumes: the $LogFile stream of a real ntfs-3g volume and of
// the Windows-made ntfs.raw, candidates turned into entries on ntfs-small (the record they
// name, or the log's own name), and the deferred re-read finding the deleted files of a
// folder. Skips when the real volumes or ntfs.raw are not at hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "engine/windows/ntfs_deleted/candidate_collector.h"
#include "engine/windows/ntfs_logfile/logfile_scan.h"
#include "engine/windows/ntfs_logfile/mft_retry.h"
#include "engine/windows/usn_deleted/name_filter.h"
#include "support/manifest_scope.h"
#include "support/mapped_volume.h"
#include "support/test_env.h"
#include "support/windows_testdata.h"

namespace kavel_lib::engine::windows {
namespace {

namespace fs = std::filesystem;

// ntfs-small.img mapped as E:, with the open volume and its volume data.
class NtfsSmall : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto missing = kavel_test::real_volumes_missing()) GTEST_SKIP() << *missing;
    const fs::path image = kavel_test::real_volumes_dir() / "ntfs-small.img";
    if (!fs::exists(image)) GTEST_SKIP() << "missing " << image;
    mapped_ = std::make_unique<kavel_test::MappedVolume>(image, 'E');
    auto v = open_volume_by_letter('E');
    ASSERT_TRUE(v) << v.error().display();
    volume_ = std::make_unique<VolumeHandle>(std::move(*v));
    auto d = query_ntfs_volume_data(*volume_);
    ASSERT_TRUE(d) << d.error().display();
    data_ = *d;
  }

  // The scope of E:\docs\2 (record 65) as the scope builder makes it: the folder, sub (66),
  // the deleted gone (67) and gone\deeper (68).
  static DirectoryScope docs2_scope() {
    DirectoryScope s;
    s.path = "E:\\docs\\2";
    s.dir_frn = 65;
    s.dir_ref = (std::uint64_t{1} << 48) | 65;
    s.dir_frns = {65, 66, 67, 68};
    s.parent_match_frns = {65, 66, 67, 68, s.dir_ref};
    s.dir_names = {{65, {"", 5}}, {66, {"sub", 65}}, {67, {"gone", 65}}, {68, {"deeper", 67}}};
    s.deleted_dir_frns = {67, 68};
    return s;
  }

  // Deleted files under docs/2 in the manifest whose names are no noise to the collector
  // (".bin" files are): (record number, E:\ path).
  static std::set<std::pair<std::uint64_t, std::string>> manifest_deleted_under_docs2() {
    std::set<std::pair<std::uint64_t, std::string>> out;
    const auto rows = kavel_test::read_manifest(kavel_test::real_volumes_dir() / "manifest-ntfs.tsv");
    if (!rows) return out;
    for (const auto& row : *rows) {
      if (row.type != "f" || !row.deleted || !row.inode || !row.path.starts_with("docs/2/")) continue;
      if (!is_plausible_file_name(row.path.substr(row.path.rfind('/') + 1), false)) continue;
      std::string path = "E:\\" + row.path;
      std::replace(path.begin(), path.end(), '/', '\\');
      out.emplace(*row.inode, path);
    }
    return out;
  }

  std::unique_ptr<kavel_test::MappedVolume> mapped_;
  std::unique_ptr<VolumeHandle> volume_;
  NtfsVolumeData data_;
};

// ---- the stream --------------------------------------------------------------------------------

TEST_F(NtfsSmall, LogOfTwoMebibytesIsReadWholeAndHoldsNothingToFind) {
  auto stream = read_logfile_stream('E');
  ASSERT_TRUE(stream) << stream.error().display();
  EXPECT_EQ(stream->size(), 2u << 20);  // ntfs-3g's log: unused 0xFF pages only
  EXPECT_TRUE(std::all_of(stream->begin(), stream->end(), [](std::uint8_t b) { return b == 0xFF; }));
  auto [found, counters] = scan_logfile_pages(*stream, log_scan_volume(data_, *volume_), {65}, nullptr);
  EXPECT_TRUE(found.empty());
  EXPECT_EQ(counters, LogScanCounters{});
}

TEST_F(NtfsSmall, ScanVolumeGivesGeometryAndRecordCount) {
  const LogScanVolume v = log_scan_volume(data_, *volume_);
  EXPECT_EQ(v.bytes_per_cluster, 4096u);
  EXPECT_EQ(v.record_size, 1024u);
  EXPECT_EQ(v.record_count, 101u);  // $MFT data of 103,424 bytes
}

TEST(LogfileStream, UnmappedLetterPassesTheOpenErrorOn) {
  kavel_test::ScopedEnv env("KAVEL_DRIVES", "");
  auto stream = read_logfile_stream('Q');
  ASSERT_FALSE(stream);
  auto direct = open_volume_by_letter('Q');
  ASSERT_FALSE(direct);
  EXPECT_EQ(stream.error(), direct.error());
}

TEST(LogfileStream, SixtyFourMebibyteLogYieldsItsLastEight) {
  std::string why;
  auto raw = kavel_test::windows_ntfs_raw(&why);
  if (!raw) GTEST_SKIP() << why;
  if (auto missing = kavel_test::program_missing("gzip")) GTEST_SKIP() << *missing;
  if (auto missing = kavel_test::test_data_missing({"windows-ntfs/ntfs.raw.LogFile.bin.gz"})) GTEST_SKIP() << *missing;
  kavel_test::TempDir dir;
  const auto gz = kavel_test::test_data_dir() / "windows-ntfs" / "ntfs.raw.LogFile.bin.gz";
  ASSERT_EQ(kavel_test::run_command("gzip -dc " + kavel_test::shell_quote(gz.string()) + " > " +
                                    kavel_test::shell_quote((dir / "log").string()))
                .status,
            0);
  const std::string whole = kavel_test::read_file(dir / "log");
  ASSERT_EQ(whole.size(), 64u << 20);

  kavel_test::ScopedEnv env("KAVEL_DRIVES", "E=" + raw->string() + "@1048576");
  auto stream = read_logfile_stream('E');
  ASSERT_TRUE(stream) << stream.error().display();
  ASSERT_EQ(stream->size(), 8u << 20);
  EXPECT_TRUE(std::equal(stream->begin(), stream->end(), whole.end() - (8 << 20),
                         [](std::uint8_t a, char b) { return a == static_cast<std::uint8_t>(b); }));
}

// ---- candidates to entries ---------------------------------------------------------------------

struct Collected {
  CollectorState state;
  std::uint32_t from_log = 0;
};

void to_entries(const DirectoryScope& scope, const LogCandidate& c, const NtfsVolumeData& data,
                const VolumeHandle& volume, Collected& out, const UsnCandidateMap* hints = nullptr) {
  logfile_candidates_to_entries(scope, c, data, volume, hints, out.state.entries, out.state.dedup_texts,
                                out.state.found_frns, out.from_log);
}

TEST_F(NtfsSmall, RecordOnlyCandidateGivesTheDeletedRecordsEntry) {
  Collected out;
  to_entries(docs2_scope(), LogCandidate{0, 0, std::nullopt, 90}, data_, *volume_, out);
  ASSERT_EQ(out.state.entries.size(), 1u);
  EXPECT_EQ(out.state.entries[0].path, "E:\\docs\\2\\deleted-resident-450.txt");
  EXPECT_EQ(out.state.entries[0].frn, 90u);
  EXPECT_EQ(out.state.entries[0].parent, 65u);
  EXPECT_TRUE(out.state.entries[0].time.has_value());  // from the record's $FILE_NAME
  EXPECT_EQ(out.from_log, 0u);
  EXPECT_TRUE(out.state.found_frns.contains(90));
}

TEST_F(NtfsSmall, RecordThatGivesNothingLeavesTheLogsOwnNameAndParent) {
  // Record 99 is a live photo elsewhere: its record gives nothing for docs\2.
  Collected out;
  const LogCandidate c{1, 65, "ghost.txt", 99};
  to_entries(docs2_scope(), c, data_, *volume_, out);
  ASSERT_EQ(out.state.entries.size(), 1u);
  EXPECT_EQ(out.state.entries[0], (DeletedEntry{std::nullopt, "E:\\docs\\2\\ghost.txt", 99, 0, 65}));
  EXPECT_EQ(out.from_log, 1u);
  EXPECT_TRUE(out.state.dedup_texts.contains("99|E:\\docs\\2\\ghost.txt"));
  // The same finding again is a duplicate.
  to_entries(docs2_scope(), c, data_, *volume_, out);
  EXPECT_EQ(out.state.entries.size(), 1u);
  EXPECT_EQ(out.from_log, 1u);
}

TEST_F(NtfsSmall, LogNameOutsideTheScopeOrWithoutRecordGivesNothing) {
  Collected out;
  to_entries(docs2_scope(), LogCandidate{1, 64, "ghost.txt", 99}, data_, *volume_, out);  // parent docs
  to_entries(docs2_scope(), LogCandidate{1, 65, "ghost.txt", 0}, data_, *volume_, out);
  to_entries(docs2_scope(), LogCandidate{0, 0, std::nullopt, 99}, data_, *volume_, out);
  EXPECT_TRUE(out.state.entries.empty());
  EXPECT_EQ(out.from_log, 0u);
}

TEST_F(NtfsSmall, RecordNumberThatIsNoRecordOfTheVolumeGivesNothing) {
  // 101 records: 101 and anything past it are no records of this volume, whatever the log says.
  Collected out;
  for (std::uint64_t frn : {std::uint64_t{101}, std::uint64_t{3407872}, std::uint64_t{0xFFFFFFFFFFFF}}) {
    to_entries(docs2_scope(), LogCandidate{1, 65, "ghost.txt", frn}, data_, *volume_, out);
    to_entries(docs2_scope(), LogCandidate{0, 0, std::nullopt, frn}, data_, *volume_, out);
  }
  EXPECT_TRUE(out.state.entries.empty());
  EXPECT_EQ(out.from_log, 0u);
  // Record 100 is the last one and still counts.
  to_entries(docs2_scope(), LogCandidate{1, 65, "ghost.txt", 100}, data_, *volume_, out);
  EXPECT_EQ(out.state.entries.size(), 1u);
}

TEST_F(NtfsSmall, FallbackNameNamesAFreeRecordWithoutNameInScope) {
  // Record 100 (photos\img002.jpg, deleted) has no name in docs\2: the log's name stands in.
  Collected out;
  to_entries(docs2_scope(), LogCandidate{1, 65, "from-log.txt", 100}, data_, *volume_, out);
  ASSERT_EQ(out.state.entries.size(), 1u);
  EXPECT_EQ(out.state.entries[0].path, "E:\\docs\\2\\from-log.txt");
  EXPECT_EQ(out.from_log, 0u);  // it came through the record parser
}

// ---- the deferred re-read ----------------------------------------------------------------------

TEST_F(NtfsSmall, WindowAroundTheFolderFindsEveryDeletedFileOfItsScope) {
  CollectorState c;
  const std::uint32_t productive =
      delayed_mft_retry(docs2_scope(), data_, *volume_, nullptr, {}, c.entries, c.dedup_texts, c.found_frns, 1, 0);
  std::set<std::pair<std::uint64_t, std::string>> got;
  for (const auto& e : c.entries) got.emplace(e.frn, e.path);
  EXPECT_EQ(got, manifest_deleted_under_docs2());
  EXPECT_EQ(productive, c.entries.size());
}

TEST_F(NtfsSmall, JournalRecordsAloneAreReRead) {
  UsnCandidateMap map;
  map.names_by_frn = {{90, {"deleted-resident-450.txt"}}, {91, {"tiny-90.txt"}}};
  CollectorState c;
  const std::uint32_t productive =
      delayed_mft_retry(docs2_scope(), data_, *volume_, &map, {91}, c.entries, c.dedup_texts, c.found_frns, 1, 0);
  ASSERT_EQ(c.entries.size(), 1u);
  EXPECT_EQ(c.entries[0].frn, 90u);
  EXPECT_EQ(productive, 1u);
}

}  // namespace
}  // namespace kavel_lib::engine::windows
