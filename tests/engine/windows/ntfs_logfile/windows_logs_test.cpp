// The $LogFile page search on logs that Windows wrote: they scan without error, and the
// counters and findings they give are pinned. Windows writes the operations that the search
// looks for (3 deallocate file record, 6 delete attribute, 13 delete index entry) with no redo
// data at all (their names sit in the undo data), so the header test never accepts a genuine
// one: whatever the search accepts is a chance match of other bytes. These tests pin that, and
// that such chance matches give no record number the volume holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <limits>

#include "engine/windows/ntfs_logfile/log_page_scan.h"
#include "support/test_env.h"

namespace kavel_lib::engine::windows {
namespace {

std::optional<std::vector<std::uint8_t>> read_bytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::filesystem::path journal_dir() { return kavel_test::test_data_dir() / "windows-journal"; }

// ntfs.raw's $LogFile (64 MiB), unpacked from its .gz into a temporary folder.
class WindowsNtfsLog : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const auto gz = kavel_test::test_data_dir() / "windows-ntfs" / "ntfs.raw.LogFile.bin.gz";
    if (auto why = kavel_test::program_missing("gzip")) {
      skip_reason_ = *why;
      return;
    }
    if (!std::filesystem::exists(gz)) {
      skip_reason_ = "missing " + gz.string();
      return;
    }
    dir_ = std::make_unique<kavel_test::TempDir>();
    const auto out = *dir_ / "LogFile.bin";
    const auto r = kavel_test::run_command("gzip -dc " + kavel_test::shell_quote(gz.string()) + " > " +
                                           kavel_test::shell_quote(out.string()));
    if (r.status != 0) {
      skip_reason_ = "gzip -dc failed";
      return;
    }
    log_ = read_bytes(out);
  }
  static void TearDownTestSuite() {
    log_.reset();
    dir_.reset();
  }
  void SetUp() override {
    if (!log_) GTEST_SKIP() << skip_reason_;
  }
  static inline std::unique_ptr<kavel_test::TempDir> dir_;
  static inline std::optional<std::vector<std::uint8_t>> log_;
  static inline std::string skip_reason_;
};

std::vector<std::uint64_t> keys(const LogCandidateMap& map) {
  std::vector<std::uint64_t> k;
  for (const auto& [key, c] : map) k.push_back(key);
  return k;
}

// Whether the bytes hold the ASCII text as UTF-16LE.
bool holds_utf16(std::span<const std::uint8_t> bytes, std::string_view text) {
  std::vector<std::uint8_t> needle;
  for (char ch : text) {
    needle.push_back(static_cast<std::uint8_t>(ch));
    needle.push_back(0);
  }
  return std::search(bytes.begin(), bytes.end(), needle.begin(), needle.end()) != bytes.end();
}

constexpr std::uint64_t kUnbounded = std::numeric_limits<std::uint64_t>::max();
// A volume of a million records, far more than the logs' volumes held.
constexpr LogScanVolume kLargeVolume{4096, 1024, 1u << 20};

// The named sample, or nothing when it is not there (the test then skips).
std::optional<std::vector<std::uint8_t>> journal_log(const char* name) { return read_bytes(journal_dir() / name); }

TEST(WindowsLogs, Windows7LogGivesChanceHeadersAndNoFinding) {
  const auto log = journal_log("LogFile_7.bin");
  if (!log) GTEST_SKIP() << "missing " << (journal_dir() / "LogFile_7.bin").string();
  ASSERT_EQ(log->size(), 172032u);
  // Record 36 (tracking.log.tmp in folder 35) was deleted in this log.
  UsnCandidateMap map;
  map.names_by_frn[36] = {"tracking.log.tmp"};
  auto [found, counters] = scan_logfile_pages(*log, kLargeVolume, {5, 35}, &map);
  EXPECT_EQ(counters, (LogScanCounters{9359, 10, 2, 0}));
  EXPECT_TRUE(found.empty());
}

TEST(WindowsLogs, Windows7ChanceRecordNumbersLiePastAnyVolume) {
  const auto log = journal_log("LogFile_7.bin");
  if (!log) GTEST_SKIP() << "missing " << (journal_dir() / "LogFile_7.bin").string();
  LogCandidateMap all;
  LogScanCounters counters;
  scan_log_records(*log, {4096, 1024, kUnbounded}, {}, all, counters);
  EXPECT_EQ(keys(all), (std::vector<std::uint64_t>{21474836575u, 2251799813685248u}));
  all.clear();
  scan_log_records(*log, {4096, 1024, std::uint64_t{1} << 32}, {}, all, counters);
  EXPECT_TRUE(all.empty());
}

