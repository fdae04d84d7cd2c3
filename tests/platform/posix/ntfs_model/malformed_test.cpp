// Damaged images: the emulated driver answers with errors or absent records, never a crash, a
// hang or an allocation sized by a bad field.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>

#include "ntfs_test_util.h"
#include "platform/posix/ntfs_model/boot_sector.h"
#include "platform/posix/ntfs_model/controls.h"
#include "platform/posix/ntfs_model/index.h"
#include "platform/posix/ntfs_model/record.h"
#include "platform/posix/ntfs_model/volume.h"
#include "support/ntfs_builder.h"
#include "support/ntfs_record_edits.h"

namespace kavel_lib::platform::ntfs_model {
namespace {

using ntfs_test::le16;
using ntfs_test::le32;
using ntfs_test::put;
using kavel_test::ntfs::VolumeBuilder;

class Malformed : public ::testing::Test {
 protected:
  void SetUp() override {
    docs_ = builder_.add_folder(builder_.root(), "docs");
    for (int i = 0; i < 200; ++i) builder_.add_file(docs_, "file number " + std::to_string(i), std::string(5000, 'x'));
    file_ = builder_.add_file(docs_, "data.bin", std::string(20000, 'd'));
    builder_.set_usn_journal({.journal_id = 9, .records = {{.version = 2, .reason = 0x200, .name = "a"},
                                                           {.version = 2, .reason = 0x200, .name = "b"}}});
    auto image = builder_.build();
    ASSERT_TRUE(image.has_value());
    image_ = std::move(*image);
  }

  std::size_t record_at(std::uint64_t n) const { return builder_.mft_extents().front().first * 4096 + n * 1024; }
  // The offset in the image of the first attribute of a type in record n.
  std::size_t attribute_at(std::uint64_t n, std::uint32_t type) const {
    const std::size_t r = record_at(n);
    for (std::size_t a = r + le16(image_, r + 0x14); a < r + 1024;) {
      if (le32(image_, a) == type) return a;
      if (le32(image_, a) == 0xFFFFFFFF || le32(image_, a + 4) == 0) break;
      a += le32(image_, a + 4);
    }
    ADD_FAILURE() << "no attribute " << type << " in record " << n;
    return r;
  }
  std::expected<std::shared_ptr<const Volume>, WinError> load() const { return Volume::load(MemoryReader(image_)); }

