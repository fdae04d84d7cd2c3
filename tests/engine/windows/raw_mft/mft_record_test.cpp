#include "engine/windows/raw_mft/mft_record.h"

#include <gtest/gtest.h>

#include "engine/windows/raw_mft/data_runs.h"
#include "engine/windows/raw_mft/mft_test_records.h"

namespace kavel_lib::engine::windows {
namespace {

using kavel_test::mft::Bytes;
using kavel_test::mft::get;
using kavel_test::mft::put;
using kavel_test::mft::RecordBuilder;

// ---- update sequence ------------------------------------------------------------------------

// A record of `size` bytes with the array at 0x30 holding `count` entries; every stride's
// last two bytes are 0xEE 0xEE and entry i + 1 is (i + 1, 0x40 + i).
Bytes fixup_record(std::size_t size, std::size_t count, const char* sig = "FILE") {
  Bytes b(size, 0x11);
  std::memcpy(b.data(), sig, 4);
  put(b, 4, 0x30, 2);
  put(b, 6, count, 2);
  put(b, 0x30, 0xEEEE, 2);
  for (std::size_t i = 1; i < count && 0x30 + 2 * i + 1 < size; ++i) {
    b[0x30 + 2 * i] = static_cast<std::uint8_t>(i);
    b[0x31 + 2 * i] = static_cast<std::uint8_t>(0x40 + i);
  }
  for (std::size_t s = 0; s < size / 512; ++s) put(b, 512 * s + 510, 0xEEEE, 2);
  return b;
}

std::size_t restored_strides(const Bytes& b) {
  std::size_t n = 0;
  for (std::size_t s = 0; s < b.size() / 512; ++s) {
    if (b[512 * s + 510] == s + 1 && b[512 * s + 511] == 0x40 + s + 1) ++n;
  }
  return n;
}

TEST(ApplyFixups, RestoresEachStrideOfA1024ByteRecord) {
  Bytes b = fixup_record(1024, 3);
  apply_fixups(b);
  EXPECT_EQ(b[510], 1);
  EXPECT_EQ(b[511], 0x41);
  EXPECT_EQ(b[1022], 2);
  EXPECT_EQ(b[1023], 0x42);
  EXPECT_EQ(b[509], 0x11);
}

TEST(ApplyFixups, CountsOneToNineOn4096ByteRecords) {
  for (std::size_t count = 1; count <= 9; ++count) {
    Bytes b = fixup_record(4096, count);
    apply_fixups(b);
    // count 1 changes nothing; count c restores c - 1 strides (at most the 8 a record has).
    EXPECT_EQ(restored_strides(b), count < 2 ? 0 : std::min<std::size_t>(count - 1, 8)) << "count " << count;
  }
}

TEST(ApplyFixups, CountAboveTheStridesStopsAtTheRecordsEnd) {
  Bytes b = fixup_record(1024, 9);  // array fits, but only two strides exist
  apply_fixups(b);
  EXPECT_EQ(restored_strides(b), 2u);
}

TEST(ApplyFixups, BaadRecordsAreFixedOthersAreNot) {
  Bytes baad = fixup_record(1024, 3, "BAAD");
  apply_fixups(baad);
  EXPECT_EQ(restored_strides(baad), 2u);
  Bytes indx = fixup_record(1024, 3, "INDX");
  const Bytes before = indx;
  apply_fixups(indx);
  EXPECT_EQ(indx, before);
}

TEST(ApplyFixups, BadArraysChangeNothing) {
  Bytes low_offset = fixup_record(1024, 3);
  put(low_offset, 4, 40, 2);
  Bytes past_end = fixup_record(1024, 3);
  put(past_end, 4, 1020, 2);  // 1020 + 2 x 3 > 1024
  Bytes tiny = fixup_record(1024, 3);
  tiny.resize(41);
  for (Bytes* b : {&low_offset, &past_end, &tiny}) {
    const Bytes before = *b;
    apply_fixups(*b);
    EXPECT_EQ(*b, before);
  }
}

TEST(ApplyFixups, SequenceNumberIsNotCompared) {
  Bytes b = fixup_record(1024, 3);
  put(b, 510, 0x1234, 2);  // does not match the update sequence number
  apply_fixups(b);
  EXPECT_EQ(b[510], 1);
}

// ---- attribute walk --------------------------------------------------------------------------

std::vector<std::uint32_t> walk_types(const Bytes& record) {
  std::vector<std::uint32_t> types;
  AttributeWalk walk(record);
  while (auto a = walk.next()) types.push_back(a->type);
  return types;
}

TEST(AttributeWalk, VisitsEveryAttributeUpToTheEndMarker) {
  Bytes r = RecordBuilder().file_name(5, u"a.txt").resident(0x80, Bytes(10, 1)).fixed();
  EXPECT_EQ(walk_types(r), (std::vector<std::uint32_t>{0x30, 0x80}));
}

TEST(AttributeWalk, StopsAtShortLengthsAndAttributesPassingTheEnd) {
  Bytes r = RecordBuilder().file_name(5, u"a.txt").resident(0x80, Bytes(10, 1)).fixed();
  const std::size_t second = get(r, 0x14, 2) + get(r, get(r, 0x14, 2) + 4, 4);
  Bytes short_length = r;
  put(short_length, second + 4, 23, 4);
  EXPECT_EQ(walk_types(short_length), (std::vector<std::uint32_t>{0x30}));
  Bytes too_long = r;
  put(too_long, second + 4, 2000, 4);
  EXPECT_EQ(walk_types(too_long), (std::vector<std::uint32_t>{0x30}));
  // The walk is bounded by the bytes held, not by the record's length fields.
  Bytes cut(r.begin(), r.begin() + static_cast<std::ptrdiff_t>(second + 20));
  EXPECT_EQ(walk_types(cut), (std::vector<std::uint32_t>{0x30}));
  Bytes first_outside = r;
  put(first_outside, 0x14, 1020, 2);
  EXPECT_TRUE(walk_types(first_outside).empty());
  EXPECT_TRUE(walk_types(Bytes(0x15, 0)).empty());
}

TEST(FindResidentAttribute, FirstResidentValueInsideTheRecord) {
  Bytes r = RecordBuilder()
                .non_resident(0x80, 4096, kavel_test::mft::mapping_pairs({{100, 1}}))
                .resident(0x80, Bytes{1, 2, 3}, u"ads")
                .resident(0x80, Bytes{4, 5})
                .fixed();
  EXPECT_EQ(find_resident_attribute(r, 0x80), (Bytes{1, 2, 3}));
  EXPECT_FALSE(find_resident_attribute(r, 0xB0));
  EXPECT_FALSE(find_resident_attribute(Bytes(r.begin(), r.begin() + 47), 0x80));
}

TEST(FindResidentAttribute, ValuePastTheRecordIsPassedOver) {
  RecordBuilder b;
  b.resident(0x80, Bytes{1, 2, 3}).resident(0x80, Bytes{9});
  Bytes r = b.fixed();
  const std::size_t first = get(r, 0x14, 2);
  put(r, first + 0x10, 5000, 4);  // value length beyond the record
  EXPECT_EQ(find_resident_attribute(r, 0x80), (Bytes{9}));
}

TEST(FileNameValue, NameIsUsableOnlyWhenWhollyHeld) {
  Bytes v = kavel_test::mft::file_name_value(0x0002000000000024ull, u"Report.docx", 1, 4096, 1234);
  auto fn = parse_file_name_value(v);
  ASSERT_TRUE(fn);
  EXPECT_EQ(fn->name(), "Report.docx");
  EXPECT_EQ(fn->parent_reference, 0x0002000000000024ull);
  EXPECT_EQ(fn->allocated_size, 4096u);
  EXPECT_EQ(fn->modified, 1234u);
  EXPECT_FALSE(fn->is_dos());
  EXPECT_EQ(fn->name_units().front(), u'R');
  v.pop_back();
  EXPECT_FALSE(parse_file_name_value(v));
}

TEST(FileNameValue, UnpairedSurrogatesShowAsReplacement) {
  const Bytes v = kavel_test::mft::file_name_value(5, std::u16string{u'a', char16_t(0xD800), u'b'});
  auto fn = parse_file_name_value(v);
  ASSERT_TRUE(fn);
  EXPECT_EQ(fn->name(), "a\xEF\xBF\xBD" "b");
}

// ---- data runs -------------------------------------------------------------------------------

TEST(DecodeMappingPairs, SingleRun) {
  EXPECT_EQ(decode_mapping_pairs(Bytes{0x21, 0x10, 0x00, 0x01, 0x00}), (std::vector<DataRun>{{0, 256, 16}}));
}

TEST(DecodeMappingPairs, SparseRunKeepsTheBaseOfTheLastRealRun) {
  const Bytes pairs{0x21, 0x10, 0x00, 0x01, 0x01, 0x08, 0x11, 0x04, 0x10, 0x00};
  EXPECT_EQ(decode_mapping_pairs(pairs), (std::vector<DataRun>{{0, 256, 16}, {16, -1, 8}, {24, 272, 4}}));
}

TEST(DecodeMappingPairs, NegativeOffsets) {
  const Bytes pairs{0x21, 0x10, 0x00, 0x01, 0x11, 0x04, 0xF0, 0x00};  // 256, then 256 - 16
  EXPECT_EQ(decode_mapping_pairs(pairs), (std::vector<DataRun>{{0, 256, 16}, {16, 240, 4}}));
  // An offset that goes below cluster 0 gives a negative start: read as sparse.
  EXPECT_EQ(decode_mapping_pairs(Bytes{0x11, 0x02, 0x10, 0x11, 0x02, 0xE0, 0x00}),
            (std::vector<DataRun>{{0, 16, 2}, {2, -16, 2}}));
}

TEST(DecodeMappingPairs, FieldsWiderThanEightBytesEndTheList) {
  Bytes nine_byte_length{0x21, 0x10, 0x00, 0x01, 0x19};
  nine_byte_length.insert(nine_byte_length.end(), 10, 0x01);
  nine_byte_length.push_back(0);
  EXPECT_EQ(decode_mapping_pairs(nine_byte_length), (std::vector<DataRun>{{0, 256, 16}}));
  Bytes nine_byte_offset{0x21, 0x10, 0x00, 0x01, 0x91, 0x01};
  nine_byte_offset.insert(nine_byte_offset.end(), 9, 0x00);
  nine_byte_offset.push_back(0);
  EXPECT_EQ(decode_mapping_pairs(nine_byte_offset), (std::vector<DataRun>{{0, 256, 16}}));
  EXPECT_TRUE(decode_mapping_pairs(Bytes{0xFF, 0, 0, 0}).empty());
}

TEST(DecodeMappingPairs, RunPassingTheEndEndsTheList) {
  EXPECT_EQ(decode_mapping_pairs(Bytes{0x11, 0x04, 0x10, 0x21, 0x04, 0x00}), (std::vector<DataRun>{{0, 16, 4}}));
}

TEST(DecodeMappingPairs, ZeroAndTopBitLengthsAreNotListed) {
  // length 0 with an offset moves the base; a top-bit length is skipped; decoding goes on.
  Bytes pairs{0x11, 0x00, 0x10, 0x08, 0, 0, 0, 0, 0, 0, 0, 0x80, 0x11, 0x03, 0x10, 0x00};
  EXPECT_EQ(decode_mapping_pairs(pairs), (std::vector<DataRun>{{0, 32, 3}}));
}

TEST(DecodeMappingPairs, OverflowingSumsEndTheList) {
  // Cluster sum: base 2^62 plus 2^62 + 2^62 passes the signed range.
  Bytes lcn_overflow{0x81, 0x01, 0, 0, 0, 0, 0, 0, 0, 0x40, 0x81, 0x01, 0, 0, 0, 0, 0, 0, 0, 0x40, 0x00};
  EXPECT_EQ(decode_mapping_pairs(lcn_overflow), (std::vector<DataRun>{{0, std::int64_t{1} << 62, 1}}));
  // VCN sum: two sparse runs of 2^63 - 1 clusters, then two more clusters overflow.
  Bytes vcn_overflow{0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x08, 0xFF, 0xFF, 0xFF, 0xFF,
                     0xFF, 0xFF, 0xFF, 0x7F, 0x01, 0x02, 0x00};
  const auto runs = decode_mapping_pairs(vcn_overflow);
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[1].vcn, (1ull << 63) - 1);
}

TEST(DecodeDataRuns, LargestRealSizeWinsLaterOnTies) {
  using kavel_test::mft::mapping_pairs;
  Bytes r = RecordBuilder()
                .non_resident(0x80, 8192, mapping_pairs({{100, 2}}))
                .non_resident(0x80, 40960, mapping_pairs({{200, 10}}), 0, u"big")
                .non_resident(0x80, 40960, mapping_pairs({{300, 10}}))
                .non_resident(0x80, 99999, Bytes{0x00})  // yields no run
                .fixed();
  auto d = decode_data_runs(r);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->data_size, 40960u);
  EXPECT_EQ(d->runs, (std::vector<DataRun>{{0, 300, 10}}));
}