TEST(WindowsLogs, Windows10LogGivesChanceHeadersAndNoFinding) {
  const auto log = journal_log("LogFile_10.bin");
  if (!log) GTEST_SKIP() << "missing " << (journal_dir() / "LogFile_10.bin").string();
  ASSERT_EQ(log->size(), 212992u);
  // Record 39 (tracking.log.tmp in folder 36) was deleted in this log.
  UsnCandidateMap map;
  map.names_by_frn[39] = {"tracking.log.tmp"};
  auto [found, counters] = scan_logfile_pages(*log, kLargeVolume, {5, 36}, &map);
  EXPECT_EQ(counters, (LogScanCounters{7954, 8, 0, 0}));
  EXPECT_TRUE(found.empty());
  EXPECT_TRUE(holds_utf16(*log, "tracking.log.tmp"));
  // Its operation-3 matches name positions past the largest u64: no record at all.
  LogCandidateMap all;
  scan_log_records(*log, {4096, 1024, kUnbounded}, {}, all, counters);
  EXPECT_TRUE(all.empty());
}

TEST(WindowsLogs, EmptyLogGivesNothing) {
  const auto log = journal_log("LogFile_empty.bin");
  if (!log) GTEST_SKIP() << "missing " << (journal_dir() / "LogFile_empty.bin").string();
  ASSERT_EQ(log->size(), 32768u);
  auto [found, counters] = scan_logfile_pages(*log, kLargeVolume, {5}, nullptr);
  EXPECT_EQ(counters, LogScanCounters{});
  EXPECT_TRUE(found.empty());
}

// ntfs.raw: a 64 MiB log whose 206 record pages lie in its first 0.9 MiB; its volume holds 256
// records of 1024 bytes in 4096-byte clusters.
constexpr LogScanVolume kNtfsRawVolume{4096, 1024, 256};

TEST_F(WindowsNtfsLog, TailThatPhase4ReadsHoldsNoRecordPage) {
  ASSERT_EQ(log_->size(), 64u << 20);
  std::span<const std::uint8_t> tail(log_->data() + log_->size() - 0x800000, 0x800000);
  auto [found, counters] = scan_logfile_pages(tail, kNtfsRawVolume, {5, 50, 64}, nullptr);
  EXPECT_EQ(counters, LogScanCounters{});
  EXPECT_TRUE(found.empty());
}

TEST_F(WindowsNtfsLog, RecordPagesGiveNoNameOfTheFilesTheyDeleted) {
  std::span<const std::uint8_t> head(log_->data(), 0x100000);
  std::size_t record_pages = 0;
  for (std::size_t p = 0; p < head.size(); p += 4096) record_pages += std::equal(head.begin() + p, head.begin() + p + 4, "RCRD");
  EXPECT_EQ(record_pages, 206u);
  // The log deleted "New Text Document.txt" and "file_hidden.txt" from test_dir (50),
  // "New Text Document.txt" from test_dir_2 (64) and "snapshot-2" from folder 43.
  UsnCandidateMap map;
  map.names_by_frn = {{54, {"file_hidden.txt"}}, {55, {"New Text Document.txt"}}, {65, {"New Text Document.txt"}}};
  auto [found, counters] = scan_logfile_pages(head, kNtfsRawVolume, {5, 43, 50, 64}, &map);
  EXPECT_EQ(counters, (LogScanCounters{67839, 1, 6, 0}));
  EXPECT_TRUE(found.empty());
  // The names are in the log all the same (in the undo data of the delete records).
  EXPECT_TRUE(holds_utf16(head, "file_hidden.txt"));
  EXPECT_TRUE(holds_utf16(head, "snapshot-2"));
}

TEST_F(WindowsNtfsLog, ChanceNamesCarryReferencesThatAreNoRecordOfTheVolume) {
  std::span<const std::uint8_t> head(log_->data(), 0x100000);
  // The parents of the three chance name records, put in scope on purpose.
  const std::unordered_set<std::uint64_t> chance_parents{36700160, 262326, 8798508941312};
  auto [raw, raw_counters] = scan_logfile_pages(head, {4096, 1024, kUnbounded}, chance_parents, nullptr);
  ASSERT_EQ(raw.size(), 3u);
  std::vector<std::uint64_t> references;
  for (const auto& c : raw) references.push_back(c.frn);
  std::sort(references.begin(), references.end());
  EXPECT_EQ(references, (std::vector<std::uint64_t>{262325, 3407872, 52777413789952}));
  // Against the volume's 256 records none of them is a record number.
  auto [found, counters] = scan_logfile_pages(head, kNtfsRawVolume, chance_parents, nullptr);
  ASSERT_EQ(found.size(), 3u);
  for (const auto& c : found) EXPECT_EQ(c.frn, 0u) << c.parent;
  EXPECT_EQ(counters, (LogScanCounters{67838, 1, 6, 0}));
}

}  // namespace
}  // namespace kavel_lib::engine::windows
