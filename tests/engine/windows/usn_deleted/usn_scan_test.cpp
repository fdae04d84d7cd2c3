#include "engine/windows/usn_deleted/usn_scan.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>

#include <fmt/format.h>

#include "usn_test_records.h"

namespace kavel_lib::engine::windows {
namespace {

using namespace usn_test;
namespace ctl = platform::ctl;

constexpr std::uint64_t kDir = 100;
constexpr std::uint64_t kDirRef = 0x0002000000000064;
constexpr std::uint64_t kJournalId = 77;
constexpr std::uint32_t kDelete = 0x80000200;

struct FakeScan {
  std::shared_ptr<ScriptedVolume> volume = std::make_shared<ScriptedVolume>();
  std::set<std::string> existing;
  std::optional<platform::OsError> open_error;
  std::vector<std::vector<std::uint64_t>> fetched;
  std::unordered_set<std::uint64_t> fetch_allowed;
  std::vector<DeletedEntry> fetch_answer;
  std::uint32_t file_id_error = 0;

  UsnScanSources sources() {
    UsnScanSources s;
    s.open_volume = [this](char letter) -> std::expected<JournalControl, platform::OsError> {
      EXPECT_EQ(letter, 'E');
      if (open_error) return std::unexpected(*open_error);
      return volume->control();
    };
    s.path_exists = [this](std::string_view p) { return existing.contains(std::string(p)); };
    s.fetch_records = [this](char, std::string_view, std::uint64_t, const std::unordered_set<std::uint64_t>& allowed,
                             const DirNameMap&, const std::vector<std::uint64_t>& frns, const UsnCandidateMap*) {
      fetched.push_back(frns);
      fetch_allowed = allowed;
      return fetch_answer;
    };
    s.directory_frn = [this](std::string_view) -> std::expected<DirectoryFrn, platform::OsError> {
      if (file_id_error != 0) return std::unexpected(platform::OsError::from_code(file_id_error));
      return DirectoryFrn{kDirRef, kDir};
    };
    return s;
  }
  std::expected<UsnScanResult, platform::OsError> scan(std::string_view folder = "E:\\docs") {
    return scan_usn_deleted_with(sources(), folder, kDirRef, kDir, nullptr, nullptr, false);
  }
  std::size_t reads() const { return volume->calls_of(ctl::FSCTL_READ_USN_JOURNAL).size(); }
};

std::vector<std::string> paths(const UsnScanResult& r) {
  std::vector<std::string> out;
  for (const auto& c : r.candidates) out.push_back(c.path);
  return out;
}

TEST(UsnSummary, TheFiveTexts) {
  UsnScanResult r;
  EXPECT_EQ(usn_summary_text(r), "变更日志中暂无删除记录");
  r.journal = std::pair<std::int64_t, std::int64_t>{0, 0};
  EXPECT_EQ(usn_summary_text(r), "变更日志中暂无删除记录，将继续扫描文件记录");
  r.read_error = "READ_USN_JOURNAL: x";
  EXPECT_EQ(usn_summary_text(r), "读取删除日志失败:READ_USN_JOURNAL: x");
  r.enum_error = "ENUM_USN_DATA: y";
  EXPECT_EQ(usn_summary_text(r), "读取删除日志失败:ENUM_USN_DATA: y") << "the enumeration's error comes first";
  r.read_count = 2;
  r.enum_count = 1;
  EXPECT_EQ(usn_summary_text(r), "变更日志发现3个删除记录") << "found records win over errors";
  r.read_count = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(usn_summary_text(r), fmt::format("变更日志发现{}个删除记录", std::numeric_limits<std::uint64_t>::max()));
}

TEST(UsnScan, NoDriveLetterIsAnEmptyResult) {
  FakeScan f;
  auto r = f.scan("docs\\relative");
  ASSERT_TRUE(r);
  EXPECT_FALSE(r->journal);
  EXPECT_TRUE(r->candidates.empty());
  EXPECT_TRUE(f.volume->calls.empty());
  EXPECT_EQ(usn_summary_text(*r), "变更日志中暂无删除记录");
}

TEST(UsnScan, AVolumeThatCannotBeOpenedIsTheError) {
  FakeScan f;
  f.open_error = platform::OsError::from_code(5);
  auto r = f.scan();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().code(), 5u);
}

TEST(UsnScan, EmptyJournalIsNotReadButItsBoundsAreKept) {
  FakeScan f;
  f.volume->query.push_back(ok(journal_data(kJournalId, 4096, 4096)));
  auto r = f.scan();
  ASSERT_TRUE(r);
  ASSERT_TRUE(r->journal);
  EXPECT_EQ(*r->journal, (std::pair<std::int64_t, std::int64_t>{4096, 4096}));
  EXPECT_EQ(f.reads(), 0u);
  EXPECT_TRUE(r->candidates.empty());
  EXPECT_EQ(usn_summary_text(*r), "变更日志中暂无删除记录，将继续扫描文件记录");
}

TEST(UsnScan, BothQueriesFailing) {
  FakeScan f;
  f.volume->query = {fail(1179), fail(1179)};
  auto r = f.scan();
  ASSERT_TRUE(r);
  EXPECT_FALSE(r->journal);
  ASSERT_TRUE(r->read_error);
  EXPECT_TRUE(r->read_error->starts_with("QUERY_USN_JOURNAL: "));
  EXPECT_EQ(usn_summary_text(*r), "读取删除日志失败:" + *r->read_error);
  EXPECT_EQ(f.volume->calls_of(ctl::FSCTL_QUERY_USN_JOURNAL).size(), 2u);
  EXPECT_EQ(f.volume->calls_of(ctl::FSCTL_ENUM_USN_DATA).size(), 1u) << "the enumeration still runs";
}

TEST(UsnScan, SecondQueryServesTheSecondRead) {
  FakeScan f;
  f.volume->query = {fail(21), ok(journal_data(kJournalId, 0, 500))};
  f.volume->read = {ok(answer(500, v2(0x70, kDirRef, kDelete, u"late.txt")))};
  auto r = f.scan();
  ASSERT_TRUE(r);
  EXPECT_FALSE(r->journal) << "the bounds come from the first query only";
  EXPECT_FALSE(r->read_error);
  EXPECT_EQ(r->read_count, 1u);
  EXPECT_EQ(paths(*r), std::vector<std::string>{"E:\\docs\\late.txt"});
}

TEST(UsnScan, BothReadsShareTheKeysSoNothingIsListedTwice) {
  FakeScan f;
  const Bytes records = cat({v2(0x70, kDir, kDelete, u"a.txt"), v2(0x71, kDir, kDelete, u"b.txt")});
  f.volume->query = {ok(journal_data(kJournalId, 0, 20'000'000))};
  f.volume->read = {ok(answer(20'000'000, records)),
                    ok(answer(20'000'000, cat({records, v2(0x72, kDir, kDelete, u"c.txt")})))};
  auto r = f.scan();
  ASSERT_TRUE(r);
  EXPECT_EQ(paths(*r), (std::vector<std::string>{"E:\\docs\\a.txt", "E:\\docs\\b.txt", "E:\\docs\\c.txt"}));
  EXPECT_EQ(r->read_count, 3u);
  const auto calls = f.volume->calls_of(ctl::FSCTL_READ_USN_JOURNAL);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(get(calls[0].input, 0, 8), 12'000'000u) << "the last 8,000,000 bytes only";
  EXPECT_EQ(get(calls[1].input, 0, 8), 12'000'000u);
  EXPECT_EQ(usn_summary_text(*r), "变更日志发现3个删除记录");
}

TEST(UsnScan, ReadErrorIsKeptAndTheScanGoesOn) {
  FakeScan f;
  f.volume->query = {ok(journal_data(kJournalId, 0, 500))};
  f.volume->read = {fail(5), ok(answer(500, v2(0x70, kDir, kDelete, u"a.txt")))};
  auto r = f.scan();
  ASSERT_TRUE(r);
  ASSERT_TRUE(r->read_error);
  EXPECT_TRUE(r->read_error->starts_with("READ_USN_JOURNAL: "));
  EXPECT_EQ(r->read_count, 1u);
  EXPECT_EQ(usn_summary_text(*r), "变更日志发现1个删除记录");
}

TEST(UsnScan, EnumerationCountsItsOwnCandidates) {
  FakeScan f;
  f.volume->query = {fail(1179), fail(1179)};
  f.volume->enumerate = {ok(answer(200, v2(0x70, kDir, kDelete, u"enum.txt")))};
  auto r = f.scan();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->enum_count, 1u);
  EXPECT_EQ(r->read_count, 0u);
  EXPECT_EQ(usn_summary_text(*r), "变更日志发现1个删除记录");
}