TEST(DecodeDataRuns, NothingWithoutNonResidentData) {
  Bytes r = RecordBuilder().resident(0x80, Bytes{1, 2}).fixed();
  EXPECT_FALSE(decode_data_runs(r));
  EXPECT_FALSE(decode_data_runs(Bytes(21, 0)));
  // A mapping pairs offset past the attribute's own end is passed over.
  Bytes bad = RecordBuilder().non_resident(0x80, 4096, kavel_test::mft::mapping_pairs({{100, 1}})).fixed();
  const std::size_t a = get(bad, 0x14, 2);
  put(bad, a + 0x20, 0x400, 2);
  EXPECT_FALSE(decode_data_runs(bad));
}

TEST(DecodeUnnamedAttributeRuns, JoinsExtentsByVcnAndSkipsNamedOnes) {
  using kavel_test::mft::mapping_pairs;
  Bytes r = RecordBuilder()
                .non_resident(0xB0, 999, mapping_pairs({{7, 1}}), 0, u"named")
                .non_resident(0xB0, 3000, mapping_pairs({{50, 2}}), 0)
                .non_resident(0xB0, 0, mapping_pairs({{90, 1}}), 2)
                .fixed();
  auto d = decode_unnamed_attribute_runs(r, 0xB0);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->data_size, 3000u);
  EXPECT_EQ(d->runs, (std::vector<DataRun>{{0, 50, 2}, {2, 90, 1}}));
}

TEST(MapStreamRange, SplitsAtRunsAndMarksSparse) {
  const std::vector<DataRun> runs{{0, 10, 2}, {2, -1, 1}, {3, 50, 4}};
  auto p = map_stream_range(runs, 1024, 1500, 3000);  // bytes 1500 .. 4499
  ASSERT_TRUE(p);
  ASSERT_EQ(p->size(), 3u);
  EXPECT_EQ((*p)[0].device_offset, 10 * 1024 + 1500u);
  EXPECT_EQ((*p)[0].length, 548u);
  EXPECT_TRUE((*p)[1].sparse);
  EXPECT_EQ((*p)[1].length, 1024u);
  EXPECT_EQ((*p)[2].device_offset, 50 * 1024u);
  EXPECT_EQ((*p)[2].length, 1428u);
  EXPECT_FALSE(map_stream_range(runs, 1024, 7000, 2000));  // past the last run
  EXPECT_FALSE(map_stream_range(runs, 0, 0, 1));
  EXPECT_FALSE(map_stream_range(std::vector<DataRun>{{0, INT64_MAX, 2}}, 4096, 0, 10));
}

}  // namespace
}  // namespace kavel_lib::engine::windows
