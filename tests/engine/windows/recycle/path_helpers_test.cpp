#include "engine/windows/recycle/path_helpers.h"

#include <gtest/gtest.h>

#include "engine/windows/recycle/unicode_lower.h"

namespace kavel_lib::engine::windows {
namespace {

TEST(NormalizePath, SeparatorsCaseAndPrefixes) {
  EXPECT_EQ(normalize_path("E:/Docs//A.TXT/"), "e:\\docs\\a.txt");
  EXPECT_EQ(normalize_path("e:\\docs\\a.txt"), "e:\\docs\\a.txt");
  EXPECT_EQ(normalize_path(" \\\\?\\E:\\X\\ "), "e:\\x");
  EXPECT_EQ(normalize_path("\\??\\E:\\X"), "e:\\x");
  EXPECT_EQ(normalize_path("\\\\server\\share\\x"), "\\server\\share\\x");
  EXPECT_EQ(normalize_path("\\\\\\"), "");
}

TEST(NormalizePath, FullUnicodeLowerCasing) {
  EXPECT_EQ(normalize_path("E:\\ПАПКА\\Ärger"), "e:\\папка\\ärger");
  // Final sigma: word-final capital sigma becomes ς, elsewhere σ.
  EXPECT_EQ(unicode_lower("\u039f\u0394\u039f\u03a3"), "\u03bf\u03b4\u03bf\u03c2");
  EXPECT_EQ(unicode_lower("\u03a3\u0391 \u0391\u03a3"), "\u03c3\u03b1 \u03b1\u03c2");
  EXPECT_EQ(unicode_lower("\u03a3"), "\u03c3");                  // nothing cased before it
  EXPECT_EQ(unicode_lower("\u0391\u03a3'"), "\u03b1\u03c2'");    // the apostrophe is skipped
  EXPECT_EQ(unicode_lower("\u0391\u03a3\u0391"), "\u03b1\u03c3\u03b1");
  // U+0130 lower-cases to i followed by a combining dot above.
  EXPECT_EQ(unicode_lower("\u0130"), "i\u0307");
  // Letters beyond the Basic Multilingual Plane (Deseret).
  EXPECT_EQ(unicode_lower("\U00010400"), "\U00010428");
  EXPECT_EQ(unicode_lower("\xff"), "\uFFFD");
}

TEST(PathIsUnder, CaseSeparatorsAndBoundary) {
  EXPECT_TRUE(path_is_under("E:\\Docs\\a.txt", "e:/docs/"));
  EXPECT_TRUE(path_is_under("E:\\Docs", "E:\\Docs"));
  EXPECT_FALSE(path_is_under("E:\\Docs2\\a.txt", "E:\\Docs"));
  EXPECT_TRUE(path_is_under("\\\\?\\E:\\Docs\\a.txt", "E:\\Docs"));
  EXPECT_FALSE(path_is_under("E:\\Docs\\a.txt", ""));
  EXPECT_FALSE(path_is_under("", "E:\\Docs"));
  EXPECT_TRUE(path_is_under("E:\\x", "E:"));
  EXPECT_TRUE(path_is_under("E:\\\u03a6\u0391\u039a\\a", "e:\\\u03c6\u03b1\u03ba"));
}

TEST(IsVolumeRoot, BareDrivesOnly) {
  EXPECT_TRUE(is_volume_root("E:"));
  EXPECT_TRUE(is_volume_root("e:\\"));
  EXPECT_TRUE(is_volume_root("\\\\?\\E:\\"));
  EXPECT_FALSE(is_volume_root("E:\\x"));
  EXPECT_FALSE(is_volume_root("\\\\server\\share"));
}

TEST(JoinPath, BackslashUnlessTheBaseEndsInASeparator) {
  EXPECT_EQ(join_path("E:", "x"), "E:\\x");
  EXPECT_EQ(join_path("E:\\", "x"), "E:\\x");
  EXPECT_EQ(join_path("E:\\docs", "x"), "E:\\docs\\x");
  EXPECT_EQ(join_path("E:/docs/", "x"), "E:/docs/x");
  EXPECT_EQ(join_path("", "x"), "x");
}

TEST(LastComponent, NamesPrefixesAndRoots) {
  EXPECT_EQ(last_component("E:\\docs\\a.txt"), "a.txt");
  EXPECT_EQ(last_component("E:\\docs\\"), "docs");
  EXPECT_EQ(last_component("E:/docs/./"), "docs");
  EXPECT_EQ(last_component("\\\\?\\E:\\docs\\b"), "b");
  EXPECT_EQ(last_component("E:"), std::nullopt);
  EXPECT_EQ(last_component("E:\\"), std::nullopt);
  EXPECT_EQ(last_component("\\\\server\\share"), std::nullopt);
  EXPECT_EQ(last_component("\\\\server\\share\\f"), "f");
  EXPECT_EQ(last_component("E:\\a\\.."), std::nullopt);
  EXPECT_EQ(last_component(""), std::nullopt);
}

TEST(ComparePathComponents, ComponentWiseNotTextWise) {
  // As text, "E:\a b" comes first (0x20 < 0x5C); by components the name "a" precedes "a b".
  EXPECT_LT(compare_path_components("E:\\a\\z", "E:\\a b"), 0);
  EXPECT_GT(compare_path_components("E:\\a b", "E:\\a\\z"), 0);
  EXPECT_LT(compare_path_components("E:\\a", "E:\\a\\b"), 0);
  EXPECT_EQ(compare_path_components("E:\\a\\\\b", "E:\\a\\b"), 0);
  EXPECT_EQ(compare_path_components("e:\\a", "E:\\a"), 0);  // drive letters compare upper-cased
  EXPECT_LT(compare_path_components("E:\\B", "E:\\a"), 0);  // names are case-sensitive bytes
  EXPECT_LT(compare_path_components("D:\\z", "E:\\a"), 0);
}

}  // namespace
}  // namespace kavel_lib::engine::windows
