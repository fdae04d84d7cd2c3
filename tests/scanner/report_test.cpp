#include "scanner/report.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kavel_lib::scanner {
namespace {

namespace ew = engine::windows;

ScannerArguments select(std::vector<std::string> args) { return select_arguments(args); }

TEST(SelectArguments, DefaultFolderDebugAnywhereAndEmptyArguments) {
  EXPECT_EQ(select({"tarnwick"}).folder, "E:\\2");
  EXPECT_FALSE(select({"tarnwick"}).debug);
  const auto a = select({"tarnwick", "--debug", "C:\\data", "-x"});
  EXPECT_TRUE(a.debug);
  EXPECT_EQ(a.folder, "C:\\data");
  EXPECT_TRUE(select({"tarnwick", "C:\\data", "--debug"}).debug);
  EXPECT_FALSE(select({"tarnwick", "--Debug", "C:\\x"}).debug);
  EXPECT_EQ(select({"tarnwick", "--Debug"}).folder, "E:\\2");
  EXPECT_EQ(select({"tarnwick", "C:\\a", ""}).folder, "");  // an empty argument is a folder
  EXPECT_EQ(select({"tarnwick", "C:\\a", "D:\\b"}).folder, "D:\\b");
  EXPECT_EQ(select({"--debug-not-folder-but-program"}).folder, "E:\\2");  // the program's path is not a candidate
}

TEST(FormatReport, NoEntriesGivesTheAdministratorHint) {
  const std::string text = format_report(ew::summary_only_result("Cannot identify drive letter"));
  EXPECT_EQ(text,
            "USN: Cannot identify drive letter\n"
            "Total 0 paths (deduplicated by FRN|path)\n"
            "Hint: if just Shift+Deleted, run as Administrator\n");
}

TEST(FormatReport, AuditSummaryCarriesTheLegendAndEntriesPrintLossily) {
  ew::ScanContext ctx;
  ctx.folder = "E:\\2";
  ctx.scope_folders = 3;
  ctx.status = "Completed";
  ew::ScanResult r;
  r.usn_summary = "变更日志发现2个删除记录";
  r.mft_summary = ew::print_mft_audit(ctx);
  r.entries.push_back({123, "E:\\2\\a.txt", 41, 4096, 40});
  r.entries.push_back({std::nullopt, std::string("E:\\2\\b\xed\xa0\x80.txt"), 42, 0, 40});
  EXPECT_EQ(format_report(r),
            "USN: 变更日志发现2个删除记录\n"
            "MFT: MFT Audit: folder=E:\\2 FRN=3 $MFT\u22480 index=0 deleted-dir=0 local-band=0 expand=0 USN=0 paged=0 "
            "LogFile=0 retry=0 pending=0 cache-read=0 filtered-cross-dir=0 block0/0 thread0 0ms Completed\n"
            "     (LogFile=recent delete txn; Pending=deferred MFT; Unconfirmed=USN hint not flushed; Cache=session MFT "
            "cache)\n"
            "Total 2 paths (deduplicated by FRN|path)\n"
            "  FRN 41 parent 40 size 4096 time=123 E:\\2\\a.txt\n"
            "  FRN 42 parent 40 size 0 E:\\2\\b\uFFFD.txt\n");
}

TEST(FormatReport, NamesThatWouldBreakOrReorderTheLineShowCodePoints) {
  ew::ScanResult r;
  r.usn_summary = "x";
  // A newline in a deleted file's name once printed a forged entry line of its own.
  r.entries.push_back({std::nullopt, "E:\\2\\a\n  FRN 4242 parent 64 size 1 E:\\2\\b", 41, 1, 40});
  r.entries.push_back({std::nullopt, "E:\\2\\c\x7f\x1b[2J\r\t.txt", 43, 1, 40});
  // C1 controls, the line and paragraph separators, the bidirectional controls (marks,
  // embeddings, overrides, isolates) and the zero-width no-break space; a no-break space and a
  // zero-width joiner stay as they are.
  r.entries.push_back({std::nullopt,
                       "E:\\2\\\u0085\u009f\u2028\u2029\u061c\u200e\u200f\u202a\u202e\u2066\u2069\ufeff\u00a0"
                       "\u200d.txt",
                       44, 1, 40});
  EXPECT_EQ(format_report(r),
            "USN: x\n"
            "Total 3 paths (deduplicated by FRN|path)\n"
            "  FRN 41 parent 40 size 1 E:\\2\\a<U+000A>  FRN 4242 parent 64 size 1 E:\\2\\b\n"
            "  FRN 43 parent 40 size 1 E:\\2\\c<U+007F><U+001B>[2J<U+000D><U+0009>.txt\n"
            "  FRN 44 parent 40 size 1 E:\\2\\<U+0085><U+009F><U+2028><U+2029><U+061C><U+200E><U+200F><U+202A>"
            "<U+202E><U+2066><U+2069><U+FEFF>\u00a0\u200d.txt\n");
}

TEST(FormatReport, FailedMftStepHasNoLegendUnlessItsTextAsksForIt) {
  ew::ScanResult r;
  r.usn_summary = "变更日志中暂无删除记录";
  r.mft_summary = "MFT failed: Access is denied. (os error 5)";
  EXPECT_EQ(format_report(r),
            "USN: 变更日志中暂无删除记录\n"
            "MFT: MFT failed: Access is denied. (os error 5)\n"
            "Total 0 paths (deduplicated by FRN|path)\n"
            "Hint: if just Shift+Deleted, run as Administrator\n");
  r.mft_summary = "MFT failed: pending=";
  EXPECT_NE(format_report(r).find("(LogFile=recent"), std::string::npos);
  r.mft_summary = "MFT failed: Pending=";  // case-sensitive
  EXPECT_EQ(format_report(r).find("(LogFile=recent"), std::string::npos);
}

TEST(ReportProgress, EveryFiveThousandthStepAndTheLast) {
  std::string out;
  const TextSink sink = [&out](std::string_view t) { out += t; };
  for (std::uint64_t i = 0; i < 12000; ++i) report_progress(sink, i, 12000, "t");
  EXPECT_EQ(out, "  [0/12000] t\n  [5000/12000] t\n  [10000/12000] t\n  [11999/12000] t\n");
  out.clear();
  report_progress(sink, 0, 1, "Locating directory...");
  EXPECT_EQ(out, "  [0/1] Locating directory...\n");
  out.clear();
  report_progress(sink, 3, 0, "x");
  EXPECT_EQ(out, "");
}

// Entry sources that record what the scan was asked and answer with fixed values.
struct FakeEntry {
  std::string out;
  std::vector<std::string> scanned;
  bool is_dir = true;
  std::expected<ew::UsnDebugStats, platform::OsError> usn = ew::UsnDebugStats{};
  std::expected<ew::MftProbeResult, platform::OsError> probe = ew::MftProbeResult{};

