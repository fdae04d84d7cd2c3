// The directory scope and every record-number phase on a builder-made volume with a folder
// tree (see phase_volume.h): entries, counters and progress lines per phase, the scope built
// from the volume, default and hand-built options.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <string>
#include <utility>
#include <vector>

#include "phase_volume.h"
#include "scanner/mft_orchestrator.h"
#include "scanner/mft_phases.h"
#include "scanner/usn_hint_phase.h"

namespace kavel_lib::scanner::phase_test {
namespace {

using Found = std::vector<std::pair<std::uint64_t, std::string>>;

class PhasesOnVolume : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!tree_.ready()) GTEST_SKIP() << "the builder cannot write the volume: " << tree_.why();
  }
  std::unique_ptr<VolumeContext> open(ew::ScanOptions options = ew::default_scan_options()) {
    auto v = std::make_unique<VolumeContext>("E:\\docs\\2", options);
    EXPECT_TRUE(v->ready()) << v->why();
    return v;
  }
  const TreeRecords& r() const { return tree_.records(); }

  TreeVolume tree_;
};

TEST_F(PhasesOnVolume, ScopeHoldsTheLiveTreeAndTheDeletedFoldersTheIndexesStillName) {
  auto v = open();
  ASSERT_TRUE(v->ready());
  const auto& s = v->scope();
  EXPECT_EQ(s.dir_frn, r().folder);
  EXPECT_EQ(s.dir_ref, tree_.reference(r().folder));
  EXPECT_EQ(s.dir_frns, (std::unordered_set<std::uint64_t>{r().folder, r().sub, r().sub2, r().gone, r().gone2}));
  EXPECT_EQ(s.deleted_dir_frns, (std::unordered_set<std::uint64_t>{r().gone, r().gone2}));
  EXPECT_EQ(s.dir_names.at(r().folder), (std::pair<std::string, std::uint64_t>{"", 5}));
  EXPECT_EQ(s.dir_names.at(r().sub2), (std::pair<std::string, std::uint64_t>{"sub2", r().sub}));
  EXPECT_EQ(s.dir_names.at(r().gone), (std::pair<std::string, std::uint64_t>{"gone", r().folder}));
  EXPECT_EQ(s.dir_names.at(r().gone2), (std::pair<std::string, std::uint64_t>{"gone2", r().gone}));
  EXPECT_TRUE(s.parent_match_frns.contains(tree_.reference(r().folder)));
  EXPECT_EQ(s.parent_match_frns.size(), 6u);
}

TEST_F(PhasesOnVolume, IndexPhaseTakesTheEntriesDeletedFoldersStillList) {
  auto v = open();
  ASSERT_TRUE(v->ready());
  ew::CollectorState c;
  run_index_phase(v->ctx(), c, v->progress());
  // Only deleted folders keep entries naming free file records; a deleted folder's index is
  // read whole, so far-g.txt, 9000 records past gone, is found too.
  EXPECT_EQ(found(c), (Found{{r().lost_d, "E:\\docs\\2\\gone\\lost-d.txt"},
                             {r().lost_e, "E:\\docs\\2\\gone\\gone2\\lost-e.txt"},
                             {r().far_g, "E:\\docs\\2\\gone\\far-g.txt"}}));
  EXPECT_EQ(v->counters().index, 3u);
  EXPECT_EQ(v->counters().status, "");
  // One line per directory: the first and the last are printed.
  EXPECT_EQ(v->out().rfind("  [0/5] Phase 1 Directory index FRN=", 0), 0u);
  EXPECT_NE(v->out().find("  [4/5] Phase 1 Directory index FRN="), std::string::npos);
  EXPECT_EQ(v->cache().reads, 0u);  // index entries are read straight from the volume
}

