// One chunk of records turned into entries: which records are parsed, which are counted, and
// which the skip set, the in-use gate and the journal's hints let through.
#include <gtest/gtest.h>

#include "engine/windows/raw_mft/chunk_scan.h"
#include "mft_test_records.h"
#include "support/test_env.h"

namespace kavel_lib::engine::windows {
namespace {

using kavel_test::mft::Bytes;
using kavel_test::mft::RecordBuilder;

constexpr std::uint64_t kFolder = 40;
constexpr std::uint64_t kFirst = 100;

// A deleted (flags 0) or live (flags 1) file record with one name under a parent.
Bytes file_record(std::uint16_t flags, std::uint64_t parent, const std::u16string& name, std::size_t size = 1024) {
  return RecordBuilder(size, flags).file_name(parent, name, 1, 0, 133486358450000000ull).fixed();
}

class ChunkScan : public ::testing::Test {
 protected:
  void SetUp() override {
    parents_ = {kFolder};
    names_[kFolder] = {"", 5};
  }

  // Records 100..105 and a partial record at the end:
  // 100 deleted a.txt in the folder      101 live b.txt in the folder
  // 102 empty slot                      103 "BAAD"
  // 104 deleted c.txt in the folder      105 deleted d.txt elsewhere (parent 999)
  Bytes chunk(std::size_t size = 1024) const {
    Bytes b;
    auto add = [&](const Bytes& r) { b.insert(b.end(), r.begin(), r.end()); };
    add(file_record(0, kFolder, u"a.txt", size));
    add(file_record(1, kFolder, u"b.txt", size));
    add(Bytes(size, 0));
    Bytes baad = file_record(0, kFolder, u"z.txt", size);
    std::memcpy(baad.data(), "BAAD", 4);
    add(baad);
    add(file_record(0, kFolder, u"c.txt", size));
    add(file_record(0, 999, u"d.txt", size));
    add(Bytes(size / 2, 0x46));  // partial: ignored
    return b;
  }

  ChunkScanResult scan(const Bytes& bytes, std::uint32_t size = 1024, const UsnCandidateMap* hints = nullptr,
                       bool take_in_use = false) const {
    const ChunkScanScope scope{.letter = 'Q',
                               .folder = "Q:\\docs",
                               .folder_frn = kFolder,
                               .parent_match_frns = parents_,
                               .dir_names = names_,
                               .hints = hints,
                               .skip = skip_,
                               .take_in_use = take_in_use,
                               .extra_name_flag = false};
    return scan_mft_chunk(bytes, kFirst, size, scope);
  }

  static std::vector<std::pair<std::uint64_t, std::string>> keys(const ChunkScanResult& r) {
    std::vector<std::pair<std::uint64_t, std::string>> out;
    for (const auto& e : r.entries) out.emplace_back(e.frn, e.path);
    return out;
  }

  std::unordered_set<std::uint64_t> parents_;
  DirNameMap names_;
  std::unordered_set<std::uint64_t> skip_;
  // No drive mapped: the letter's paths never exist.
  kavel_test::ScopedEnv drives_{"KAVEL_DRIVES", std::nullopt};
};

TEST_F(ChunkScan, DeletedRecordsInScopeBecomeEntriesAndEveryWholeSlotIsCounted) {
  const auto r = scan(chunk());
  EXPECT_EQ(keys(r), (std::vector<std::pair<std::uint64_t, std::string>>{{100, "Q:\\docs\\a.txt"},
                                                                         {104, "Q:\\docs\\c.txt"}}));
  EXPECT_EQ(r.scanned, 6u);
  EXPECT_EQ(r.entries[0].parent, kFolder);
  EXPECT_EQ(r.entries[0].time, 133486358450000000ull);
}

TEST_F(ChunkScan, FourKilobyteRecords) {
  const auto r = scan(chunk(4096), 4096);
  EXPECT_EQ(keys(r).size(), 2u);
  EXPECT_EQ(r.scanned, 6u);
}

TEST_F(ChunkScan, RecordsInTheSkipSetAreNeitherParsedNorCounted) {
  skip_ = {100, 102, 7};
  const auto r = scan(chunk());
  EXPECT_EQ(keys(r), (std::vector<std::pair<std::uint64_t, std::string>>{{104, "Q:\\docs\\c.txt"}}));
  EXPECT_EQ(r.scanned, 4u);
}

TEST_F(ChunkScan, LiveRecordsArePassedOverUnlessTheJournalNamesThem) {
  UsnCandidateMap hints;
  hints.names_by_frn[101] = {"b.txt"};
  const auto r = scan(chunk(), 1024, &hints);
  EXPECT_EQ(keys(r), (std::vector<std::pair<std::uint64_t, std::string>>{{100, "Q:\\docs\\a.txt"},
                                                                         {101, "Q:\\docs\\b.txt"},
                                                                         {104, "Q:\\docs\\c.txt"}}));
}

TEST_F(ChunkScan, TakeInUseParsesLiveRecordsWhosePathIsGone) {
  const auto r = scan(chunk(), 1024, nullptr, true);
  EXPECT_EQ(keys(r), (std::vector<std::pair<std::uint64_t, std::string>>{{100, "Q:\\docs\\a.txt"},
                                                                         {101, "Q:\\docs\\b.txt"},
                                                                         {104, "Q:\\docs\\c.txt"}}));
}

TEST_F(ChunkScan, EmptyChunksAndZeroRecordSizeGiveNothing) {
  EXPECT_EQ(scan({}).scanned, 0u);
  EXPECT_EQ(scan(Bytes(1000, 0)).scanned, 0u);  // shorter than a record
  const auto r = scan(chunk(), 0);
  EXPECT_TRUE(r.entries.empty());
  EXPECT_EQ(r.scanned, 0u);
}

TEST_F(ChunkScan, RecordNumbersFollowTheSlotPosition) {
  Bytes b(3 * 1024, 0);
  const Bytes r = file_record(0, kFolder, u"third.txt");
  std::copy(r.begin(), r.end(), b.begin() + 2 * 1024);
  const auto found = scan(b);
  ASSERT_EQ(found.entries.size(), 1u);
  EXPECT_EQ(found.entries[0].frn, kFirst + 2);
}

}  // namespace
}  // namespace kavel_lib::engine::windows
