// The NTFS exporter on volumes written by the test builder: resident, non-resident, sparse and
// fragmented data, alternate streams, $DATA split over extension records (resident and
// non-resident attribute lists), BAAD records, a fragmented $MFT, the physical-drive road,
// compressed and encrypted data, deleted records whose clusters another file holds, and the
// failures the export reports.
#include <sys/stat.h>

#include <fstream>

#include <gtest/gtest.h>

#include "engine/windows/raw_mft/cluster_bitmap.h"
#include "engine/windows/raw_mft/data_runs.h"
#include "engine/windows/raw_mft/export_records.h"
#include "engine/windows/raw_mft/export_source.h"
#include "engine/windows/raw_mft/ntfs_export.h"
#include "platform/device.h"
#include "support/ntfs_builder.h"
#include "support/ntfs_record_edits.h"
#include "support/test_env.h"

namespace kavel_lib::engine::windows {
namespace {

namespace fs = std::filesystem;
namespace nb = kavel_test::ntfs;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kCluster = 4096;
constexpr std::uint32_t kData = 0x80;
constexpr std::uint32_t kAttributeList = 0x20;

// Deterministic bytes that differ from cluster to cluster.
std::string pattern(std::size_t size, unsigned seed) {
  std::string s(size, '\0');
  std::uint32_t x = 2463534242u ^ seed;
  for (auto& c : s) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  return s;
}

class NtfsExport : public ::testing::Test {
 protected:
  // Saves the image and maps it: as drive E, or as PhysicalDrive0 with E inside it.
  void map(const Bytes& image, std::uint64_t disk_offset = 0) {
    image_ = dir_ / "volume.img";
    std::ofstream(image_, std::ios::binary).write(reinterpret_cast<const char*>(image.data()),
                                                  static_cast<std::streamsize>(image.size()));
    const std::string table = disk_offset == 0 ? "E=" + image_.string()
                                               : "PhysicalDrive0=" + image_.string() + ";E=" + image_.string() +
                                                     "@" + std::to_string(disk_offset);
    env_.emplace("KAVEL_DRIVES", table);
  }
  std::expected<void, platform::OsError> run(std::uint64_t frn, const std::string& name = "out.bin") {
    return export_ntfs_frn(U'e', frn, dir_ / "out" / name);
  }
  std::string exported(const std::string& name = "out.bin") { return kavel_test::read_file(dir_ / "out" / name); }
  // Exports and gives the bytes, or the error text.
  std::string export_text(std::uint64_t frn) {
    auto done = run(frn);
    if (!done) return "error: " + done.error().display();
    return exported();
  }

