// The built tarnwick program end to end: its whole standard output and exit code.
#include <gtest/gtest.h>

#include <string>

#include "support/test_env.h"

namespace {

kavel_test::CommandResult run_tarnwick(const std::string& args) {
  return kavel_test::run_command("KAVEL_DRIVES= " + kavel_test::shell_quote(kavel_test::program_path("tarnwick").string()) +
                                 " " + args);
}

TEST(TarnwickProgram, UnmappedDriveLetterGolden) {
  const auto r = run_tarnwick(kavel_test::shell_quote("Q:\\docs"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output,
            "Probing NTFS deleted under: Q:\\docs\n"
            "Hint: only lists Shift+Delete in this folder and subfolders (parent dir FRN within directory tree "
            "scope)\n"
            "  [0/1] Locating directory...\n"
            "USN: Cannot locate directory: The system cannot find the path specified. (os error 3)\n"
            "Total 0 paths (deduplicated by FRN|path)\n"
            "Hint: if just Shift+Deleted, run as Administrator\n");
}

TEST(TarnwickProgram, UncPathGolden) {
  const auto r = run_tarnwick(kavel_test::shell_quote("\\\\server\\share\\x"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output,
            "Probing NTFS deleted under: \\\\server\\share\\x\n"
            "Hint: only lists Shift+Delete in this folder and subfolders (parent dir FRN within directory tree "
            "scope)\n"
            "USN: Cannot identify drive letter\n"
            "Total 0 paths (deduplicated by FRN|path)\n"
            "Hint: if just Shift+Deleted, run as Administrator\n");
}

TEST(TarnwickProgram, VolumeRootAndDebugRoadsEndWithExitCodeZero) {
  const auto root = run_tarnwick("-v Q:");
  EXPECT_EQ(root.status, 0);
  EXPECT_EQ(root.output.rfind("Probing NTFS deleted under: Q:\n"
                              "Note: volume root won't list Shift+Delete inside subfolders; use a specific path, "
                              "e.g. E:\\Documents\n",
                              0),
            0u);
  const auto debug = run_tarnwick("--debug " + kavel_test::shell_quote("Q:\\docs"));
  EXPECT_EQ(debug.status, 0);
  EXPECT_EQ(debug.output.rfind("Warning: \"Q:\\docs\" is not a valid directory\n"
                               "  tarnwick --debug \"E:\\Documents\"\n"
                               "=== Debug: Q:\\docs ===\n\n"
                               "USN query failed: ",
                               0),
            0u);
  EXPECT_NE(debug.output.find("\n=== Recoverable items in this folder (USN + MFT merged) ===\n\n"), std::string::npos);
  // No arguments: the default folder.
  const auto none = run_tarnwick("");
  EXPECT_EQ(none.status, 0);
  EXPECT_EQ(none.output.rfind("Probing NTFS deleted under: E:\\2\n", 0), 0u);
}

}  // namespace
