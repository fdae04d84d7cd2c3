// tarnwick --debug on ntfs-small: the journal and MFT dumps, then the same report as the
// normal road (the audit line's elapsed milliseconds masked). Skips without the real volumes.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>

#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;

kavel_test::CommandResult run_on_ntfs_small(const std::string& args) {
  const fs::path image = kavel_test::real_volumes_dir() / "ntfs-small.img";
  return kavel_test::run_command("KAVEL_DRIVES=" + kavel_test::shell_quote("E=" + image.string()) + " " +
                                 kavel_test::shell_quote(kavel_test::program_path("tarnwick").string()) + " " + args +
                                 " 2>&1");
}

std::string mask_elapsed(const std::string& text) {
  static const std::regex elapsed(" [0-9]+ms ");
  return std::regex_replace(text, elapsed, " #ms ");
}

// The report part: everything after the marker line.
std::string after(const std::string& text, const std::string& marker) {
  const auto at = text.find(marker);
  if (at == std::string::npos) return "(marker missing: " + marker + ")";
  return text.substr(at + marker.size());
}

TEST(DebugRoadOnNtfsSmall, DumpsThenTheSameReportAsTheNormalRoad) {
  if (auto missing = kavel_test::real_volumes_missing()) GTEST_SKIP() << *missing;
  if (!fs::exists(kavel_test::real_volumes_dir() / "ntfs-small.img")) GTEST_SKIP() << "missing ntfs-small.img";
  const auto debug = run_on_ntfs_small("--debug " + kavel_test::shell_quote("E:\\docs\\2"));
  const auto normal = run_on_ntfs_small(kavel_test::shell_quote("E:\\docs\\2"));
  ASSERT_EQ(debug.status, 0);
  ASSERT_EQ(normal.status, 0);

  // The dumps come first: the journal's line (ntfs-3g keeps no journal, so its query fails),
  // then the probe's range and one line per name in the folder (its root index lists nothing
  // on this volume).
  EXPECT_TRUE(debug.output.starts_with("=== Debug: E:\\docs\\2 ===\n\nUSN ")) << debug.output;
  EXPECT_NE(debug.output.find("MFT  Scanned FRN 0..32833  FreeRecords="), std::string::npos) << debug.output;
  EXPECT_NE(debug.output.find("ParentMatch=15 entries\n"), std::string::npos) << debug.output;
  EXPECT_NE(debug.output.find("     FRN 90 (free) name=deleted-resident-450.txt size="), std::string::npos);
  EXPECT_NE(debug.output.find("     FRN 84 (in_use) name=live-30000.bin size="), std::string::npos);

  const std::string debug_report =
      after(debug.output, "\n=== Recoverable items in this folder (USN + MFT merged) ===\n\n");
  const std::string normal_report = after(
      normal.output,
      "Hint: only lists Shift+Delete in this folder and subfolders (parent dir FRN within directory tree scope)\n");
  EXPECT_EQ(mask_elapsed(debug_report), mask_elapsed(normal_report));
  EXPECT_NE(normal_report.find("LogFile=0 retry=0"), std::string::npos) << normal_report;
  EXPECT_NE(normal_report.find("E:\\docs\\2\\deleted-resident-450.txt\n"), std::string::npos) << normal_report;
}

TEST(DebugRoadOnNtfsSmall, SubfolderWithIndexEntriesPrintsIndexedLines) {
  if (auto missing = kavel_test::real_volumes_missing()) GTEST_SKIP() << *missing;
  if (!fs::exists(kavel_test::real_volumes_dir() / "ntfs-small.img")) GTEST_SKIP() << "missing ntfs-small.img";
  const auto debug = run_on_ntfs_small("--debug " + kavel_test::shell_quote("E:\\docs\\2\\sub"));
  ASSERT_EQ(debug.status, 0);
  EXPECT_NE(debug.output.find("     Indexed FRN 87 name=keep.txt\n     Indexed FRN 93 name=live-700.txt\n     FRN 87 "),
            std::string::npos)
      << debug.output;
}

}  // namespace
