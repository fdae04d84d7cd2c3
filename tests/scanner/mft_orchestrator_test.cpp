#include "scanner/mft_orchestrator.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kavel_lib::scanner {
namespace {

namespace ew = engine::windows;

ew::DirectoryScope sample_scope() {
  ew::DirectoryScope s;
  s.path = "E:\\f";
  s.dir_frn = 50;
  s.dir_frns = {50, 60, 61};
  s.parent_match_frns = {50, 60, 61};
  s.dir_names = {{50, {"", 5}}, {60, {"A", 50}}, {61, {"B", 50}}};
  return s;
}

// Orchestrator sources over a fake volume; each phase notes its name.
struct FakeVolume {
  std::vector<std::string> calls;
  std::string out;
  bool open_fails = false;
  LateCounters late{2, 1, 4};

  TextSink sink() {
    return [this](std::string_view t) { out += t; };
  }
  PhaseFn phase(std::string name) {
    return [this, name](PhaseContext& ctx, ew::CollectorState& collector, const ProgressFn&) {
      calls.push_back(name);
      EXPECT_EQ(ctx.record_size, 4096u);
      EXPECT_EQ(ctx.drive_letter, 'E');
      if (name == "index") {
        collector.entries.push_back({std::nullopt, "E:\\f\\A\\x.txt", 9, 0, 60});
        ctx.context.index += 1;
        ctx.cache.reads = 7;
        ctx.cache.productive = 3;
      }
    };
  }
  MftStepSources sources() {
    MftStepSources s;
    s.open_volume = [this](char) -> std::expected<ew::VolumeHandle, platform::OsError> {
      if (open_fails) return std::unexpected(platform::OsError::with_text(platform::OsErrorKind::Other, "no such volume"));
      return ew::VolumeHandle(platform::Device{});
    };
    s.query_volume_data = [](const ew::VolumeHandle&) -> std::expected<ew::NtfsVolumeData, platform::OsError> {
      return ew::NtfsVolumeData::with_fields(4096, 4096, 4);
    };
    s.load_bitmap = [](const ew::VolumeHandle&, std::uint32_t) {
      return std::optional<std::vector<std::uint8_t>>(std::vector<std::uint8_t>(200'000, 0xFF));
    };
    s.phases = {phase("index"), phase("1a"), phase("1b"), phase("3"), phase("deleted-dir"), phase("usn"), phase("paged")};
    s.logfile_and_retry = [this](char, const ew::DirectoryScope&, const ew::UsnCandidateMap*,
                                 const ew::NtfsVolumeData&, const ew::VolumeHandle&, std::uint32_t,
                                 const std::unordered_set<std::uint64_t>& found, ew::CollectorState&,
                                 LateCounters& counters, ew::TimeBudget, bool, bool,
                                 const TextSink&) -> std::optional<std::string> {
      calls.push_back("late");
      EXPECT_TRUE(found.empty());  // the phases here add entries without the collector
      counters = late;
      return std::nullopt;
    };
    return s;
  }
};

TEST(RunMftPhases, OrderCIsWhatBothOptionSetsSelect) {
  FakeVolume v;
  const auto scope = sample_scope();
  auto r = run_mft_phases(scope, 'E', {60, 0}, nullptr, ew::default_scan_options(), v.sink(), v.sources());
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(v.calls, (std::vector<std::string>{"index", "1a", "1b", "usn", "paged", "late"}));
  EXPECT_EQ(v.out, "  [0/1] Strict directory FRN: 3 folders, parent FRN matches parent_match_frns\n");
  EXPECT_EQ(r->entries.size(), 1u);
  const ew::ScanContext& c = r->context;
  EXPECT_EQ(c.folder, "E:\\f");
  EXPECT_EQ(c.scope_folders, 3u);
  EXPECT_EQ(c.mft_records, 1'600'000u);
  EXPECT_EQ(c.index, 1u);
  EXPECT_EQ(c.logfile, 2u);
  EXPECT_EQ(c.retry, 1u);
  EXPECT_EQ(c.pending, 4u);
  EXPECT_EQ(c.cache_reads, 7u);
  EXPECT_EQ(c.cache_productive, 3u);
  EXPECT_EQ(c.status, "Completed");
  EXPECT_NE(ew::print_mft_audit(c).find(" FRN=3 $MFT\u22481600000 index=1 "), std::string::npos);

  FakeVolume full;
  ASSERT_TRUE(run_mft_phases(scope, 'E', {60, 0}, nullptr, ew::full_scan_options(), full.sink(), full.sources()));
  EXPECT_EQ(full.calls, v.calls);
}

TEST(RunMftPhases, OrdersAAndBWithTheirTitles) {
  const auto scope = sample_scope();
  ew::ScanOptions a = ew::default_scan_options();
  a.alt_phase_order = true;
  a.order_a = true;
  FakeVolume va;
  ASSERT_TRUE(run_mft_phases(scope, 'E', {60, 0}, nullptr, a, va.sink(), va.sources()));
  EXPECT_EQ(va.calls, (std::vector<std::string>{"index", "deleted-dir", "3", "usn", "paged", "late"}));
  EXPECT_EQ(va.out,
            "  [0/1] Strict directory FRN: 3 folders, parent FRN matches parent_match_frns\n"
            "  [0/1] Phase 1 Directory index + Vicinity FRN (build paths first)\n"
            "  [0/1] Phase 4 MFT paged (full disk deleted records)\n");

  ew::ScanOptions b = a;
  b.order_a = false;
  b.logfile_phase = false;
  b.retry_phase = false;
  FakeVolume vb;
  auto r = run_mft_phases(scope, 'E', {60, 0}, nullptr, b, vb.sink(), vb.sources());
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(vb.calls, (std::vector<std::string>{"paged", "index", "3", "usn"}));
  EXPECT_EQ(vb.out,
            "  [0/1] Strict directory FRN: 3 folders, parent FRN matches parent_match_frns\n"
            "  [0/1] Phase 1 MFT paged scan (full disk metadata, read-only)\n");
  EXPECT_EQ(r->context.pending, 0u);  // phases 4 and 5 did not run
}

TEST(RunMftPhases, CountersOfSwitchedOffPhasesStayZero) {
  ew::ScanOptions o = ew::default_scan_options();
  o.logfile_phase = false;
  FakeVolume v;
  auto r = run_mft_phases(sample_scope(), 'E', {60, 0}, nullptr, o, v.sink(), v.sources());
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->context.logfile, 0u);
  EXPECT_EQ(r->context.retry, 1u);
  EXPECT_EQ(r->context.pending, 4u);
}

TEST(RunMftPhases, VolumeThatCannotBeOpenedIsAnErrorText) {
  FakeVolume v;
  v.open_fails = true;
  auto r = run_mft_phases(sample_scope(), 'E', {60, 0}, nullptr, ew::default_scan_options(), v.sink(), v.sources());
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), "no such volume");
  EXPECT_TRUE(v.calls.empty());
}

