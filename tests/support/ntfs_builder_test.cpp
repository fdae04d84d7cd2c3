// The NTFS volume builder checked against an independent reader, the Sleuth Kit: the volumes
// it writes must read back without complaint, with the names, records and bytes described.
#include "support/ntfs_builder.h"

#include <algorithm>
#include <map>
#include <set>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "support/test_env.h"

namespace kavel_test::ntfs {
namespace {

struct Tool {
  int status = -1;
  std::string out;
};

// Runs a Sleuth Kit program; its error output is kept apart so that complaints are seen.
Tool tsk(const std::string& args, const TempDir& dir) {
  const auto err = dir / "stderr.txt";
  auto r = run_command(args + " 2>" + shell_quote(err.string()));
  const std::string complaints = read_file(err);
  EXPECT_EQ(complaints, "") << args;
  return {r.status, r.output};
}

std::uint64_t le(const std::string& d, std::size_t o, int width) {
  std::uint64_t v = 0;
  for (int i = 0; i < width; ++i) v |= static_cast<std::uint64_t>(static_cast<unsigned char>(d.at(o + i))) << (8 * i);
  return v;
}

// Undoes the update sequence of a 4 KiB log page copy.
std::string unprotect(std::string page) {
  const std::size_t usa = le(page, 4, 2), count = le(page, 6, 2);
  for (std::size_t i = 1; i < count; ++i) {
    page[i * 512 - 2] = page[usa + 2 * i];
    page[i * 512 - 1] = page[usa + 2 * i + 1];
  }
  return page;
}

class NtfsBuilder : public ::testing::TestWithParam<std::tuple<std::uint32_t, unsigned, bool>> {
 protected:
  void SetUp() override {
    for (const char* tool : {"fls", "istat", "icat", "fsstat"}) {
      if (auto m = program_missing(tool)) GTEST_SKIP() << *m;
    }
  }
  TempDir dir_;
};

TEST_P(NtfsBuilder, TheSleuthKitReadsTheTreeTheRecordsAndTheBytes) {
  const auto [record_size, fragments, bitmap_resident] = GetParam();
  VolumeBuilder b({.record_size = record_size, .mft_fragments = fragments, .mft_bitmap_resident = bitmap_resident});
  const auto docs = b.add_folder(b.root(), "docs");
  const auto two = b.add_folder(docs, "2");
  const std::string resident = "small resident text";
  std::string large(70000, '\0');
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 31 + 7);
  const auto r1 = b.add_file(two, "resident.txt", resident);
  const auto r2 = b.add_file(two, "fragmented.bin", large, {.fragments = 4});
  const auto r3 = b.add_file(two, "Ünïcødé €.txt", "unicode", {.residency = Residency::NonResident});
  const auto r4 = b.add_file(two, "A long file name.txt", "long", {.dos_name = "ALONGF~1.TXT"});
  const auto r5 = b.add_file(two, "streams.txt", "main", {.streams = {{"extra", "stream bytes", Residency::Auto}}});
  const auto gone = b.add_file(two, "deleted.bin", std::string(9000, 'd'), {.deleted = true, .sequence = 3});
  const auto gone_dir = b.add_folder(two, "gone", {.deleted = true});
  const auto inside = b.add_file(gone_dir, "inside.txt", "x", {.deleted = true});
  const auto image = dir_ / "v.img";
  ASSERT_TRUE(b.write(image).has_value());
  const std::string img = shell_quote(image.string());

  const auto stat = tsk("fsstat " + img, dir_);
  ASSERT_EQ(stat.status, 0);
  EXPECT_NE(stat.out.find("Size of MFT Entries: " + std::to_string(record_size) + " bytes"), std::string::npos);
  EXPECT_NE(stat.out.find("Volume Name: KAVEL"), std::string::npos);

  const auto fls = tsk("fls -r -p " + img, dir_);
  ASSERT_EQ(fls.status, 0);
  std::map<std::string, std::pair<std::uint64_t, bool>> seen;  // path -> (record, deleted)
  std::istringstream in(fls.out);
  const std::regex line(R"(^(\S+) (\* )?([0-9]+)-[0-9]+-[0-9]+:\t(.*)$)");
  for (std::string l; std::getline(in, l);) {
    std::smatch m;
    if (std::regex_match(l, m, line)) seen[m[4].str()] = {std::stoull(m[3].str()), m[2].matched};
  }
  const std::map<std::string, std::pair<std::uint64_t, bool>> expected = {
      {"docs", {docs, false}},
      {"docs/2", {two, false}},
      {"docs/2/resident.txt", {r1, false}},
      {"docs/2/fragmented.bin", {r2, false}},
      {"docs/2/Ünïcødé €.txt", {r3, false}},
      {"docs/2/A long file name.txt", {r4, false}},
      {"docs/2/streams.txt", {r5, false}},
      {"docs/2/streams.txt:extra", {r5, false}},
      {"docs/2/deleted.bin", {gone, true}},
      {"docs/2/gone", {gone_dir, true}},
  };
  for (const auto& [path, want] : expected) {
    ASSERT_TRUE(seen.count(path)) << path << "\n" << fls.out;
    EXPECT_EQ(seen[path], want) << path;
  }
  EXPECT_FALSE(seen.count("docs/2/ALONGF~1.TXT"));  // the short name is the same file

