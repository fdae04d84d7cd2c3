#include "engine/windows/usn_deleted/usn_record.h"

#include <gtest/gtest.h>

#include "engine/windows/usn_deleted/usn_reason.h"
#include "usn_test_records.h"

namespace kavel_lib::engine::windows {
namespace {

using namespace usn_test;

std::vector<std::pair<std::size_t, ParsedUsnRecord>> walk_all(const Bytes& b) {
  std::vector<std::pair<std::size_t, ParsedUsnRecord>> out;
  for_each_usn_record(b, [&](const ParsedUsnRecord& r, std::size_t at) { out.emplace_back(at, r); });
  return out;
}

TEST(UsnRecordParse, V2FieldsAndMasking) {
  const Bytes b = v2(0x0005000000000026, 0x0001000000000005, 0x80000200, u"shadow_2.txt");
  auto r = parse_usn_record(b, 0);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->frn, 38u);
  EXPECT_EQ(r->parent, 5u);
  EXPECT_EQ(r->reason, 0x80000200u);
  EXPECT_EQ(r->name, "shadow_2.txt");
  EXPECT_EQ(r->record_length, b.size());
}

TEST(UsnRecordParse, V3TakesTheLowHalfOfTheIdsAndItsOwnOffsets) {
  Bytes b = v3(0x0002000000001234, 0x0003000000000777, 0x1000, u"Report.docx");
  put(b, 16, 0xFFFFFFFFFFFFFFFF, 8);  // high half of the file id
  put(b, 32, 0xFFFFFFFFFFFFFFFF, 8);  // high half of the parent id
  put(b, 40, 0x2000, 4);              // V2's reason offset holds something else in V3
  auto r = parse_usn_record(b, 0);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->frn, 0x1234u);
  EXPECT_EQ(r->parent, 0x777u);
  EXPECT_EQ(r->reason, 0x1000u);
  EXPECT_EQ(r->name, "Report.docx");
}

TEST(UsnRecordParse, V4HasNoNameAndItsReasonAt48) {
  const Bytes b = v4(0x0001000000000068, 0x0005000000000005, 0x80000200);
  auto r = parse_usn_record(b, 0);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->frn, 0x68u);
  EXPECT_EQ(r->parent, 5u);
  EXPECT_EQ(r->reason, 0x80000200u);
  EXPECT_TRUE(r->name.empty());
  EXPECT_EQ(r->record_length, 80u);
}

TEST(UsnRecordBounds, SixtyBytesIsTheSmallestRecord) {
  Bytes b = v4(7, 5, 0x200);
  put(b, 0, 60, 4);
  EXPECT_TRUE(parse_usn_record(b, 0));
  put(b, 0, 59, 4);
  EXPECT_FALSE(parse_usn_record(b, 0));
  // Fewer than 60 bytes at hand, whatever the record says.
  put(b, 0, 56, 4);
  EXPECT_FALSE(parse_usn_record(std::span<const std::uint8_t>(b).first(59), 0));
}

TEST(UsnRecordBounds, V3NeedsSeventySixBytes) {
  // A V3 record whose two-byte name sits in its last two bytes.
  Bytes b(96, 0);
  put(b, 4, 3, 2);
  put(b, 72, 2, 2);
  put(b, 74, 74, 2);
  put(b, 0, 76, 4);
  auto r = parse_usn_record(b, 0);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->name, "J");  // the offset field's own low byte read as a character
  put(b, 0, 75, 4);
  put(b, 74, 72, 2);  // name within the 75 bytes
  EXPECT_FALSE(parse_usn_record(b, 0)) << "a V3 record shorter than 76 bytes";
  put(b, 0, 72, 4);
  EXPECT_FALSE(parse_usn_record(b, 0));
}

TEST(UsnRecordBounds, RecordRunningPastTheBytesIsUnparsable) {
  const Bytes b = v2(7, 5, 0x200, u"a.txt");
  EXPECT_FALSE(parse_usn_record(std::span<const std::uint8_t>(b).first(b.size() - 1), 0));
  EXPECT_TRUE(parse_usn_record(b, 0));
  EXPECT_FALSE(parse_usn_record(b, b.size()));
  EXPECT_FALSE(parse_usn_record(b, b.size() + 100));
}

TEST(UsnRecordBounds, EmptyAndOddNames) {
  Bytes b = v2(7, 5, 0x200, u"ab");
  put(b, 56, 0, 2);
  EXPECT_FALSE(parse_usn_record(b, 0)) << "name length 0";
  put(b, 56, 1, 2);
  EXPECT_FALSE(parse_usn_record(b, 0)) << "one odd byte decodes to nothing";
  put(b, 56, 3, 2);
  auto r = parse_usn_record(b, 0);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->name, "a") << "the trailing odd byte is ignored";
}

