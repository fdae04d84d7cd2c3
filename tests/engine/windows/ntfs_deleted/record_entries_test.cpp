#include "engine/windows/ntfs_deleted/record_entries.h"

#include <gtest/gtest.h>

#include "engine/windows/raw_mft/mft_test_records.h"

namespace kavel_lib::engine::windows {
namespace {

using kavel_test::mft::Bytes;
using kavel_test::mft::RecordBuilder;

constexpr std::uint16_t kFree = 0;
constexpr std::uint16_t kInUse = 1;

class ParseRecordEntries : public ::testing::Test {
 protected:
  RecordParseArgs args() const {
    return RecordParseArgs{.letter = 'E', .folder = "E:\\docs", .root_frn = 100, .parent_match_frns = parents_,
                           .dir_names = names_, .hints = nullptr, .fallback_name = std::nullopt,
                           .fallback_enabled = false, .fallback_parent = 0, .absent_path_check = false,
                           .take_in_use = false, .extra_name_flag = false};
  }
  std::unordered_set<std::uint64_t> parents_{100, 101, 100 | (4ull << 48)};
  DirNameMap names_{{100, {"", 5}}, {101, {"sub", 100}}};
};

TEST_F(ParseRecordEntries, FreeRecordInScopeGivesItsEntry) {
  const Bytes r = RecordBuilder(1024, kFree).file_name(101 | (2ull << 48), u"report.docx", 1, 8192, 777).fixed();
  const auto entries = parse_record_entries(r, 300 | (5ull << 48), args());
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].path, "E:\\docs\\sub\\report.docx");
  EXPECT_EQ(entries[0].frn, 300u);
  EXPECT_EQ(entries[0].size, 8192u);
  EXPECT_EQ(entries[0].time, 777u);
  EXPECT_EQ(entries[0].parent, 101u);
}

TEST_F(ParseRecordEntries, DirectoriesBaadAndShortRecordsGiveNothing) {
  const Bytes dir = RecordBuilder(1024, 2).file_name(100, u"folder").fixed();
  EXPECT_TRUE(parse_record_entries(dir, 300, args()).empty());
  Bytes baad = RecordBuilder(1024, kFree).file_name(100, u"report.docx").fixed();
  std::memcpy(baad.data(), "BAAD", 4);
  EXPECT_TRUE(parse_record_entries(baad, 300, args()).empty());
  EXPECT_TRUE(parse_record_entries(Bytes(23, 0), 300, args()).empty());
}

TEST_F(ParseRecordEntries, OutOfScopeAndNoiseNamesGiveNothing) {
  EXPECT_TRUE(parse_record_entries(RecordBuilder(1024, kFree).file_name(999, u"a.txt").fixed(), 300, args()).empty());
  EXPECT_TRUE(parse_record_entries(RecordBuilder(1024, kFree).file_name(100, u"app.pdb").fixed(), 300, args()).empty());
}

TEST_F(ParseRecordEntries, LongNameIsTakenDosNameSkipped) {
  const Bytes r = RecordBuilder(1024, kFree).file_name(100, u"LONGFI~1.TXT", 2).file_name(100, u"long file.txt", 1).fixed();
  const auto entries = parse_record_entries(r, 300, args());
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].path, "E:\\docs\\long file.txt");
}

TEST_F(ParseRecordEntries, DosOnlyRecordNeedsTheFallbackName) {
  const Bytes r = RecordBuilder(1024, kFree).file_name(100, u"REPORT~1.DOC", 2).fixed();
  EXPECT_TRUE(parse_record_entries(r, 300, args()).empty());
  auto a = args();
  a.fallback_name = "Report final.docx";
  a.fallback_parent = 101 | (7ull << 48);
  EXPECT_TRUE(parse_record_entries(r, 300, a).empty());  // not enabled
  a.fallback_enabled = true;
  const auto entries = parse_record_entries(r, 300, a);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].path, "E:\\docs\\sub\\Report final.docx");
  EXPECT_EQ(entries[0].parent, 101u);
  EXPECT_EQ(entries[0].size, 0u);
  EXPECT_EQ(entries[0].time, std::nullopt);
  a.fallback_parent = 555;  // parent out of scope
  EXPECT_TRUE(parse_record_entries(r, 300, a).empty());
}

