#include "scanner/folder_scan.h"

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "engine/windows/ntfs_deleted/entry_paths.h"
#include "engine/windows/recycle/path_helpers.h"

namespace kavel_lib::scanner {
namespace {

namespace ew = engine::windows;

constexpr ew::TimeBudget kMinute{60, 0};

ew::DeletedEntry entry(std::uint64_t frn, std::string path, std::uint64_t parent = 50) {
  return ew::DeletedEntry{std::nullopt, std::move(path), frn, 0, parent};
}

// Folder E:\f, record 50, with subfolder A (60).
ew::DirectoryScope sample_scope() {
  ew::DirectoryScope s;
  s.path = "E:\\f";
  s.dir_frn = 50;
  s.dir_ref = 50 | (4ull << 48);
  s.dir_frns = {50, 60};
  s.parent_match_frns = {50, 60, s.dir_ref};
  s.dir_names = {{50, {"", 5}}, {60, {"A", 50}}};
  return s;
}

// Driver sources whose answers the tests set; calls are recorded.
struct FakeRoad {
  std::string out;
  std::optional<ew::DirectoryScope> scope = sample_scope();
  std::expected<ew::UsnScanResult, platform::OsError> usn = ew::UsnScanResult{};
  std::expected<MftPhasesOutcome, std::string> phases = MftPhasesOutcome{};
  bool spend_budget_in_journal = false;
  int mft_calls = 0;
  int scopeless_calls = 0;
  const std::unordered_set<std::uint64_t>* journal_scope_set = nullptr;
  std::unordered_set<std::uint64_t> journal_scope_copy;