TEST(UsnRecordBounds, NameMustLieInsideTheRecord) {
  // Two records back to back: the first one's name offset points into the second.
  Bytes first = v2(7, 5, 0x200, u"ab");
  const Bytes second = v2(8, 5, 0x200, u"cd");
  Bytes b = cat({first, second});
  put(b, 58, first.size(), 2);
  EXPECT_FALSE(parse_usn_record(b, 0));
  put(b, 58, 60, 2);
  put(b, 56, first.size() - 60 + 2, 2);  // runs two bytes past the record
  EXPECT_FALSE(parse_usn_record(b, 0));
  put(b, 56, first.size() - 60, 2);  // up to the record's last byte
  EXPECT_TRUE(parse_usn_record(b, 0));
  put(b, 58, 0xFFFF, 2);
  EXPECT_FALSE(parse_usn_record(b, 0));
}

TEST(UsnRecordNames, UnpairedSurrogatesBecomeReplacementCharacters) {
  auto high = parse_usn_record(v2(7, 5, 0x200, u"a\xD800" u"b.txt"), 0);
  ASSERT_TRUE(high);
  EXPECT_EQ(high->name, "a\xEF\xBF\xBD" "b.txt");
  auto low = parse_usn_record(v2(7, 5, 0x200, u"\xDC00"), 0);
  ASSERT_TRUE(low);
  EXPECT_EQ(low->name, "\xEF\xBF\xBD");
  auto pair = parse_usn_record(v2(7, 5, 0x200, u"\xD83D\xDE00.png"), 0);
  ASSERT_TRUE(pair);
  EXPECT_EQ(pair->name, "\xF0\x9F\x98\x80.png");
  auto cjk = parse_usn_record(v2(7, 5, 0x200, u"报告.docx"), 0);
  ASSERT_TRUE(cjk);
  EXPECT_EQ(cjk->name, "报告.docx");
}

TEST(UsnRecordParse, UnknownVersionsAreUnparsable) {
  for (std::uint16_t version : {0, 1, 5, 0xFFFF}) {
    Bytes b = v2(7, 5, 0x200, u"a.txt");
    put(b, 4, version, 2);
    EXPECT_FALSE(parse_usn_record(b, 0)) << version;
  }
}

TEST(UsnRecordWalk, StepsOverABadRecordByItsOwnLength) {
  Bytes bad = v2(7, 5, 0x200, u"ab");
  put(bad, 4, 9, 2);  // unknown version, sound length
  const Bytes good = v2(8, 5, 0x200, u"c.txt");
  auto seen = walk_all(cat({bad, good}));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].first, bad.size());
  EXPECT_EQ(seen[0].second.frn, 8u);
}

TEST(UsnRecordWalk, StepsEightBytesOverPaddingAndImpossibleLengths) {
  const Bytes good = v2(8, 5, 0x200, u"c.txt");
  // 24 bytes of zero padding: a length of 0 steps 8 at a time.
  auto seen = walk_all(cat({Bytes(24, 0), good}));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].first, 24u);
  // A length of 4 (below 8) and one past the end both step 8.
  Bytes small(8, 0);
  put(small, 0, 4, 4);
  Bytes huge(16, 0);
  put(huge, 0, 0x7FFFFFFF, 4);
  seen = walk_all(cat({small, huge, good}));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].first, 24u);
}

TEST(UsnRecordWalk, FindsEveryRecordOfMixedVersionsAndStopsShortOfSixtyBytes) {
  const Bytes b = cat({v2(1, 5, 0, u"one"), v4(2, 5, 0x200), v3(3, 5, 0x1000, u"three"), Bytes(59, 0xAB)});
  auto seen = walk_all(b);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].second.name, "one");
  EXPECT_EQ(seen[1].second.frn, 2u);
  EXPECT_EQ(seen[2].second.name, "three");
}

TEST(UsnRecordWalk, NameDamageDropsOnlyThatRecord) {
  Bytes bad = v2(7, 5, 0x200, u"ab");
  put(bad, 56, 0, 2);  // empty name: unparsable, resynchronised on its length
  auto seen = walk_all(cat({bad, v2(8, 5, 0x200, u"c.txt")}));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].second.frn, 8u);
}

TEST(UsnReason, DeleteReasons) {
  EXPECT_TRUE(is_delete_reason(0x200));
  EXPECT_TRUE(is_delete_reason(0x1000));
  EXPECT_TRUE(is_delete_reason(0x2000));
  EXPECT_TRUE(is_delete_reason(0x80000200));
  EXPECT_TRUE(is_delete_reason(0x80000002)) << "close after a data change";
  EXPECT_TRUE(is_delete_reason(0x80000100)) << "close after create";
  EXPECT_FALSE(is_delete_reason(0x80000000)) << "a bare close";
  EXPECT_FALSE(is_delete_reason(0x2)) << "a change without close";
  EXPECT_FALSE(is_delete_reason(0x100));
  EXPECT_FALSE(is_delete_reason(0));
  // The three named bits are not "other" bits: close with only them still counts through them.
  EXPECT_TRUE(is_delete_reason(0x80003200));
  EXPECT_FALSE(has_file_delete(0x80003000));
  EXPECT_TRUE(has_file_delete(0x80000200));
}

}  // namespace
}  // namespace kavel_lib::engine::windows