  // Bytes through the Sleuth Kit.
  EXPECT_EQ(tsk("icat " + img + " " + std::to_string(r1), dir_).out, resident);
  EXPECT_EQ(tsk("icat " + img + " " + std::to_string(r2), dir_).out, large);
  EXPECT_EQ(tsk("icat " + img + " " + std::to_string(r3), dir_).out, "unicode");
  EXPECT_EQ(tsk("icat " + img + " " + std::to_string(gone), dir_).out, std::string(9000, 'd'));
  EXPECT_EQ(tsk("icat " + img + " " + std::to_string(r5) + "-128-3", dir_).out, "stream bytes");

  // Records: in use or not, sequence numbers, the run lists of the fragmented file and the MFT.
  const auto deleted = tsk("istat " + img + " " + std::to_string(gone), dir_);
  EXPECT_NE(deleted.out.find("Not Allocated"), std::string::npos);
  EXPECT_NE(deleted.out.find("Sequence: 4"), std::string::npos);
  EXPECT_NE(tsk("istat " + img + " " + std::to_string(inside), dir_).out.find("Not Allocated"), std::string::npos);
  const auto live = tsk("istat " + img + " " + std::to_string(r2), dir_);
  EXPECT_NE(live.out.find("Allocated"), std::string::npos);
  const auto mft = tsk("istat " + img + " 0", dir_);
  const std::string first_cluster = std::to_string(b.mft_extents().front().first);
  EXPECT_NE(mft.out.find(first_cluster), std::string::npos);
  EXPECT_EQ(b.mft_extents().size(), fragments);
  EXPECT_NE(mft.out.find(bitmap_resident ? "Type: $BITMAP (176-3)   Name: N/A   Resident"
                                         : "Type: $BITMAP (176-3)   Name: N/A   Non-Resident"),
            std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Shapes, NtfsBuilder,
                         ::testing::Values(std::tuple{1024u, 1u, false}, std::tuple{4096u, 1u, true},
                                           std::tuple{1024u, 3u, true}, std::tuple{4096u, 5u, false}));

TEST(NtfsBuilderIndex, AThousandNamesMakeAMultiLevelIndexTheSleuthKitWalks) {
  if (auto m = program_missing("fls")) GTEST_SKIP() << *m;
  TempDir dir;
  VolumeBuilder b({.volume_size = 32u << 20});
  const auto big = b.add_folder(b.root(), "big");
  for (int i = 0; i < 1500; ++i) {
    b.add_file(big, "a rather long file name to fill index blocks quickly " + std::to_string(i) + ".txt", "",
               {.deleted = i % 5 == 0,
                .index_entry = i % 10 == 0 ? DeletedIndexEntry::InFreedBlock : DeletedIndexEntry::Removed});
  }
  ASSERT_TRUE(b.write(dir / "v.img").has_value());
  const auto fls = tsk("fls " + shell_quote((dir / "v.img").string()) + " " + std::to_string(big), dir);
  ASSERT_EQ(fls.status, 0);
  // The Sleuth Kit does not consult the index $BITMAP: the names left in freed blocks show
  // beside the live ones, the removed ones do not show at all.
  std::set<int> shown;
  std::istringstream in(fls.out);
  const std::regex name(R"(quickly ([0-9]+)\.txt$)");
  for (std::string l; std::getline(in, l);) {
    std::smatch m;
    if (l.find(" * ") == std::string::npos && std::regex_search(l, m, name)) shown.insert(std::stoi(m[1].str()));
  }
  EXPECT_EQ(shown.size(), 1350u);
  for (int i = 0; i < 1500; ++i) EXPECT_EQ(shown.count(i), i % 5 == 0 && i % 10 != 0 ? 0u : 1u) << i;
}

TEST(NtfsBuilderJournal, RecordsOfEachVersionLieAtTheirUsnsBehindASparseHead) {
  if (auto m = program_missing("icat")) GTEST_SKIP() << *m;
  TempDir dir;
  VolumeBuilder b;
  const auto f = b.add_file(b.root(), "f.txt", "x");
  UsnJournalSpec j{.journal_id = 0x1122334455667788, .sparse_head = 2 * 65536};
  for (int i = 0; i < 60; ++i) {
    j.records.push_back({.version = 2, .file_reference = b.reference(f), .parent_reference = b.reference(b.root()),
                         .reason = 0x100, .name = "name number " + std::to_string(i) + " of the journal"});
  }
  j.records.push_back({.version = 3, .file_reference = b.reference(f), .file_reference_high = 7, .reason = 0x200, .name = "v3"});
  j.records.push_back({.version = 4, .file_reference = b.reference(f), .reason = 0x80000001, .extents = {{0, 4096}, {8192, 4096}}});
  b.set_usn_journal(j);
  ASSERT_TRUE(b.write(dir / "v.img").has_value());
  const std::string img = shell_quote((dir / "v.img").string());
  std::smatch m;
  const std::string listing = tsk("fls -r -p " + img, dir).out;
  ASSERT_TRUE(std::regex_search(listing, m, std::regex("24-128-([0-9]+):\t\\$Extend/\\$UsnJrnl:\\$J")));
  const std::string data = tsk("icat " + img + " 24-128-" + m[1].str(), dir).out;
  ASSERT_EQ(b.usns().size(), j.records.size());
  EXPECT_EQ(b.usns().front(), 2 * 65536);
  ASSERT_GT(data.size(), 2u * 65536);
  EXPECT_TRUE(std::all_of(data.begin(), data.begin() + 2 * 65536, [](char c) { return c == 0; }));
  bool crossed_page = false;
  for (std::size_t i = 0; i < b.usns().size(); ++i) {
    const auto usn = static_cast<std::size_t>(b.usns()[i]);
    const std::size_t length = le(data, usn, 4);
    EXPECT_EQ(usn / 4096, (usn + length - 1) / 4096) << "record " << i << " crosses a page";
    EXPECT_EQ(le(data, usn + 4, 2), j.records[i].version);
    const std::size_t usn_at = j.records[i].version == 2 ? 24 : 40;
    EXPECT_EQ(le(data, usn + usn_at, 8), usn);
    if (i > 0 && usn / 4096 != static_cast<std::size_t>(b.usns()[i - 1]) / 4096) crossed_page = true;
  }
  EXPECT_TRUE(crossed_page);
  const auto last = static_cast<std::size_t>(b.usns().back());
  EXPECT_EQ(le(data, last, 4), 64u + 32u);  // a V4 record with two extents
  EXPECT_EQ(data.size(), last + 96);        // the stream ends at the next USN
}

TEST(NtfsBuilderLog, RestartPagesAndRecordPagesCarryTheGivenRecords) {
  if (auto m = program_missing("icat")) GTEST_SKIP() << *m;
  TempDir dir;
  VolumeBuilder b;
  LogFileSpec log{.size = 512 * 1024};
  for (int i = 0; i < 40; ++i) {
    log.records.push_back({.redo_operation = 3, .undo_operation = 2, .redo_data = std::vector<std::uint8_t>(100, static_cast<std::uint8_t>(i)),
                           .cluster_block_offset = 2, .target_block_size = 2, .target_vcn = 100 + i});
  }
  b.set_log_file(log);
  ASSERT_TRUE(b.write(dir / "v.img").has_value());
  const std::string data = tsk("icat " + shell_quote((dir / "v.img").string()) + " 2", dir).out;
  ASSERT_EQ(data.size(), log.size);
  EXPECT_EQ(data.substr(0, 4), "RSTR");
  EXPECT_EQ(data.substr(4096, 4), "RSTR");
  EXPECT_EQ(data.substr(8192, 4), std::string(4, '\xFF'));  // pages 2 and 3 unused
  int found = 0;
  for (std::size_t page = 4 * 4096; page < data.size() && data.substr(page, 4) == "RCRD"; page += 4096) {
    const std::string p = unprotect(data.substr(page, 4096));
    const std::size_t end = le(p, 0x18, 2);
    for (std::size_t at = 0x40; at < end;) {
      const std::size_t client = le(p, at + 0x18, 4);
      const std::string c = p.substr(at + 0x30, client);
      EXPECT_EQ(le(c, 0, 2), 3u);
      EXPECT_EQ(le(c, 0x14, 2), 2u);
      EXPECT_EQ(le(c, 0x18, 8), static_cast<std::uint64_t>(100 + found));
      EXPECT_EQ(static_cast<unsigned char>(c[le(c, 4, 2)]), found);
      ++found;
      at += 0x30 + client;
    }
  }
  EXPECT_EQ(found, 40);
}

TEST(NtfsBuilderDisk, AVolumeInsideADiskImageBehindAnMbr) {
  if (auto m = program_missing("fls")) GTEST_SKIP() << *m;
  TempDir dir;
  VolumeBuilder b({.disk_offset = 1 << 20});
  b.add_file(b.root(), "on-disk.txt", "x");
  ASSERT_TRUE(b.write(dir / "disk.img").has_value());
  const auto fls = tsk("fls -o 2048 " + shell_quote((dir / "disk.img").string()), dir);
  EXPECT_NE(fls.out.find("on-disk.txt"), std::string::npos);
}

TEST(NtfsBuilderErrors, ImpossibleDescriptionsAreRefusedWithAReason) {
  VolumeBuilder b;
  const auto file = b.add_file(b.root(), "f", "x");
  b.add_file(file, "child of a file", "x");
  auto r = b.build();
  ASSERT_FALSE(r.has_value());
  EXPECT_NE(r.error().find("not a folder"), std::string::npos);

  VolumeBuilder twice;
  twice.add_file(twice.root(), "a", "x", {.record = 70});
  twice.add_file(twice.root(), "b", "x", {.record = 70});
  EXPECT_FALSE(twice.build().has_value());

  VolumeBuilder tiny({.volume_size = 4096 * 100});
  EXPECT_FALSE(tiny.build().has_value());
}

}  // namespace
}  // namespace kavel_test::ntfs
