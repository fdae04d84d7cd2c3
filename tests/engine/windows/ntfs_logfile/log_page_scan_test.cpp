// The $LogFile page search on hand-made log bytes: page markers and the two passes, the
// header test's bounds, operation 3's record arithmetic, name records in and out of scope,
// the filter with and without a journal map, and counters that saturate.
#include <gtest/gtest.h>

#include <limits>

#include "engine/windows/ntfs_logfile/log_page_scan.h"
#include "support/log_pages.h"

namespace kavel_lib::engine::windows {
namespace {

using kavel_test::LogBytes;
using kavel_test::LogHeader;
using kavel_test::LogName;

constexpr LogScanVolume kVolume{4096, 1024, 1000};
const std::unordered_set<std::uint64_t> kScope{40, 41};
const std::unordered_set<std::uint64_t> kNoScope{};

std::pair<std::vector<LogCandidate>, LogScanCounters> scan(const LogBytes& log,
                                                           const std::unordered_set<std::uint64_t>& scope = kScope,
                                                           const UsnCandidateMap* map = nullptr,
                                                           LogScanVolume volume = kVolume) {
  return scan_logfile_pages(log.bytes(), volume, scope, map);
}

LogCandidateMap records(std::span<const std::uint8_t> bytes, const std::unordered_set<std::uint64_t>& scope,
                        LogScanCounters& counters, LogScanVolume volume = kVolume) {
  LogCandidateMap map;
  scan_log_records(bytes, volume, scope, map, counters);
  return map;
}

// ---- pages and passes ------------------------------------------------------------------------

TEST(LogPages, MarkedPageIsSearchedFromByte64AndAgainByTheWholeBufferPass) {
  LogBytes log(2);
  log.mark_page(0, "RCRD");
  log.put_named(64, 13, LogName{40, 100, "a.txt"});
  auto [found, counters] = scan(log);
  ASSERT_EQ(found.size(), 1u);  // merged, not doubled
  EXPECT_EQ(found[0], (LogCandidate{1, 40, "a.txt", 100}));
  EXPECT_EQ(counters.headers, 2u);  // counted in both passes
  EXPECT_EQ(counters.name_records, 2u);
}

TEST(LogPages, ChkdPagesCountAsMarked) {
  LogBytes log(1);
  log.mark_page(0, "CHKD");
  log.put_named(64, 6, LogName{40, 100, "a.txt"});
  EXPECT_EQ(scan(log).second.headers, 2u);
}

TEST(LogPages, UnmarkedPageIsFoundByTheSecondPassOnly) {
  LogBytes log(2);
  log.mark_page(0, "RSTR");
  log.put_named(64, 13, LogName{40, 100, "a.txt"});
  auto [found, counters] = scan(log);
  EXPECT_EQ(found.size(), 1u);
  EXPECT_EQ(counters.headers, 1u);
}

TEST(LogPages, HeaderBeforeByte64OfAMarkedPageIsFoundByTheSecondPassOnly) {
  LogBytes log(1);
  log.mark_page(0, "RCRD");
  log.put_named(40, 13, LogName{40, 100, "a.txt"});
  auto [found, counters] = scan(log);
  EXPECT_EQ(found.size(), 1u);
  EXPECT_EQ(counters.headers, 1u);
}

TEST(LogPages, EachMarkedPageIsSearchedOnItsOwn) {
  // A header near the end of page 0 whose data runs into page 1 fits only the whole buffer.
  LogBytes log(2);
  log.mark_page(0, "RCRD");
  log.mark_page(1, "RCRD");
  log.put_named(4096 - 36, 13, LogName{40, 100, "a.txt"}, 0x28 + 0x40);
  auto [found, counters] = scan(log);
  EXPECT_EQ(found.size(), 1u);
  EXPECT_EQ(counters.headers, 1u);
}

TEST(LogPages, ShortLastPageIsSearchedWhenItHoldsItsMarkerAnd64Bytes) {
  LogBytes log(1);
  log.mark_page(0, "RCRD");
  std::vector<std::uint8_t>& b = log.bytes();
  const std::size_t tail = b.size();
  b.resize(tail + 200, LogBytes::kFill);
  const char marker[] = "RCRD";
  for (int i = 0; i < 4; ++i) b[tail + i] = static_cast<std::uint8_t>(marker[i]);
  log.put_header(tail + 64, LogBytes::deallocate(100, 2, 2));
  UsnCandidateMap map;
  map.names_by_frn[401] = {"x.txt"};
  auto [found, counters] = scan(log, kScope, &map);
  EXPECT_EQ(counters.frn_records, 2u);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].frn, 401u);

