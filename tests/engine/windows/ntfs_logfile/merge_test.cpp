// Folding $LogFile findings into the candidate map.
#include <gtest/gtest.h>

#include "engine/windows/ntfs_logfile/log_candidates.h"

namespace kavel_lib::engine::windows {
namespace {

TEST(MergeLogCandidate, NamedWithoutRecordThenNumberedWithThatParentAsRecordFillsTheRecord) {
  LogCandidateMap map;
  merge_logfile_candidate(map, {1, 40, "a.txt", 0});
  merge_logfile_candidate(map, {0, 0, std::nullopt, 40});
  ASSERT_EQ(map.size(), 1u);
  EXPECT_EQ(map.at(40), (LogCandidate{1, 40, "a.txt", 40}));
}

TEST(MergeLogCandidate, SameRecordKeepsTheFirstNameAndParent) {
  LogCandidateMap map;
  merge_logfile_candidate(map, {1, 40, "first.txt", 300});
  merge_logfile_candidate(map, {1, 41, "second.txt", 300});
  ASSERT_EQ(map.size(), 1u);
  EXPECT_EQ(map.at(300), (LogCandidate{1, 40, "first.txt", 300}));
}

TEST(MergeLogCandidate, RecordOnlyEntryTakesKindParentAndName) {
  LogCandidateMap map;
  merge_logfile_candidate(map, {0, 0, std::nullopt, 300});
  merge_logfile_candidate(map, {1, 41, "late.txt", 300});
  EXPECT_EQ(map.at(300), (LogCandidate{1, 41, "late.txt", 300}));
  // A later record-only finding changes nothing but a non-zero record number.
  merge_logfile_candidate(map, {0, 0, std::nullopt, 300});
  EXPECT_EQ(map.at(300), (LogCandidate{1, 41, "late.txt", 300}));
}

TEST(MergeLogCandidate, NamedEntryWithoutNameTakesOneLater) {
  LogCandidateMap map;
  merge_logfile_candidate(map, {0, 0, std::nullopt, 300});
  merge_logfile_candidate(map, {0, 0, std::nullopt, 300});
  EXPECT_FALSE(map.at(300).name.has_value());
  merge_logfile_candidate(map, {1, 40, "n.txt", 300});
  EXPECT_EQ(map.at(300).name, "n.txt");
}

TEST(MergeLogCandidate, CandidatesWithoutKeyAreDropped) {
  LogCandidateMap map;
  merge_logfile_candidate(map, {0, 0, std::nullopt, 0});  // nothing at all
  merge_logfile_candidate(map, {0, 0, "x.txt", 0});       // record number 0, kind 0, a name
  merge_logfile_candidate(map, {1, 0, "y.txt", 0});       // named, parent 0
  EXPECT_TRUE(map.empty());
}

TEST(MergeLogCandidate, TwoNamedFindingsWithoutRecordShareTheirParentsSlot) {
  LogCandidateMap map;
  merge_logfile_candidate(map, {1, 40, "a.txt", 0});
  merge_logfile_candidate(map, {1, 40, "b.txt", 0});
  ASSERT_EQ(map.size(), 1u);
  EXPECT_EQ(map.at(40).name, "a.txt");
}

TEST(MergeLogCandidate, MapStopsTakingNewKeysAtItsBound) {
  LogCandidateMap map;
  for (std::uint64_t frn = 1; frn <= kMaxLogCandidates + 10; ++frn) merge_logfile_candidate(map, {0, 0, std::nullopt, frn});
  EXPECT_EQ(map.size(), kMaxLogCandidates);
  merge_logfile_candidate(map, {1, 40, "a.txt", 1});  // an existing key still merges
  EXPECT_EQ(map.at(1).name, "a.txt");
}

}  // namespace
}  // namespace kavel_lib::engine::windows
