// The directory tree scope over a fake volume: a tree of listings, folder identities and FILE
// records with $INDEX_ROOT entries, built by hand.
#include "scanner/directory_scope.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "engine/windows/raw_mft/mft_test_records.h"

namespace kavel_lib::scanner {
namespace {

namespace ew = engine::windows;
using kavel_test::mft::Bytes;
using kavel_test::mft::file_name_value;
using kavel_test::mft::index_entry;
using kavel_test::mft::index_root_value;
using kavel_test::mft::RecordBuilder;

constexpr std::uint16_t kInUse = 1;
constexpr std::uint16_t kDirectory = 2;
constexpr std::uint64_t kSeq = std::uint64_t{3} << 48;

struct IndexChild {
  std::uint64_t frn;
  std::u16string name;
  std::uint8_t name_space = 1;
};

// A directory record whose $INDEX_ROOT lists the children (keys name `self` as parent).
Bytes directory_record(std::uint64_t self, const std::vector<IndexChild>& children, bool in_use = true) {
  std::vector<Bytes> entries;
  for (const auto& c : children) {
    entries.push_back(index_entry(c.frn | kSeq, file_name_value(self, c.name, c.name_space)));
  }
  entries.push_back(index_entry(0, {}, 0x02));  // the closing entry (no child)
  const std::uint16_t flags = static_cast<std::uint16_t>(kDirectory | (in_use ? kInUse : 0));
  return RecordBuilder(1024, flags).file_name(5, u"d").resident(0x90, index_root_value(entries), u"$I30").fixed();
}

Bytes file_record(std::uint64_t parent, const std::u16string& name, bool in_use = true) {
  return RecordBuilder(1024, in_use ? kInUse : 0).file_name(parent, name).fixed();
}

// Folders by path (their identity and listing) and records by number.
struct FakeVolume {
  std::map<std::string, std::uint64_t> folder_frns;  // path -> record number
  std::map<std::string, std::vector<platform::DirectoryChild>> listings;
  std::map<std::uint64_t, Bytes> records;
  std::map<std::string, int> list_calls;
  std::vector<std::string> identity_calls;

  void folder(const std::string& path, std::uint64_t frn) {
    folder_frns[path] = frn;
    listings.try_emplace(path);
  }
  void listed(const std::string& parent, const std::string& name, std::uint32_t attributes = 0x10,
              std::uint32_t tag = 0) {
    listings[parent].push_back({name, attributes, tag, 0});
  }
  void dir(const std::string& parent, const std::string& name, std::uint64_t frn) {
    folder(parent + "\\" + name, frn);
    listed(parent, name);
  }