  // 4 to 63 bytes carrying the marker: nothing is searched by the first pass.
  LogBytes small(1);
  small.bytes().resize(4096 + 63, LogBytes::kFill);
  for (int i = 0; i < 4; ++i) small.bytes()[4096 + i] = static_cast<std::uint8_t>(marker[i]);
  EXPECT_EQ(scan(small).second, LogScanCounters{});
}

TEST(LogPages, EmptyAndBlankLogsGiveNothing) {
  EXPECT_EQ(scan(LogBytes(0)).second, LogScanCounters{});
  std::vector<std::uint8_t> ff(3 * 4096, 0xFF);
  auto [found, counters] = scan_logfile_pages(ff, kVolume, kScope, nullptr);
  EXPECT_TRUE(found.empty());
  EXPECT_EQ(counters, LogScanCounters{});
}

// ---- the header test -------------------------------------------------------------------------

TEST(LogHeaderTest, ThirtyOneBytesAreTooFewToExamine) {
  LogBytes log;
  log.put_header(0, LogBytes::deallocate(100, 2, 2));
  log.bytes().resize(31, LogBytes::kFill);
  LogScanCounters counters;
  EXPECT_TRUE(records(log.bytes(), kScope, counters).empty());
  EXPECT_EQ(counters, LogScanCounters{});
}

TEST(LogHeaderTest, RedoDataMustEndInsideTheSlice) {
  LogHeader h = LogBytes::deallocate(100, 2, 2);  // redo offset 32, length 1
  LogBytes log;
  log.put_header(0, h);
  log.bytes().resize(33, LogBytes::kFill);
  LogScanCounters counters;
  records(log.bytes(), kScope, counters);
  EXPECT_EQ(counters.headers, 1u);
  log.bytes().resize(32, LogBytes::kFill);
  counters = {};
  records(log.bytes(), kScope, counters);
  EXPECT_EQ(counters.headers, 0u);
}

TEST(LogHeaderTest, RedoOffsetBelow32OrEmptyRedoDataFail) {
  for (auto [offset, length] : {std::pair<std::uint16_t, std::uint16_t>{31, 1}, {32, 0}}) {
    LogHeader h = LogBytes::deallocate(100, 2, 2);
    h.redo_offset = offset;
    h.redo_length = length;
    LogBytes log;
    log.put_header(0, h);
    log.bytes().resize(64, LogBytes::kFill);
    LogScanCounters counters;
    records(log.bytes(), kScope, counters);
    EXPECT_EQ(counters.headers, 0u) << offset << "/" << length;
  }
}

TEST(LogHeaderTest, EitherOperationCodeBelow38Passes) {
  struct Case {
    std::uint16_t redo, undo;
    std::uint32_t headers;
  };
  for (const Case c : {Case{40, 10, 1}, Case{40, 38, 0}, Case{37, 40, 1}, Case{38, 37, 1}, Case{38, 38, 0},
                       Case{0xFFFF, 0xFFFF, 0}}) {
    LogHeader h;
    h.redo_operation = c.redo;
    h.undo_operation = c.undo;
    h.redo_offset = 32;
    h.redo_length = 1;
    LogBytes log;
    log.put_header(0, h);
    log.bytes().resize(33, LogBytes::kFill);
    LogScanCounters counters;
    records(log.bytes(), kScope, counters);
    EXPECT_EQ(counters.headers, c.headers) << c.redo << "/" << c.undo;
  }
}

TEST(LogHeaderTest, CountersSaturate) {
  LogBytes log;
  log.put_header(0, LogBytes::deallocate(100, 2, 2));
  log.bytes().resize(64, LogBytes::kFill);
  LogScanCounters counters{std::numeric_limits<std::uint32_t>::max(), std::numeric_limits<std::uint32_t>::max(), 0, 0};
  records(log.bytes(), kScope, counters);
  EXPECT_EQ(counters.headers, std::numeric_limits<std::uint32_t>::max());
  EXPECT_EQ(counters.frn_records, std::numeric_limits<std::uint32_t>::max());
}

// ---- operation 3 -----------------------------------------------------------------------------

std::optional<std::uint64_t> op3_record(LogHeader h, LogScanVolume volume) {
  LogBytes log;
  log.put_header(0, h);
  log.bytes().resize(64, LogBytes::kFill);
  LogScanCounters counters;
  auto map = records(log.bytes(), kScope, counters, volume);
  EXPECT_EQ(counters.frn_records, 1u);
  if (map.empty()) return std::nullopt;
  EXPECT_EQ(map.size(), 1u);
  EXPECT_EQ(map.begin()->second.kind, 0u);
  return map.begin()->second.frn;
}

TEST(LogOperation3, TargetCluster100BlockOffset2Divisor2NamesRecord401) {
  EXPECT_EQ(op3_record(LogBytes::deallocate(100, 2, 2), {4096, 1024, 402}), 401u);
}