  VolumeBuilder builder_;
  std::uint64_t docs_ = 0, file_ = 0;
  std::vector<std::uint8_t> image_;
};

TEST_F(Malformed, BootSectorsOutOfRangeFailTheVolumeInsteadOfMakingHugeSizes) {
  struct Case {
    const char* what;
    std::size_t offset;
    std::uint64_t value;
    int width;
    std::uint32_t error;
  };
  const Case cases[] = {
      {"zeroed signature", 3, 0, 8, win::ERROR_INVALID_FUNCTION},
      {"sector size 0", 0x0B, 0, 2, win::ERROR_UNRECOGNIZED_VOLUME},
      {"sector size 3000", 0x0B, 3000, 2, win::ERROR_UNRECOGNIZED_VOLUME},
      {"3 sectors per cluster", 0x0D, 3, 1, win::ERROR_UNRECOGNIZED_VOLUME},
      {"4 MiB clusters", 0x0D, 0xF3, 1, win::ERROR_UNRECOGNIZED_VOLUME},
      {"record size 2^31", 0x40, 0xE1, 1, win::ERROR_UNRECOGNIZED_VOLUME},
      {"record size 0", 0x40, 0, 1, win::ERROR_UNRECOGNIZED_VOLUME},
      {"record size 127 clusters", 0x40, 127, 1, win::ERROR_UNRECOGNIZED_VOLUME},
      {"index blocks of 2^20", 0x44, 0xEC, 1, win::ERROR_UNRECOGNIZED_VOLUME},
      {"no sectors", 0x28, 0, 8, win::ERROR_UNRECOGNIZED_VOLUME},
      {"2^64 sectors", 0x28, ~0ull, 8, win::ERROR_UNRECOGNIZED_VOLUME},
      {"MFT past the end", 0x30, 1ull << 40, 8, win::ERROR_UNRECOGNIZED_VOLUME},
      {"MFT at the wrong place", 0x30, 100, 8, win::ERROR_UNRECOGNIZED_VOLUME},
  };
  for (const auto& c : cases) {
    auto damaged = image_;
    put(damaged, c.offset, c.value, c.width);
    const auto v = Volume::load(MemoryReader(damaged));
    ASSERT_FALSE(v.has_value()) << c.what;
    EXPECT_EQ(v.error().code, c.error) << c.what;
  }
  auto zeroed = image_;
  std::fill(zeroed.begin(), zeroed.begin() + 512, 0);
  EXPECT_EQ(Volume::load(MemoryReader(zeroed)).error().code, win::ERROR_INVALID_FUNCTION);
}

TEST_F(Malformed, TruncatedImagesFailOrGiveAbsentRecords) {
  auto head = std::vector<std::uint8_t>(image_.begin(), image_.begin() + 65536);
  EXPECT_EQ(Volume::load(MemoryReader(head)).error().code, win::ERROR_UNRECOGNIZED_VOLUME);
  EXPECT_EQ(Volume::load(MemoryReader(std::vector<std::uint8_t>(image_.begin(), image_.begin() + 100))).error().code,
            win::ERROR_UNRECOGNIZED_VOLUME);

  // A non-resident MFT bitmap cut off: the volume cannot say which records are in use.
  EXPECT_EQ(Volume::load(MemoryReader(std::vector<std::uint8_t>(image_.begin(), image_.begin() + static_cast<std::ptrdiff_t>(record_at(20)))))
                .error()
                .code,
            win::ERROR_UNRECOGNIZED_VOLUME);

  // With the bitmap in record 0, a cut just after the MFT's first records still loads; later
  // records are unreadable.
  VolumeBuilder b({.mft_bitmap_resident = true});
  const auto docs = b.add_folder(b.root(), "docs");
  const auto file = b.add_file(docs, "f", "x");
  const auto whole = b.build().value();
  const std::size_t at = b.mft_extents().front().first * 4096 + 20 * 1024;
  auto cut = std::vector<std::uint8_t>(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(at));
  const auto v = Volume::load(MemoryReader(cut));
  ASSERT_TRUE(v.has_value());
  std::vector<std::uint8_t> record;
  EXPECT_EQ((*v)->read_record(MemoryReader(cut), file, record), RecordStatus::Unreadable);
  EXPECT_EQ((*v)->read_record(MemoryReader(cut), 5, record), RecordStatus::Ok);
  std::vector<std::uint8_t> out(2048);
  std::vector<std::uint8_t> in(8);
  put(in, 0, file, 8);
  EXPECT_EQ(get_file_record(**v, MemoryReader(cut), in, out).error().code, win::ERROR_READ_FAULT);
  EXPECT_FALSE((*v)->directory(MemoryReader(cut), docs).has_value());
}

TEST_F(Malformed, RunListsThatPointPastTheEnd) {
  // The MFT's own run: the volume cannot be loaded.
  {
    auto damaged = image_;
    const std::size_t a = attribute_at(0, 0x80);
    const std::size_t pairs = a + le16(damaged, a + 0x20);
    damaged[pairs] = 0x81;  // one length byte, eight offset bytes
    put(damaged, pairs + 2, 0x7FFFFFFFFFFFFFF0ull, 8);
    EXPECT_EQ(Volume::load(MemoryReader(damaged)).error().code, win::ERROR_UNRECOGNIZED_VOLUME);
  }
  // A folder's index allocation: its blocks are not read, the root's entries stand.
  {
    auto damaged = image_;
    const std::size_t a = attribute_at(docs_, 0xA0);
    const std::size_t pairs = a + le16(damaged, a + 0x20);
    const std::size_t offset_bytes = damaged[pairs] >> 4, length_bytes = damaged[pairs] & 0x0F;
    for (std::size_t i = 0; i < offset_bytes; ++i) damaged[pairs + 1 + length_bytes + i] = 0x7F;
    const auto v = Volume::load(MemoryReader(damaged));
    ASSERT_TRUE(v.has_value());
    const auto listing = (*v)->directory(MemoryReader(damaged), docs_);
    ASSERT_TRUE(listing.has_value());
    EXPECT_LT((*listing)->entries.size(), 201u);
  }
  // A length that runs the VCNs past 2^64 and a run of zero clusters.
  EXPECT_FALSE(decode_runs(std::vector<std::uint8_t>{0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}, 0).has_value());
  EXPECT_FALSE(decode_runs(std::vector<std::uint8_t>{0x11, 0x00, 0x10, 0x00}, 0).has_value());
  EXPECT_FALSE(decode_runs(std::vector<std::uint8_t>{0x11, 0x04, 0x80, 0x00}, 0).has_value());  // negative cluster
  EXPECT_FALSE(decode_runs(std::vector<std::uint8_t>{0x31, 0x04, 0x10}, 0).has_value());       // cut short
  const auto sparse = decode_runs(std::vector<std::uint8_t>{0x21, 0x10, 0x00, 0x01, 0x01, 0x08, 0x11, 0x02, 0x10, 0x00}, 0);
  ASSERT_TRUE(sparse.has_value());
  ASSERT_EQ(sparse->size(), 3u);
  EXPECT_EQ((*sparse)[0].lcn, 256);
  EXPECT_EQ((*sparse)[1].lcn, -1);
  EXPECT_EQ((*sparse)[2].lcn, 256 + 16);  // relative to the last run that had a cluster
  EXPECT_EQ((*sparse)[2].vcn, 24u);
}

TEST_F(Malformed, HugeSizesInTheMftAttributesAreBounded) {
  auto damaged = image_;
  // The MFT's data size far beyond the volume.
  put(damaged, attribute_at(0, 0x80) + 0x30, 1ull << 62, 8);
  EXPECT_EQ(Volume::load(MemoryReader(damaged)).error().code, win::ERROR_UNRECOGNIZED_VOLUME);
  // The bitmap claims 2^40 bytes: only the part that describes records is read.
  damaged = image_;
  put(damaged, attribute_at(0, 0xB0) + 0x30, 1ull << 40, 8);
  const auto v = Volume::load(MemoryReader(damaged));
  ASSERT_TRUE(v.has_value());
  EXPECT_TRUE((*v)->in_use(file_));
}

TEST_F(Malformed, IndexEntriesWhoseLengthsOverrunEndTheirNode) {
  const auto v = load();
  ASSERT_TRUE(v.has_value());
  // The root's first entry claims 0xFFF8 bytes.
  auto damaged = image_;
  const std::size_t root = attribute_at(docs_, 0x90);
  const std::size_t value = root + le16(damaged, root + 0x14);
  const std::size_t first_entry = value + 0x10 + le32(damaged, value + 0x10);
  put(damaged, first_entry + 8, 0xFFF8, 2);
  const auto listing = Volume::load(MemoryReader(damaged)).value()->directory(MemoryReader(damaged), docs_);
  ASSERT_TRUE(listing.has_value());
  EXPECT_TRUE((*listing)->entries.empty());

  // Node walks over hand-made nodes.
  auto walk = [](std::vector<std::uint8_t> node) {
    int entries = 0;
    const bool ok = walk_index_node(node, [&](Bytes, bool, bool, std::uint64_t) {
      ++entries;
      return true;
    });
    return std::pair{ok, entries};
  };
  std::vector<std::uint8_t> node(0x40, 0);
  put(node, 0, 0x10, 4);     // entries at 0x10
  put(node, 4, 0x40, 4);     // in use up to 0x40
  put(node, 0x18, 0x10, 2);  // entry length 16
  put(node, 0x1C, 0x02, 2);  // the last entry
  EXPECT_EQ(walk(node), (std::pair{true, 1}));
  auto bad = node;
  put(bad, 0x18, 0x38, 2);  // runs past the bytes in use
  EXPECT_EQ(walk(bad), (std::pair{false, 0}));
  bad = node;
  put(bad, 0x1A, 0x40, 2);  // a key longer than its entry
  EXPECT_EQ(walk(bad), (std::pair{false, 0}));
  bad = node;
  put(bad, 4, 0x4000, 4);  // more bytes in use than the node holds
  EXPECT_EQ(walk(bad), (std::pair{false, 0}));
  bad = node;
  put(bad, 0x1C, 0, 2);  // no last entry: the walk ends at the bytes in use
  EXPECT_EQ(walk(bad).first, false);
}

TEST_F(Malformed, DamagedRecordsAreReportedAsCorrupt) {
  auto damaged = image_;
  damaged[record_at(file_) + 510] ^= 0xFF;  // a torn write: the sequence number no longer matches
  const auto v = Volume::load(MemoryReader(damaged));
  ASSERT_TRUE(v.has_value());
  std::vector<std::uint8_t> out(2048), in(8);
  put(in, 0, file_, 8);
  EXPECT_EQ(get_file_record(**v, MemoryReader(damaged), in, out).error().code, win::ERROR_FILE_CORRUPT);
  // Update sequences that do not cover the record, or lie outside it.
  std::vector<std::uint8_t> r(image_.begin() + static_cast<std::ptrdiff_t>(record_at(file_)),
                              image_.begin() + static_cast<std::ptrdiff_t>(record_at(file_) + 1024));
  auto copy = r;
  EXPECT_TRUE(apply_update_sequence(copy, "FILE"));
  copy = r;
  put(copy, 6, 2, 2);
  EXPECT_FALSE(apply_update_sequence(copy, "FILE"));
  copy = r;
  put(copy, 4, 0x3FF, 2);
  EXPECT_FALSE(apply_update_sequence(copy, "FILE"));
  copy = r;
  EXPECT_FALSE(apply_update_sequence(copy, "INDX"));
  // Attribute walks stop at lengths that run past the record.
  copy = r;
  ASSERT_TRUE(apply_update_sequence(copy, "FILE"));
  const std::size_t first = le16(copy, 0x14);
  put(copy, first + 4, 0x7FFFFFF0, 4);
  EXPECT_TRUE(record_attributes(copy).empty());
}

TEST_F(Malformed, AJournalOfGarbageReadsWithoutHangingOrRunningPastItsPages) {
  const auto v = load();
  ASSERT_TRUE(v.has_value());
  ASSERT_TRUE((*v)->journal().has_value());
  const auto& j = (*v)->journal()->j;
  ASSERT_FALSE(j.runs.empty());
  const std::size_t at = static_cast<std::size_t>(j.runs.back().lcn) * 4096;
  auto input = ntfs_test::read_journal_input(0, 9, 2, 4);
  for (std::uint32_t length : {0xFFFFFFF8u, 3u, 4096u + 8, 0u}) {
    auto damaged = image_;
    put(damaged, at, length, 4);
    std::vector<std::uint8_t> out(65536);
    const auto r = read_usn_journal(**Volume::load(MemoryReader(damaged)), MemoryReader(damaged), input, out, 4);
    ASSERT_TRUE(r.has_value()) << length;
    EXPECT_EQ(*r, 8u) << length;  // nothing past the damaged page
  }
}

TEST_F(Malformed, AJournalWhoseSparseRunEndsPastTwoToTheSixtyFourReadsWithoutLooping) {
  // $J starting with a sparse run of 2^52 clusters: its end in bytes (2^64 with 4 KiB clusters)
  // does not fit in 64 bits. The page walk skips sparse runs by their end and must still move on.
  namespace nb = kavel_test::ntfs;
  nb::ImageEdits edits(image_, nb::Options{}, builder_.mft_extents());
  const auto old = edits.record(nb::kUsnJournalRecord);
  ASSERT_TRUE(old.has_value());
  std::vector<std::uint8_t> max(32, 0);
  put(max, 0x10, 9, 8);  // the journal id
  nb::ComposedAttribute j{.type = 0x80, .name = u"$J", .resident = false, .runs = {{-1, std::uint64_t{1} << 52}, {1, 1}},
                          .data_size = 8192, .flags = 0x8000, .allocated_size = 8192};
  const auto record = nb::compose_record({.number = nb::kUsnJournalRecord,
                                          .sequence = le16(*old, 0x10),
                                          .flags = 1,
                                          .attributes = {{.type = 0x80, .name = u"$Max", .value = max}, j}});
  ASSERT_TRUE(record.has_value());
  ASSERT_TRUE(edits.put_record(nb::kUsnJournalRecord, *record));
  const auto v = load();
  ASSERT_TRUE(v.has_value());
  ASSERT_TRUE((*v)->journal().has_value());

  const auto input = ntfs_test::read_journal_input(0, 9, 2, 4);
  auto call = std::async(std::launch::async, [&] {
    std::vector<std::uint8_t> out(65536);
    return read_usn_journal(**v, MemoryReader(image_), input, out, 4);
  });
  if (call.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
    ADD_FAILURE() << "READ_USN_JOURNAL loops over a sparse run whose end overflows";
    std::_Exit(1);  // the call never returns: end the program instead of hanging the suite
  }
  const auto r = call.get();
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(*r, 8u);  // nothing but the next USN

  // The first readable byte lies past the stream's end: FirstUsn is NextUsn, not a wrapped 0.
  std::vector<std::uint8_t> data(80);
  ASSERT_TRUE(query_usn_journal(**v, data, 4).has_value());
  EXPECT_EQ(ntfs_test::le64(data, 8), 8192u);
  EXPECT_EQ(ntfs_test::le64(data, 16), 8192u);
}

}  // namespace
}  // namespace kavel_lib::platform::ntfs_model
