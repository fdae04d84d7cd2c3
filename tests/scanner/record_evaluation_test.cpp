// The shared pieces of the record-number phases without a volume: ring bounds with saturation,
// the overflow-free range walk, counters, and evaluation through records placed in the cache.
#include "scanner/record_evaluation.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "engine/windows/raw_mft/mft_test_records.h"
#include "scanner/mft_phases.h"
#include "scanner/usn_hint_phase.h"

namespace kavel_lib::scanner {
namespace {

namespace ew = engine::windows;
using kavel_test::mft::RecordBuilder;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

TEST(FrnRings, TwoRingsAroundTheCentreCappedAt512) {
  const FrnRings r = frn_rings(10000, 0, 2048);
  EXPECT_EQ(r.lower, (FrnRange{10000 - 512, 9999}));
  EXPECT_EQ(r.upper, (FrnRange{10001, 10000 + 512}));
  const FrnRings s = frn_rings(10000, 100, 300);
  EXPECT_EQ(s.lower, (FrnRange{9700, 9899}));
  EXPECT_EQ(s.upper, (FrnRange{10101, 10300}));
}

TEST(FrnRings, LowerRingOfCentre100IsZeroTo99) {
  const FrnRings r = frn_rings(100, 0, 512);
  EXPECT_EQ(r.lower, (FrnRange{0, 99}));
  EXPECT_EQ(r.upper, (FrnRange{101, 612}));
}

TEST(FrnRings, SkipOf512OrMoreEmptiesBothRingsButRecordZeroNearTheBottom) {
  const FrnRings far = frn_rings(5000, 512, 1024);
  EXPECT_TRUE(far.lower.empty());
  EXPECT_TRUE(far.upper.empty());
  const FrnRings low = frn_rings(300, 512, 1024);  // both lower bounds saturate to 0
  EXPECT_EQ(low.lower, (FrnRange{0, 0}));
  EXPECT_TRUE(low.upper.empty());
  const FrnRings zero = frn_rings(0, 0, 512);  // the centre is in a ring only when it is 0
  EXPECT_EQ(zero.lower, (FrnRange{0, 0}));
  EXPECT_EQ(zero.upper, (FrnRange{1, 512}));
}

TEST(FrnRings, BoundsSaturateAtTheTop) {
  const FrnRings r = frn_rings(kMax - 10, 0, 512);
  EXPECT_EQ(r.upper, (FrnRange{kMax - 9, kMax}));
  const FrnRings s = frn_rings(kMax, kMax, kMax);
  EXPECT_EQ(s.lower, (FrnRange{kMax - 512, 0}));
  EXPECT_TRUE(s.lower.empty());
  EXPECT_EQ(s.upper, (FrnRange{kMax, kMax}));
}

TEST(ForEachFrn, EndsAtTheLargestNumberWithoutWrapping) {
  std::vector<std::uint64_t> seen;
  EXPECT_TRUE(for_each_frn(FrnRange{kMax - 2, kMax}, [&](std::uint64_t n) {
    seen.push_back(n);
    return seen.size() < 10;
  }));
  EXPECT_EQ(seen, (std::vector<std::uint64_t>{kMax - 2, kMax - 1, kMax}));
  int calls = 0;
  EXPECT_TRUE(for_each_frn(FrnRange{5, 4}, [&](std::uint64_t) { return ++calls, true; }));
  EXPECT_EQ(calls, 0);
  EXPECT_FALSE(for_each_frn(FrnRange{0, kMax}, [&](std::uint64_t n) { return n < 3; }));
}

TEST(Counters, SaturateInsteadOfWrapping) {
  std::uint32_t c = 4'294'967'290u;
  add_saturating(c, 3);
  EXPECT_EQ(c, 4'294'967'293u);
  add_saturating(c, kMax);
  EXPECT_EQ(c, 4'294'967'295u);
  EXPECT_EQ(saturating_add(kMax - 1, 5), kMax);
  EXPECT_EQ(saturating_sub(3, 5), 0u);
}

// A phase context over no volume at all: every read fails, so only records placed in the
// record cache are found.
struct CacheOnly {
  ew::VolumeHandle volume{platform::Device{}};
  ew::NtfsVolumeData data = ew::NtfsVolumeData::with_fields(4096, 1024, 4);
  ew::DirectoryScope scope;
  ew::ScanOptions options = ew::default_scan_options();
  ew::ScanContext context;
  ew::MftRecordCache cache;
  ew::UsnCandidateMap usn_map;
  std::string out;
  PhaseContext ctx{nullptr, volume,  ew::record_reader_geometry(data), data, scope, options, context, cache, 'E', 1024,
                   ew::ScanClock::now(), ew::TimeBudget{3600, 0}, nullptr};

  CacheOnly() {
    scope.path = "E:\\f";
    scope.dir_frn = 1000;
    scope.dir_ref = 1000 | (std::uint64_t{2} << 48);
    scope.dir_frns = {1000, 1001};
    scope.parent_match_frns = {1000, 1001, scope.dir_ref};
    scope.dir_names = {{1000, {"", 5}}, {1001, {"sub", 1000}}};
  }
  // A deleted file record named `name` in directory `parent`.
  void deleted_file(std::uint64_t frn, std::uint64_t parent, const std::u16string& name, std::uint8_t ns = 1) {
    cache.records[frn] = RecordBuilder(1024, 0).file_name(parent, name, ns).fixed();
  }
  ProgressFn progress() {
    return progress_to([this](std::string_view t) { out += t; });
  }
};

TEST(ScanFrnRange, EachNumberOnceThenTheSeenSetSkipsIt) {
  CacheOnly v;
  v.deleted_file(998, 1000, u"below.txt");
  v.deleted_file(1003, 1001, u"above.txt");
  ew::CollectorState c;
  std::unordered_set<std::uint64_t> seen{1003};
  EXPECT_EQ(scan_frn_range(v.ctx, 1000, 0, 4, seen, c), 1u);  // 1003 was seen already
  ASSERT_EQ(c.entries.size(), 1u);
  EXPECT_EQ(c.entries[0].path, "E:\\f\\below.txt");
  EXPECT_EQ(seen, (std::unordered_set<std::uint64_t>{996, 997, 998, 999, 1001, 1002, 1003, 1004}));
  EXPECT_EQ(v.cache.reads, 6u);  // misses only: 998 was in the cache, 1003 skipped
  EXPECT_EQ(v.context.cache_reads, 6u);
  EXPECT_EQ(v.context.cache_productive, 1u);
  EXPECT_EQ(scan_frn_range(v.ctx, 1000, 0, 4, seen, c), 0u);
  EXPECT_EQ(v.cache.reads, 6u);
}

TEST(ScanFrnRange, SpentBudgetReadsNothing) {
  CacheOnly v;
  v.deleted_file(999, 1000, u"x.txt");
  v.ctx.budget = {0, 0};
  ew::CollectorState c;
  std::unordered_set<std::uint64_t> seen;
  EXPECT_EQ(scan_frn_range(v.ctx, 1000, 0, 512, seen, c), 0u);
  EXPECT_TRUE(seen.empty());
}

TEST(ScanFrnRange, CentreAtTheTopOfTheRangeEnds) {
  CacheOnly v;
  ew::CollectorState c;
  std::unordered_set<std::uint64_t> seen;
  scan_frn_range(v.ctx, kMax, 0, kMax, seen, c);
  EXPECT_EQ(seen.size(), 513u);  // kMax - 512 .. kMax - 1, and kMax itself by saturation
}

TEST(EvaluateRecord, FallbackNameNeedsAFallbackParentInScope) {
  CacheOnly v;
  v.deleted_file(1500, 1000, u"SHORT~1.TXT", 2);  // a DOS name alone: no usable name
  auto none = evaluate_record(v.ctx, 1500, "Long name.txt", std::nullopt, false);
  EXPECT_FALSE(none.has_value());
  auto outside = evaluate_record(v.ctx, 1500, "Long name.txt", 77, false);
  EXPECT_FALSE(outside.has_value());
  auto named = evaluate_record(v.ctx, 1500, "Long name.txt", 1000, false);
  ASSERT_TRUE(named.has_value());
  ASSERT_EQ(named->size(), 1u);
  EXPECT_EQ((*named)[0].path, "E:\\f\\Long name.txt");
  EXPECT_EQ(v.cache.reads, 0u);
}

TEST(DeletedDirectoryDepth, StepsToTheFolderWithPenaltiesForGapsAndLoops) {
  ew::DirectoryScope s;
  s.dir_frn = 10;
  EXPECT_EQ(deleted_directory_depth(s, 10), 0u);
  EXPECT_EQ(deleted_directory_depth(s, 0), 0u);
  EXPECT_EQ(deleted_directory_depth(s, 11), 64u);  // empty map
  s.dir_names = {{10, {"", 5}}, {11, {"a", 10}}, {12, {"b", 11}}, {13, {"c", 99}}, {14, {"loop", 15}},
                 {15, {"loop2", 14}}};
  EXPECT_EQ(deleted_directory_depth(s, 11), 1u);
  EXPECT_EQ(deleted_directory_depth(s, 12), 2u);
  EXPECT_EQ(deleted_directory_depth(s, 13), 1u + 64u);  // 99 is not in the map
  EXPECT_EQ(deleted_directory_depth(s, 14), 128u);      // a loop runs out of steps
}

TEST(DeletedDirectoryPhase, NamelessDirectoryShowsAQuestionMarkAndTheBudgetStopsWithAReason) {
  CacheOnly v;
  v.options.deleted_dir_phase = true;
  v.scope.deleted_dir_frns = {1001, 4242};
  v.scope.dir_frns.insert(4242);
  ew::CollectorState c;
  run_deleted_directory_phase(v.ctx, c, v.progress());
  // 1001 (depth 1) first; 4242 has no name and the depth of a gap (64).
  EXPECT_EQ(v.out,
            "  [0/2] Phase 2b Whole-folder deletion Directory FRN=1001 (sub)\n"
            "  [1/2] Phase 2b Whole-folder deletion Directory FRN=4242 (?)\n");
  EXPECT_EQ(v.context.status, "");

}

// A progress callback that lets the budget run out while the first item is announced, so
// that the next check between items finds it spent.
// Spends the whole budget while the first line is shown (by moving the scan's start back past
// it), however slowly the machine got there.
ProgressFn spend_on_first_line(CacheOnly& v) {
  return [&v](std::uint64_t i, std::uint64_t n, std::string_view text) {
    progress_to([&v](std::string_view t) { v.out += t; })(i, n, text);
    if (i != 0) return;
    v.ctx.start -= std::chrono::seconds(v.ctx.budget.seconds + 1);
    EXPECT_TRUE(phase_budget_spent(v.ctx));
  };
}

TEST(DeletedDirectoryPhase, BudgetSpentBetweenDirectoriesLeavesItsReason) {
  CacheOnly v;
  v.options.deleted_dir_phase = true;
  v.scope.deleted_dir_frns = {1001, 4242};
  v.deleted_file(1002, 1001, u"in-ring.txt");
  v.ctx.start = ew::ScanClock::now();
  v.ctx.budget = {60, 0};
  ew::CollectorState c;
  run_deleted_directory_phase(v.ctx, c, spend_on_first_line(v));
  EXPECT_EQ(v.out, "  [0/2] Phase 2b Whole-folder deletion Directory FRN=1001 (sub)\n");
  EXPECT_EQ(v.context.status, "Time limit reached (deleted directory phase)");
  EXPECT_TRUE(c.entries.empty());  // the ring of the first directory read nothing either
}

TEST(IndexPhase, BudgetSpentBetweenDirectoriesLeavesItsReason) {
  CacheOnly v;
  v.ctx.start = ew::ScanClock::now();
  v.ctx.budget = {60, 0};
  ew::CollectorState c;
  run_index_phase(v.ctx, c, spend_on_first_line(v));
  EXPECT_EQ(v.out.rfind("  [0/2] Phase 1 Directory index FRN=", 0), 0u);
  EXPECT_EQ(v.out.find("[1/2]"), std::string::npos);
  EXPECT_EQ(v.context.status, "Time limit reached (index phase)");
}

TEST(VicinityPhase3, BudgetSpentBetweenDirectoriesStopsWithoutAReason) {
  CacheOnly v;
  v.options.vicinity_3 = true;
  v.scope.dir_frns = {1000, 1001, 1002};
  v.ctx.start = ew::ScanClock::now();
  v.ctx.budget = {60, 0};
  ew::CollectorState c;
  run_vicinity_phase_3(v.ctx, c, spend_on_first_line(v));
  EXPECT_EQ(v.out, "  [0/2] Phase 3 Directory vicinity FRN=1001 ±1024 (MFT confirmed)\n");
  EXPECT_EQ(v.context.status, "");
  EXPECT_EQ(v.cache.reads, 0u);
}

TEST(VicinityPhase3, NearestDirectoriesFirstEqualDistancesInSetOrder) {
  CacheOnly v;
  v.options.vicinity_3 = true;
  v.options.vicinity_dirs = 2;
  v.options.vicinity_radius = 10;
  v.scope.dir_frns = {1000, 990, 1010, 1500};
  v.scope.deleted_dir_frns = {1010};
  ew::CollectorState c;
  run_vicinity_phase_3(v.ctx, c, v.progress());
  std::vector<std::uint64_t> tied;
  for (auto x : v.scope.dir_frns) {
    if (x == 990 || x == 1010) tied.push_back(x);
  }
  const std::uint64_t first = tied[0], second = tied[1];
  auto radius = [](std::uint64_t d) { return d == 1010 ? 4096 : 10; };
  EXPECT_EQ(v.out, "  [0/2] Phase 3 Directory vicinity FRN=" + std::to_string(first) + " ±" +
                       std::to_string(radius(first)) + " (MFT confirmed)\n  [1/2] Phase 3 Directory vicinity FRN=" +
                       std::to_string(second) + " ±" + std::to_string(radius(second)) + " (MFT confirmed)\n");
}

TEST(UsnHintOrder, NearestFirstAndEqualDistancesKeepTheMapsOrder) {
  ew::UsnCandidateMap m;
  for (std::uint64_t f : {1005u, 995u, 1200u, 1001u, 999u, 40u}) m.names_by_frn[f] = {"n.txt"};
  std::vector<std::uint64_t> listing;
  for (const auto& [f, names] : m.names_by_frn) listing.push_back(f);
  const auto order = usn_hint_order(m, 1000);
  ASSERT_EQ(order.size(), 6u);
  auto pos = [&](const std::vector<std::uint64_t>& v, std::uint64_t f) { return std::find(v.begin(), v.end(), f) - v.begin(); };
  EXPECT_EQ(pos(order, 1200), 4);
  EXPECT_EQ(pos(order, 40), 5);
  // 1001 and 999 (distance 1), then 1005 and 995 (distance 5), each pair as the map lists it.
  EXPECT_EQ(pos(order, 1001) < pos(order, 999), pos(listing, 1001) < pos(listing, 999));
  EXPECT_EQ(pos(order, 1005) < pos(order, 995), pos(listing, 1005) < pos(listing, 995));
  EXPECT_LT(std::max(pos(order, 1001), pos(order, 999)), std::min(pos(order, 1005), pos(order, 995)));

  // Above 20 numbers the same order holds.
  ew::UsnCandidateMap big;
  for (std::uint64_t f = 0; f < 50; ++f) big.names_by_frn[2000 + (f % 2 ? f : -f)] = {"x"};
  const auto o = usn_hint_order(big, 2000);
  for (std::size_t i = 1; i < o.size(); ++i) {
    const auto d = [](std::uint64_t x) { return x > 2000 ? x - 2000 : 2000 - x; };
    EXPECT_LE(d(o[i - 1]), d(o[i]));
  }
}

TEST(UsnHintPhase, EmptyMapPrintsNothing) {
  CacheOnly v;
  ew::CollectorState c;
  run_usn_hint_phase(v.ctx, c, v.progress());
  v.ctx.usn_map = &v.usn_map;
  run_usn_hint_phase(v.ctx, c, v.progress());
  EXPECT_EQ(v.out, "");
  EXPECT_EQ(v.context.usn, 0u);
}

TEST(UsnHintPhase, ParentOutsideTheScopeGivesNoFallbackParent) {
  CacheOnly v;
  v.deleted_file(1500, 1000, u"SHORT~1.TXT", 2);  // needs the fallback to yield anything
  v.deleted_file(1501, 1000, u"SHORT~2.TXT", 2);
  v.usn_map.names_by_frn[1500] = {"kept name.txt"};
  v.usn_map.parent_by_frn[1500] = 1000 | (std::uint64_t{2} << 48);  // the folder's full reference
  v.usn_map.names_by_frn[1501] = {"outside.txt"};
  v.usn_map.parent_by_frn[1501] = 77;
  v.ctx.usn_map = &v.usn_map;
  ew::CollectorState c;
  run_usn_hint_phase(v.ctx, c, v.progress());
  EXPECT_EQ(v.out, "  [0/1] Phase 2 USN hint FRNs (2 items, MFT validated)\n");
  ASSERT_EQ(c.entries.size(), 1u);
  EXPECT_EQ(c.entries[0].path, "E:\\f\\kept name.txt");
  EXPECT_EQ(c.entries[0].frn, 1500u);
  EXPECT_EQ(v.context.usn, 1u);
  EXPECT_EQ(usn_fallback_parent(v.usn_map, v.scope, 1501), std::nullopt);
}

TEST(UsnHintPhase, SeveralNamesHandOnlyTheFirstAsFallback) {
  CacheOnly v;
  v.deleted_file(1500, 1000, u"SHORT~1.TXT", 2);
  v.usn_map.names_by_frn[1500] = {"b-name.txt", "a-name.txt", "c-name.txt"};
  v.usn_map.parent_by_frn[1500] = 1000;
  v.ctx.usn_map = &v.usn_map;
  ew::CollectorState c;
  run_usn_hint_phase(v.ctx, c, v.progress());
  ASSERT_EQ(c.entries.size(), 1u);
  EXPECT_EQ(c.entries[0].path, "E:\\f\\" + *ew::first_name(v.usn_map.names_by_frn[1500]));
}

}  // namespace
}  // namespace kavel_lib::scanner