  TextSink sink() {
    return [this](std::string_view t) { out += t; };
  }
  EntrySources sources() {
    EntrySources s;
    s.scan = [this](std::string_view folder, const TextSink& o) {
      scanned.emplace_back(folder);
      o("  [0/1] Locating directory...\n");
      return ew::summary_only_result("Cannot locate directory: x");
    };
    s.is_directory = [this](std::string_view) { return is_dir; };
    s.debug_usn_query = [this](std::string_view) { return usn; };
    s.probe_frn = [this](std::string_view) { return probe; };
    return s;
  }
};

TEST(NormalRoad, HeaderNoteHintThenReport) {
  FakeEntry f;
  std::vector<std::string> args{"tarnwick", "E:"};
  EXPECT_EQ(scanner_main(args, f.sink(), f.sources()), 0);
  EXPECT_EQ(f.out,
            "Probing NTFS deleted under: E:\n"
            "Note: volume root won't list Shift+Delete inside subfolders; use a specific path, e.g. E:\\Documents\n"
            "Hint: only lists Shift+Delete in this folder and subfolders (parent dir FRN within directory tree "
            "scope)\n"
            "  [0/1] Locating directory...\n"
            "USN: Cannot locate directory: x\n"
            "Total 0 paths (deduplicated by FRN|path)\n"
            "Hint: if just Shift+Deleted, run as Administrator\n");
  EXPECT_EQ(f.scanned, std::vector<std::string>{"E:"});
}

TEST(DebugRoad, WarningUsageAndBothFailures) {
  FakeEntry f;
  f.is_dir = false;
  f.usn = std::unexpected(platform::OsError::from_code(2));
  f.probe = std::unexpected(platform::OsError::with_text(platform::OsErrorKind::Other, "Cannot open volume"));
  std::vector<std::string> args{"tarnwick", "Q:\\nope", "--debug"};
  EXPECT_EQ(scanner_main(args, f.sink(), f.sources()), 0);
  const std::string expected_head =
      "Warning: \"Q:\\nope\" is not a valid directory\n"
      "  tarnwick --debug \"E:\\Documents\"\n"
      "=== Debug: Q:\\nope ===\n\n"
      "USN query failed: " +
      platform::OsError::from_code(2).display() +
      "\n"
      "MFT query failed: Cannot open volume\n"
      "\n=== Recoverable items in this folder (USN + MFT merged) ===\n\n"
      "  [0/1] Locating directory...\n";
  EXPECT_EQ(f.out.substr(0, expected_head.size()), expected_head);
}

TEST(DebugRoad, StatisticsNotesAndProbeLines) {
  FakeEntry f;
  ew::UsnDebugStats stats;
  stats.dir_frn = 41;
  stats.dir_ref = 41 | (2ull << 48);
  stats.first_usn = -1;
  stats.next_usn = 4096;
  stats.parsed = 7;
  stats.delete_reason = 2;
  stats.unpaired_v4 = 1;
  f.usn = stats;
  ew::MftProbeResult probe;
  probe.scan_start = 0;
  probe.scan_end = 32809;
  probe.free_records = 5;
  f.probe = probe;
  std::vector<std::string> args{"tarnwick", "--debug", "E:\\d"};
  scanner_main(args, f.sink(), f.sources());
  EXPECT_NE(f.out.find("=== Debug: E:\\d ===\n\n"
                       "USN  Dir FRN=41 ref=0x2000000000029  Journal -1..4096\n"
                       "     Parsed=7  DeleteReason=2  ParentMatch=0  Accepted=0  UnpairedV4=1\n"
                       "     Note: no delete records with 'parent dir = this folder' in current USN journal segment "
                       "(journal advances with other writes on E:, old Shift+Delete entries may be overwritten)\n"
                       "MFT  Scanned FRN 0..32809  FreeRecords=5  ParentMatch=0 entries\n"
                       "     Note: no $FILE_NAME with parent dir = this folder in nearby MFT (slot reused, or recently "
                       "deleted still IN_USE with path still existing \u2014 retry as admin right after "
                       "Shift+Delete)\n"),
            std::string::npos)
      << f.out;
  EXPECT_EQ(f.out.find("Warning"), std::string::npos);

  FakeEntry g;
  probe.lines = {"Indexed FRN 77 name=a.txt", "FRN 78 (free) name=b.txt size=0"};
  g.probe = probe;
  stats.parent_match = 1;
  g.usn = stats;
  scanner_main(args, g.sink(), g.sources());
  EXPECT_NE(g.out.find("ParentMatch=2 entries\n     Indexed FRN 77 name=a.txt\n     FRN 78 (free) name=b.txt size=0\n"),
            std::string::npos);
  EXPECT_EQ(g.out.find("Note:"), std::string::npos);
}

}  // namespace
}  // namespace kavel_lib::scanner