TEST(LogfileAndRetry, NoTimeLeftRunsNothing) {
  const auto scope = sample_scope();
  ew::UsnCandidateMap map;
  map.names_by_frn = {{9, {"a.txt"}}, {10, {"b.txt"}}};
  ew::CollectorState collector;
  LateCounters counters{5, 5, 5};
  std::string out;
  const TextSink sink = [&out](std::string_view t) { out += t; };
  const ew::VolumeHandle volume(platform::Device{});
  auto err = run_logfile_and_retry_phases('E', scope, &map, ew::NtfsVolumeData{}, volume, 1024, {}, collector,
                                          counters, {0, 0}, true, true, sink);
  EXPECT_FALSE(err.has_value());
  EXPECT_EQ(counters.logfile + counters.retry + counters.pending, 0u);
  EXPECT_EQ(out, "");
}

TEST(LogfileAndRetry, PendingCountsJournalRecordsNoPhaseFound) {
  const auto scope = sample_scope();
  ew::UsnCandidateMap map;
  map.names_by_frn = {{9, {"a.txt"}}, {10, {"b.txt"}}, {11, {}}};
  ew::CollectorState collector;
  collector.found_frns = {9};
  LateCounters counters;
  std::string out;
  const TextSink sink = [&out](std::string_view t) { out += t; };
  const ew::VolumeHandle volume(platform::Device{});
  // Only 0.1 s left: phase 4 runs, phase 5 needs more than 200 ms.
  run_logfile_and_retry_phases('Q', scope, &map, ew::NtfsVolumeData{}, volume, 1024, collector.found_frns, collector,
                               counters, {0, 100'000'000}, true, true, sink);
  EXPECT_EQ(counters.pending, 2u);
  EXPECT_EQ(out.find("阶段5"), std::string::npos);
  EXPECT_EQ(out.substr(0, out.find('\n') + 1), "  [0/1] 阶段4 $LogFile 事务（刚删）\n");
}

}  // namespace
}  // namespace kavel_lib::scanner