  TextSink sink() {
    return [this](std::string_view t) { out += t; };
  }
  FolderScanSources sources() {
    FolderScanSources s;
    s.directory_frn = [](std::string_view) { return ew::DirectoryFrn{50 | (4ull << 48), 50}; };
    s.locate_directory_on_volume = [this](std::string_view, char) { return scope; };
    s.scan_usn_deleted = [this](std::string_view, std::uint64_t, std::uint64_t,
                                const std::unordered_set<std::uint64_t>* set, const ew::DirNameMap*, bool full) {
      EXPECT_FALSE(full);
      journal_scope_copy = set ? *set : std::unordered_set<std::uint64_t>{};
      if (spend_budget_in_journal) std::this_thread::sleep_for(std::chrono::milliseconds(30));
      return usn;
    };
    s.run_mft_phases = [this](const ew::DirectoryScope&, char letter, ew::TimeBudget, const ew::UsnCandidateMap*,
                              const ew::ScanOptions&, const TextSink&) {
      EXPECT_EQ(letter, 'E');
      ++mft_calls;
      return phases;
    };
    s.scan_without_directory_tree = [this](std::string_view, ew::TimeBudget, const ew::UsnCandidateMap*,
                                           const ew::ScanOptions&,
                                           const TextSink&) -> std::expected<ScopedPhasesOutcome, std::string> {
      ++scopeless_calls;
      if (!phases) return std::unexpected(phases.error());
      return ScopedPhasesOutcome{sample_scope(), *phases};
    };
    return s;
  }
};

TEST(FolderScan, UncPathHasNoDriveLetter) {
  FakeRoad f;
  const auto r = scan_folder_deleted("\\\\server\\share\\x", kMinute, false, f.sink(), f.sources());
  EXPECT_EQ(r.usn_summary, "Cannot identify drive letter");
  EXPECT_TRUE(r.entries.empty());
  EXPECT_FALSE(r.mft_summary.has_value());
  EXPECT_EQ(f.out, "");
}

TEST(FolderScan, FolderThatCannotBeLocated) {
  FakeRoad f;
  auto sources = f.sources();
  sources.directory_frn = [](std::string_view) -> std::expected<ew::DirectoryFrn, platform::OsError> {
    return std::unexpected(platform::OsError::with_text(platform::OsErrorKind::NotFound, "gone"));
  };
  const auto r = scan_folder_deleted("E:\\f", kMinute, false, f.sink(), sources);
  EXPECT_EQ(r.usn_summary, "Cannot locate directory: gone");
  EXPECT_EQ(f.out, "  [0/1] Locating directory...\n");
}

TEST(FolderScan, JournalCopyWinsAndPhasesMergeByRecordAndPath) {
  FakeRoad f;
  ew::UsnScanResult usn;
  usn.read_count = 3;
  // Record 6 came from the journal's record step, which read its size and time.
  usn.candidates = {entry(7, "E:\\f\\b.txt"), entry(8, "E:\\f\\wrong\\c.txt"), entry(7, "E:\\f\\b.txt"),
                    ew::DeletedEntry{11, "E:\\f\\c.txt", 6, 512, 50}};
  f.usn = usn;
  MftPhasesOutcome phases;
  phases.entries = {ew::DeletedEntry{1234, "E:\\f\\b.txt", 7, 4096, 60}, entry(9, "E:\\f\\A\\a.txt", 60),
                    entry(9, "E:\\f\\A\\a.txt", 60), ew::DeletedEntry{22, "E:\\f\\c.txt", 6, 8192, 50}};
  phases.context.folder = "E:\\f";
  phases.context.scope_folders = 2;
  phases.context.status = "Completed";
  f.phases = phases;
  const auto r = scan_folder_deleted("E:\\f", kMinute, false, f.sink(), f.sources());
  ASSERT_EQ(r.entries.size(), 3u);
  EXPECT_EQ(r.entries[0], entry(9, "E:\\f\\A\\a.txt", 60));  // sorted: "A" before "b.txt"
  // The journal's copy stays (its parent) and takes the size and time the record gave.
  EXPECT_EQ(r.entries[1], (ew::DeletedEntry{1234, "E:\\f\\b.txt", 7, 4096, 50}));
  // A journal copy with a size and time of its own keeps them.
  EXPECT_EQ(r.entries[2], (ew::DeletedEntry{11, "E:\\f\\c.txt", 6, 512, 50}));
  EXPECT_EQ(r.usn_summary, "变更日志发现3个删除记录");
  EXPECT_EQ(r.mft_summary, ew::print_mft_audit(phases.context));
  EXPECT_EQ(f.journal_scope_copy, (std::unordered_set<std::uint64_t>{50, 60}));
  EXPECT_EQ(f.out,
            "  [0/1] Locating directory...\n"
            "  [0/1] Building directory tree FRN scope...\n"
            "  [0/1] Directory FRN=50, scope 2 folders, querying USN...\n"
            "  [0/1] 变更日志发现3个删除记录\n"
            "  [0/1] MFT phased scan (index \u2192 FRN proximity \u2192 USN \u2192 pagination)...\n");
}

TEST(FolderScan, ScopelessRoadTestsJournalItemsByContainment) {
  FakeRoad f;
  f.scope.reset();
  ew::UsnScanResult usn;
  usn.candidates = {entry(7, "E:\\f\\deep\\b.txt", 99), entry(8, "E:\\g\\c.txt")};
  f.usn = usn;
  f.phases = std::unexpected(std::string("The system cannot find the file specified. (os error 2)"));
  const auto r = scan_folder_deleted("E:\\f", kMinute, false, f.sink(), f.sources());
  ASSERT_EQ(r.entries.size(), 1u);
  EXPECT_EQ(r.entries[0].frn, 7u);
  EXPECT_EQ(f.scopeless_calls, 1);
  EXPECT_EQ(f.mft_calls, 0);
  EXPECT_EQ(r.mft_summary, "MFT failed: The system cannot find the file specified. (os error 2)");
  EXPECT_EQ(f.journal_scope_copy, (std::unordered_set<std::uint64_t>{50}));
  EXPECT_NE(f.out.find("  [0/1] Directory FRN=50 ref=0x4000000000032, querying USN...\n"), std::string::npos);
  EXPECT_EQ(r.usn_summary, "变更日志中暂无删除记录");
}

TEST(FolderScan, JournalFailureBecomesTheSummaryAndTheMftStepStillRuns) {
  FakeRoad f;
  f.usn = std::unexpected(platform::OsError::from_code(5));
  auto r = scan_folder_deleted("E:\\f", kMinute, false, f.sink(), f.sources());
  EXPECT_EQ(r.usn_summary, "读取删除日志失败:Access denied");
  EXPECT_EQ(f.mft_calls, 1);
  FakeRoad g;
  g.usn = std::unexpected(platform::OsError::with_text(platform::OsErrorKind::Other, "no volume"));
  r = scan_folder_deleted("E:\\f", kMinute, false, g.sink(), g.sources());
  EXPECT_EQ(r.usn_summary, "读取删除日志失败:no volume");
}

TEST(FolderScan, SpentBudgetLeavesNoMftSummary) {
  FakeRoad f;
  f.spend_budget_in_journal = true;
  ew::UsnScanResult usn;
  usn.candidates = {entry(7, "E:\\f\\b.txt")};
  f.usn = usn;
  const auto r = scan_folder_deleted("E:\\f", ew::TimeBudget{0, 1'000'000}, false, f.sink(), f.sources());
  EXPECT_FALSE(r.mft_summary.has_value());
  EXPECT_EQ(f.mft_calls, 0);
  EXPECT_EQ(r.entries.size(), 1u);
  EXPECT_EQ(f.out.find("MFT phased scan"), std::string::npos);
}

TEST(FolderScan, FullModeDropsCrossDirectoryEntriesAndSaysHowMany) {
  FakeRoad f;
  MftPhasesOutcome phases;
  phases.entries = {entry(1, "E:\\f\\x1.txt", 60), entry(2, "E:\\f\\x2.txt", 60), entry(3, "E:\\f\\x3.txt", 60),
                    entry(4, "E:\\f\\A\\ok.txt", 60),
                    entry(5, fmt::format("E:\\f\\{}\\000000000000003c\\late.txt", ew::kLostFolderName), 60)};
  f.phases = phases;
  const auto r = scan_folder_deleted("E:\\f", kMinute, true, f.sink(), f.sources());
  ASSERT_EQ(r.entries.size(), 2u);
  EXPECT_EQ(r.entries[0].path, "E:\\f\\A\\late.txt");  // re-resolved from the lost folder
  EXPECT_EQ(r.entries[1].path, "E:\\f\\A\\ok.txt");
  EXPECT_NE(f.out.find("  [0/1] Filtered 3 false positives across directories (parent FRN/path mismatch)\n"),
            std::string::npos);

  FakeRoad g;
  phases.entries = {entry(4, "E:\\f\\A\\ok.txt", 60)};
  g.phases = phases;
  scan_folder_deleted("E:\\f", kMinute, true, g.sink(), g.sources());
  EXPECT_EQ(g.out.find("Filtered"), std::string::npos);
  // Not in full mode: nothing is removed.
  FakeRoad h;
  phases.entries = {entry(1, "E:\\f\\x1.txt", 60)};
  h.phases = phases;
  EXPECT_EQ(scan_folder_deleted("E:\\f", kMinute, false, h.sink(), h.sources()).entries.size(), 1u);
}

std::vector<ew::DeletedEntry> unsorted(std::size_t n) {
  std::vector<ew::DeletedEntry> v;
  for (std::size_t i = 0; i < n; ++i) {
    // Paths repeat (i % 7), so equal paths must keep their arrival order (frn ascending).
    v.push_back(entry(i, fmt::format("E:\\f\\{}\\n", (i * 5) % 7)));
  }
  v.push_back(entry(1000, "E:\\f\\3 b"));  // component order: "3" < "3 b"
  return v;
}

void expect_sorted_and_stable(const std::vector<ew::DeletedEntry>& v) {
  for (std::size_t i = 1; i < v.size(); ++i) {
    const int c = ew::compare_path_components(v[i - 1].path, v[i].path);
    EXPECT_LE(c, 0);
    if (c == 0) {
      EXPECT_LT(v[i - 1].frn, v[i].frn);
    }
  }
}

TEST(SortEntriesByPath, InsertionAndMergeSortAgreeAndAreStable) {
  for (std::size_t n : {19u, 20u}) {
    auto small = unsorted(n);  // n + 1 entries
    auto by_std = small;
    std::stable_sort(by_std.begin(), by_std.end(), [](const auto& a, const auto& b) {
      return ew::compare_path_components(a.path, b.path) < 0;
    });
    sort_entries_by_path(small);
    EXPECT_EQ(small, by_std);
    expect_sorted_and_stable(small);
  }
  auto small = unsorted(19);
  sort_entries_by_path(small);
  EXPECT_EQ(small.size(), 20u);
  EXPECT_EQ(small[0].path, "E:\\f\\0\\n");
  const auto three = std::find_if(small.begin(), small.end(), [](const auto& e) { return e.path == "E:\\f\\3 b"; });
  const auto three_n = std::find_if(small.begin(), small.end(), [](const auto& e) { return e.path == "E:\\f\\3\\n"; });
  EXPECT_LT(three_n, three);
}

}  // namespace
}  // namespace kavel_lib::scanner