TEST(UsnScan, UnpairedRecordNumbersAreFetchedAndTheirEntriesKeptOnce) {
  FakeScan f;
  f.volume->query = {ok(journal_data(kJournalId, 0, 500))};
  f.volume->read = {ok(answer(500, cat({v4(0x80, kDir, kDelete), v2(0x70, kDir, kDelete, u"a.txt")}))),
                    ok(answer(500, v4(0x81, 0, kDelete)))};
  f.fetch_answer = {DeletedEntry{std::nullopt, "E:\\docs\\range.bin", 0x80, 4096, kDir},
                    DeletedEntry{std::nullopt, "E:\\docs\\a.txt", 0x70, 10, kDir}};
  auto r = f.scan();
  ASSERT_TRUE(r);
  ASSERT_EQ(f.fetched.size(), 1u);
  std::set<std::uint64_t> asked(f.fetched[0].begin(), f.fetched[0].end());
  EXPECT_EQ(asked, (std::set<std::uint64_t>{0x80, 0x81}));
  EXPECT_EQ(f.fetch_allowed, (std::unordered_set<std::uint64_t>{kDir, kDirRef}));
  EXPECT_EQ(paths(*r), (std::vector<std::string>{"E:\\docs\\a.txt", "E:\\docs\\range.bin"}));
  EXPECT_EQ(r->read_count, 2u);
}

