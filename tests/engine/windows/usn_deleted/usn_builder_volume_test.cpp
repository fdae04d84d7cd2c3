// The journal scan on builder-made volumes mapped as F: through the emulated NTFS driver,
// whose journals hold V2, V3 and V4 records written for the case at hand.
#include <gtest/gtest.h>

#include <set>

#include "engine/windows/recycle/path_helpers.h"
#include "engine/windows/usn_deleted/usn_scan.h"
#include "engine/windows/usn_deleted/usn_walk.h"
#include "platform/volume_paths.h"
#include "scanner/folder_scan.h"
#include "support/mapped_volume.h"
#include "support/ntfs_builder.h"
#include "support/test_env.h"

namespace kavel_lib::engine::windows {
namespace {

namespace nb = kavel_test::ntfs;
using Items = std::set<std::pair<std::uint64_t, std::string>>;

constexpr std::uint32_t kDelete = 0x80000200;
constexpr std::uint32_t kOldName = 0x00001000;
constexpr std::uint32_t kNewName = 0x00002000;
constexpr std::uint32_t kWritten = 0x80000002;
constexpr std::uint32_t kExtend = 0x00000002;

// F:\docs with sub\deeper below it, a sibling F:\other and the Recycle Bin; files deleted on
// both sides, a file renamed in place (draft.txt, now final.txt), one moved to the Recycle Bin
// (letter.docx) and the earlier name of a record that a later file holds (earlier.txt).
struct JournalVolume {
  nb::VolumeBuilder b;
  std::uint64_t docs, sub, deeper, other, bin, sid;
  std::uint64_t gone, report, draft, range, orphan, letter, kept, secret, beside, reused;
  kavel_test::TempDir dir;
  std::optional<kavel_test::MappedVolume> mapped;

  JournalVolume() {
    docs = b.add_folder(b.root(), "docs");
    sub = b.add_folder(docs, "sub");
    deeper = b.add_folder(sub, "deeper");
    other = b.add_folder(b.root(), "other");
    gone = b.add_file(docs, "gone.txt", "bye", {.deleted = true});
    report = b.add_file(deeper, "report.docx", std::string(9000, 'r'), {.deleted = true});
    draft = b.add_file(docs, "final.txt", "renamed from draft.txt");
    range = b.add_file(sub, "range.bin", std::string(5000, 'b'), {.deleted = true});
    orphan = b.add_file(docs, "orphan.pdf", "%PDF", {.deleted = true});
    bin = b.add_folder(b.root(), "$Recycle.Bin");
    sid = b.add_folder(bin, "S-1-5-21-1004336348-1177238915-682003330-1001");
    letter = b.add_file(sid, "$RAB12CD.docx", "moved to the bin");
    kept = b.add_file(docs, "kept.txt", "still here");
    secret = b.add_file(other, "secret.docx", "beside", {.deleted = true});
    beside = b.add_file(other, "notes.qqq", "beside", {.deleted = true});
    reused = b.add_file(docs, "occupant.txt", "a later file in the record", {.sequence = 2});

    auto rec = [&](std::uint16_t version, std::uint64_t file, std::uint64_t parent, std::uint32_t reason,
                   std::string name) {
      return nb::UsnRecordSpec{.version = version, .file_reference = b.reference(file),
                               .parent_reference = parent == 0 ? 0 : b.reference(parent), .reason = reason,
                               .name = std::move(name)};
    };
    nb::UsnRecordSpec v4range = rec(4, range, sub, kDelete, "");
    v4range.extents = {{0, 8192}};
    nb::UsnRecordSpec v4orphan = rec(4, orphan, docs, kDelete, "");
    v4orphan.extents = {{0, 4096}};
    b.set_usn_journal({.records = {
                           rec(2, gone, docs, kDelete, "gone.txt"),
                           rec(3, report, deeper, kDelete, "report.docx"),
                           rec(2, draft, docs, kOldName, "draft.txt"),
                           rec(2, draft, docs, kNewName, "final.txt"),
                           rec(2, draft, docs, kWritten, "final.txt"),
                           v4range,
                           rec(3, range, sub, kExtend, "range.bin"),
                           v4orphan,
                           rec(2, letter, docs, kOldName, "letter.docx"),
                           rec(2, letter, sid, kNewName, "$RAB12CD.docx"),
                           nb::UsnRecordSpec{.version = 2, .file_reference = reused | (1ull << 48),
                                             .parent_reference = b.reference(docs), .reason = kOldName,
                                             .name = "earlier.txt"},
                           rec(2, kept, docs, kWritten, "kept.txt"),
                           rec(2, secret, other, kDelete, "secret.docx"),
                           rec(3, beside, other, kDelete, "notes.qqq"),
                       }});
  }