TEST_F(PhasesOnVolume, VicinityPhase1aFindsTheRecordsWithin8192OfTheFolder) {
  auto v = open();
  ASSERT_TRUE(v->ready());
  ew::CollectorState c;
  run_vicinity_phase_1a(v->ctx(), c, v->progress());
  EXPECT_EQ(found(c), (Found{{r().report_a, "E:\\docs\\2\\report-a.txt"},
                             {r().deep_b, "E:\\docs\\2\\sub\\deep-b.txt"},
                             {r().deeper_c, "E:\\docs\\2\\sub\\sub2\\deeper-c.txt"},
                             {r().lost_d, "E:\\docs\\2\\gone\\lost-d.txt"},
                             {r().lost_e, "E:\\docs\\2\\gone\\gone2\\lost-e.txt"},
                             {r().near_f, "E:\\docs\\2\\near-f.txt"}}));
  EXPECT_EQ(v->counters().local_band_count, 6u);
  // A folder below record 8192: the band starts at record 0.
  EXPECT_EQ(v->out(), fmt::format("  [0/1] Phase 1a Directory vicinity FRN 0..{} (includes recently deleted IN_USE, "
                                  "MFT confirmed)\n",
                                  r().folder + 8192));
  EXPECT_EQ(v->cache().reads, r().folder + 8192 + 1);
  EXPECT_EQ(v->counters().cache_reads, v->cache().reads);
  EXPECT_EQ(v->counters().cache_productive, 6u);
}

TEST_F(PhasesOnVolume, VicinityPhase1aWithoutTheRecordCacheFindsTheSame) {
  ew::ScanOptions o = ew::default_scan_options();
  o.record_cache = false;
  auto v = open(o);
  ASSERT_TRUE(v->ready());
  ew::CollectorState c;
  run_vicinity_phase_1a(v->ctx(), c, v->progress());
  EXPECT_EQ(c.entries.size(), 6u);
  EXPECT_EQ(v->cache().reads, 0u);
  EXPECT_EQ(v->counters().cache_reads, 0u);
}

TEST_F(PhasesOnVolume, PhasesFindNothingTwiceInOneCollector) {
  auto v = open();
  ASSERT_TRUE(v->ready());
  ew::CollectorState c;
  run_index_phase(v->ctx(), c, v->progress());
  run_vicinity_phase_1a(v->ctx(), c, v->progress());
  EXPECT_EQ(v->counters().index, 3u);
  EXPECT_EQ(v->counters().local_band_count, 4u);  // lost-d and lost-e were already there
  EXPECT_EQ(c.entries.size(), 7u);
  EXPECT_EQ(v->counters().filtered, 0u);
}

TEST_F(PhasesOnVolume, SpentBudgetPrintsAndReadsNothingButTheIndexPhaseSaysWhy) {
  ew::ScanOptions o = ew::full_scan_options();
  o.local_band = true;
  auto v = open(o);
  ASSERT_TRUE(v->ready());
  v->spend_budget();
  ew::CollectorState c;
  run_index_phase(v->ctx(), c, v->progress());
  EXPECT_EQ(v->counters().status, "Time limit reached (index phase)");
  v->counters().status.clear();
  run_vicinity_phase_1a(v->ctx(), c, v->progress());
  run_local_band_phase_1b(v->ctx(), c, v->progress());
  run_vicinity_phase_3(v->ctx(), c, v->progress());
  run_deleted_directory_phase(v->ctx(), c, v->progress());
  EXPECT_EQ(v->counters().status, "");  // the deleted-directory phase does not start at all
  EXPECT_EQ(v->out(), "");
  EXPECT_TRUE(c.entries.empty());
  EXPECT_EQ(v->cache().reads, 0u);
}

