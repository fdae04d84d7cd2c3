// The deferred re-read: its work list, its passes and sleeps against the budget (on a fake
// clock), and what it hands to the collector.
#include <gtest/gtest.h>

#include <limits>

#include "engine/windows/ntfs_deleted/candidate_collector.h"
#include "engine/windows/ntfs_logfile/mft_retry.h"

namespace kavel_lib::engine::windows {
namespace {

using namespace std::chrono_literals;

DirectoryScope scope_of(std::uint64_t dir_frn) {
  DirectoryScope s;
  s.path = "E:\\docs\\2";
  s.dir_frn = dir_frn;
  s.dir_frns = {dir_frn};
  s.parent_match_frns = {dir_frn};
  s.dir_names[dir_frn] = {"", 5};
  return s;
}

// ---- work list -------------------------------------------------------------------------------

TEST(RetryWorkList, JournalRecordsNotFoundYet) {
  UsnCandidateMap map;
  map.names_by_frn = {{100, {"a"}}, {101, {"b"}}, {102, {"c"}}};
  auto work = retry_work_list(65, &map, {100}, {102});
  EXPECT_EQ(work, std::vector<std::uint64_t>{101});
}

TEST(RetryWorkList, AllJournalRecordsFoundGivesTheWindowAroundTheFolder) {
  UsnCandidateMap map;
  map.names_by_frn = {{100, {"a"}}};
  auto work = retry_work_list(10000, &map, {100}, {});
  ASSERT_EQ(work.size(), 16385u);
  EXPECT_EQ(work.front(), 10000u - 8192);
  EXPECT_EQ(work.back(), 10000u + 8192);
  EXPECT_TRUE(std::is_sorted(work.begin(), work.end()));
}

TEST(RetryWorkList, WindowStopsAtZeroAndAtTheLargestNumber) {
  auto low = retry_work_list(100, nullptr, {}, {});
  EXPECT_EQ(low.front(), 0u);
  EXPECT_EQ(low.back(), 8292u);
  EXPECT_EQ(low.size(), 8293u);
  const std::uint64_t top = std::numeric_limits<std::uint64_t>::max() - 5;
  auto high = retry_work_list(top, nullptr, {}, {});
  EXPECT_EQ(high.front(), top - 8192);
  EXPECT_EQ(high.back(), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(high.size(), 8192u + 6u);
}

// ---- passes against the budget ---------------------------------------------------------------

// A fake clock that moves only when the phase sleeps or a read takes time.
struct FakeDisk {
  ScanClock::time_point t{};
  std::chrono::nanoseconds read_cost{0};
  int sleeps = 0;
  std::vector<int> reads_per_pass;  // reads seen between sleeps
  // Record number -> the pass from which its record parses.
  std::unordered_map<std::uint64_t, int> parses_from_pass;
  std::vector<RecordParseArgs> args_seen;

  RetryHooks hooks() {
    RetryHooks h;
    h.now = [this] { return t; };
    h.sleep = [this](std::chrono::nanoseconds d) {
      ++sleeps;
      t += d;
    };
    h.read_and_parse = [this](std::uint64_t frn, const RecordParseArgs& args) -> std::optional<std::vector<DeletedEntry>> {
      if (reads_per_pass.size() < static_cast<std::size_t>(sleeps + 1)) reads_per_pass.resize(sleeps + 1, 0);
      ++reads_per_pass[sleeps];
      t += read_cost;
      if (args_seen.empty()) args_seen.push_back(args);
      auto it = parses_from_pass.find(frn);
      if (it == parses_from_pass.end() || sleeps + 1 < it->second) return std::nullopt;
      return std::vector<DeletedEntry>{DeletedEntry{std::nullopt, fmt_path(frn), frn, 10, 65}};
    };
    return h;
  }
  static std::string fmt_path(std::uint64_t frn) { return "E:\\docs\\2\\f" + std::to_string(frn) + ".txt"; }
};

std::uint32_t run(FakeDisk& disk, TimeBudget budget, const UsnCandidateMap* map, CollectorState& c,
                  const DirectoryScope& scope = scope_of(65)) {
  return delayed_mft_retry(scope, disk.hooks(), map, {}, c.entries, c.dedup_texts, c.found_frns, budget);
}

UsnCandidateMap two_records() {
  UsnCandidateMap map;
  map.names_by_frn = {{200, {"f200.txt"}}, {201, {"f201.txt"}}};
  return map;
}

TEST(RetryPasses, HalfASecondAllowsThreeQuickPassesWithTwoSleeps) {
  FakeDisk disk;
  CollectorState c;
  const auto map = two_records();
  run(disk, {0, 500'000'000}, &map, c);
  EXPECT_EQ(disk.sleeps, 2);
  EXPECT_EQ(disk.reads_per_pass, (std::vector<int>{2, 2, 2}));
  EXPECT_EQ(disk.t - ScanClock::time_point{}, 400ms);
}

TEST(RetryPasses, ThirdPassStartsOnlyWhileTimeRemains) {
  FakeDisk disk;
  CollectorState c;
  const auto map = two_records();
  run(disk, {0, 200'000'000}, &map, c);  // reached after the first sleep
  EXPECT_EQ(disk.sleeps, 1);
  EXPECT_EQ(disk.reads_per_pass.size(), 2u);
}

TEST(RetryPasses, SlowFirstPassLeavesNoTimeForASecond) {
  FakeDisk disk;
  disk.read_cost = 300ms;
  CollectorState c;
  const auto map = two_records();
  run(disk, {0, 500'000'000}, &map, c);  // the pass itself runs past the budget
  EXPECT_EQ(disk.sleeps, 0);
  EXPECT_EQ(disk.reads_per_pass, std::vector<int>{2});
}

TEST(RetryPasses, NoBudgetRunsNoPass) {
  FakeDisk disk;
  CollectorState c;
  const auto map = two_records();
  EXPECT_EQ(run(disk, {0, 0}, &map, c), 0u);
  EXPECT_TRUE(disk.reads_per_pass.empty());
}

TEST(RetryPasses, RecordFoundInOnePassIsNotReadAgain) {
  FakeDisk disk;
  disk.parses_from_pass = {{200, 2}};  // flushed before the second pass
  CollectorState c;
  const auto map = two_records();
  EXPECT_EQ(run(disk, {1, 0}, &map, c), 1u);
  EXPECT_EQ(disk.reads_per_pass, (std::vector<int>{2, 2, 1}));
  ASSERT_EQ(c.entries.size(), 1u);
  EXPECT_EQ(c.entries[0].frn, 200u);
  EXPECT_TRUE(c.found_frns.contains(200));
}

TEST(RetryPasses, ParseArgumentsFollowTheScope) {
  FakeDisk disk;
  CollectorState c;
  const auto map = two_records();
  DirectoryScope scope = scope_of(65);
  scope.strict_paths = false;
  scope.filter_flag = true;
  run(disk, {0, 1}, &map, c, scope);
  ASSERT_EQ(disk.args_seen.size(), 1u);
  const RecordParseArgs& a = disk.args_seen[0];
  EXPECT_EQ(a.letter, 'E');
  EXPECT_EQ(a.folder, "E:\\docs\\2");
  EXPECT_EQ(a.root_frn, 65u);
  EXPECT_EQ(a.hints, &map);
  EXPECT_FALSE(a.fallback_name.has_value());
  EXPECT_FALSE(a.fallback_enabled);
  EXPECT_TRUE(a.absent_path_check);
  EXPECT_TRUE(a.take_in_use);
  EXPECT_TRUE(a.extra_name_flag);
}

TEST(RetryPasses, FolderWithoutDriveLetterUsesQuestionMark) {
  FakeDisk disk;
  CollectorState c;
  const auto map = two_records();
  DirectoryScope scope = scope_of(65);
  scope.path = "\\\\server\\share\\x";
  run(disk, {0, 1}, &map, c, scope);
  ASSERT_EQ(disk.args_seen.size(), 1u);
  EXPECT_EQ(disk.args_seen[0].letter, '?');
}

TEST(RetryPasses, EntriesTheCollectorRejectsCountNothing) {
  FakeDisk disk;
  disk.parses_from_pass = {{200, 1}};
  CollectorState c;
  const auto map = two_records();
  DirectoryScope scope = scope_of(65);
  scope.parent_match_frns = {66};  // the fake entry's parent 65 is not in scope
  EXPECT_EQ(run(disk, {0, 1}, &map, c, scope), 0u);
  EXPECT_TRUE(c.entries.empty());
}

}  // namespace
}  // namespace kavel_lib::engine::windows