  std::optional<std::string> map() {
    const auto image = dir / "journal.img";
    if (auto w = b.write(image); !w) return w.error();
    mapped.emplace(image, 'F');
    return std::nullopt;
  }
};

// The scope of a folder as the volume paths show it: its directories and their names.
void tree(const std::string& path, std::uint64_t frn, std::uint64_t parent, std::unordered_set<std::uint64_t>& dirs,
          DirNameMap& names, bool top = true) {
  dirs.insert(frn);
  if (top) names[frn] = {"", parent};  // the folder itself, as a scope holds it
  auto children = platform::volume_paths::list_directory(path);
  if (!children) return;
  for (const auto& c : *children) {
    if ((c.attributes & platform::FILE_ATTRIBUTE_DIRECTORY) == 0) continue;
    const std::uint64_t child = c.file_reference & kFrnMask;
    names[child] = {c.name, frn};
    tree(path + "\\" + c.name, child, frn, dirs, names, false);
  }
}

Items items(const UsnScanResult& r) {
  Items out;
  for (const auto& c : r.candidates) out.emplace(c.frn, c.path);
  return out;
}

TEST(UsnOnBuilderVolume, FolderScanListsItsTreeWithFullPathsAndNothingFromTheSibling) {
  JournalVolume v;
  if (auto error = v.map()) FAIL() << *error;
  auto dir = directory_frn("F:\\docs");
  ASSERT_TRUE(dir);
  ASSERT_EQ(dir->dir_frn, v.docs);
  EXPECT_EQ(dir->dir_ref, v.b.reference(v.docs));
  std::unordered_set<std::uint64_t> scope;
  DirNameMap names;
  tree("F:\\docs", v.docs, nb::VolumeBuilder::root(), scope, names);
  ASSERT_EQ(scope, (std::unordered_set<std::uint64_t>{v.docs, v.sub, v.deeper}));

  auto r = scan_usn_deleted("F:\\docs", dir->dir_ref, dir->dir_frn, &scope, &names, false);
  ASSERT_TRUE(r);
  EXPECT_FALSE(r->read_error);
  EXPECT_FALSE(r->enum_error);
  // draft.txt is not listed: its file lives on as final.txt.
  EXPECT_EQ(items(*r), (Items{
                           {v.gone, "F:\\docs\\gone.txt"},
                           {v.report, "F:\\docs\\sub\\deeper\\report.docx"},
                           {v.range, "F:\\docs\\sub\\range.bin"},    // V4 paired with its named record
                           {v.orphan, "F:\\docs\\orphan.pdf"},      // V4 alone: read from its record
                           {v.letter, "F:\\docs\\letter.docx"},     // moved to the Recycle Bin
                           {v.reused, "F:\\docs\\earlier.txt"},     // its record holds another sequence number
                       }));
  // The candidate map: the moved file keeps the folder it left; the sibling's document keeps
  // its own folder, so the hint phase cannot place it here.
  EXPECT_EQ(r->candidate_map.parent_by_frn.at(v.letter), v.docs);
  EXPECT_EQ(r->candidate_map.parent_by_frn.at(v.secret), v.other);
  EXPECT_FALSE(r->candidate_map.names_by_frn.contains(v.beside)) << "not a document: not kept from elsewhere";
  EXPECT_EQ(usn_summary_text(*r), "变更日志发现6个删除记录");
}

// The whole folder scan: the driver builds the scope, hands its directories and names to the
// journal scan, and merges the journal's items with the MFT phases' entries.
TEST(UsnOnBuilderVolume, FolderScanThroughTheDirectoryScope) {
  JournalVolume v;
  if (auto error = v.map()) FAIL() << *error;
  std::string progress;
  const ScanResult result = scanner::scan_folder_deleted("F:\\docs", TimeBudget{60, 0}, false,
                                                         [&](std::string_view t) { progress.append(t); },
                                                         scanner::default_folder_scan_sources());
  std::set<std::string> paths;
  for (const auto& e : result.entries) {
    paths.insert(e.path);
    EXPECT_TRUE(e.path.starts_with("F:\\docs\\")) << e.path;
    EXPECT_FALSE(platform::volume_paths::exists(e.path)) << e.path;
  }
  for (const char* expected : {"F:\\docs\\gone.txt", "F:\\docs\\sub\\deeper\\report.docx", "F:\\docs\\earlier.txt",
                               "F:\\docs\\sub\\range.bin", "F:\\docs\\orphan.pdf", "F:\\docs\\letter.docx"}) {
    EXPECT_TRUE(paths.contains(expected)) << expected << "\n" << progress;
  }
  EXPECT_FALSE(paths.contains("F:\\docs\\draft.txt")) << "renamed to final.txt, which lives";
  EXPECT_TRUE(result.usn_summary.starts_with("变更日志发现")) << result.usn_summary;
}

TEST(UsnOnBuilderVolume, WithoutAScopeOnlyTheFolderItselfCounts) {
  JournalVolume v;
  if (auto error = v.map()) FAIL() << *error;
  auto dir = directory_frn("F:\\docs");
  ASSERT_TRUE(dir);
  const std::unordered_set<std::uint64_t> only{dir->dir_frn};
  auto r = scan_usn_deleted("F:\\docs", dir->dir_ref, dir->dir_frn, &only, nullptr, false);
  ASSERT_TRUE(r);
  EXPECT_EQ(items(*r), (Items{{v.gone, "F:\\docs\\gone.txt"},
                              {v.orphan, "F:\\docs\\orphan.pdf"},
                              {v.letter, "F:\\docs\\letter.docx"},
                              {v.reused, "F:\\docs\\earlier.txt"}}));
}

TEST(UsnOnBuilderVolume, SiblingScanSeesOnlyItsOwnDeletes) {
  JournalVolume v;
  if (auto error = v.map()) FAIL() << *error;
  auto dir = directory_frn("F:\\other");
  ASSERT_TRUE(dir);
  const std::unordered_set<std::uint64_t> only{dir->dir_frn};
  auto r = scan_usn_deleted("F:\\other", dir->dir_ref, dir->dir_frn, &only, nullptr, false);
  ASSERT_TRUE(r);
  EXPECT_EQ(items(*r), (Items{{v.secret, "F:\\other\\secret.docx"}, {v.beside, "F:\\other\\notes.qqq"}}));
}

TEST(UsnOnBuilderVolume, DebugQueryOnTheBuilderJournal) {
  JournalVolume v;
  if (auto error = v.map()) FAIL() << *error;
  auto stats = debug_usn_query("F:\\docs");
  ASSERT_TRUE(stats);
  EXPECT_EQ(stats->dir_frn, v.docs);
  EXPECT_GT(stats->next_usn, stats->first_usn);
  EXPECT_EQ(stats->parsed, 12u);
  EXPECT_EQ(stats->unpaired_v4, 1u) << "orphan.pdf; range.bin's parent is sub, not the folder";
  // gone, letter (old name, now in the Recycle Bin) and earlier.txt pass without a scope;
  // draft.txt's file lives on as final.txt, final.txt and kept.txt still exist.
  EXPECT_EQ(stats->accepted, 3u);
}

TEST(UsnOnBuilderVolume, VolumeWithoutAJournal) {
  nb::VolumeBuilder b;
  b.add_folder(b.root(), "docs");
  kavel_test::TempDir dir;
  ASSERT_TRUE(b.write(dir / "plain.img"));
  kavel_test::MappedVolume mapped(dir / "plain.img", 'F');
  auto folder = directory_frn("F:\\docs");
  ASSERT_TRUE(folder);
  auto r = scan_usn_deleted("F:\\docs", folder->dir_ref, folder->dir_frn, nullptr, nullptr, false);
  ASSERT_TRUE(r);
  EXPECT_FALSE(r->journal);
  ASSERT_TRUE(r->read_error);
  EXPECT_TRUE(r->read_error->starts_with("QUERY_USN_JOURNAL: ")) << *r->read_error;
  EXPECT_EQ(usn_summary_text(*r), "读取删除日志失败:" + *r->read_error);
  auto stats = debug_usn_query("F:\\docs");
  ASSERT_FALSE(stats);
  EXPECT_TRUE(stats.error().display().starts_with("QUERY_USN_JOURNAL: "));
}

// The folder test prepared once answers as path_is_under does, for an existing folder
// (compared by its canonical form), a missing one and an unmapped drive.
TEST(UsnOnBuilderVolume, PreparedFolderTestAgreesWithPathIsUnder) {
  JournalVolume v;
  if (auto error = v.map()) FAIL() << *error;
  const std::vector<std::string> folders{"F:\\docs", "f:/DOCS/", "\\\\?\\F:\\Docs", "F:\\docs\\sub", "F:\\missing",
                                         "Q:\\docs", "F:\\", "  F:\\docs  ", ""};
  const std::vector<std::string> paths{
      "F:\\docs\\a.txt", "f:\\DOCS\\SUB\\b.txt", "F:\\docsx\\c.txt", "F:\\docs", "F:/docs//sub/d.txt",
      "\\\\?\\F:\\docs\\e.txt", "F:\\missing\\f.txt", "Q:\\docs\\g.txt", "F:\\other\\h.txt", "",
      "F:\\docs\\\xff\xfe.txt", "F:\\DOCS\\\xC3\x84.txt"};
  for (const auto& folder : folders) {
    const FolderContainment prepared(folder);
    for (const auto& path : paths) {
      EXPECT_EQ(prepared.contains(path), path_is_under(path, folder)) << folder << " | " << path;
    }
  }
}

TEST(UsnOnBuilderVolume, UnmappedLetterCannotBeOpened) {
  kavel_test::ScopedEnv env("KAVEL_DRIVES", "");
  auto r = scan_usn_deleted("Q:\\docs", 0, 0, nullptr, nullptr, false);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().code(), 2u);
}

}  // namespace
}  // namespace kavel_lib::engine::windows