TEST_F(PhasesOnVolume, IndexRingReadsTheRecordsAroundEachDirectory) {
  ew::ScanOptions o = ew::default_scan_options();
  o.index_ring = true;
  auto v = open(o);
  ASSERT_TRUE(v->ready());
  ew::CollectorState c;
  run_index_phase(v->ctx(), c, v->progress());
  // The rings of 512 around the directories reach every record from 0 to 69 + 512, but not
  // near-f (5000 past the folder) or the far ones.
  EXPECT_EQ(v->counters().index, 6u);
  EXPECT_EQ(c.entries.size(), 6u);
  for (const auto& [frn, path] : found(c)) EXPECT_NE(frn, r().near_f) << path;
  // Every number of the rings is read once: 0 .. gone2 + 512, but for the index entries met
  // before (read raw, outside the cache) and the directories' own numbers outside any ring.
  EXPECT_LE(v->cache().reads, r().gone2 + 512 + 1);
  EXPECT_GE(v->cache().reads, r().gone2 + 512 + 1 - 5 - 5);
}

TEST_F(PhasesOnVolume, OptionalExpansionEndsAfterOnePassThatAddsNothing) {
  ew::ScanOptions o = ew::default_scan_options();
  o.index_expansion = true;
  auto v = open(o);
  ASSERT_TRUE(v->ready());
  ew::CollectorState c;
  run_index_phase(v->ctx(), c, v->progress());
  EXPECT_NE(v->out().find("  [0/1] Optional expansion ±1024 (strict parent FRN)\n"), std::string::npos);
  EXPECT_EQ(v->out().find("±2048"), std::string::npos);
  EXPECT_EQ(v->counters().expand, 0u);
  EXPECT_EQ(v->counters().expand_radius, 1024u);
  EXPECT_EQ(v->cache().reads, 1u);  // record 0 alone: every directory lies below 512
}

TEST_F(PhasesOnVolume, LocalBandPhase1bReadsTheBandAndTheJournalsNumbers) {
  ew::ScanOptions o = ew::default_scan_options();
  o.local_band = true;
  o.band_below = 0;
  o.band_above = 6;  // folder .. folder + 5: report-a
  auto v = open(o);
  ASSERT_TRUE(v->ready());
  v->usn_map().names_by_frn[r().far_h] = {"far-h.txt"};
  v->usn_map().names_by_frn[r().folder + 1] = {"inside-the-band"};
  v->use_usn_map();
  ew::CollectorState c;
  run_local_band_phase_1b(v->ctx(), c, v->progress());
  EXPECT_EQ(v->out(), "  [0/1] Phase 1b Local MFT band (7 FRNs, raw)\n");
  EXPECT_EQ(found(c), (Found{{r().report_a, "E:\\docs\\2\\report-a.txt"}, {r().far_h, "E:\\docs\\2\\far-h.txt"}}));
  EXPECT_EQ(v->counters().local_band_count, 2u);
  EXPECT_EQ(v->cache().reads, 7u);
}

TEST_F(PhasesOnVolume, LocalBandPhase1bWithSaturatedBoundsStopsAtTheBudget) {
  ew::ScanOptions o = ew::default_scan_options();
  o.local_band = true;
  o.band_below = UINT64_MAX;
  o.band_above = UINT64_MAX;
  auto v = open(o);
  ASSERT_TRUE(v->ready());
  v->ctx().budget = ew::TimeBudget{0, 300'000'000};
  ew::CollectorState c;
  run_local_band_phase_1b(v->ctx(), c, v->progress());
  EXPECT_EQ(v->out(), fmt::format("  [0/1] Phase 1b Local MFT band ({} FRNs, raw)\n", UINT64_MAX));
  EXPECT_GT(v->cache().reads, 0u);
}