TEST(UsnScan, RecordStepIsSkippedWhenEverythingPaired) {
  FakeScan f;
  f.volume->query = {ok(journal_data(kJournalId, 0, 500))};
  f.volume->read = {ok(answer(500, cat({v4(0x80, kDir, kDelete), v2(0x80, kDir, 0x2, u"range.bin")})))};
  auto r = f.scan();
  ASSERT_TRUE(r);
  EXPECT_TRUE(f.fetched.empty());
  EXPECT_EQ(paths(*r), std::vector<std::string>{"E:\\docs\\range.bin"});
}

TEST(UsnScan, ExistingPathsAreAskedOncePerPath) {
  FakeScan f;
  int asked = 0;
  f.volume->query = {ok(journal_data(kJournalId, 0, 500))};
  const Bytes written = v2(0x70, kDir, 0x80000002, u"live.txt");
  f.volume->read = {ok(answer(500, cat({written, written, written})))};
  auto sources = f.sources();
  sources.path_exists = [&](std::string_view) {
    ++asked;
    return true;
  };
  auto r = scan_usn_deleted_with(sources, "E:\\docs", kDirRef, kDir, nullptr, nullptr, false);
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->candidates.empty());
  EXPECT_EQ(asked, 1);
}

TEST(UsnScan, ScopeParentsAndNamesReachTheWalk) {
  FakeScan f;
  f.volume->query = {ok(journal_data(kJournalId, 0, 500))};
  f.volume->read = {ok(answer(500, cat({v2(0x70, 120, kDelete, u"deep.txt"), v2(0x71, 90, kDelete, u"beside.txt")})))};
  const std::unordered_set<std::uint64_t> scope{kDir, 120};
  const DirNameMap names{{kDir, {"", 5}}, {120, {"sub", kDir}}};
  auto r = scan_usn_deleted_with(f.sources(), "E:\\docs", kDirRef, kDir, &scope, &names, false);
  ASSERT_TRUE(r);
  EXPECT_EQ(paths(*r), std::vector<std::string>{"E:\\docs\\sub\\deep.txt"});
}

