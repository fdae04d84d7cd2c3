#include "engine/windows/ntfs_deleted/index_root.h"

#include <gtest/gtest.h>

#include "engine/windows/raw_mft/mft_test_records.h"

namespace kavel_lib::engine::windows {
namespace {

using kavel_test::mft::Bytes;
using kavel_test::mft::file_name_value;
using kavel_test::mft::index_entry;
using kavel_test::mft::index_root_value;
using kavel_test::mft::RecordBuilder;

constexpr std::uint64_t kSeq = 3ull << 48;

Bytes directory_record(const std::vector<Bytes>& entries, std::size_t size = 4096) {
  return RecordBuilder(size, 3).file_name(5, u"dir").resident(0x90, index_root_value(entries), u"$I30").fixed();
}

std::vector<std::uint64_t> frns(const std::vector<IndexRootEntry>& entries) {
  std::vector<std::uint64_t> out;
  for (const auto& e : entries) out.push_back(e.frn);
  return out;
}

TEST(ListIndexRootEntries, ReachAroundTheOwnRecordNumber) {
  std::vector<Bytes> entries;
  for (std::uint64_t child : {5ull, 35ull, 36ull, 100ull, 8292ull, 8293ull}) {
    entries.push_back(index_entry(child | kSeq, file_name_value(100, u"x.txt")));
  }
  entries.push_back(index_entry(0, {}, 0x02));
  const Bytes r = directory_record(entries);
  EXPECT_EQ(frns(list_index_root_entries(r, {}, 100, false)), (std::vector<std::uint64_t>{36, 8292}));
  EXPECT_EQ(frns(list_index_root_entries(r, {}, 100, true)), (std::vector<std::uint64_t>{35, 36, 8292, 8293}));
  const auto listed = list_index_root_entries(r, {}, 100, false);
  EXPECT_EQ(listed[0].reference, 36 | kSeq);
}

TEST(ListIndexRootEntries, NamedWhenTheSetHoldsTheChild) {
  const Bytes r = directory_record({index_entry(200 | kSeq, file_name_value(7, u"sub")), index_entry(0, {}, 0x02)});
  EXPECT_EQ(list_index_root_entries(r, {200}, 100, false).at(0).name, "sub");
  EXPECT_EQ(list_index_root_entries(r, {201}, 100, false).at(0).name, std::nullopt);
  EXPECT_EQ(list_index_root_entries(r, {}, 100, false).at(0).name, std::nullopt);
}

TEST(ListIndexRootEntries, NamedWhenTheKeysParentIsTheDirectoryItself) {
  // The directory being read is the key's parent: its own children are named even when the
  // caller's set does not know them yet (the scope learns new directories this way).
  const Bytes r = directory_record({index_entry(200 | kSeq, file_name_value(100 | (9ull << 48), u"newdir")),
                                    index_entry(0, {}, 0x02)});
  const auto listed = list_index_root_entries(r, {100}, 100, false);
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].name, "newdir");
  EXPECT_EQ(list_index_root_entries(r, {}, 100, false).at(0).name, "newdir");
}

TEST(ListIndexRootEntries, DosNamesShortKeysAndEmptyNamesGiveNoName) {
  Bytes short_key = file_name_value(100, u"abc");
  short_key.resize(60);
  const Bytes r = directory_record({index_entry(201, file_name_value(100, u"LONGNA~1.TXT", 2)),
                                    index_entry(202, short_key), index_entry(203, file_name_value(100, u"")),
                                    index_entry(0, {}, 0x02)});
  const auto listed = list_index_root_entries(r, {201, 202, 203}, 100, false);
  ASSERT_EQ(listed.size(), 3u);
  for (const auto& e : listed) EXPECT_EQ(e.name, std::nullopt) << e.frn;
}

TEST(ListIndexRootEntries, FlagBitOneEndsTheAttributesEntries) {
  const Bytes r = directory_record({index_entry(201, file_name_value(100, u"a")),
                                    index_entry(202, file_name_value(100, u"b"), 0x01),
                                    index_entry(203, file_name_value(100, u"c"))});
  EXPECT_EQ(frns(list_index_root_entries(r, {}, 100, false)), (std::vector<std::uint64_t>{201, 202}));
}

TEST(ListIndexRootEntries, BadEntryLengthsEndTheWalk) {
  Bytes r = directory_record({index_entry(201, file_name_value(100, u"a")), index_entry(202, file_name_value(100, u"b")),
                              index_entry(0, {}, 0x02)});
  // Find the second entry and make its length too small.
  const auto first = list_index_root_entries(r, {}, 100, false);
  ASSERT_EQ(first.size(), 2u);
  for (std::size_t at = 0; at + 8 <= r.size(); ++at) {
    if (kavel_test::mft::get(r, at, 8) == 202) {
      kavel_test::mft::put(r, at + 8, 8, 2);
      break;
    }
  }
  EXPECT_EQ(frns(list_index_root_entries(r, {}, 100, false)), (std::vector<std::uint64_t>{201}));
  EXPECT_TRUE(list_index_root_entries(Bytes(21, 0), {}, 100, true).empty());
}

TEST(ListIndexRootEntries, TruncatedRecordsNeverReadPastTheBytes) {
  const Bytes full = directory_record({index_entry(201, file_name_value(100, u"alpha.txt")),
                                       index_entry(202, file_name_value(100, u"beta.txt")), index_entry(0, {}, 0x02)});
  for (std::size_t n = 0; n < 600; ++n) {
    const Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
    const auto listed = list_index_root_entries(cut, {201, 202}, 100, true);
    EXPECT_LE(listed.size(), 2u);
  }
}

}  // namespace
}  // namespace kavel_lib::engine::windows