TEST(LogOperation3, RecordAtOrPastTheVolumesRecordCountIsNoRecordNumber) {
  EXPECT_EQ(op3_record(LogBytes::deallocate(100, 2, 2), {4096, 1024, 401}), std::nullopt);
  EXPECT_EQ(op3_record(LogBytes::deallocate(100, 2, 2), {4096, 1024, 0}), std::nullopt);
}

TEST(LogOperation3, DivisorZeroUsesTheRecordSizeWithA1024Floor) {
  EXPECT_EQ(op3_record(LogBytes::deallocate(100, 2, 0), {4096, 4096, 1000}), 100u);
  EXPECT_EQ(op3_record(LogBytes::deallocate(100, 2, 0), {4096, 512, 1000}), 401u);
  EXPECT_EQ(op3_record(LogBytes::deallocate(100, 2, 0), {4096, 0, 1000}), 401u);
}

TEST(LogOperation3, NoClusterSizeNegativeClusterOrOverflowGivesNothing) {
  EXPECT_EQ(op3_record(LogBytes::deallocate(100, 2, 2), {0, 1024, 1000}), std::nullopt);
  EXPECT_EQ(op3_record(LogBytes::deallocate(-1, 2, 2), {4096, 1024, 1000}), std::nullopt);
  EXPECT_EQ(op3_record(LogBytes::deallocate(std::int64_t{1} << 62, 2, 2),
                       {4096, 1024, std::numeric_limits<std::uint64_t>::max()}),
            std::nullopt);
  // The block offset pushes c x t past the largest u64.
  const std::uint64_t t = std::numeric_limits<std::uint64_t>::max() / 4096;
  EXPECT_EQ(op3_record(LogBytes::deallocate(static_cast<std::int64_t>(t), 8, 2),
                       {4096, 1024, std::numeric_limits<std::uint64_t>::max()}),
            std::nullopt);
}

TEST(LogOperation3, RecordZeroIsNoFinding) {
  EXPECT_EQ(op3_record(LogBytes::deallocate(0, 1, 2), kVolume), std::nullopt);
}

// ---- name records ----------------------------------------------------------------------------

TEST(LogNames, NamedFindingInScopeCarriesParentNameAndRecord) {
  for (std::uint16_t op : {6, 13}) {
    LogBytes log;
    log.put_named(0, op, LogName{(std::uint64_t{3} << 48) | 41, (std::uint64_t{7} << 48) | 200, "report.docx"});
    log.bytes().resize(log.bytes().size() + 8, LogBytes::kFill);
    LogScanCounters counters;
    auto map = records(log.bytes(), kScope, counters);
    ASSERT_EQ(map.size(), 1u) << op;
    EXPECT_EQ(map.begin()->second, (LogCandidate{1, 41, "report.docx", 200}));
    EXPECT_EQ(counters.name_records, 1u);
  }
}

TEST(LogNames, ReferenceBelow12OrPastTheVolumeIsNoRecordNumber) {
  for (std::uint64_t reference : {std::uint64_t{11}, std::uint64_t{1000}, std::uint64_t{0x01D5A1B2C3D4E5F6}}) {
    LogBytes log;
    log.put_named(0, 13, LogName{40, reference, "a.txt"});
    LogScanCounters counters;
    auto map = records(log.bytes(), kScope, counters);
    ASSERT_EQ(map.size(), 1u);
    EXPECT_EQ(map.begin()->first, 40u);  // keyed by its parent
    EXPECT_EQ(map.begin()->second.frn, 0u) << reference;
  }
  LogBytes log;
  log.put_named(0, 13, LogName{40, 999, "a.txt"});
  LogScanCounters counters;
  EXPECT_EQ(records(log.bytes(), kScope, counters).begin()->second.frn, 999u);
}

TEST(LogNames, DosNamesShortDataAndEmptyNamesAddNothing) {
  auto count = [](const LogName& name, std::uint16_t trim) {
    LogBytes log;
    const std::size_t end = log.put_named(0, 13, name);
    if (trim != 0) log.put_u16(6, static_cast<std::uint16_t>(end - 0x28 - trim));
    LogScanCounters counters;
    auto map = records(log.bytes(), kScope, counters);
    EXPECT_EQ(counters.name_records, 1u);
    return map.size();
  };
  EXPECT_EQ(count(LogName{40, 100, "A~1.TXT", 2}, 0), 0u);
  EXPECT_EQ(count(LogName{40, 100, "", 1}, 0), 0u);
  EXPECT_EQ(count(LogName{40, 100, "abc", 1}, 1), 0u);  // the name's last unit lies past the data
  EXPECT_EQ(count(LogName{40, 100, "abc", 1}, 0), 1u);
}