TEST_F(PhasesOnVolume, VicinityPhase3VisitsTheNearestDirectoriesWithTheirRadii) {
  ew::ScanOptions o = ew::full_scan_options();
  o.vicinity_dirs = 3;
  auto v = open(o);
  ASSERT_TRUE(v->ready());
  ew::CollectorState c;
  run_vicinity_phase_3(v->ctx(), c, v->progress());
  // sub, sub2 and gone are the three nearest; gone is deleted and gets the wider radius.
  EXPECT_EQ(v->out(), fmt::format("  [0/3] Phase 3 Directory vicinity FRN={} ±1024 (MFT confirmed)\n"
                                  "  [2/3] Phase 3 Directory vicinity FRN={} ±4096 (MFT confirmed)\n",
                                  r().sub, r().gone));
  EXPECT_EQ(v->counters().local_band_count, c.entries.size());
  EXPECT_EQ(c.entries.size(), 5u);  // a, b, c, d, e: all within 512 of those directories
}

TEST_F(PhasesOnVolume, DeletedDirectoryPhaseReadsEveryEntryShallowestFirst) {
  ew::ScanOptions o = ew::full_scan_options();
  auto v = open(o);
  ASSERT_TRUE(v->ready());
  ew::CollectorState c;
  run_deleted_directory_phase(v->ctx(), c, v->progress());
  EXPECT_EQ(v->out(), fmt::format("  [0/2] Phase 2b Whole-folder deletion Directory FRN={} (gone)\n"
                                  "  [1/2] Phase 2b Whole-folder deletion Directory FRN={} (gone2)\n",
                                  r().gone, r().gone2));
  const Found f = found(c);
  EXPECT_NE(std::find(f.begin(), f.end(), std::pair<std::uint64_t, std::string>{r().far_g, "E:\\docs\\2\\gone\\far-g.txt"}),
            f.end());
  EXPECT_EQ(v->counters().deleted_dir, c.entries.size());
  EXPECT_EQ(c.entries.size(), 6u);  // far-g by gone's index; a..e by the rings
  EXPECT_EQ(v->counters().status, "");
}

TEST_F(PhasesOnVolume, UsnHintPhaseValidatesTheJournalsNumbersNearestFirst) {
  auto v = open();
  ASSERT_TRUE(v->ready());
  auto& m = v->usn_map();
  m.names_by_frn[r().far_h] = {"far-h.txt"};
  m.parent_by_frn[r().far_h] = r().folder;
  m.names_by_frn[r().other_x] = {"other-x.txt"};
  m.parent_by_frn[r().other_x] = r().other_x - 1;  // docs\other: outside the scope
  m.names_by_frn[r().keep] = {"keep.txt"};         // a live file: its path still exists
  v->use_usn_map();
  ew::CollectorState c;
  run_usn_hint_phase(v->ctx(), c, v->progress());
  EXPECT_EQ(v->out(), "  [0/1] Phase 2 USN hint FRNs (3 items, MFT validated)\n");
  EXPECT_EQ(found(c), (Found{{r().far_h, "E:\\docs\\2\\far-h.txt"}}));
  EXPECT_EQ(v->counters().usn, 1u);
}

TEST_F(PhasesOnVolume, UsnHintPhaseTitleFollowsThePhaseOrder) {
  ew::ScanOptions o = ew::default_scan_options();
  o.alt_phase_order = true;
  auto v = open(o);
  ASSERT_TRUE(v->ready());
  v->usn_map().names_by_frn[r().far_h] = {"far-h.txt"};
  v->use_usn_map();
  v->spend_budget();
  ew::CollectorState c;
  run_usn_hint_phase(v->ctx(), c, v->progress());
  // The title is printed even with the budget spent; nothing is read.
  EXPECT_EQ(v->out(), "  [0/1] Phase 4 USN hint FRNs (1 items, MFT validated)\n");
  EXPECT_TRUE(c.entries.empty());
  EXPECT_EQ(v->cache().reads, 0u);
}

TEST_F(PhasesOnVolume, IndexPhaseTitleFollowsThePhaseOrder) {
  ew::ScanOptions o = ew::default_scan_options();
  o.alt_phase_order = true;
  o.order_a = true;
  auto v = open(o);
  ASSERT_TRUE(v->ready());
  ew::CollectorState c;
  run_index_phase(v->ctx(), c, v->progress());
  EXPECT_EQ(v->out().rfind("  [0/5] Phase 2 Directory index FRN=", 0), 0u);
}