TEST_F(ParseRecordEntries, InUseRecordWithSizedNameIsLive) {
  // Allocated size non-zero and no empty resident $DATA: a live file, nothing.
  const Bytes sized = RecordBuilder(1024, kInUse).file_name(100, u"live.txt", 1, 4096).fixed();
  EXPECT_TRUE(parse_record_entries(sized, 300, args()).empty());
  const Bytes with_data = RecordBuilder(1024, kInUse).file_name(100, u"live.txt", 1, 4096).resident(0x80, Bytes(5, 1)).fixed();
  EXPECT_TRUE(parse_record_entries(with_data, 300, args()).empty());
  // An empty resident $DATA lets it go on; a size-0 name is kept as a size-0 candidate only.
  const Bytes empty_data = RecordBuilder(1024, kInUse).file_name(100, u"gone.txt", 1, 4096).resident(0x80, {}).fixed();
  EXPECT_TRUE(parse_record_entries(empty_data, 300, args()).empty());  // step 8: size not 0
  const Bytes zero = RecordBuilder(1024, kInUse).file_name(100, u"gone.txt", 1, 0).fixed();
  const auto entries = parse_record_entries(zero, 300, args());
  ASSERT_EQ(entries.size(), 1u);  // the path does not exist on this volume
  EXPECT_EQ(entries[0].path, "E:\\docs\\gone.txt");
}

TEST_F(ParseRecordEntries, InUseRecordWithAbsentPathIsTakenWhenAsked) {
  const Bytes sized = RecordBuilder(1024, kInUse).file_name(100, u"moved.txt", 1, 4096).fixed();
  auto a = args();
  a.absent_path_check = true;  // no volume is mapped here, so no rebuilt path exists
  const auto entries = parse_record_entries(sized, 300, a);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].size, 4096u);
}

TEST_F(ParseRecordEntries, JournalNamesNarrowAndExtendTheCandidates) {
  UsnCandidateMap hints;
  hints.names_by_frn[300] = {"b.txt"};
  auto a = args();
  a.hints = &hints;
  const Bytes r = RecordBuilder(1024, kFree).file_name(100, u"a.txt").file_name(100, u"b.txt").fixed();
  auto entries = parse_record_entries(r, 300 | (9ull << 48), a);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].path, "E:\\docs\\b.txt");
  // A record the journal names skips the in-use test.
  const Bytes live = RecordBuilder(1024, kInUse).file_name(100, u"b.txt", 1, 0).fixed();
  EXPECT_EQ(parse_record_entries(live, 300, a).size(), 1u);
}

TEST_F(ParseRecordEntries, RelaxedFlagKeepsNamesTheStrictFilterDrops) {
  const Bytes r = RecordBuilder(1024, kFree).file_name(100, u"setup.exe").fixed();
  EXPECT_TRUE(parse_record_entries(r, 300, args()).empty());
  auto a = args();
  a.extra_name_flag = true;
  EXPECT_EQ(parse_record_entries(r, 300, a).size(), 1u);
}

TEST_F(ParseRecordEntries, TakeInUseSendsUnresolvedParentsToTheLostFolder) {
  DirNameMap partial{{100, {"", 5}}};
  std::unordered_set<std::uint64_t> parents{100, 101};
  RecordParseArgs a{.letter = 'E', .folder = "E:\\docs", .root_frn = 100, .parent_match_frns = parents,
                    .dir_names = partial, .hints = nullptr, .fallback_name = std::nullopt, .fallback_enabled = false,
                    .fallback_parent = 0, .absent_path_check = false, .take_in_use = false, .extra_name_flag = false};
  const Bytes r = RecordBuilder(1024, kFree).file_name(101, u"x.txt").fixed();
  EXPECT_TRUE(parse_record_entries(r, 300, a).empty());
  a.take_in_use = true;
  const auto entries = parse_record_entries(r, 300, a);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].path, "E:\\docs\\$KavelLost\\0000000000000065\\x.txt");
}

TEST(CandidateFilters, EmptySetsKeepNone) {
  std::vector<DeletedEntrySource> c{{"a.txt", 5, 0, 0}, {"b.txt", 6, 0, 0}};
  auto by_parent = c;
  keep_candidates_with_parent_in(by_parent, {6});
  ASSERT_EQ(by_parent.size(), 1u);
  EXPECT_EQ(by_parent[0].name, "b.txt");
  auto none = c;
  keep_candidates_with_parent_in(none, {});
  EXPECT_TRUE(none.empty());
  auto named = c;
  keep_candidates_named_in(named, {"a.txt"});
  ASSERT_EQ(named.size(), 1u);
  auto unnamed = c;
  keep_candidates_named_in(unnamed, {});
  EXPECT_TRUE(unnamed.empty());
  std::vector<DeletedEntrySource> noisy{{"x.pdb", 5, 0, 0}, {"y.txt", 5, 0, 0}};
  keep_plausible_candidates(noisy, false);
  ASSERT_EQ(noisy.size(), 1u);
  EXPECT_EQ(noisy[0].name, "y.txt");
}

}  // namespace
}  // namespace kavel_lib::engine::windows