  ScopeSources sources() {
    ScopeSources s;
    s.directory_frn = [this](std::string_view path) -> std::expected<ew::DirectoryFrn, platform::OsError> {
      identity_calls.emplace_back(path);
      auto it = folder_frns.find(std::string(path));
      if (it == folder_frns.end()) return std::unexpected(platform::OsError::from_code(platform::win::ERROR_FILE_NOT_FOUND));
      return ew::DirectoryFrn{it->second | kSeq, it->second};
    };
    s.list_directory =
        [this](std::string_view path) -> std::expected<std::vector<platform::DirectoryChild>, platform::WinError> {
      ++list_calls[std::string(path)];
      auto it = listings.find(std::string(path));
      if (it == listings.end()) return std::unexpected(platform::WinError{platform::win::ERROR_PATH_NOT_FOUND});
      return it->second;
    };
    s.fetch_record = [this](std::uint64_t frn) -> std::optional<std::vector<std::uint8_t>> {
      auto it = records.find(frn);
      if (it == records.end()) return std::nullopt;
      return it->second;
    };
    return s;
  }
};

std::unordered_set<std::uint64_t> set_of(std::initializer_list<std::uint64_t> v) { return {v}; }

TEST(DirectoryScope, FolderWithoutSubfoldersHoldsItselfOnly) {
  FakeVolume v;
  v.folder("E:\\f", 100);
  v.records[100] = directory_record(100, {});
  auto scope = build_directory_scope("E:\\f", v.sources());
  ASSERT_TRUE(scope.has_value());
  EXPECT_EQ(scope->path, "E:\\f");
  EXPECT_EQ(scope->dir_frns, set_of({100}));
  EXPECT_EQ(scope->parent_match_frns, set_of({100, 100 | kSeq}));
  EXPECT_EQ(scope->dir_names, (ew::DirNameMap{{100, {"", 5}}}));
  EXPECT_TRUE(scope->deleted_dir_frns.empty());
  EXPECT_EQ(scope->dir_frn, 100u);
  EXPECT_EQ(scope->dir_ref, 100 | kSeq);
  EXPECT_TRUE(scope->strict_paths);
  EXPECT_FALSE(scope->filter_flag);
}

TEST(DirectoryScope, FolderThatCannotBeLocatedGivesItsErrorUnchanged) {
  FakeVolume v;
  auto scope = build_directory_scope("E:\\missing", v.sources());
  ASSERT_FALSE(scope.has_value());
  EXPECT_EQ(scope.error().display(), platform::OsError::from_code(platform::win::ERROR_FILE_NOT_FOUND).display());
}

TEST(DirectoryScope, LiveTreeIsWalkedBreadthFirstWithNamesAndParents) {
  FakeVolume v;
  v.folder("E:\\f", 100);
  v.dir("E:\\f", "a", 101);
  v.dir("E:\\f", "b", 102);
  v.dir("E:\\f\\a", "deep", 103);
  v.listed("E:\\f", "file.txt", 0x20);  // not a directory
  v.listed("E:\\f", ".");
  v.listed("E:\\f", "..");
  auto scope = build_directory_scope("E:\\f", v.sources());
  ASSERT_TRUE(scope.has_value());
  EXPECT_EQ(scope->dir_frns, set_of({100, 101, 102, 103}));
  EXPECT_EQ(scope->dir_names.at(101), (std::pair<std::string, std::uint64_t>{"a", 100}));
  EXPECT_EQ(scope->dir_names.at(103), (std::pair<std::string, std::uint64_t>{"deep", 101}));
  EXPECT_EQ(v.list_calls["E:\\f\\a\\deep"], 1);
  // Neither "file.txt" nor the dot entries were asked about.
  for (const auto& p : v.identity_calls) {
    EXPECT_EQ(p.find("file.txt"), std::string::npos);
    EXPECT_FALSE(p.ends_with("\\.") || p.ends_with("\\.."));
  }
}

TEST(DirectoryScope, DeletedSubfolderStillInTheIndexRootIsInScopeAndSweptWhole) {
  FakeVolume v;
  v.folder("E:\\f", 100);
  v.records[100] = directory_record(100, {{101, u"gone"}, {150, u"notes.txt"}});
  v.records[150] = file_record(100, u"notes.txt", false);
  // gone's own entries: a deleted subfolder far beyond gone + 8192, which only a listing of
  // all entries reaches; that subfolder's own entries are not swept.
  v.records[101] = directory_record(101, {{20000, u"deeper"}}, false);
  v.records[20000] = directory_record(20000, {{20001, u"deepest"}}, false);
  v.records[20001] = directory_record(20001, {}, false);
  auto scope = build_directory_scope("E:\\f", v.sources());
  ASSERT_TRUE(scope.has_value());
  EXPECT_EQ(scope->dir_frns, set_of({100, 101, 20000}));
  EXPECT_EQ(scope->deleted_dir_frns, set_of({101, 20000}));
  EXPECT_EQ(scope->dir_names.at(101), (std::pair<std::string, std::uint64_t>{"gone", 100}));
  EXPECT_EQ(scope->dir_names.at(20000), (std::pair<std::string, std::uint64_t>{"deeper", 101}));
  EXPECT_EQ(v.list_calls.count("E:\\f\\gone"), 0u);  // a deleted folder is not listed
  EXPECT_TRUE(scope->parent_match_frns.contains(20000));
}

TEST(DirectoryScope, LiveSubfolderOnlyTheIndexShowsIsWalkedToo) {
  FakeVolume v;
  v.folder("E:\\f", 100);
  v.records[100] = directory_record(100, {{101, u"hidden"}});
  v.records[101] = directory_record(101, {});
  v.folder("E:\\f\\hidden", 101);
  v.dir("E:\\f\\hidden", "inner", 102);
  auto scope = build_directory_scope("E:\\f", v.sources());
  ASSERT_TRUE(scope.has_value());
  EXPECT_EQ(scope->dir_frns, set_of({100, 101, 102}));
  EXPECT_TRUE(scope->deleted_dir_frns.empty());
  EXPECT_EQ(v.list_calls["E:\\f\\hidden"], 1);
}

TEST(DirectoryScope, JunctionsAndDirectoryLinksAreNotFollowed) {
  FakeVolume v;
  v.folder("E:\\f", 100);
  v.folder("E:\\f\\junction", 200);
  v.folder("E:\\f\\symlink", 201);
  v.folder("E:\\f\\dedup", 202);
  v.listed("E:\\f", "junction", 0x10 | 0x400, 0xA0000003);
  v.listed("E:\\f", "symlink", 0x10 | 0x400, 0xA000000C);
  v.listed("E:\\f", "dedup", 0x10 | 0x400, 0x80000013);  // a reparse point that names no other place
  auto scope = build_directory_scope("E:\\f", v.sources());
  ASSERT_TRUE(scope.has_value());
  EXPECT_EQ(scope->dir_frns, set_of({100, 202}));
  EXPECT_EQ(v.list_calls.count("E:\\f\\junction"), 0u);
}

TEST(DirectoryScope, DirectoryKnownFromAnIndexEntryIsNotAddedOrWalkedTwice) {
  FakeVolume v;
  v.folder("E:\\f", 100);
  v.dir("E:\\f", "a", 101);
  v.records[100] = directory_record(100, {{101, u"a"}, {102, u"b"}});
  v.records[101] = directory_record(101, {});
  v.records[102] = directory_record(102, {});
  v.folder("E:\\f\\b", 102);
  // a's listing shows b again under another path.
  v.folder("E:\\f\\a\\b-again", 102);
  v.listed("E:\\f\\a", "b-again");
  auto scope = build_directory_scope("E:\\f", v.sources());
  ASSERT_TRUE(scope.has_value());
  EXPECT_EQ(scope->dir_frns, set_of({100, 101, 102}));
  EXPECT_EQ(scope->dir_names.at(102).first, "b");
  EXPECT_EQ(v.list_calls["E:\\f\\a"], 1);
  EXPECT_EQ(v.list_calls["E:\\f\\b"], 1);
  EXPECT_EQ(v.list_calls.count("E:\\f\\a\\b-again"), 0u);
}

TEST(DirectoryScope, IndexEntriesThatPointBackUpEndTheWalk) {
  FakeVolume v;
  v.folder("E:\\f", 100);
  v.dir("E:\\f", "a", 101);
  v.folder("E:\\f\\a\\up", 100);  // a listing child that is the folder again
  v.listed("E:\\f\\a", "up");
  v.records[100] = directory_record(100, {{101, u"a"}});
  v.records[101] = directory_record(101, {{100, u"f"}, {101, u"self"}});
  auto scope = build_directory_scope("E:\\f", v.sources());
  ASSERT_TRUE(scope.has_value());
  EXPECT_EQ(scope->dir_frns, set_of({100, 101}));
  EXPECT_EQ(scope->dir_names.at(100), (std::pair<std::string, std::uint64_t>{"", 5}));
}

TEST(DirectoryScope, IndexEntriesThatAreNotDirectoryRecordsAreSkipped) {
  FakeVolume v;
  v.folder("E:\\f", 100);
  Bytes baad = directory_record(104, {});
  baad[0] = 'B', baad[1] = 'A', baad[2] = 'A', baad[3] = 'D';
  v.records[100] = directory_record(100, {{101, u"file"}, {102, u"unreadable"}, {103, u"short"}, {104, u"baad"},
                                          {105, u"SHORTN~1", 2}});
  v.records[101] = file_record(100, u"file", false);
  v.records[103] = Bytes{'F', 'I', 'L', 'E', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0};
  v.records[104] = baad;
  v.records[105] = directory_record(105, {});
  auto scope = build_directory_scope("E:\\f", v.sources());
  ASSERT_TRUE(scope.has_value());
  // 103 is 24 bytes with both flag bits: the shortest record that counts.
  EXPECT_EQ(scope->dir_frns, set_of({100, 103}));
}

TEST(DirectoryScope, FailedListingStillReadsTheIndexEntries) {
  FakeVolume v;
  v.folder_frns["E:\\f"] = 100;  // no listing: it cannot be opened
  v.records[100] = directory_record(100, {{101, u"gone"}});
  v.records[101] = directory_record(101, {}, false);
  auto scope = build_directory_scope("E:\\f", v.sources());
  ASSERT_TRUE(scope.has_value());
  EXPECT_EQ(scope->dir_frns, set_of({100, 101}));
}

TEST(DirectoryScope, NameThatIsNotValidUnicodeIsSkipped) {
  FakeVolume v;
  v.folder("E:\\f", 100);
  v.listed("E:\\f", "bad\xED\xA0\x80name");  // a lone surrogate
  auto scope = build_directory_scope("E:\\f", v.sources());
  ASSERT_TRUE(scope.has_value());
  EXPECT_EQ(scope->dir_frns, set_of({100}));
  ASSERT_EQ(v.identity_calls.size(), 2u);
  EXPECT_EQ(v.identity_calls[1], "");
}

TEST(DirectoryScope, VolumeRootFolderJoinsChildrenWithoutADoubleSeparator) {
  FakeVolume v;
  v.folder("E:\\", 5);
  v.folder_frns["E:\\docs"] = 64;
  v.listed("E:\\", "docs");
  auto scope = build_directory_scope("E:\\", v.sources());
  ASSERT_TRUE(scope.has_value());
  EXPECT_EQ(scope->dir_frns, set_of({5, 64}));
}

TEST(DirectoryScope, MoreThan4095DirectoriesEndWith4096Members) {
  FakeVolume v;
  v.folder("E:\\f", 100);
  for (std::uint64_t i = 0; i < 5000; ++i) v.dir("E:\\f", "d" + std::to_string(i), 1000 + i);
  auto scope = build_directory_scope("E:\\f", v.sources());
  ASSERT_TRUE(scope.has_value());
  EXPECT_EQ(scope->dir_frns.size(), 4096u);
  EXPECT_EQ(scope->dir_names.size(), 4096u);
  EXPECT_EQ(scope->parent_match_frns.size(), 4097u);  // the folder's reference besides
}

TEST(DirectoryScope, LimitHoldsWhenIndexEntriesBringTheMembers) {
  FakeVolume v;
  v.folder("E:\\f", 100);
  // 600 live folders, each naming 8 deleted subfolders in its index: 5401 in all.
  for (std::uint64_t i = 0; i < 600; ++i) {
    const std::uint64_t frn = 1000 + i;
    v.dir("E:\\f", "d" + std::to_string(i), frn);
    std::vector<IndexChild> children;
    for (std::uint64_t j = 0; j < 8; ++j) {
      const std::uint64_t child = 2000 + 8 * i + j;
      children.push_back({child, u"x"});
      v.records[child] = directory_record(child, {}, false);
    }
    v.records[frn] = directory_record(frn, children);
  }
  auto scope = build_directory_scope("E:\\f", v.sources());
  ASSERT_TRUE(scope.has_value());
  EXPECT_EQ(scope->dir_frns.size(), 4096u);
  EXPECT_EQ(scope->deleted_dir_frns.size(), 4096u - 601u);
}

TEST(DirectoryScope, LiveWalkListsNoDirectory64LevelsDownButReadsItsIndex) {
  FakeVolume v;
  std::string path = "E:\\f";
  v.folder(path, 100);
  for (std::uint64_t depth = 1; depth <= 70; ++depth) {
    v.dir(path, "l" + std::to_string(depth), 100 + depth);
    path += "\\l" + std::to_string(depth);
  }
  // The directory at depth 64 (record 164) still names a deleted subfolder in its index.
  v.records[164] = directory_record(164, {{8000, u"old"}});
  v.records[8000] = directory_record(8000, {}, false);
  auto scope = build_directory_scope("E:\\f", v.sources());
  ASSERT_TRUE(scope.has_value());
  EXPECT_TRUE(scope->dir_frns.contains(164));
  EXPECT_FALSE(scope->dir_frns.contains(165));
  EXPECT_TRUE(scope->dir_frns.contains(8000));
  EXPECT_EQ(scope->dir_frns.size(), 66u);  // depths 0..64 and the deleted subfolder
  int listed_at_64 = 0;
  for (const auto& [p, n] : v.list_calls) {
    if (p.ends_with("\\l64")) listed_at_64 += n;
  }
  EXPECT_EQ(listed_at_64, 0);
}

TEST(RecordDirectoryName, InsertsThenPrefersLongAndUnabbreviatedNames) {
  ew::DirNameMap names;
  record_directory_name(names, 10, 5 | kSeq, "PROGRA~1");
  EXPECT_EQ(names.at(10), (std::pair<std::string, std::uint64_t>{"PROGRA~1", 5}));
  record_directory_name(names, 10, 5, "Program Files");
  EXPECT_EQ(names.at(10).first, "Program Files");

  record_directory_name(names, 11, 5, "Documents");
  record_directory_name(names, 11, 5, "DOCUME~1");
  EXPECT_EQ(names.at(11).first, "Documents");

  record_directory_name(names, 12, 5, "MyDocs");
  record_directory_name(names, 12, 5, "MYDOCS~1");  // longer: length wins first
  EXPECT_EQ(names.at(12).first, "MYDOCS~1");

  record_directory_name(names, 13, 5, "ABCD~1");
  record_directory_name(names, 13, 5, "ABCD");  // shorter, but without '~'
  EXPECT_EQ(names.at(13).first, "ABCD");
}

TEST(RecordDirectoryName, ParentThatPointsAtTheEntryItselfIsCorrected) {
  ew::DirNameMap names{{20, {"loop", 20}}, {21, {"ok", 7}}};
  record_directory_name(names, 20, 9, "x");
  EXPECT_EQ(names.at(20), (std::pair<std::string, std::uint64_t>{"loop", 9}));
  record_directory_name(names, 21, 9, "y");
  EXPECT_EQ(names.at(21).second, 7u);  // a sound parent stays
  record_directory_name(names, 20, 20, "z");
  EXPECT_EQ(names.at(20).second, 9u);
}

}  // namespace
}  // namespace kavel_lib::scanner
