// The paged phase on real volumes: its title, the hand-over to the collector (skip set, copy of
// the found-record set, the paged counter), the single-threaded road, the budget and option
// gates, and the same sorted result on 2, 4 and 8 threads through the phase orchestrator.
#include "scanner/paged_phase.h"

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <algorithm>
#include <set>

#include "engine/windows/usn_deleted/name_filter.h"
#include "scanner/mft_orchestrator.h"
#include "support/manifest_scope.h"
#include "support/test_env.h"

namespace kavel_lib::scanner {
namespace {

namespace ew = engine::windows;
namespace fs = std::filesystem;
using EntryKeys = std::set<std::pair<std::uint64_t, std::string>>;

EntryKeys keys_of(const std::vector<ew::DeletedEntry>& entries) {
  EntryKeys out;
  for (const auto& e : entries) out.emplace(e.frn, e.path);
  return out;
}

// One folder of a real volume mapped to E:, with what a phase context needs.
class PagedPhase : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto m = kavel_test::real_volumes_missing()) GTEST_SKIP() << *m;
  }

  bool open(const std::string& image, const std::string& manifest, const std::string& folder) {
    const fs::path dir = kavel_test::real_volumes_dir();
    env_.emplace("KAVEL_DRIVES", "E=" + (dir / image).string());
    rows_ = kavel_test::read_manifest(dir / manifest);
    if (!rows_) return false;
    auto scope = kavel_test::manifest_scope(*rows_, folder, 'E');
    if (!scope) return false;
    scope_ = std::move(*scope);
    folder_ = folder;
    auto volume = ew::open_volume_by_letter('E');
    if (!volume) return false;
    auto data = ew::query_ntfs_volume_data(*volume);
    if (!data) return false;
    volume_data_ = *data;
    bitmap_ = ew::load_mft_in_use_bitmap(*volume, std::max(data->bytes_per_file_record_segment(), 1024u));
    volume_.emplace(std::move(*volume));
    return true;
  }

  // The manifest's deleted files of the folder with a plausible name.
  EntryKeys expected() const {
    EntryKeys out;
    for (const auto& [frn, path] : kavel_test::manifest_deleted_files(*rows_, folder_, 'E')) {
      if (ew::is_plausible_file_name(path.substr(path.rfind('\\') + 1), false)) out.emplace(frn, path);
    }
    return out;
  }

  void run(ew::TimeBudget budget = {600, 0}) {
    PhaseContext ctx{bitmap_ ? &*bitmap_ : nullptr,
                     *volume_,
                     ew::record_reader_geometry(volume_data_),
                     volume_data_,
                     scope_,
                     options_,
                     context_,
                     cache_,
                     'E',
                     std::max(volume_data_.bytes_per_file_record_segment(), 1024u),
                     ew::ScanClock::now(),
                     budget,
                     nullptr};
    const ProgressFn progress = [this](std::uint64_t i, std::uint64_t n, std::string_view text) {
      lines_.push_back(fmt::format("{}/{} {}", i, n, text));
    };
    run_mft_paged_phase(ctx, collector_.found_frns, collector_.entries, collector_.dedup_texts, progress);
  }

  std::optional<kavel_test::ScopedEnv> env_;
  std::optional<std::vector<kavel_test::ManifestRow>> rows_;
  std::string folder_;
  ew::DirectoryScope scope_;
  ew::NtfsVolumeData volume_data_;
  std::optional<std::vector<std::uint8_t>> bitmap_;
  std::optional<ew::VolumeHandle> volume_;
  ew::ScanOptions options_ = ew::default_scan_options();
  ew::ScanContext context_;
  ew::MftRecordCache cache_;
  ew::CollectorState collector_;
  std::vector<std::string> lines_;
};

TEST_F(PagedPhase, ThreadedPhaseHandsTheFolderDeletedFilesToTheCollector) {
  ASSERT_TRUE(open("ntfs-small.img", "manifest-ntfs.tsv", "docs"));
  options_.threads = 4;
  run();
  EXPECT_EQ(lines_, (std::vector<std::string>{"0/1 Phase 3 $MFT paged (dir_frns parent directories only)"}));
  EXPECT_EQ(keys_of(collector_.entries), expected());
  EXPECT_EQ(context_.paged, collector_.entries.size());
  EXPECT_EQ(collector_.dedup_texts.size(), collector_.entries.size());
  EXPECT_TRUE(collector_.found_frns.empty());  // the collector was given a copy
  EXPECT_EQ(context_.paged_stats.chunk_count, 1024u);
  EXPECT_EQ(context_.paged_stats.done_chunks, 1024u);
  EXPECT_EQ(context_.paged_stats.failed_chunks, 1023u);  // only the first chunk lies in the MFT
  EXPECT_EQ(context_.paged_stats.threads, 4u);
  EXPECT_GE(context_.paged_stats.entries_found, collector_.entries.size());
}

