#include "engine/windows/usn_deleted/usn_journal_io.h"

#include <gtest/gtest.h>

#include "usn_test_records.h"

namespace kavel_lib::engine::windows {
namespace {

using namespace usn_test;
namespace ctl = platform::ctl;

constexpr std::uint64_t kDir = 100;
constexpr std::uint64_t kJournalId = 0x01d4b29a6f9cc0e9;

struct Loop {
  ScriptedVolume volume;
  UsnWalkContext context;
  UsnFindings findings;
  std::unordered_set<std::uint64_t> unpaired;
  Loop() {
    context.folder = "E:\\docs";
    context.dir_frn = kDir;
    context.dir_ref = kDir;
  }
  std::expected<std::uint64_t, platform::OsError> read(UsnJournalData journal, std::int64_t start) {
    return read_usn_journal_range(volume.control(), context, journal, start, findings, unpaired);
  }
  // (StartUsn, MaxMajorVersion) of every read call.
  std::vector<std::pair<std::int64_t, std::uint16_t>> reads() const {
    std::vector<std::pair<std::int64_t, std::uint16_t>> out;
    for (const auto& c : volume.calls_of(ctl::FSCTL_READ_USN_JOURNAL)) {
      out.emplace_back(static_cast<std::int64_t>(get(c.input, 0, 8)), static_cast<std::uint16_t>(get(c.input, 42, 2)));
    }
    return out;
  }
};

UsnJournalData journal(std::int64_t first, std::int64_t next) {
  UsnJournalData j;
  j.journal_id = kJournalId;
  j.first_usn = first;
  j.next_usn = next;
  return j;
}

TEST(UsnControlInputs, ReadAndEnumLayouts) {
  const Bytes read = read_journal_input(12345, kJournalId, 4);
  ASSERT_EQ(read.size(), 48u);
  EXPECT_EQ(get(read, 0, 8), 12345u);
  EXPECT_EQ(get(read, 8, 4), 0xFFFFFFFFu);
  EXPECT_EQ(get(read, 12, 4), 0u);
  EXPECT_EQ(get(read, 16, 8), 0u);
  EXPECT_EQ(get(read, 24, 8), 0u);
  EXPECT_EQ(get(read, 32, 8), kJournalId);
  EXPECT_EQ(get(read, 40, 2), 2u);
  EXPECT_EQ(get(read, 42, 2), 4u);
  const Bytes en = enum_usn_input(0x777);
  ASSERT_EQ(en.size(), 32u);
  EXPECT_EQ(get(en, 0, 8), 0x777u);
  EXPECT_EQ(get(en, 8, 8), 0u);
  EXPECT_EQ(get(en, 16, 8), 0u);
  EXPECT_EQ(get(en, 24, 2), 2u);
  EXPECT_EQ(get(en, 26, 2), 4u);
}

TEST(UsnQuery, DecodesTheJournalData) {
  ScriptedVolume v;
  v.query.push_back(ok(journal_data(kJournalId, 4096, 29792)));
  auto j = query_usn_journal(v.control());
  ASSERT_TRUE(j);
  EXPECT_EQ(j->journal_id, kJournalId);
  EXPECT_EQ(j->first_usn, 4096);
  EXPECT_EQ(j->next_usn, 29792);
  EXPECT_TRUE(v.calls[0].input.empty());
}

TEST(UsnQuery, FailureTextAndTheCodelessFailure) {
  ScriptedVolume v;
  v.query.push_back(fail(1179));
  auto j = query_usn_journal(v.control());
  ASSERT_FALSE(j);
  EXPECT_EQ(j.error().display(), "QUERY_USN_JOURNAL: " + platform::WinError{1179}.display());
  EXPECT_EQ(j.error().kind(), platform::OsErrorKind::Other);
  v.query.push_back(fail(0));
  auto zero = query_usn_journal(v.control());
  ASSERT_TRUE(zero);
  EXPECT_EQ(zero->next_usn, 0);
  EXPECT_EQ(zero->journal_id, 0u);
}

TEST(UsnReadWindow, LastEightMillionBytesOrTheWholeShortJournal) {
  EXPECT_EQ(usn_window_start(journal(0, 20'000'000)), 12'000'000);
  EXPECT_EQ(usn_window_start(journal(15'000'000, 20'000'000)), 15'000'000);
  EXPECT_EQ(usn_window_start(journal(0, 29792)), 0) << "a short journal is read from FirstUsn";
  EXPECT_EQ(usn_window_start(journal(std::numeric_limits<std::int64_t>::min(),
                                     std::numeric_limits<std::int64_t>::min() + 7'999'999)),
            std::nullopt);
}

TEST(UsnReadLoop, ReadsUntilNextUsnAndWalksEveryAnswer) {
  Loop l;
  l.volume.read.push_back(ok(answer(5000, v2(0x70, kDir, 0x80000200, u"a.txt"))));
  l.volume.read.push_back(ok(answer(9000, v2(0x71, kDir, 0x80000200, u"b.txt"))));
  auto n = l.read(journal(1000, 9000), 0);
  ASSERT_TRUE(n);
  EXPECT_EQ(*n, 2u);
  EXPECT_EQ(l.reads(), (std::vector<std::pair<std::int64_t, std::uint16_t>>{{1000, 4}, {5000, 4}}))
      << "the position starts at FirstUsn at the earliest and follows the answers";
  EXPECT_EQ(get(l.volume.calls[0].input, 32, 8), kJournalId);
}

TEST(UsnReadLoop, NothingToReadMakesNoCall) {
  Loop l;
  EXPECT_EQ(l.read(journal(5000, 5000), 0), 0u);
  EXPECT_EQ(l.read(journal(0, 5000), 5000), 0u);
  EXPECT_EQ(l.read(journal(6000, 5000), 0), 0u);
  EXPECT_TRUE(l.volume.calls.empty());
}

TEST(UsnReadLoop, VersionFallbackThenRestartAtFirstUsnThenGiveUp) {
  Loop l;
  l.volume.read = {fail(87), fail(87), fail(87)};
  auto n = l.read(journal(1000, 9'000'000), 1'000'000);
  ASSERT_TRUE(n) << "an 87 that persists ends the read without an error";
  EXPECT_EQ(*n, 0u);
  EXPECT_EQ(l.reads(), (std::vector<std::pair<std::int64_t, std::uint16_t>>{
                           {1'000'000, 4}, {1'000'000, 2}, {1000, 2}}));
}

TEST(UsnReadLoop, VersionFallbackSucceeds) {
  Loop l;
  l.volume.read = {fail(87), ok(answer(9000, v2(0x70, kDir, 0x80000200, u"a.txt")))};
  auto n = l.read(journal(1000, 9000), 1000);
  ASSERT_TRUE(n);
  EXPECT_EQ(*n, 1u);
  EXPECT_EQ(l.reads(), (std::vector<std::pair<std::int64_t, std::uint16_t>>{{1000, 4}, {1000, 2}}));
}

TEST(UsnReadLoop, NoRestartWhenAlreadyAtFirstUsn) {
  Loop l;
  l.volume.read = {fail(87), fail(87), ok(answer(9000, {}))};
  ASSERT_TRUE(l.read(journal(1000, 9000), 0));
  EXPECT_EQ(l.reads().size(), 2u);
}

TEST(UsnReadLoop, EndOfFileEndsQuietlyOtherErrorsAreReported) {
  Loop eof;
  eof.volume.read = {ok(answer(5000, v2(0x70, kDir, 0x80000200, u"a.txt"))), fail(38)};
  EXPECT_EQ(eof.read(journal(1000, 9000), 0), 1u);

  Loop denied;
  denied.volume.read = {fail(5)};
  auto n = denied.read(journal(1000, 9000), 0);
  ASSERT_FALSE(n);
  EXPECT_EQ(n.error().display(), "READ_USN_JOURNAL: " + platform::WinError{5}.display());
}

TEST(UsnReadLoop, ShortAnswersAndStuckPositionsEndTheLoop) {
  Loop shorter;
  shorter.volume.read = {ok(Bytes(7, 0))};
  EXPECT_EQ(shorter.read(journal(1000, 9000), 0), 0u);
  EXPECT_EQ(shorter.reads().size(), 1u);

  Loop stuck;
  stuck.volume.read = {ok(answer(1000, v2(0x70, kDir, 0x80000200, u"a.txt"))), ok(answer(9000, {}))};
  EXPECT_EQ(stuck.read(journal(1000, 9000), 0), 1u) << "the records of the last answer still count";
  EXPECT_EQ(stuck.reads().size(), 1u);
}

TEST(UsnReadLoop, UnpairedRecordsJoinTheCallersSetAtTheEnd) {
  Loop l;
  l.volume.read = {ok(answer(9000, cat({v4(0x80, kDir, 0x80000200), v4(0x81, kDir, 0x80000200),
                                        v2(0x81, kDir, 0x2, u"paired.bin")})))};
  l.unpaired = {0x99};
  EXPECT_EQ(l.read(journal(1000, 9000), 0), 1u);
  EXPECT_EQ(l.unpaired, (std::unordered_set<std::uint64_t>{0x80, 0x99}));
}

TEST(UsnEnumStep, NearModeWindowAndEndOfFile) {
  Loop l;
  l.context.dir_frn = 10'000;
  l.volume.enumerate = {ok(answer(7000, v2(6000, 10'000, 0x80000200, u"x.txt"))), ok(answer(9000, {}))};
  auto outcome = run_enum_step(l.volume.control(), l.context, l.findings);
  EXPECT_FALSE(outcome.error);
  EXPECT_EQ(outcome.added, 1u);
  const auto calls = l.volume.calls_of(ctl::FSCTL_ENUM_USN_DATA);
  ASSERT_EQ(calls.size(), 3u) << "two answers, then error 38";
  EXPECT_EQ(get(calls[0].input, 0, 8), 10'000u - 4096u);
  EXPECT_EQ(get(calls[1].input, 0, 8), 7000u);
  EXPECT_EQ(get(calls[2].input, 0, 8), 9000u);
}

TEST(UsnEnumStep, NearModeStopsPastTheLimitAndStartsAtZeroLow) {
  Loop l;
  l.context.dir_frn = 100;
  l.volume.enumerate = {ok(answer(100 + 0x8000, {})), ok(answer(100 + 0x8001, {})), ok(answer(200'000, {}))};
  auto outcome = run_enum_step(l.volume.control(), l.context, l.findings);
  EXPECT_FALSE(outcome.error);
  const auto calls = l.volume.calls_of(ctl::FSCTL_ENUM_USN_DATA);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(get(calls[0].input, 0, 8), 0u);
  EXPECT_EQ(get(calls[1].input, 0, 8), 100u + 0x8000u);
}

TEST(UsnEnumStep, FullModeRunsToTheEndAndSeesTheSequenceBitsOnlyAsMoreOfTheSameNumber) {
  Loop l;
  l.context.full = true;
  l.volume.enumerate = {ok(answer(200'000, {})), ok(answer(0x0001000000000000 | 300'000, {})), ok(answer(0, {}))};
  auto outcome = run_enum_step(l.volume.control(), l.context, l.findings);
  EXPECT_FALSE(outcome.error);
  const auto calls = l.volume.calls_of(ctl::FSCTL_ENUM_USN_DATA);
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(get(calls[0].input, 0, 8), 0u);
}

TEST(UsnEnumStep, AnswersThatGoBackEndTheStep) {
  Loop l;
  l.context.full = true;
  l.volume.enumerate = {ok(answer(5000, {})), ok(answer(4000, {})), ok(answer(5000, {}))};
  run_enum_step(l.volume.control(), l.context, l.findings);
  EXPECT_EQ(l.volume.calls_of(ctl::FSCTL_ENUM_USN_DATA).size(), 2u);
  Loop same;
  same.context.full = true;
  same.volume.enumerate = {ok(answer(5000, {})), ok(answer(5000, {})), ok(answer(6000, {}))};
  run_enum_step(same.volume.control(), same.context, same.findings);
  EXPECT_EQ(same.volume.calls_of(ctl::FSCTL_ENUM_USN_DATA).size(), 2u);
}

TEST(UsnEnumStep, FailureText) {
  Loop l;
  l.volume.enumerate = {fail(1)};
  auto outcome = run_enum_step(l.volume.control(), l.context, l.findings);
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(*outcome.error, "ENUM_USN_DATA: " + platform::WinError{1}.display());
}

TEST(UsnEnumStep, OwnUnpairedSetIsDropped) {
  Loop l;
  l.volume.enumerate = {ok(answer(200, v4(0x80, kDir, 0x80000200)))};
  run_enum_step(l.volume.control(), l.context, l.findings);
  EXPECT_TRUE(l.unpaired.empty());
}

}  // namespace
}  // namespace kavel_lib::engine::windows