TEST(UsnDebugQuery, CountsAsTheScanDoes) {
  FakeScan f;
  f.existing = {"E:\\docs\\live.txt"};
  f.volume->query = {ok(journal_data(kJournalId, 100, 900))};
  f.volume->read = {ok(answer(900, cat({
                                       v2(0x70, kDir, kDelete, u"gone.txt"),             // parsed, delete, match, accepted
                                       v2(0x71, kDir, 0x80000002, u"live.txt"),          // exists: not accepted
                                       v2(0x72, 90, kDelete, u"elsewhere.txt"),          // delete only
                                       v2(0x73, kDir, 0x2, u"changed.txt"),              // match only
                                       v4(0x74, kDir, kDelete), v4(0x75, 0, kDelete),    // one unpaired
                                       v4(0x76, kDir, kDelete), v2(0x76, kDir, 0x2, u"paired.bin"),
                                   })))};
  auto stats = debug_usn_query_with(f.sources(), "E:\\docs");
  ASSERT_TRUE(stats);
  EXPECT_EQ(stats->dir_frn, kDir);
  EXPECT_EQ(stats->dir_ref, kDirRef);
  EXPECT_EQ(stats->first_usn, 100);
  EXPECT_EQ(stats->next_usn, 900);
  EXPECT_EQ(stats->parsed, 5u);
  EXPECT_EQ(stats->delete_reason, 3u);
  EXPECT_EQ(stats->parent_match, 4u);
  EXPECT_EQ(stats->accepted, 2u);
  EXPECT_EQ(stats->unpaired_v4, 1u);
}

TEST(UsnDebugQuery, FailuresAndTheLetterlessFolder) {
  FakeScan located;
  located.file_id_error = 2;
  auto missing = debug_usn_query_with(located.sources(), "E:\\nope");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().code(), 2u);

  FakeScan letterless;
  auto zero = debug_usn_query_with(letterless.sources(), "docs");
  ASSERT_TRUE(zero);
  EXPECT_EQ(zero->dir_frn, kDir);
  EXPECT_EQ(zero->next_usn, 0);
  EXPECT_TRUE(letterless.volume->calls.empty());

  FakeScan no_journal;
  no_journal.volume->query = {fail(1179)};
  auto q = debug_usn_query_with(no_journal.sources(), "E:\\docs");
  ASSERT_FALSE(q);
  EXPECT_TRUE(q.error().display().starts_with("QUERY_USN_JOURNAL: "));

  FakeScan bad_read;
  bad_read.volume->query = {ok(journal_data(kJournalId, 0, 900))};
  bad_read.volume->read = {fail(5)};
  auto r = debug_usn_query_with(bad_read.sources(), "E:\\docs");
  ASSERT_FALSE(r);
  EXPECT_TRUE(r.error().display().starts_with("READ_USN_JOURNAL: "));

  FakeScan empty;
  empty.volume->query = {ok(journal_data(kJournalId, 300, 300))};
  auto e = debug_usn_query_with(empty.sources(), "E:\\docs");
  ASSERT_TRUE(e);
  EXPECT_EQ(e->first_usn, 300);
  EXPECT_EQ(e->next_usn, 300);
  EXPECT_EQ(empty.reads(), 0u);
}

}  // namespace
}  // namespace kavel_lib::engine::windows
