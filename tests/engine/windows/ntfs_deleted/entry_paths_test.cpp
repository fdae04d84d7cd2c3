#include "engine/windows/ntfs_deleted/entry_paths.h"

#include <gtest/gtest.h>

#include <fmt/format.h>

namespace kavel_lib::engine::windows {
namespace {

// Folder E:\f is record 50; A (60) lies in it, B (70) in A.
DirNameMap sample_names() {
  return {{50, {"", 5}}, {60, {"A", 50}}, {70, {"B", 60}}};
}

TEST(RebuildPathFromParents, DirectChildNeedsNoLookup) {
  EXPECT_EQ(rebuild_path_from_parents("x.txt", 50 | (7ull << 48), "E:\\f", 50, {}, false), "E:\\f\\x.txt");
  EXPECT_EQ(rebuild_path_from_parents("x.txt", 50, "E:", 50, {}, false), "E:\\x.txt");
}

TEST(RebuildPathFromParents, ChainsAndPartialChains) {
  const DirNameMap names = sample_names();
  EXPECT_EQ(rebuild_path_from_parents("x.txt", 70, "E:\\f", 50, names, false), "E:\\f\\A\\B\\x.txt");
  // B (80) in A (90), and A's parent (999) is unknown: the chain leaves the scope.
  const DirNameMap broken = {{80, {"B", 90}}, {90, {"A", 999}}};
  EXPECT_EQ(rebuild_path_from_parents("x.txt", 80, "E:\\f", 50, broken, true), "E:\\f\\A\\B\\x.txt");
  EXPECT_EQ(rebuild_path_from_parents("x.txt", 80, "E:\\f", 50, broken, false), std::nullopt);
  // No ancestor found at all: no partial path either.
  EXPECT_EQ(rebuild_path_from_parents("x.txt", 999, "E:\\f", 50, broken, true), std::nullopt);
}

TEST(RebuildPathFromParents, ChainLimitAndLoops) {
  // A chain of n directories above the name: record 1000 + i has parent 1000 + i - 1, and
  // record 1000 sits in the folder (50).
  auto chain = [](int n) {
    DirNameMap names;
    for (int i = 0; i < n; ++i) {
      names[1000 + static_cast<std::uint64_t>(i)] = {fmt::format("d{}", i), i == 0 ? 50 : 1000 + static_cast<std::uint64_t>(i) - 1};
    }
    return names;
  };
  EXPECT_TRUE(rebuild_path_from_parents("x", 1000 + 62, "E:\\f", 50, chain(63), false).has_value());   // 63 lookups
  EXPECT_FALSE(rebuild_path_from_parents("x", 1000 + 63, "E:\\f", 50, chain(64), false).has_value());  // 64 lookups
  EXPECT_FALSE(rebuild_path_from_parents("x", 1000 + 63, "E:\\f", 50, chain(64), true).has_value());
  const DirNameMap loop = {{80, {"a", 81}}, {81, {"b", 80}}};
  EXPECT_FALSE(rebuild_path_from_parents("x", 80, "E:\\f", 50, loop, true).has_value());
}

TEST(LostFolder, SixteenHexDigitsUnderTheFolder) {
  EXPECT_EQ(lost_folder_path("D:\\x\\", 107187, "name"), "D:\\x\\$KavelLost\\000000000001a2b3\\name");
  EXPECT_EQ(lost_folder_path("D:\\x", 107187, "name"), "D:\\x\\$KavelLost\\000000000001a2b3\\name");
  EXPECT_EQ(lost_folder_path("E:", 0xABCull | (5ull << 48), "n"), "E:\\$KavelLost\\0000000000000abc\\n");
}

TEST(BuildEntryPath, RebuiltLostOrNothing) {
  const DirNameMap names = sample_names();
  const DeletedEntrySource in_b{"x.txt", 70, 512, 0};
  auto entry = build_entry_path(in_b, 1234, "E:\\f", 50, names, false);
  ASSERT_TRUE(entry.has_value());
  EXPECT_EQ(*entry, (DeletedEntry{std::nullopt, "E:\\f\\A\\B\\x.txt", 1234, 512, 70}));

  const DeletedEntrySource stray{"y.txt", 107187, 0, 99};
  EXPECT_FALSE(build_entry_path(stray, 1, "D:\\x", 50, names, false).has_value());
  auto lost = build_entry_path(stray, 1, "D:\\x", 50, names, true);
  ASSERT_TRUE(lost.has_value());
  EXPECT_EQ(lost->path, "D:\\x\\$KavelLost\\000000000001a2b3\\y.txt");
  EXPECT_EQ(lost->time, 99u);

  const std::vector<DeletedEntrySource> sources{in_b, stray};
  EXPECT_EQ(map_entry_to_output_path(sources, 9, "E:\\f", 50, names, false).size(), 1u);
}

TEST(ResolveNameChain, OnlyForScopeParentsAndPlainNames) {
  DirectoryScope scope;
  scope.path = "E:\\f";
  scope.dir_frn = 50;
  scope.dir_names = sample_names();
  scope.parent_match_frns = {50, 60, 70};
  EXPECT_EQ(resolve_name_chain(scope, 70, "x.txt"), "E:\\f\\A\\B\\x.txt");
  EXPECT_EQ(resolve_name_chain(scope, 70 | (2ull << 48), "x.txt"), "E:\\f\\A\\B\\x.txt");
  EXPECT_EQ(resolve_name_chain(scope, 71, "x.txt"), std::nullopt);
  EXPECT_EQ(resolve_name_chain(scope, 70, "a/b"), std::nullopt);
}

TEST(ReresolveLostEntries, ReplacesLostPathsThatNowResolve) {
  const DirNameMap names = sample_names();
  std::vector<DeletedEntry> entries{
      {std::nullopt, "E:\\f\\$KavelLost\\0000000000000046\\x.txt", 1, 0, 70},
      {std::nullopt, "E:\\f\\$KavelLost\\00000000000003e7\\y.txt", 2, 0, 999},
      {std::nullopt, "E:\\f\\z.txt", 3, 0, 50},
  };
  reresolve_lost_entries(entries, "E:\\f", 50, names);
  EXPECT_EQ(entries[0].path, "E:\\f\\A\\B\\x.txt");
  EXPECT_EQ(entries[1].path, "E:\\f\\$KavelLost\\00000000000003e7\\y.txt");
  EXPECT_EQ(entries[2].path, "E:\\f\\z.txt");
}

}  // namespace
}  // namespace kavel_lib::engine::windows