TEST(LogNames, UnpairedSurrogateBecomesReplacementCharacter) {
  LogBytes log;
  log.put_named(0, 13, LogName{40, 100, "ab"});
  log.put_u16(0x28 + 0x42 + 2, 0xD800);
  LogScanCounters counters;
  auto map = records(log.bytes(), kScope, counters);
  ASSERT_EQ(map.size(), 1u);
  EXPECT_EQ(map.begin()->second.name, "a\xEF\xBF\xBD");
}

// Two overlapping headers: an out-of-scope name at 0 and a second header at byte 2 whose fields
// double as the first one's undo operation, redo offset and redo length.
LogBytes overlapping_headers(std::uint64_t first_parent) {
  LogBytes log;
  log.put_u16(0, 6);      // first: redo 6
  log.put_u16(2, 6);      // first: undo 6   | second: redo 6
  log.put_u16(4, 0x40);   // first: offset 64 | second: undo 64
  log.put_u16(6, 0x100);  // first: length 256 | second: offset 256
  log.put_u16(8, 86);     //                  | second: length 86
  log.put_name(64, LogName{first_parent, 100, "abc"});
  log.put_name(2 + 256, LogName{41, 200, "second.txt"});
  log.bytes().resize(2 + 256 + 86 + 8, LogBytes::kFill);
  return log;
}

TEST(LogNames, NameOutsideTheScopeResumesOneByteFurther) {
  const LogBytes log = overlapping_headers(77);
  LogScanCounters counters;
  auto map = records(log.bytes(), kScope, counters);
  EXPECT_EQ(counters.name_records, 2u);
  ASSERT_EQ(map.size(), 1u);
  EXPECT_EQ(map.begin()->second, (LogCandidate{1, 41, "second.txt", 200}));
}

TEST(LogNames, NameInsideTheScopeMovesOnByEight) {
  const LogBytes log = overlapping_headers(40);
  LogScanCounters counters;
  auto map = records(log.bytes(), kScope, counters);
  EXPECT_EQ(counters.name_records, 1u);
  ASSERT_EQ(map.size(), 1u);
  EXPECT_EQ(map.begin()->second, (LogCandidate{1, 40, "abc", 100}));
}

TEST(LogNames, EmptyScopeMergesNoName) {
  LogBytes log;
  log.put_named(0, 13, LogName{40, 100, "a.txt"});
  LogScanCounters counters;
  EXPECT_TRUE(records(log.bytes(), kNoScope, counters).empty());
  EXPECT_EQ(counters.name_records, 1u);
}

// ---- the filter ------------------------------------------------------------------------------

TEST(LogFilter, WithoutJournalMapOnlyNamedFindingsInScopeSurvive) {
  LogBytes log;
  log.put_header(0, LogBytes::deallocate(100, 2, 2));     // record 401
  log.put_named(64, 13, LogName{40, 300, "kept.txt"});  // named, in scope
  auto [found, counters] = scan(log);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0], (LogCandidate{1, 40, "kept.txt", 300}));
  EXPECT_EQ(counters.frn_records, 1u);
  EXPECT_EQ(counters.hinted, 0u);
  // An empty scope keeps none.
  EXPECT_TRUE(scan(log, kNoScope).first.empty());
}

TEST(LogFilter, JournalMapKeepsTheRecordNumbersItNamed) {
  LogBytes log;
  log.put_header(0, LogBytes::deallocate(100, 2, 2));     // record 401
  log.put_header(64, LogBytes::deallocate(100, 4, 2));    // record 402
  log.put_named(128, 13, LogName{40, 300, "kept.txt"});
  UsnCandidateMap map;
  map.names_by_frn[401] = {"gone.txt"};
  map.names_by_frn[300] = {"kept.txt"};
  auto [found, counters] = scan(log, kScope, &map);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0], (LogCandidate{1, 40, "kept.txt", 300}));
  EXPECT_EQ(found[1], (LogCandidate{0, 0, std::nullopt, 401}));
  EXPECT_EQ(counters.hinted, 2u);
  // With a map the named finding in scope stays even when the journal did not name it.
  UsnCandidateMap other;
  other.names_by_frn[9] = {"x"};
  auto [found2, counters2] = scan(log, kScope, &other);
  ASSERT_EQ(found2.size(), 1u);
  EXPECT_EQ(found2[0].frn, 300u);
  EXPECT_EQ(counters2.hinted, 0u);
}

TEST(LogFilter, NamedAndNumberedFindingsOfOneRecordMerge) {
  LogBytes log;
  log.put_header(0, LogBytes::deallocate(100, 2, 2));     // record 401
  log.put_named(64, 13, LogName{40, 401, "both.txt"});
  auto [found, counters] = scan(log);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0], (LogCandidate{1, 40, "both.txt", 401}));
}

}  // namespace
}  // namespace kavel_lib::engine::windows
