#include "engine/windows/ntfs_deleted/candidate_collector.h"

#include <gtest/gtest.h>

#include <fmt/format.h>

namespace kavel_lib::engine::windows {
namespace {

// Folder E:\f (record 50, reference 50 | 4 << 48) with subfolder A (60).
DirectoryScope sample_scope() {
  DirectoryScope s;
  s.path = "E:\\f";
  s.dir_frn = 50;
  s.dir_ref = 50 | (4ull << 48);
  s.dir_frns = {50, 60};
  s.parent_match_frns = {50, 60, s.dir_ref};
  s.dir_names = {{50, {"", 5}}, {60, {"A", 50}}};
  return s;
}

DeletedEntry entry(std::uint64_t frn, std::string path, std::uint64_t parent) {
  return DeletedEntry{std::nullopt, std::move(path), frn, 0, parent};
}

TEST(FilterRecordCandidates, NoiseFilterThenJournalNames) {
  const std::vector<DeletedEntrySource> sources{{"a.txt", 5, 0, 0}, {"x.pdb", 5, 0, 0}, {"b.txt", 5, 0, 0}};
  EXPECT_EQ(filter_record_candidates(9, sources, nullptr, false).size(), 2u);
  EXPECT_EQ(filter_record_candidates(9, sources, nullptr, true).size(), 3u);  // relaxed keeps .pdb
  const FrnNameSets hints{{9, {"b.txt"}}, {10, {"zzz"}}};
  const auto kept = filter_record_candidates(9, sources, &hints, false);
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].name, "b.txt");
  // The journal names restrict only when the flag is clear and the map holds the record.
  EXPECT_EQ(filter_record_candidates(9, sources, &hints, true).size(), 3u);
  EXPECT_EQ(filter_record_candidates(11, sources, &hints, false).size(), 2u);
}

TEST(LookupFrnEntry, MaskedThenWhole) {
  const DirectoryScope s = sample_scope();
  EXPECT_TRUE(lookup_frn_entry(s, 60 | (9ull << 48)));
  EXPECT_TRUE(lookup_frn_entry(s, s.dir_ref));
  EXPECT_FALSE(lookup_frn_entry(s, 61));
}

TEST(StrictTest, PathMustBeTheOneTheScopeRebuilds) {
  const DirectoryScope s = sample_scope();
  EXPECT_TRUE(resolve_candidate_path(s, entry(1, "E:\\f\\A\\x.txt", 60)));
  EXPECT_TRUE(resolve_candidate_path(s, entry(1, "e:/F/a/X.TXT", 60)));  // compared normalised
  EXPECT_TRUE(resolve_candidate_path(s, entry(1, "E:\\f\\y.txt", 50 | (4ull << 48))));
  EXPECT_FALSE(resolve_candidate_path(s, entry(1, "E:\\f\\x.txt", 60)));      // wrong folder for parent
  EXPECT_FALSE(resolve_candidate_path(s, entry(1, "E:\\g\\A\\x.txt", 60)));   // outside the folder
  EXPECT_FALSE(resolve_candidate_path(s, entry(1, "E:\\f\\A\\x.txt", 61)));   // parent not in scope
  EXPECT_FALSE(resolve_candidate_path(s, entry(1, "E:\\f", 50)));             // the folder itself
  DirectoryScope empty = s;
  empty.parent_match_frns.clear();
  EXPECT_FALSE(resolve_candidate_path(empty, entry(1, "E:\\f\\y.txt", 50)));
}

TEST(LenientTest, LostFolderAcceptedThroughDeletedDirectories) {
  DirectoryScope s = sample_scope();
  s.strict_paths = false;
  s.deleted_dir_frns = {77};
  EXPECT_TRUE(candidate_path_or_lost(s, entry(1, "E:\\f\\A\\x.txt", 60)));
  EXPECT_TRUE(candidate_path_or_lost(s, entry(1, "E:\\f\\$KavelLost\\000000000000004d\\x.txt", 77)));
  EXPECT_FALSE(candidate_path_or_lost(s, entry(1, "E:\\f\\elsewhere\\x.txt", 77)));
  EXPECT_TRUE(candidate_path_or_lost(s, entry(1, "E:\\f\\elsewhere\\x.txt", 60)));
  EXPECT_FALSE(candidate_path_or_lost(s, entry(1, "E:\\f\\A\\x.pdb", 60)));  // noise name
  EXPECT_FALSE(candidate_path_or_lost(s, entry(1, "E:\\g\\x.txt", 60)));
  s.strict_paths = true;
  EXPECT_FALSE(candidate_path_or_lost(s, entry(1, "E:\\f\\elsewhere\\x.txt", 60)));
}

TEST(AcceptCandidates, DeduplicatesOnInsertionAndCountsRejections) {
  const DirectoryScope s = sample_scope();
  ScanContext context;
  CollectorState state;
  accept_candidates(s, context, state,
                    {entry(1, "E:\\f\\A\\x.txt", 60), entry(2, "E:\\f\\A\\noise.exe", 60),
                     entry(3, "E:\\f\\wrong\\y.txt", 60), entry(1, "E:\\f\\A\\x.txt", 60)});
  EXPECT_EQ(state.entries.size(), 1u);
  EXPECT_EQ(context.filtered, 2u);
  EXPECT_EQ(state.found_frns, (std::unordered_set<std::uint64_t>{1}));
  EXPECT_TRUE(state.dedup_texts.contains(fmt::format("1|E:\\f\\A\\x.txt|{:016x}", frn_path_key(60, "x.txt"))));
  // The same record number, path and parent from a second phase: dropped, filtered unchanged.
  accept_candidates(s, context, state, {entry(1, "E:\\f\\A\\x.txt", 60)});
  EXPECT_EQ(state.entries.size(), 1u);
  EXPECT_EQ(context.filtered, 2u);
  // Another record with the same path is a different item.
  accept_candidates(s, context, state, {entry(4, "E:\\f\\A\\x.txt", 60)});
  EXPECT_EQ(state.entries.size(), 2u);
}

TEST(AcceptCandidates, NoiseFilterCountsEvenWhenTheStrictTestWouldHold) {
  const DirectoryScope s = sample_scope();
  ASSERT_TRUE(resolve_candidate_path(s, entry(1, "E:\\f\\A\\libfoo.rlib", 60)));
  ScanContext context;
  CollectorState state;
  accept_candidates(s, context, state, {entry(1, "E:\\f\\A\\libfoo.rlib", 60)});
  EXPECT_TRUE(state.entries.empty());
  EXPECT_EQ(context.filtered, 1u);
}

TEST(DocumentExtension, CommonDocumentsOnly) {
  EXPECT_TRUE(has_document_extension("Report.DOCX"));
  EXPECT_TRUE(has_document_extension("a.7z"));
  EXPECT_TRUE(has_document_extension("x.db"));
  EXPECT_TRUE(has_document_extension(".md"));
  EXPECT_FALSE(has_document_extension("md"));
  EXPECT_FALSE(has_document_extension("setup.exe"));
  EXPECT_FALSE(has_document_extension("tarnwick.log"));  // noise before extension
  EXPECT_FALSE(has_document_extension("photo.heic"));
}

}  // namespace
}  // namespace kavel_lib::engine::windows