// The lines of the text in the order given, each found after the one before.
void expect_in_order(const std::string& text, const std::vector<std::string>& parts) {
  std::size_t at = 0;
  for (const auto& p : parts) {
    const std::size_t found_at = text.find(p, at);
    ASSERT_NE(found_at, std::string::npos) << "\"" << p << "\" not found in order in\n" << text;
    at = found_at + p.size();
  }
}

TEST_F(PhasesOnVolume, OrderAThroughTheOrchestratorWithHandBuiltOptions) {
  auto v = open();
  ASSERT_TRUE(v->ready());
  ew::ScanOptions o = ew::full_scan_options();
  o.alt_phase_order = true;
  o.order_a = true;
  o.logfile_phase = false;
  o.retry_phase = false;
  std::string out;
  auto phases = run_mft_phases(v->scope(), 'E', {60, 0}, nullptr, o, [&](std::string_view t) { out += t; });
  ASSERT_TRUE(phases.has_value()) << phases.error();
  expect_in_order(out, {"  [0/1] Phase 1 Directory index + Vicinity FRN (build paths first)\n",
                        "  [0/5] Phase 2 Directory index FRN=",
                        "  [0/2] Phase 2b Whole-folder deletion Directory FRN=" + std::to_string(r().gone) + " (gone)\n",
                        "  [0/4] Phase 3 Directory vicinity FRN=",
                        "  [0/1] Phase 4 MFT paged (full disk deleted records)\n"});
  EXPECT_EQ(out.find("Phase 1a"), std::string::npos);
  // The index phase with its rings finds a..e and far-g; nothing is left for the later ones.
  EXPECT_EQ(phases->context.index, 6u);
  EXPECT_EQ(phases->context.deleted_dir, 0u);
  EXPECT_EQ(phases->context.local_band_count, 0u);
  EXPECT_EQ(phases->context.status, "Completed");
}

TEST_F(PhasesOnVolume, OrderBThroughTheOrchestratorWithHandBuiltOptions) {
  auto v = open();
  ASSERT_TRUE(v->ready());
  ew::ScanOptions o = ew::full_scan_options();
  o.alt_phase_order = true;
  o.logfile_phase = false;
  o.retry_phase = false;
  std::string out;
  auto phases = run_mft_phases(v->scope(), 'E', {60, 0}, nullptr, o, [&](std::string_view t) { out += t; });
  ASSERT_TRUE(phases.has_value()) << phases.error();
  expect_in_order(out, {"  [0/1] Phase 1 MFT paged scan (full disk metadata, read-only)\n",
                        "  [0/5] Phase 2 Directory index FRN=", "  [0/4] Phase 3 Directory vicinity FRN="});
  EXPECT_EQ(out.find("Phase 2b"), std::string::npos);
  EXPECT_EQ(out.find("Phase 1a"), std::string::npos);
}

TEST_F(PhasesOnVolume, OrderCThroughTheOrchestratorWithTheDefaultOptions) {
  auto v = open();
  ASSERT_TRUE(v->ready());
  ew::ScanOptions o = ew::default_scan_options();
  o.logfile_phase = false;
  o.retry_phase = false;
  std::string out;
  auto phases = run_mft_phases(v->scope(), 'E', {60, 0}, nullptr, o, [&](std::string_view t) { out += t; });
  ASSERT_TRUE(phases.has_value()) << phases.error();
  expect_in_order(out, {"  [0/5] Phase 1 Directory index FRN=", "  [0/1] Phase 1a Directory vicinity FRN 0.."});
  EXPECT_EQ(phases->context.index, 3u);
  EXPECT_EQ(phases->context.local_band_count, 4u);
  EXPECT_GE(phases->context.cache_reads, 8258u);
}

}  // namespace
}  // namespace kavel_lib::scanner::phase_test
