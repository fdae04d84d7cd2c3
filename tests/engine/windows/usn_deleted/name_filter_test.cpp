#include "engine/windows/usn_deleted/name_filter.h"

#include <gtest/gtest.h>

#include <string>

namespace kavel_lib::engine::windows {
namespace {

TEST(NameFilterBothSets, RejectsEmptySlashesAndLongHexNames) {
  for (bool relaxed : {false, true}) {
    EXPECT_FALSE(is_plausible_file_name("", relaxed));
    EXPECT_FALSE(is_plausible_file_name("a/b.txt", relaxed));
    EXPECT_FALSE(is_plausible_file_name("a\\b.txt", relaxed));
    EXPECT_FALSE(is_plausible_file_name(std::string(32, 'a'), relaxed));
    EXPECT_FALSE(is_plausible_file_name("0123456789ABCDEF0123456789abcdef", relaxed));
    EXPECT_TRUE(is_plausible_file_name(std::string(31, 'a'), relaxed));
    EXPECT_TRUE(is_plausible_file_name("0123456789abcdef0123456789abcdeg", relaxed));
    EXPECT_FALSE(is_plausible_file_name("invoked.timestamp", relaxed));
    EXPECT_TRUE(is_plausible_file_name("invoked.timestamp.txt", relaxed));
    EXPECT_FALSE(is_plausible_file_name("libfoo.rlib", relaxed));
    EXPECT_FALSE(is_plausible_file_name("My-TARNWICK-notes.txt", relaxed));
    EXPECT_TRUE(is_plausible_file_name("notes.lock", relaxed));
    EXPECT_TRUE(is_plausible_file_name("Report.DOCX", relaxed));
  }
}

TEST(NameFilterStrict, BuildArtefactsAreNoise) {
  EXPECT_TRUE(is_plausible_file_name("main.o", false));  // 6 bytes: rule needs more than 13
  EXPECT_FALSE(is_plausible_file_name("parser_core-1a2b3c.o", false));
  EXPECT_TRUE(is_plausible_file_name("my file (copy).o", false));
  EXPECT_FALSE(is_plausible_file_name("lib.rs", false));
  EXPECT_FALSE(is_plausible_file_name("lib-x", false));
  EXPECT_FALSE(is_plausible_file_name("build.d", false));
  EXPECT_FALSE(is_plausible_file_name(".d", false));
  EXPECT_FALSE(is_plausible_file_name("TMP.ABC", false));
  EXPECT_FALSE(is_plausible_file_name("app.PDB", false));
  EXPECT_FALSE(is_plausible_file_name("setup.exe", false));
  EXPECT_FALSE(is_plausible_file_name("firmware.bin", false));
  EXPECT_FALSE(is_plausible_file_name("bin-cache", false));
  EXPECT_FALSE(is_plausible_file_name("s-hash-working", false));
  EXPECT_FALSE(is_plausible_file_name("x.cargo_metadata.json", false));
}

TEST(NameFilterRelaxed, DropsTheStrictOnlyRules) {
  EXPECT_TRUE(is_plausible_file_name("lib.rs", true));
  EXPECT_TRUE(is_plausible_file_name("lib-x", true));
  EXPECT_TRUE(is_plausible_file_name("build.d", true));
  EXPECT_TRUE(is_plausible_file_name("TMP.ABC", true));
  EXPECT_TRUE(is_plausible_file_name("parser_core-1a2b3c.o", true));
  EXPECT_TRUE(is_plausible_file_name("setup.exe", true));
  EXPECT_FALSE(is_plausible_file_name("x.rcgu.o", true));
  EXPECT_FALSE(is_plausible_file_name("RUSTC-info", true));
  EXPECT_FALSE(is_plausible_file_name("a-dep-graph.bin", true));
}

}  // namespace
}  // namespace kavel_lib::engine::windows
