#include "engine/windows/usn_deleted/usn_walk.h"

#include <gtest/gtest.h>

#include <set>

#include "usn_test_records.h"

namespace kavel_lib::engine::windows {
namespace {

using namespace usn_test;

constexpr std::uint64_t kDir = 100;
constexpr std::uint64_t kDirRef = 0x0003000000000064;
constexpr std::uint64_t kSub = 120;       // a folder inside the scope
constexpr std::uint64_t kNeighbour = 90;  // a folder beside it
constexpr std::uint32_t kDelete = 0x80000200;
constexpr std::uint32_t kOldName = 0x1000;
constexpr std::uint32_t kWritten = 0x80000002;

struct Walk {
  std::unordered_set<std::uint64_t> scope{kDir, kSub};
  DirNameMap names{{kDir, {"", 5}}, {kSub, {"sub", kDir}}};
  std::set<std::string> existing;  // paths that still exist
  std::set<std::uint64_t> live;     // references of live files outside the recycle bin
  UsnWalkContext context;
  UsnFindings findings;
  std::unordered_set<std::uint64_t> unpaired;

  explicit Walk(bool with_scope = true, bool full = false) {
    context.folder = "E:\\docs";
    context.dir_ref = kDirRef;
    context.dir_frn = kDir;
    context.scope_set = with_scope ? &scope : nullptr;
    context.dir_names = with_scope ? &names : nullptr;
    context.full = full;
    context.path_exists = [this](std::string_view p) { return existing.contains(std::string(p)); };
    context.live_file = [this](std::uint64_t reference) { return live.contains(reference); };
  }
  void run(const Bytes& records) { walk_usn_buffer(records, context, findings, unpaired); }
  std::vector<std::string> paths() const {
    std::vector<std::string> out;
    for (const auto& c : findings.candidates) out.push_back(c.path);
    return out;
  }
  std::set<std::string> names_of(std::uint64_t frn) const {
    auto it = findings.candidate_map.names_by_frn.find(frn);
    if (it == findings.candidate_map.names_by_frn.end()) return {};
    return {it->second.begin(), it->second.end()};
  }
};

TEST(UsnAccept, DeleteRecordInTheFolderBecomesACandidate) {
  Walk w;
  w.run(v2(0x0002000000000070, kDirRef, kDelete, u"Report.docx"));
  ASSERT_EQ(w.findings.candidates.size(), 1u);
  const DeletedEntry& e = w.findings.candidates[0];
  EXPECT_EQ(e.path, "E:\\docs\\Report.docx");
  EXPECT_EQ(e.frn, 0x70u);
  EXPECT_EQ(e.parent, kDir);
  EXPECT_EQ(e.size, 0u);
  EXPECT_FALSE(e.time);
  EXPECT_EQ(w.names_of(0x70), std::set<std::string>{"Report.docx"});
  EXPECT_EQ(w.findings.candidate_map.parent_by_frn.at(0x70), kDir);
}

TEST(UsnAccept, SubfolderRecordsGetTheirPathThroughTheScopeNames) {
  Walk w;
  w.run(v2(0x71, kSub, kDelete, u"notes.txt"));
  EXPECT_EQ(w.paths(), std::vector<std::string>{"E:\\docs\\sub\\notes.txt"});
}

TEST(UsnAccept, ParentsOutsideTheScopeAndNotPairedAreRefused) {
  Walk w;
  w.run(cat({v2(0x72, kNeighbour, kDelete, u"other.txt"), v2(0x73, 0, kDelete, u"zero.txt")}));
  EXPECT_TRUE(w.findings.candidates.empty());
  Walk bare(false);
  bare.run(v2(0x74, kSub, kDelete, u"sub-without-scope.txt"));
  EXPECT_TRUE(bare.findings.candidates.empty()) << "without a scope only the folder itself is a parent";
}

TEST(UsnAccept, FullModeTakesAnyParent) {
  Walk w(true, true);
  w.run(v2(0x72, kNeighbour, kDelete, u"other.txt"));
  EXPECT_EQ(w.paths(), std::vector<std::string>{"E:\\docs\\other.txt"});
}

TEST(UsnAccept, TheFolderOwnRecordIsNeverACandidate) {
  Walk w;
  w.run(v2(kDirRef, 5, kDelete, u"docs"));
  EXPECT_TRUE(w.findings.candidates.empty());
}

TEST(UsnAccept, RecordsWithoutADeleteReasonAreIgnored) {
  Walk w;
  w.run(cat({v2(0x75, kDir, 0x2, u"a.txt"), v2(0x75, kDir, 0x80000000, u"a.txt")}));
  EXPECT_TRUE(w.findings.candidates.empty());
  EXPECT_TRUE(w.findings.candidate_map.names_by_frn.empty());
}

TEST(UsnAccept, SlashNamesRelativeAndAbsolute) {
  Walk w;
  w.run(cat({v2(0x76, kDir, kDelete, u"sub/old.txt"), v2(0x77, kDir, kDelete, u"E:\\docs\\x\\y.txt"),
             v2(0x78, kDir, kDelete, u"D:\\x\\y.txt")}));
  EXPECT_EQ(w.paths(), (std::vector<std::string>{"E:\\docs\\sub\\old.txt", "E:\\docs\\x\\y.txt"}));
  // The map keeps the last component of a path name.
  EXPECT_EQ(w.names_of(0x76), std::set<std::string>{"old.txt"});
  EXPECT_TRUE(w.names_of(0x78).empty());
}

TEST(UsnAccept, SameRecordTwiceIsOneCandidate) {
  Walk w;
  const Bytes r = v2(0x79, kDir, kDelete, u"twice.txt");
  w.run(cat({r, r}));
  w.run(r);
  EXPECT_EQ(w.findings.candidates.size(), 1u);
  // The same record number under another path is another candidate.
  w.run(v2(0x79, kSub, kDelete, u"twice.txt"));
  EXPECT_EQ(w.findings.candidates.size(), 2u);
}

TEST(UsnPairing, NamedRecordAfterANamelessDeleteIsAcceptedWithoutADeleteReason) {
  Walk w;
  w.run(cat({v4(0x80, kDir, kDelete), v2(0x80, kDir, 0x2, u"range.bin")}));
  EXPECT_EQ(w.paths(), std::vector<std::string>{"E:\\docs\\range.bin"});
  EXPECT_FALSE(w.unpaired.contains(0x80)) << "paired records leave the unpaired set";
}

TEST(UsnPairing, NamelessRecordsOfOtherFoldersStayOut) {
  Walk w;
  w.run(cat({v4(0x81, kNeighbour, kDelete), v4(0x82, 0, kDelete), v4(0x83, kSub, kDelete), v4(0x84, kDir, 0x2)}));
  EXPECT_EQ(w.unpaired, (std::unordered_set<std::uint64_t>{0x82, 0x83}));
  Walk full(true, true);
  full.run(v4(0x81, kNeighbour, kDelete));
  EXPECT_TRUE(full.unpaired.contains(0x81));
}

TEST(UsnPairing, PairedRecordWithParentZeroPasses) {
  Walk w;
  w.run(cat({v4(0x85, 0, kDelete), v2(0x85, 0, 0x2, u"orphan.txt")}));
  EXPECT_EQ(w.paths(), std::vector<std::string>{"E:\\docs\\orphan.txt"});
  Walk unpaired;
  unpaired.run(v2(0x85, 0, kDelete, u"orphan.txt"));
  EXPECT_TRUE(unpaired.findings.candidates.empty());
}

// A record without the FILE_DELETE bit (a rename, a write) names a file that may still be
// there: it counts only when its path is gone.
TEST(UsnExistingPaths, RenamedOrWrittenFilesThatStillExistAreNotListed) {
  Walk w;
  w.existing = {"E:\\docs\\kept.txt", "E:\\docs\\new name.txt"};
  w.run(cat({v2(0x90, kDir, kWritten, u"kept.txt"), v2(0x91, kDir, 0x2000, u"new name.txt"),
             v2(0x91, kDir, kOldName, u"old name.txt")}));
  EXPECT_EQ(w.paths(), std::vector<std::string>{"E:\\docs\\old name.txt"});
  // The candidate map still learns the names: the hint phase validates them.
  EXPECT_EQ(w.names_of(0x90), std::set<std::string>{"kept.txt"});
}

TEST(UsnExistingPaths, ALaterDeleteRecordOfTheSameFileStillCounts) {
  Walk w;
  w.existing = {"E:\\docs\\a.txt"};
  w.run(v2(0x92, kDir, kWritten, u"a.txt"));
  EXPECT_TRUE(w.findings.candidates.empty());
  EXPECT_TRUE(w.findings.seen_keys.empty()) << "the key is not taken by a refused record";
  w.run(v2(0x92, kDir, kDelete, u"a.txt"));
  EXPECT_EQ(w.paths(), std::vector<std::string>{"E:\\docs\\a.txt"})
      << "a FILE_DELETE record is listed even when a new file now has that name";
}

TEST(UsnExistingPaths, PairedRecordsAreTestedToo) {
  Walk w;
  w.existing = {"E:\\docs\\still.txt"};
  w.run(cat({v4(0x93, kDir, kDelete), v2(0x93, kDir, 0x2, u"still.txt")}));
  EXPECT_TRUE(w.findings.candidates.empty());
  EXPECT_TRUE(w.unpaired.contains(0x93)) << "left for the record step";
}

// A record without FILE_DELETE whose whole reference (record number and sequence number) names
// a live file is a rename or change of that file: not listed, though its old path is gone.
// FILE_DELETE records, and references whose record now holds another sequence number, stay.
TEST(UsnLiveFiles, RenamesOfLiveFilesAreNotListed) {
  Walk w;
  w.live = {0x0001000000000094, 0x0001000000000095, 0x0003000000000096};
  w.run(cat({v2(0x0001000000000094, kDir, kOldName, u"draft.txt"), v2(0x0001000000000094, kDir, kWritten, u"draft.txt"),
             v2(0x0002000000000096, kSub, kOldName, u"earlier.txt"),
             v4(0x0001000000000095, kDir, kDelete), v2(0x0001000000000095, kDir, 0x2, u"paired.txt")}));
  EXPECT_EQ(w.paths(), std::vector<std::string>{"E:\\docs\\sub\\earlier.txt"}) << "record 0x96 is live as sequence 3";
  EXPECT_TRUE(w.unpaired.contains(0x95)) << "left for the record step";
  EXPECT_EQ(w.names_of(0x94), std::set<std::string>{"draft.txt"}) << "the hint phase still learns the name";
  // A FILE_DELETE record of the same file is listed: the refused records took no key.
  w.run(v2(0x0001000000000094, kDir, kDelete, u"draft.txt"));
  EXPECT_EQ(w.paths(), (std::vector<std::string>{"E:\\docs\\sub\\earlier.txt", "E:\\docs\\draft.txt"}));
}

TEST(UsnCandidateMapUpdate, DocumentsOfANeighbourFolderKeepTheirRealParent) {
  Walk w;
  w.run(v2(0xA0, kNeighbour, kDelete, u"budget.xlsx"));
  EXPECT_TRUE(w.findings.candidates.empty());
  EXPECT_EQ(w.names_of(0xA0), std::set<std::string>{"budget.xlsx"});
  EXPECT_EQ(w.findings.candidate_map.parent_by_frn.at(0xA0), kNeighbour)
      << "never the folder: the file was deleted elsewhere";
  // Names without a document extension from elsewhere are not kept at all.
  w.run(v2(0xA1, kNeighbour, kDelete, u"random.qqq"));
  EXPECT_TRUE(w.names_of(0xA1).empty());
}

TEST(UsnCandidateMapUpdate, AFileMovedOutKeepsTheFolderItLeft) {
  Walk w;
  // Moved to the recycle folder: the old name under the folder, the new one elsewhere.
  w.run(cat({v2(0xA2, kDir, kOldName, u"letter.docx"), v2(0xA2, kNeighbour, 0x2000, u"$RAB12CD.docx")}));
  EXPECT_EQ(w.findings.candidate_map.parent_by_frn.at(0xA2), kDir);
  EXPECT_EQ(w.names_of(0xA2), (std::set<std::string>{"letter.docx", "$RAB12CD.docx"}));
  // An in-scope parent may replace another.
  w.run(v2(0xA2, kSub, kOldName, u"letter.docx"));
  EXPECT_EQ(w.findings.candidate_map.parent_by_frn.at(0xA2), kSub);
}

TEST(UsnCandidateMapUpdate, ParentZeroDocumentsAreRecordedUnderTheFolder) {
  Walk w;
  w.run(v2(0xA3, 0, kDelete, u"scan.pdf"));
  EXPECT_EQ(w.findings.candidate_map.parent_by_frn.at(0xA3), kDir);
  w.run(v2(0xA4, 0, kDelete, u"scan.qqq"));
  EXPECT_TRUE(w.names_of(0xA4).empty());
}

TEST(UsnCandidateMapUpdate, FarRecordsFeedTheMapOnlyInFullMode) {
  // A document deleted in another folder far from the folder's record number: only the map
  // update could take it.
  Walk near;
  near.run(cat({v2(kDir + 8193, kNeighbour, kDelete, u"far.docx"), v2(kDir + 8192, kNeighbour, kDelete, u"edge.docx")}));
  EXPECT_TRUE(near.findings.candidates.empty());
  EXPECT_TRUE(near.names_of(kDir + 8193).empty());
  EXPECT_EQ(near.names_of(kDir + 8192), std::set<std::string>{"edge.docx"});
  // Accepted records are still recorded by the acceptance, however far.
  near.run(v2(kDir + 9000, kDir, kDelete, u"accepted.txt"));
  EXPECT_EQ(near.names_of(kDir + 9000), std::set<std::string>{"accepted.txt"});
  Walk full(true, true);
  full.run(v2(kDir + 8193, kNeighbour, kDelete, u"far.docx"));
  EXPECT_EQ(full.names_of(kDir + 8193), std::set<std::string>{"far.docx"});
}

TEST(UsnCandidateMapCaps, NearModeStopsTakingRecordNumbersAt64) {
  UsnCandidateMap map;
  for (std::uint64_t f = 1; f <= 64; ++f) record_usn_candidate(map, f, "file.txt", false);
  ASSERT_EQ(map.names_by_frn.size(), 64u);
  record_usn_candidate(map, 65, "late.txt", false);
  EXPECT_FALSE(map.names_by_frn.contains(65));
  record_usn_candidate(map, 3, "second name.txt", false);
  EXPECT_EQ(map.names_by_frn.at(3).size(), 2u) << "known record numbers still take names";
  record_usn_candidate(map, 3, "second name.txt", false);
  EXPECT_EQ(map.names_by_frn.at(3).size(), 2u);
}

TEST(UsnCandidateMapCaps, FullModeStopsAt8192) {
  UsnCandidateMap map;
  for (std::uint64_t f = 1; f <= 8192; ++f) record_usn_candidate(map, f, "file.txt", true);
  record_usn_candidate(map, 9000, "late.txt", true);
  EXPECT_EQ(map.names_by_frn.size(), 8192u);
  EXPECT_FALSE(map.names_by_frn.contains(9000));
}

TEST(UsnCandidateMapCaps, NoiseNamesAndTrailingSeparators) {
  UsnCandidateMap map;
  record_usn_candidate(map, 1, std::string(32, 'a'), false);
  EXPECT_TRUE(map.names_by_frn.empty());
  record_usn_candidate(map, 2, "sub\\deep.txt", false);
  EXPECT_EQ(map.names_by_frn.at(2).count("deep.txt"), 1u);
}

TEST(UsnCandidateMapCaps, TheWalkRespectsTheNearCap) {
  Walk w;
  Bytes records;
  for (std::uint64_t f = 0; f < 70; ++f) {
    const Bytes r = v2(kDir + 1 + f, kDir, kDelete, u"f" + std::u16string(1, static_cast<char16_t>(u'a' + f % 26)) +
                                                        u".txt");
    records.insert(records.end(), r.begin(), r.end());
  }
  w.run(records);
  EXPECT_EQ(w.findings.candidates.size(), 70u);
  EXPECT_EQ(w.findings.candidate_map.names_by_frn.size(), 64u);
  EXPECT_LE(w.findings.candidate_map.parent_by_frn.size(), 64u);
}

}  // namespace
}  // namespace kavel_lib::engine::windows
