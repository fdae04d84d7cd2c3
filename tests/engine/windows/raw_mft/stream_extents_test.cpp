// The exporter's record-level pieces: attribute list entries, unnamed extents and their
// gathering through extension records, the coverage check, the record number check and the
// disk-extent buffer.
#include <map>

#include <gtest/gtest.h>

#include "engine/windows/raw_mft/export_records.h"
#include "engine/windows/raw_mft/export_source.h"
#include "engine/windows/raw_mft/stream_extents.h"
#include "support/ntfs_record_edits.h"

namespace kavel_lib::engine::windows {
namespace {

namespace nb = kavel_test::ntfs;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kData = 0x80;

Bytes concat(const std::vector<Bytes>& parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

nb::ComposedAttribute extent(std::uint64_t vcn, std::vector<nb::format::Run> runs, std::uint64_t size,
                             std::u16string name = {}) {
  return {.type = kData, .name = std::move(name), .resident = false, .lowest_vcn = vcn, .runs = std::move(runs),
          .data_size = size};
}

Bytes record(std::uint64_t number, std::vector<nb::ComposedAttribute> attributes, std::uint64_t base = 0) {
  auto r = nb::compose_record({.number = number, .base_reference = base, .attributes = std::move(attributes)});
  EXPECT_TRUE(r);
  // The reader works on fixed-up records: undo the update sequence as a reader would.
  Bytes b = r.value_or(Bytes(1024, 0));
  return accept_record(b, number).value_or(Bytes{});
}

TEST(AttributeListReferences, EntriesAreWalkedUntilOneIsShortOrPassesTheEnd) {
  const Bytes list = concat({nb::attribute_list_entry(0x10, u"", 0, 120 | (3ull << 48)),
                             nb::attribute_list_entry(kData, u"side", 0, 121 | (1ull << 48)),
                             nb::attribute_list_entry(kData, u"", 4, 122)});
  EXPECT_EQ(attribute_list_references(list), (std::vector<std::uint64_t>{120, 121, 122}));
  // Fewer than 26 bytes left: the walk ends.
  EXPECT_EQ(attribute_list_references(std::span(list).first(list.size() - 8)), (std::vector<std::uint64_t>{120, 121}));
  // An entry length below 26 ends the walk.
  Bytes short_entry = list;
  short_entry[32 + 4] = 25;
  short_entry[32 + 5] = 0;
  EXPECT_EQ(attribute_list_references(short_entry), (std::vector<std::uint64_t>{120}));
  // An entry whose length passes the value's end.
  Bytes long_entry = list;
  long_entry[4] = 0xFF;
  long_entry[5] = 0x7F;
  EXPECT_TRUE(attribute_list_references(long_entry).empty());
  EXPECT_TRUE(attribute_list_references({}).empty());
}

TEST(UnnamedData, NamedStreamsAreNeverTaken) {
  const Bytes r = record(70, {{.type = kData, .name = u"Zone.Identifier", .value = {'z', 'o', 'n', 'e'}},
                              {.type = kData, .value = {'m', 'a', 'i', 'n'}},
                              extent(0, {{300, 9}}, 9 * 4096, u"side"),
                              extent(0, {{100, 2}}, 5000)});
  const auto value = unnamed_resident_value(r, kData);
  ASSERT_TRUE(value);
  EXPECT_EQ(Bytes(value->begin(), value->end()), (Bytes{'m', 'a', 'i', 'n'}));
  const auto extents = unnamed_extents(r, kData);
  ASSERT_EQ(extents.size(), 1u);
  EXPECT_EQ(extents[0].real_size, 5000u);
  EXPECT_EQ(extents[0].runs, (std::vector<DataRun>{{0, 100, 2}}));
  // Only a named resident $DATA: no unnamed value.
  const Bytes named_only = record(71, {{.type = kData, .name = u"s", .value = {'x'}}});
  EXPECT_FALSE(unnamed_resident_value(named_only, kData));
}

TEST(UnnamedData, AnExtentIsNumberedFromItsLowestVcn) {
  const Bytes r = record(72, {extent(7, {{500, 3}, {-1, 2}, {600, 1}}, 0)});
  const auto extents = unnamed_extents(r, kData);
  ASSERT_EQ(extents.size(), 1u);
  EXPECT_EQ(extents[0].lowest_vcn, 7u);
  EXPECT_EQ(extents[0].runs, (std::vector<DataRun>{{7, 500, 3}, {10, -1, 2}, {12, 600, 1}}));
}

class Gathering : public ::testing::Test {
 protected:
  ExtentSources sources() {
    ExtentSources s;
    s.read_record = [this](std::uint64_t n) -> std::optional<Bytes> {
      reads_.push_back(n);
      const auto it = records_.find(n);
      if (it == records_.end()) return std::nullopt;
      return it->second;
    };
    s.read_stream = [this](std::span<const DataRun> runs, std::uint64_t size) -> std::optional<Bytes> {
      if (runs.empty() || runs[0].lcn != 900 || size > stream_.size()) return std::nullopt;
      return Bytes(stream_.begin(), stream_.begin() + static_cast<std::ptrdiff_t>(size));
    };
    return s;
  }
  std::map<std::uint64_t, Bytes> records_;
  Bytes stream_;
  std::vector<std::uint64_t> reads_;
};

TEST_F(Gathering, ExtentsOfEveryListedRecordInVcnOrderEachRecordReadOnce) {
  const std::uint64_t base_ref = 120 | (2ull << 48);
  const Bytes list = concat({nb::attribute_list_entry(0x10, u"", 0, base_ref), nb::attribute_list_entry(kData, u"", 0, base_ref),
                             nb::attribute_list_entry(kData, u"", 4, 121), nb::attribute_list_entry(kData, u"", 2, 122),
                             nb::attribute_list_entry(kData, u"side", 0, 122), nb::attribute_list_entry(kData, u"", 6, 123),
                             nb::attribute_list_entry(kData, u"", 7, 124), nb::attribute_list_entry(kData, u"", 8, 125)});
  const Bytes base = record(120, {{.type = 0x20, .value = list}, extent(0, {{100, 2}}, 9 * 4096 - 1)});
  records_[121] = record(121, {extent(4, {{104, 2}}, 0)}, base_ref);
  records_[122] = record(122, {extent(2, {{102, 2}}, 0), extent(0, {{700, 20}}, 20 * 4096, u"side")}, base_ref);
  records_[123] = record(123, {extent(6, {{-1, 1}}, 0)}, 555);       // taken by another file
  records_[124] = record(124, {extent(7, {{107, 1}}, 0)}, 0);         // a base record of its own
  records_[125] = record(125, {extent(8, {{108, 1}}, 0)}, base_ref);  // 126 unreadable: not listed
  const auto got = gather_unnamed_stream(base, 120, kData, sources());
  ASSERT_TRUE(got.data_size);
  EXPECT_EQ(*got.data_size, 9u * 4096 - 1);
  EXPECT_EQ(got.runs, (std::vector<DataRun>{{0, 100, 2}, {2, 102, 2}, {4, 104, 2}, {8, 108, 1}}));
  EXPECT_EQ(reads_, (std::vector<std::uint64_t>{121, 122, 123, 124, 125}));
  // VCNs 6 and 7 are missing: the data size is not laid out.
  EXPECT_FALSE(runs_cover(got.runs, 4096, *got.data_size));
  EXPECT_TRUE(runs_cover(got.runs, 4096, 6 * 4096));
}

TEST_F(Gathering, ANonResidentAttributeListIsReadThroughItsRuns) {
  stream_ = concat({nb::attribute_list_entry(kData, u"", 0, 130), nb::attribute_list_entry(kData, u"", 1, 131)});
  const Bytes base = record(130, {{.type = 0x20, .resident = false, .runs = {{900, 1}}, .data_size = stream_.size()},
                                  extent(0, {{10, 1}}, 8192)});
  records_[131] = record(131, {extent(1, {{20, 1}}, 0)}, 130 | (1ull << 48));
  const auto got = gather_unnamed_stream(base, 130, kData, sources());
  EXPECT_EQ(got.runs, (std::vector<DataRun>{{0, 10, 1}, {1, 20, 1}}));
  EXPECT_TRUE(runs_cover(got.runs, 4096, 8192));
}

TEST_F(Gathering, AnOversizedAttributeListIsNotRead) {
  const Bytes base = record(130, {{.type = 0x20, .resident = false, .runs = {{900, 1}}, .data_size = kMaxAttributeListBytes + 1},
                                  extent(0, {{10, 1}}, 8192)});
  stream_.assign(kMaxAttributeListBytes + 1, 0);
  const auto got = gather_unnamed_stream(base, 130, kData, sources());
  EXPECT_TRUE(reads_.empty());
  EXPECT_EQ(got.runs.size(), 1u);
}

TEST_F(Gathering, WithoutAnExtentAtVcnZeroThereIsNoSize) {
  const Bytes r = record(140, {extent(3, {{10, 1}}, 0)});
  const auto got = gather_unnamed_stream(r, 140, kData, sources());
  EXPECT_FALSE(got.data_size);
  EXPECT_EQ(got.runs.size(), 1u);
}

TEST(RunsCover, GapsOverlapsSparseRunsAndPartialClusters) {
  const std::vector<DataRun> runs{{0, 10, 2}, {2, -1, 3}, {5, 40, 1}};
  EXPECT_TRUE(runs_cover(runs, 4096, 6 * 4096));
  EXPECT_TRUE(runs_cover(runs, 4096, 5 * 4096 + 1));
  EXPECT_FALSE(runs_cover(runs, 4096, 6 * 4096 + 1));
  EXPECT_TRUE(runs_cover(runs, 4096, 0));
  EXPECT_FALSE(runs_cover(runs, 0, 10));
  EXPECT_FALSE(runs_cover({}, 4096, 1));
  EXPECT_FALSE(runs_cover(std::vector<DataRun>{{0, 10, 2}, {3, 20, 1}}, 4096, 4 * 4096));     // gap
  EXPECT_FALSE(runs_cover(std::vector<DataRun>{{0, 10, 2}, {1, 20, 2}}, 4096, 3 * 4096));     // overlap
  EXPECT_FALSE(runs_cover(std::vector<DataRun>{{1, 10, 2}}, 4096, 4096));                      // no VCN 0
  EXPECT_FALSE(runs_cover(std::vector<DataRun>{{0, INT64_MAX, 2}}, 4096, 4096));               // past any volume
  EXPECT_FALSE(runs_cover(std::vector<DataRun>{{0, -1, 1ull << 62}}, 4096, 4096));             // bytes overflow
  EXPECT_TRUE(runs_cover(std::vector<DataRun>{{0, 10, 2}, {1, 20, 2}}, 4096, 2 * 4096));      // overlap past the end
}

TEST(RecordNumber, CheckedWhereTheHeaderHoldsIt) {
  Bytes r = record(77, {{.type = kData, .value = {'x'}}});
  EXPECT_TRUE(record_number_matches(r, 77));
  EXPECT_TRUE(record_number_matches(r, 77 | (5ull << 48)));
  EXPECT_FALSE(record_number_matches(r, 78));
  // An NTFS 3.0 header: the update sequence array at 0x2A, no number.
  r[4] = 0x2A;
  EXPECT_TRUE(record_number_matches(r, 78));
  EXPECT_TRUE(record_number_matches({}, 1));
}

TEST(RecordNumber, AcceptedRecordsAreFixedUp) {
  auto raw = nb::compose_record({.number = 9, .attributes = {{.type = kData, .value = {'x'}}}});
  ASSERT_TRUE(raw);
  const Bytes on_disk = *raw;
  EXPECT_EQ(on_disk[510], 1);  // the update sequence number stands at the stride's end
  const auto fixed = accept_record(on_disk, 9);
  ASSERT_TRUE(fixed);
  EXPECT_EQ((*fixed)[510], 0);
  EXPECT_FALSE(accept_record(on_disk, 10));
  Bytes baad = on_disk;
  std::copy_n("BAAD", 4, baad.begin());
  EXPECT_TRUE(accept_record(baad, 9));
  Bytes other = on_disk;
  std::copy_n("INDX", 4, other.begin());
  EXPECT_FALSE(accept_record(other, 9));
  EXPECT_FALSE(accept_record(Bytes(1024, 0), 0));
}

TEST(DiskExtents, TheFirstExtentOrNone) {
  Bytes b(32, 0);
  b[0] = 1;
  b[8] = 3;
  b[16 + 2] = 0x10;  // 1 MiB
  EXPECT_EQ(parse_volume_disk_extents(b), (PhysicalDriveLocation{3, 1u << 20}));
  b[0] = 0;
  EXPECT_EQ(parse_volume_disk_extents(b).error(), "Volume has no disk extents");
  EXPECT_EQ(physical_drive_path(12), "\\\\.\\PhysicalDrive12");
}

}  // namespace
}  // namespace kavel_lib::engine::windows