TEST_F(PagedPhase, OneThreadTakesTheSingleThreadedPagerWithItsProgressLines) {
  ASSERT_TRUE(open("ntfs-small.img", "manifest-ntfs.tsv", "docs"));
  options_.threads = 1;
  run();
  ASSERT_GE(lines_.size(), 3u);
  EXPECT_EQ(lines_[0], "0/1 Phase 3 $MFT paged (dir_frns parent directories only)");
  EXPECT_EQ(lines_[1], "0/1024 MFT pagination (parent FRN) 0/1024");
  EXPECT_EQ(lines_[2], "8/1024 MFT pagination (parent FRN) 8/1024");
  EXPECT_EQ(keys_of(collector_.entries), expected());
  EXPECT_EQ(context_.paged_stats.threads, 1u);
  EXPECT_EQ(context_.paged_stats.done_chunks, 1024u);
}

TEST_F(PagedPhase, OtherPhaseOrderTitle) {
  ASSERT_TRUE(open("ntfs-small.img", "manifest-ntfs.tsv", "docs"));
  options_.alt_phase_order = true;
  run();
  ASSERT_FALSE(lines_.empty());
  EXPECT_EQ(lines_[0], "0/1 Phase 1 $MFT paged (full disk metadata, read-only)");
}

TEST_F(PagedPhase, RecordsFoundEarlierAreSkippedAndEntriesKnownAlreadyAreNotAddedAgain) {
  ASSERT_TRUE(open("ntfs-small.img", "manifest-ntfs.tsv", "docs"));
  run();
  const auto first = collector_.entries;
  ASSERT_GE(first.size(), 3u);

  // A second run: one record is in the found set, all entries are known to the collector.
  context_ = {};
  collector_.found_frns = {first[0].frn};
  run();
  EXPECT_EQ(collector_.entries, first);
  EXPECT_EQ(context_.paged, 0u);
  EXPECT_EQ(collector_.found_frns, (std::unordered_set<std::uint64_t>{first[0].frn}));
  EXPECT_EQ(context_.paged_stats.entries_found, first.size() - 1);
}

TEST_F(PagedPhase, SpentBudgetOrPhaseSwitchedOffDoesNothing) {
  ASSERT_TRUE(open("ntfs-small.img", "manifest-ntfs.tsv", "docs"));
  context_.paged_stats.chunk_count = 77;
  run(ew::TimeBudget{0, 0});
  options_.paged_phase = false;
  run();
  EXPECT_TRUE(lines_.empty());
  EXPECT_TRUE(collector_.entries.empty());
  EXPECT_EQ(context_.paged_stats.chunk_count, 77u);
  EXPECT_EQ(context_.paged_stats.done_chunks, 0u);
  EXPECT_EQ(context_.paged_stats.threads, 0u);
}

// Through the orchestrator (the other MFT phases and phases 4 and 5 add what they find; the
// paged phase runs last): the sorted entries and the counters agree on 2, 4 and 8 threads.
TEST(PagedPhaseOrchestrated, SortedEntriesAndCountersAgreeOnTwoFourAndEightThreads) {
  if (auto m = kavel_test::real_volumes_missing()) GTEST_SKIP() << *m;
  const fs::path dir = kavel_test::real_volumes_dir();
  kavel_test::ScopedEnv env("KAVEL_DRIVES", "E=" + (dir / "ntfs-large.img").string());
  const auto rows = kavel_test::read_manifest(dir / "manifest-ntfs-large.tsv");
  ASSERT_TRUE(rows);
  const auto scope = kavel_test::manifest_scope(*rows, "tree", 'E');
  ASSERT_TRUE(scope);
  std::optional<MftPhasesOutcome> reference;
  for (const std::uint64_t threads : {2u, 4u, 8u}) {
    ew::ScanOptions options = ew::default_scan_options();
    options.threads = threads;
    options.logfile_phase = false;
    options.retry_phase = false;
    std::string out;
    auto outcome = run_mft_phases(*scope, 'E', ew::TimeBudget{600, 0}, nullptr, options,
                                  [&](std::string_view t) { out += t; });
    ASSERT_TRUE(outcome) << outcome.error();
    EXPECT_NE(out.find("Phase 3 $MFT paged (dir_frns parent directories only)"), std::string::npos);
    std::sort(outcome->entries.begin(), outcome->entries.end(),
              [](const auto& a, const auto& b) { return std::tie(a.path, a.frn) < std::tie(b.path, b.frn); });
    EXPECT_EQ(outcome->context.paged_stats.threads, threads);
    EXPECT_GT(outcome->context.paged, 5000u);
    if (!reference) {
      reference = std::move(*outcome);
      continue;
    }
    EXPECT_EQ(outcome->entries, reference->entries) << threads;
    auto counters = [](const ew::ScanContext& c) {
      const auto& s = c.paged_stats;
      return std::tuple(s.chunk_count, s.done_chunks, s.failed_chunks, s.records_scanned, s.entries_found, c.paged,
                        c.filtered);
    };
    EXPECT_EQ(counters(outcome->context), counters(reference->context)) << threads;
  }
}

}  // namespace
}  // namespace kavel_lib::scanner