  kavel_test::TempDir dir_;
  fs::path image_;
  std::optional<kavel_test::ScopedEnv> env_;
};

TEST_F(NtfsExport, ResidentNonResidentFragmentedAndLiveFiles) {
  nb::VolumeBuilder b;
  const std::string small = pattern(300, 1), odd = pattern(3 * kCluster + 77, 2), frag = pattern(50000, 3);
  const auto r_small = b.add_file(b.root(), "small.txt", small, {.deleted = true});
  const auto r_odd = b.add_file(b.root(), "odd.bin", odd, {.deleted = true});
  const auto r_frag = b.add_file(b.root(), "frag.bin", frag, {.fragments = 4, .deleted = true});
  const auto r_live = b.add_file(b.root(), "live.bin", odd);
  auto image = b.build();
  ASSERT_TRUE(image) << image.error();
  map(*image);
  EXPECT_EQ(export_text(r_small), small);
  EXPECT_EQ(export_text(r_odd), odd);  // the last chunk ends at the data size
  EXPECT_EQ(export_text(r_frag), frag);
  EXPECT_EQ(export_text(r_live), odd);
}

TEST_F(NtfsExport, AFileLargerThanOneChunkIsCopiedWhole) {
  nb::VolumeBuilder b({.volume_size = 32u << 20});
  const std::string big = pattern(kExportChunkBytes + kExportChunkBytes / 4 + 123, 4);
  const auto r = b.add_file(b.root(), "big.bin", big, {.fragments = 3, .deleted = true});
  auto image = b.build();
  ASSERT_TRUE(image) << image.error();
  map(*image);
  ASSERT_TRUE(run(r));
  EXPECT_TRUE(exported() == big);
}

TEST_F(NtfsExport, OnlyTheUnnamedStreamIsExported) {
  nb::VolumeBuilder b;
  const std::string main = pattern(20000, 5), zone = "[ZoneTransfer]\r\nZoneId=3\r\n", side = pattern(90000, 6);
  // A downloaded file: non-resident data, resident Zone.Identifier.
  const auto downloaded = b.add_file(b.root(), "setup.exe", main,
                                     {.streams = {{"Zone.Identifier", zone, nb::Residency::Resident}}, .deleted = true});
  // A named stream larger than the unnamed one, both non-resident.
  const auto larger_side = b.add_file(b.root(), "doc.bin", main,
                                      {.streams = {{"side", side, nb::Residency::NonResident}}, .deleted = true});
  // Resident data beside a named non-resident stream.
  const auto resident_main = b.add_file(b.root(), "note.txt", "the text",
                                        {.streams = {{"side", side, nb::Residency::NonResident}}});
  // An empty unnamed stream: the named one is not taken in its place.
  const auto empty_main = b.add_file(b.root(), "empty.txt", "",
                                     {.residency = nb::Residency::Resident,
                                      .streams = {{"Zone.Identifier", zone, nb::Residency::Resident},
                                                  {"side", side, nb::Residency::NonResident}}});
  auto image = b.build();
  ASSERT_TRUE(image) << image.error();
  map(*image);
  EXPECT_EQ(export_text(downloaded), main);
  EXPECT_EQ(export_text(larger_side), main);
  EXPECT_EQ(export_text(resident_main), "the text");
  EXPECT_EQ(export_text(empty_main), "error: " + std::string(kNoDataStreamText));
}

// A volume with records composed beside the builder's: clusters reserved up front.
class ComposedVolume : public NtfsExport {
 protected:
  void build(nb::Options options = {}) {
    options_ = options;
    builder_.emplace(options);
    reserve_ = nb::reserve_clusters(*builder_, "pool", kPool);
    parent_ = builder_->reference(nb::VolumeBuilder::root());
    // Record numbers past the builder's entries stay free for composed records.
    builder_->add_file(nb::VolumeBuilder::root(), "last.txt", "last", {.record = 190});
  }
  void finish() {
    auto image = builder_->build();
    ASSERT_TRUE(image) << image.error();
    image_bytes_ = std::move(*image);
    edits_.emplace(image_bytes_, options_, builder_->mft_extents());
    auto pool = edits_->find_reserved("pool", kPool);
    ASSERT_TRUE(pool);
    pool_ = *pool;
  }
  void put(const nb::ComposedRecord& desc) {
    auto r = nb::compose_record(desc);
    ASSERT_TRUE(r) << desc.number;
    ASSERT_TRUE(edits_->put_record(desc.number, *r)) << desc.number;
  }
  // Writes data into pool clusters [first, first + count) and gives their run.
  nb::format::Run fill(std::size_t first, std::uint64_t count, const std::string& data) {
    Bytes b(count * kCluster, 0);
    std::copy(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(std::min(data.size(), b.size())), b.begin());
    for (std::uint64_t i = 0; i < count; ++i) {
      EXPECT_EQ(pool_[first + i], pool_[first] + i) << "the pool is contiguous";
    }
    edits_->write_cluster(pool_[first], b);
    return nb::format::Run{static_cast<std::int64_t>(pool_[first]), count};
  }
  nb::ComposedAttribute data_extent(std::uint64_t vcn, std::vector<nb::format::Run> runs, std::uint64_t size,
                                    std::u16string name = {}) {
    return {.type = kData, .name = std::move(name), .resident = false, .lowest_vcn = vcn, .runs = std::move(runs),
            .data_size = size};
  }
  std::uint64_t ref(std::uint64_t n, std::uint16_t seq = 1) const { return n | (std::uint64_t{seq} << 48); }
  void map_image() { map(image_bytes_, options_.disk_offset); }

  static constexpr std::uint64_t kPool = 24;
  nb::Options options_;
  std::optional<nb::VolumeBuilder> builder_;
  std::uint64_t reserve_ = 0;
  std::uint64_t parent_ = 0;
  Bytes image_bytes_;
  std::optional<nb::ImageEdits> edits_;
  std::vector<std::uint64_t> pool_;
};

TEST_F(ComposedVolume, SparseRunsComeOutAsZeros) {
  build();
  finish();
  const std::string a = pattern(kCluster, 7), c = pattern(kCluster, 8);
  const std::uint64_t size = 4 * kCluster - 100;
  auto desc = nb::ComposedRecord{.number = 120, .attributes = nb::file_head(parent_, "sparse.bin", size)};
  auto data = data_extent(0, {fill(0, 1, a), {-1, 2}, fill(2, 1, c)}, size);
  data.flags = 0x8000;
  desc.attributes.push_back(data);
  put(desc);
  map_image();
  const std::string expected = a + std::string(2 * kCluster, '\0') + c.substr(0, kCluster - 100);
  EXPECT_TRUE(export_text(120) == expected);
}

// Bytes of the destination that hold storage (st_blocks counts 512-byte units).
std::uint64_t allocated_bytes(const fs::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return UINT64_MAX;
  return static_cast<std::uint64_t>(st.st_blocks) * 512;
}

TEST_F(ComposedVolume, BytesPastTheInitializedSizeComeOutAsZerosAndCostNoDisk) {
  build();
  finish();
  const std::string stale = pattern(3 * kCluster, 9);
  const std::uint64_t size = 3 * kCluster - 50;
  // Valid data ends inside the second cluster; the clusters hold older bytes past it.
  auto desc = nb::ComposedRecord{.number = 120, .attributes = nb::file_head(parent_, "vdl.bin", size)};
  auto data = data_extent(0, {fill(0, 3, stale)}, size);
  data.initialized_size = 5000;
  desc.attributes.push_back(data);
  // Ten MiB laid out, one cluster of it valid: only that cluster is read and stored. (Its run
  // reaches past the 16 MiB volume, where nothing is read.)
  const std::uint64_t long_size = 10u << 20;
  auto long_desc = nb::ComposedRecord{.number = 121, .attributes = nb::file_head(parent_, "tail.bin", long_size)};
  auto long_data = data_extent(0, {{static_cast<std::int64_t>(pool_[0]), long_size / kCluster}}, long_size);
  long_data.initialized_size = kCluster;
  long_desc.attributes.push_back(long_data);
  // An initialized size above the data size counts as the data size.
  auto over = nb::ComposedRecord{.number = 122, .attributes = nb::file_head(parent_, "over.bin", size)};
  auto over_data = data_extent(0, {fill(0, 3, stale)}, size);
  over_data.initialized_size = 1ull << 40;
  over.attributes.push_back(over_data);
  put(desc);
  put(long_desc);
  put(over);
  map_image();
  EXPECT_TRUE(export_text(120) == stale.substr(0, 5000) + std::string(size - 5000, '\0'));
  ASSERT_TRUE(run(121, "tail.bin"));
  const auto tail = dir_ / "out" / "tail.bin";
  EXPECT_EQ(fs::file_size(tail), long_size);
  EXPECT_LT(allocated_bytes(tail), 1u << 20);
  const std::string written = kavel_test::read_file(tail);
  EXPECT_TRUE(written.substr(0, kCluster) == stale.substr(0, kCluster));
  EXPECT_EQ(written.find_first_not_of('\0', kCluster), std::string::npos);
  EXPECT_TRUE(export_text(122) == stale.substr(0, size));
}

TEST_F(ComposedVolume, AGibibyteSparseRunIsLeftAsAHole) {
  build();
  finish();
  constexpr std::uint64_t kSize = 1ull << 30;
  auto desc = nb::ComposedRecord{.number = 120, .attributes = nb::file_head(parent_, "hole.bin", kSize)};
  auto data = data_extent(0, {{-1, kSize / kCluster}}, kSize);
  data.flags = 0x8000;
  desc.attributes.push_back(data);
  put(desc);
  map_image();
  ASSERT_TRUE(run(120, "hole.bin"));
  const auto dest = dir_ / "out" / "hole.bin";
  EXPECT_EQ(fs::file_size(dest), kSize);  // the size is the data size all the same
  EXPECT_LT(allocated_bytes(dest), 1u << 20);
}

// $DATA in three extents: VCN 0-1 in the base record, 2-3 in record 122, 4 in record 121.
class SplitData : public ComposedVolume {
 protected:
  void compose(bool list_resident) {
    build();
    finish();
    part0_ = pattern(2 * kCluster, 10);
    part1_ = pattern(2 * kCluster, 11);
    part2_ = pattern(kCluster - 10, 12);
    size_ = 5 * kCluster - 10;
    Bytes list;
    auto add = [&](std::uint32_t type, std::uint64_t vcn, std::uint64_t record, std::u16string_view name = {}) {
      const Bytes e = nb::attribute_list_entry(type, name, vcn, ref(record));
      list.insert(list.end(), e.begin(), e.end());
    };
    add(0x10, 0, 120);
    add(0x30, 0, 120);
    add(kData, 0, 120);
    add(kData, 4, 121);  // listed before the extent it follows
    add(kData, 2, 122);
    add(kData, 0, 122, u"side");
    auto base = nb::ComposedRecord{.number = 120, .attributes = nb::file_head(parent_, "split.bin", size_)};
    if (list_resident) {
      base.attributes.insert(base.attributes.begin() + 1, {.type = kAttributeList, .value = list});
    } else {
      fill(10, 1, std::string(list.begin(), list.end()));
      base.attributes.insert(base.attributes.begin() + 1,
                             {.type = kAttributeList, .resident = false,
                              .runs = {{static_cast<std::int64_t>(pool_[10]), 1}}, .data_size = list.size()});
    }
    auto first = data_extent(0, {fill(0, 2, part0_)}, size_);
    first.allocated_size = 5 * kCluster;
    base.attributes.push_back(first);
    put(base);
    put({.number = 121, .base_reference = ref(120), .attributes = {data_extent(4, {fill(4, 1, part2_)}, 0)}});
    // The extension record also holds an alternate stream, larger than the file.
    put({.number = 122,
         .base_reference = ref(120),
         .attributes = {data_extent(2, {fill(2, 2, part1_)}, 0), data_extent(0, {fill(6, 3, pattern(3 * kCluster, 13))},
                                                                             3 * kCluster, u"side")}});
  }
  std::string whole() const { return part0_ + part1_ + part2_; }
  std::string part0_, part1_, part2_;
  std::uint64_t size_ = 0;
};

TEST_F(SplitData, ExtentsNamedByAResidentAttributeListArePlacedByTheirVcn) {
  compose(true);
  map_image();
  EXPECT_TRUE(export_text(120) == whole());
  if (!kavel_test::program_missing("icat")) {  // the Sleuth Kit reads the same file
    const auto icat = kavel_test::run_command("icat " + kavel_test::shell_quote(image_.string()) + " 120");
    EXPECT_TRUE(icat.output == whole());
  }
}

TEST_F(SplitData, ANonResidentAttributeListIsReadThroughItsRuns) {
  compose(false);
  map_image();
  EXPECT_TRUE(export_text(120) == whole());
  if (!kavel_test::program_missing("icat")) {
    const auto icat = kavel_test::run_command("icat " + kavel_test::shell_quote(image_.string()) + " 120");
    EXPECT_TRUE(icat.output == whole());
  }
}

TEST_F(SplitData, AnExtensionRecordTakenByAnotherFileFailsBeforeTheDestinationIsMade) {
  compose(true);
  // Record 121 now belongs to another file: its extent is not this file's.
  put({.number = 121, .base_reference = ref(150), .attributes = {data_extent(4, {fill(4, 1, "other")}, 0)}});
  map_image();
  auto done = run(120);
  ASSERT_FALSE(done);
  EXPECT_EQ(done.error().display(), kClusterReadText);
  EXPECT_FALSE(fs::exists(dir_ / "out"));
}

TEST_F(SplitData, AMissingExtensionRecordFailsAsUnreadableClusters) {
  compose(true);
  ASSERT_TRUE(edits_->put_record(122, Bytes(1024, 0)));
  map_image();
  auto done = run(120);
  ASSERT_FALSE(done);
  EXPECT_EQ(done.error().display(), kClusterReadText);
}

TEST_F(ComposedVolume, ADataSizeTheRunsDoNotCoverIsRefusedBeforeWriting) {
  build();
  finish();
  auto desc = nb::ComposedRecord{.number = 120, .attributes = nb::file_head(parent_, "huge.bin", 1)};
  desc.attributes.push_back(data_extent(0, {fill(0, 1, "x")}, 1ull << 40));  // a terabyte in one cluster
  put(desc);
  map_image();
  auto done = run(120);
  ASSERT_FALSE(done);
  EXPECT_EQ(done.error().display(), kClusterReadText);
  EXPECT_EQ(done.error().kind(), platform::OsErrorKind::Other);
  EXPECT_FALSE(fs::exists(dir_ / "out"));
}

// Clusters that hold compression units or EFS ciphertext are not the file's bytes: such data is
// refused by its attribute flags before the destination is made, and an existing destination
// is left as it was. A resident value is never compressed, whatever its flags say.
TEST_F(ComposedVolume, CompressedAndEncryptedDataAreRefusedBeforeTheDestinationIsMade) {
  build();
  finish();
  const std::string text = "resident text, stored as it stands";
  auto resident = [&](std::uint64_t n, std::uint16_t flags) {
    auto desc = nb::ComposedRecord{.number = n, .attributes = nb::file_head(parent_, "r.txt", text.size())};
    desc.attributes.push_back({.type = kData, .value = Bytes(text.begin(), text.end()), .flags = flags});
    put(desc);
  };
  auto nonresident = [&](std::uint64_t n, std::uint16_t flags, std::size_t pool_cluster) {
    const std::uint64_t size = 2 * kCluster - 7;
    auto desc = nb::ComposedRecord{.number = n, .attributes = nb::file_head(parent_, "n.bin", size)};
    auto data = data_extent(0, {fill(pool_cluster, 1, pattern(kCluster, 40)), {-1, 1}}, size);
    data.flags = flags;
    desc.attributes.push_back(data);
    put(desc);
  };
  resident(120, 0x0001);      // compressed flag: the value is the file
  resident(121, 0x4000);      // encrypted
  nonresident(122, 0x0001, 0);  // compressed (a compression unit of one real cluster and a hole)
  nonresident(123, 0x8010, 1);  // sparse and another bit of the compression mask
  nonresident(124, 0x4000, 2);  // encrypted
  nonresident(125, 0x8000, 3);  // sparse only: exported
  map_image();
  EXPECT_EQ(export_text(120), text);
  EXPECT_EQ(export_text(125), pattern(kCluster, 40) + std::string(kCluster - 7, '\0'));
  struct Refusal {
    std::uint64_t record;
    std::string_view text;
  };
  for (const Refusal r : {Refusal{121, kEncryptedDataText}, Refusal{122, kCompressedDataText},
                          Refusal{123, kCompressedDataText}, Refusal{124, kEncryptedDataText}}) {
    const auto dest = dir_ / ("new" + std::to_string(r.record)) / "file.bin";
    auto done = export_ntfs_frn(U'e', r.record, dest);
    ASSERT_FALSE(done) << r.record;
    EXPECT_EQ(done.error().kind(), platform::OsErrorKind::InvalidData) << r.record;
    EXPECT_EQ(done.error().display(), r.text) << r.record;
    EXPECT_FALSE(fs::exists(dest.parent_path())) << r.record;
    // A destination that exists already is not truncated.
    kavel_test::write_file(dir_ / "kept.bin", "kept");
    EXPECT_FALSE(export_ntfs_frn(U'e', r.record, dir_ / "kept.bin")) << r.record;
    EXPECT_EQ(kavel_test::read_file(dir_ / "kept.bin"), "kept") << r.record;
  }
}

// A deleted record keeps its runs after a live file has taken its clusters: $Bitmap marks them
// in use, and the export refuses the record before the destination is made, on the volume and
// on the physical drive alike. Only the clusters the copy would read count: free and sparse
// ones, and those past the initialized size, do not. Without a readable $Bitmap the export
// goes on as before.
TEST_F(ComposedVolume, ADeletedRecordWhoseClustersAreInUseIsRefusedOnBothRoads) {
  constexpr std::uint64_t kOffset = 1u << 20;
  build({.disk_offset = kOffset});
  const std::string live = pattern(3 * kCluster + 10, 60);
  const auto r_live = builder_->add_file(nb::VolumeBuilder::root(), "live.bin", live,
                                         {.residency = nb::Residency::NonResident});
  finish();
  const auto live_record = accept_record(edits_->record(r_live).value(), r_live);
  ASSERT_TRUE(live_record);
  const auto live_runs = decode_unnamed_attribute_runs(*live_record, kData);
  ASSERT_TRUE(live_runs);
  std::vector<nb::format::Run> taken;
  for (const DataRun& r : live_runs->runs) taken.push_back({r.lcn, r.length});
  const nb::format::Run last_taken{taken.back().lcn + static_cast<std::int64_t>(taken.back().length) - 1, 1};
  auto deleted = [&](std::uint64_t n, std::vector<nb::format::Run> runs, std::uint64_t size,
                     std::optional<std::uint64_t> initialized = std::nullopt, std::uint16_t flags = 0) {
    auto desc = nb::ComposedRecord{.number = n, .flags = flags, .attributes = nb::file_head(parent_, "d.bin", size)};
    auto data = data_extent(0, std::move(runs), size);
    data.initialized_size = initialized;
    desc.attributes.push_back(data);
    put(desc);
  };
  deleted(120, taken, live.size());                                  // every cluster taken
  deleted(121, {fill(0, 1, pattern(kCluster, 61)), last_taken}, 2 * kCluster);  // the second taken
  deleted(122, taken, live.size(), std::nullopt, 1);                 // in use, then BAAD below
  const std::string freed = pattern(kCluster, 62);
  auto sparse = nb::ComposedRecord{.number = 123, .attributes = nb::file_head(parent_, "s.bin", 2 * kCluster)};
  auto sparse_data = data_extent(0, {fill(1, 1, freed), {-1, 1}}, 2 * kCluster);
  sparse_data.flags = 0x8000;
  sparse.attributes.push_back(sparse_data);
  put(sparse);
  deleted(124, taken, live.size(), 0);  // nothing initialized: no cluster is read
  ASSERT_TRUE(edits_->set_signature(122, "BAAD"));

  auto check = [&](const char* road) {
    SCOPED_TRACE(road);
    for (const std::uint64_t n : {120, 121, 122}) {
      const auto dest = dir_ / ("new" + std::to_string(n)) / "file.bin";
      auto done = export_ntfs_frn(U'e', n, dest);
      ASSERT_FALSE(done) << n;
      EXPECT_EQ(done.error().kind(), platform::OsErrorKind::NotFound) << n;
      EXPECT_EQ(done.error().display(), kOverwrittenClustersText) << n;
      EXPECT_FALSE(fs::exists(dest.parent_path())) << n;
      kavel_test::write_file(dir_ / "kept.bin", "kept");
      EXPECT_FALSE(export_ntfs_frn(U'e', n, dir_ / "kept.bin")) << n;
      EXPECT_EQ(kavel_test::read_file(dir_ / "kept.bin"), "kept") << n;
    }
    EXPECT_EQ(export_text(123), freed + std::string(kCluster, '\0'));
    EXPECT_EQ(export_text(124), std::string(live.size(), '\0'));
    EXPECT_EQ(export_text(r_live), live);
  };
  map_image();
  check("volume");
  {
    kavel_test::ScopedEnv refuse("KAVEL_TEST_REFUSE_READS", "E:");
    auto source = open_export_source("\\\\.\\E:");
    ASSERT_TRUE(source) << source.error().display();
    ASSERT_EQ(source->base_offset, kOffset);
    check("physical drive");
  }

  // Record 6 unreadable: the bitmap is unknown and the clusters are not taken for in use.
  ASSERT_TRUE(edits_->put_record(6, Bytes(1024, 0)));
  map_image();
  EXPECT_EQ(export_text(120), live);
}

// The bitmap bytes a set of clusters needs, and the bits read from them.
TEST(ClusterBitmap, RangesAreMergedAndBitsReadLeastSignificantFirst) {
  const StreamPiece pieces[] = {{0, 4096 * 20, 4096 * 3, false},     // clusters 20-22
                                {0, 0, 4096, true},                  // sparse: none
                                {0, 4096 * 9 + 100, 4000, false},    // clusters 9-10
                                {0, 4096 * 100, 1, false}};          // cluster 100
  std::vector<ClusterSpan> spans = piece_clusters(pieces, 4096);
  ASSERT_EQ(spans, (std::vector<ClusterSpan>{{20, 3}, {9, 2}, {100, 1}}));
  // Bytes 1-2 (clusters 9-22) in one range, byte 12 in another; a bitmap of 12 bytes cuts the
  // last one off.
  EXPECT_EQ(bitmap_ranges(spans, 64), (std::vector<BitmapRange>{{1, 2, 0, 2}, {12, 1, 2, 3}}));
  EXPECT_EQ(spans, (std::vector<ClusterSpan>{{9, 2}, {20, 3}, {100, 1}}));
  EXPECT_EQ(bitmap_ranges(spans, 12), (std::vector<BitmapRange>{{1, 2, 0, 2}}));

  const std::vector<std::uint8_t> bits = {0x00, 0b0000'0001, 0b1000'0000};  // clusters 8 and 23
  EXPECT_FALSE(any_bit_set(bits, 0, {9, 14}));   // 9-22
  EXPECT_TRUE(any_bit_set(bits, 0, {8, 1}));
  EXPECT_TRUE(any_bit_set(bits, 0, {22, 2}));    // 22-23
  EXPECT_FALSE(any_bit_set(bits, 0, {24, 100}));  // past the bytes held
  EXPECT_TRUE(any_bit_set(std::span(bits).subspan(2), 2, {0, 24}));
  EXPECT_FALSE(any_bit_set(std::span(bits).subspan(2), 2, {0, 23}));
  EXPECT_FALSE(any_bit_set(bits, 0, {UINT64_MAX, 2}));  // overflows: no span
}

TEST_F(ComposedVolume, RunsWithADataSizeOfZero) {
  build();
  finish();
  auto desc = nb::ComposedRecord{.number = 120, .attributes = nb::file_head(parent_, "zero.bin", 0)};
  desc.attributes.push_back(data_extent(0, {fill(0, 1, "x")}, 0));
  put(desc);
  auto no_runs = nb::ComposedRecord{.number = 121, .attributes = nb::file_head(parent_, "none.bin", 0)};
  no_runs.attributes.push_back(data_extent(0, {}, 0));
  put(no_runs);
  map_image();
  EXPECT_EQ(export_text(120), "error: " + std::string(kZeroLengthText));
  EXPECT_EQ(export_text(121), "error: " + std::string(kNoDataStreamText));
  EXPECT_EQ(export_text(130), "error: " + std::string(kCannotReadRecordText));  // never written: zeros
  EXPECT_EQ(export_text(1u << 20), "error: " + std::string(kCannotReadRecordText));  // past the MFT
}

TEST_F(ComposedVolume, BaadRecordsAreReadLikeFileRecords) {
  build();
  const std::string text = pattern(400, 20), data = pattern(9000, 21);
  const auto resident = builder_->add_file(nb::VolumeBuilder::root(), "r.txt", text, {.deleted = true});
  const auto clusters = builder_->add_file(nb::VolumeBuilder::root(), "c.bin", data, {.deleted = true});
  finish();
  ASSERT_TRUE(edits_->set_signature(resident, "BAAD"));
  ASSERT_TRUE(edits_->set_signature(clusters, "BAAD"));
  ASSERT_TRUE(edits_->set_signature(121, "XXXX"));
  map_image();
  EXPECT_EQ(export_text(resident), text);
  EXPECT_EQ(export_text(clusters), data);
}

TEST_F(ComposedVolume, AFragmentedMftIsFollowedThroughItsRuns) {
  build({.mft_fragments = 3});
  const std::string text = pattern(300, 30), data = pattern(12345, 31);
  const auto early = builder_->add_file(nb::VolumeBuilder::root(), "early.txt", "early text", {.deleted = true});
  const auto late = builder_->add_file(nb::VolumeBuilder::root(), "late.txt", text, {.deleted = true, .record = 185});
  const auto late2 = builder_->add_file(nb::VolumeBuilder::root(), "late.bin", data, {.deleted = true, .record = 186});
  finish();
  const auto& extents = builder_->mft_extents();
  ASSERT_EQ(extents.size(), 3u);
  ASSERT_LT(extents[0].second * kCluster / 1024, late) << "the record lies beyond the first run";
  // At the place where a contiguous MFT would hold record 185 lies a copy of another record.
  const auto decoy = edits_->record(early);
  ASSERT_TRUE(decoy);
  edits_->write_volume(extents[0].first * kCluster + late * 1024, *decoy);
  map_image();
  EXPECT_EQ(export_text(late), text);
  EXPECT_EQ(export_text(late2), data);
  EXPECT_EQ(export_text(early), "early text");
}

TEST_F(ComposedVolume, TheRecordAtTheDirectPlaceMustCarryItsNumber) {
  // A volume whose record 0 lost its $DATA runs: records are read at their direct places, and a
  // record there that names another number is not taken.
  build();
  const auto a = builder_->add_file(nb::VolumeBuilder::root(), "a.txt", "text of a", {.deleted = true});
  finish();
  auto record0 = nb::ComposedRecord{.number = 0, .flags = 1, .attributes = nb::file_head(parent_, "$MFT", 0)};
  put(record0);
  ASSERT_TRUE(edits_->put_record(121, *edits_->record(a)));  // a copy of record a, numbered a
  map_image();
  // The emulated driver refuses such a volume its volume data; the source is made by hand.
  auto device = platform::Device::open("\\\\.\\E:");
  ASSERT_TRUE(device);
  const NtfsVolume volume{std::move(*device), {kCluster, builder_->mft_extents()[0].first, 1024}, 0};
  const MftRecordReader mft(volume);
  EXPECT_FALSE(mft.through_runs());
  const auto record = mft.read(a);
  ASSERT_TRUE(record);
  EXPECT_EQ(unnamed_resident_value(*record, kData).value().size(), 9u);
  EXPECT_FALSE(mft.read(121));
  EXPECT_FALSE(mft.read(130));  // zeros
}

TEST_F(ComposedVolume, TheMftsOwnExtentsAreGatheredThroughItsAttributeList) {
  // Record 0 keeps the first run of the $MFT; the later ones lie in its extension record 13.
  build({.mft_fragments = 3});
  const std::string data = pattern(7000, 50);
  const auto late = builder_->add_file(nb::VolumeBuilder::root(), "late.bin", data, {.deleted = true, .record = 185});
  finish();
  const auto extents = builder_->mft_extents();
  ASSERT_EQ(extents.size(), 3u);
  std::uint64_t clusters = 0;
  for (const auto& [lcn, count] : extents) clusters += count;
  auto run = [&](std::size_t i) { return nb::format::Run{static_cast<std::int64_t>(extents[i].first), extents[i].second}; };
  Bytes list;
  for (const auto& e : {nb::attribute_list_entry(kData, u"", 0, ref(0)),
                        nb::attribute_list_entry(kData, u"", extents[0].second, ref(13))}) {
    list.insert(list.end(), e.begin(), e.end());
  }
  auto record0 = nb::ComposedRecord{.number = 0, .flags = 1, .attributes = nb::file_head(parent_, "$MFT", 0)};
  record0.attributes.insert(record0.attributes.begin() + 1, {.type = kAttributeList, .value = list});
  auto first = data_extent(0, {run(0)}, clusters * kCluster);
  first.allocated_size = clusters * kCluster;
  record0.attributes.push_back(first);
  put(record0);
  put({.number = 13, .flags = 1, .base_reference = ref(0), .attributes = {data_extent(extents[0].second, {run(1), run(2)}, 0)}});
  map_image();
  auto device = platform::Device::open("\\\\.\\E:");
  ASSERT_TRUE(device);
  const NtfsVolume volume{std::move(*device), {kCluster, extents[0].first, 1024}, 0};
  const MftRecordReader mft(volume);
  ASSERT_TRUE(mft.through_runs());
  const auto record = mft.read(late);
  ASSERT_TRUE(record);
  const GatheredStream got = gather_unnamed_stream(*record, late, kData, mft.sources());
  ASSERT_TRUE(got.data_size);
  EXPECT_EQ(*got.data_size, data.size());
  const auto bytes = read_runs_range(volume, kCluster, got.runs, 0, data.size());
  ASSERT_TRUE(bytes);
  EXPECT_TRUE(std::string(bytes->begin(), bytes->end()) == data);

  // Without the extension record the later runs are unknown: the record cannot be had.
  ASSERT_TRUE(edits_->put_record(13, Bytes(1024, 0)));
  map_image();
  auto again = platform::Device::open("\\\\.\\E:");
  ASSERT_TRUE(again);
  const NtfsVolume partial{std::move(*again), {kCluster, extents[0].first, 1024}, 0};
  EXPECT_FALSE(MftRecordReader(partial).read(late));
}

TEST_F(NtfsExport, ThePhysicalDriveIsReadWhenTheVolumeRefusesReads) {
  constexpr std::uint64_t kOffset = 1u << 20;
  nb::VolumeBuilder b({.disk_offset = kOffset});
  const std::string data = pattern(30000, 40);
  const auto r_data = b.add_file(b.root(), "d.bin", data, {.fragments = 2, .deleted = true});
  const auto r_text = b.add_file(b.root(), "t.txt", "resident text", {.deleted = true});
  auto image = b.build();
  ASSERT_TRUE(image) << image.error();
  map(*image, kOffset);
  kavel_test::ScopedEnv refuse("KAVEL_TEST_REFUSE_READS", "E:");
  {
    // The switch: plain reads of E fail, its control codes still answer.
    auto volume = platform::Device::open("\\\\.\\E:");
    ASSERT_TRUE(volume);
    Bytes sector(512);
    EXPECT_FALSE(volume->read_exact_at(0, sector));
    EXPECT_TRUE(open_ntfs_volume("\\\\.\\E:"));
    EXPECT_EQ(map_volume_to_physical_drive("\\\\.\\E:"), (PhysicalDriveLocation{0, kOffset}));
  }
  auto source = open_export_source("\\\\.\\E:");
  ASSERT_TRUE(source) << source.error().display();
  EXPECT_EQ(source->handle.device_name(), "PhysicalDrive0");
  EXPECT_EQ(source->base_offset, kOffset);
  EXPECT_EQ(export_text(r_data), data);
  EXPECT_EQ(export_text(r_text), "resident text");
}

TEST_F(NtfsExport, WithoutAPhysicalDriveTheMappingErrorEndsTheExport) {
  nb::VolumeBuilder b;
  const auto r = b.add_file(b.root(), "t.txt", "text");
  auto image = b.build();
  ASSERT_TRUE(image) << image.error();
  map(*image);
  kavel_test::ScopedEnv refuse("KAVEL_TEST_REFUSE_READS", "e");
  auto done = run(r);
  ASSERT_FALSE(done);
  EXPECT_EQ(done.error().kind(), platform::OsErrorKind::Other);
  EXPECT_TRUE(done.error().display().starts_with("Volume drive letter mapping failed: ")) << done.error().display();
}

TEST_F(NtfsExport, OpenFailuresAndDestinations) {
  nb::VolumeBuilder b;
  const auto r = b.add_file(b.root(), "t.txt", "fresh");
  auto image = b.build();
  ASSERT_TRUE(image) << image.error();
  map(*image);
  // A drive that is not mapped: the open error as it is.
  auto missing = export_ntfs_frn(U'q', r, dir_ / "q.bin");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind(), platform::OsErrorKind::NotFound);
  // Parent folders are made; an existing longer file is truncated.
  const auto dest = dir_ / "a" / "b" / "c.txt";
  ASSERT_TRUE(export_ntfs_frn(U'e', r, dest));
  EXPECT_EQ(kavel_test::read_file(dest), "fresh");
  kavel_test::write_file(dest, std::string(10000, 'z'));
  ASSERT_TRUE(export_ntfs_frn_on_device("\\\\.\\E:", r, dest));
  EXPECT_EQ(kavel_test::read_file(dest), "fresh");
  // A folder in the destination's place is refused.
  fs::create_directories(dir_ / "dir");
  EXPECT_FALSE(export_ntfs_frn(U'E', r, dir_ / "dir"));
}

}  // namespace
}  // namespace kavel_lib::engine::windows
