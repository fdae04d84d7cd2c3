#include "engine/windows/raw_mft/record_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "engine/windows/raw_mft/mft_map.h"
#include "engine/windows/raw_mft/mft_test_records.h"
#include "engine/windows/raw_mft/nonresident_data.h"
#include "engine/windows/raw_mft/record_fetch.h"
#include "platform/ntfs_control.h"
#include "support/test_env.h"

namespace kavel_lib::engine::windows {
namespace {

using kavel_test::ScopedEnv;
using kavel_test::TempDir;
using kavel_test::mft::Bytes;
using kavel_test::mft::mapping_pairs;
using kavel_test::mft::put;
using kavel_test::mft::RecordBuilder;
using kavel_test::mft::VolumeImage;

// Stands in for the NTFS driver's control codes: records in use by number, answered as Windows
// does (a free number gets the nearest lower record in use); a reference whose sequence
// number is set and differs from the record's is refused.
struct FakeDriver {
  NtfsVolumeData volume_data;
  std::map<std::uint64_t, Bytes> in_use;
  std::vector<std::uint64_t> requests;
  bool fail_volume_data = false;
  int refuse_next = 0;  // file-record requests to refuse before answering

  ControlCall call() {
    return [this](const platform::Device&, std::uint32_t code, std::span<const std::uint8_t> in,
                  std::span<std::uint8_t> out) -> std::expected<std::size_t, platform::WinError> {
      if (code == platform::ctl::FSCTL_GET_NTFS_VOLUME_DATA) {
        if (fail_volume_data) return std::unexpected(platform::WinError{platform::win::ERROR_INVALID_FUNCTION});
        std::copy(volume_data.bytes.begin(), volume_data.bytes.end(), out.begin());
        return volume_data.bytes.size();
      }
      if (code != platform::ctl::FSCTL_GET_NTFS_FILE_RECORD || in.size() != 8) {
        return std::unexpected(platform::WinError{platform::win::ERROR_INVALID_PARAMETER});
      }
      std::uint64_t ref = 0;
      for (int i = 7; i >= 0; --i) ref = (ref << 8) | in[static_cast<std::size_t>(i)];
      requests.push_back(ref);
      if (refuse_next > 0) {
        --refuse_next;
        return std::unexpected(platform::WinError{platform::win::ERROR_INVALID_PARAMETER});
      }
      auto it = in_use.upper_bound(ref & 0xFFFFFFFFFFFFull);
      if (it == in_use.begin()) return std::unexpected(platform::WinError{platform::win::ERROR_HANDLE_EOF});
      --it;
      const std::uint64_t seq = kavel_test::mft::get(it->second, 0x10, 2);
      if ((ref >> 48) != 0 && (ref >> 48) != seq && it->first == (ref & 0xFFFFFFFFFFFFull)) {
        return std::unexpected(platform::WinError{platform::win::ERROR_INVALID_PARAMETER});
      }
      Bytes reply(12, 0);
      put(reply, 0, it->first | (seq << 48), 8);
      put(reply, 8, it->second.size(), 4);
      reply.insert(reply.end(), it->second.begin(), it->second.end());
      if (reply.size() > out.size()) return std::unexpected(platform::WinError{platform::win::ERROR_INSUFFICIENT_BUFFER});
      std::copy(reply.begin(), reply.end(), out.begin());
      return reply.size();
    };
  }
};

// An 8-record MFT of 1024-byte records on 1024-byte clusters in three runs: records 0-3 at
// cluster 16, 4-5 at cluster 40, 6-7 at cluster 60. Cluster 20, where record 4 would lie if the
// MFT were one extent, holds a stray FILE record.
class FragmentedMft : public ::testing::Test {
 protected:
  static constexpr std::uint64_t kCluster = 1024;

  void SetUp() override {
    VolumeImage image(kCluster, 1024, {{16, 4}, {40, 2}, {60, 2}}, 128);
    RecordBuilder mft = image.mft_record(8);
    mft.resident(0xB0, Bytes{0b01001001});  // records 0, 3, 6 in use
    records_[0] = mft;
    records_[1] = RecordBuilder(1024, 0, 2);
    records_[1].file_name(5, u"one.txt");
    records_[3] = RecordBuilder(1024, 1, 4);
    records_[3].file_name(5, u"three.txt");
    records_[4] = RecordBuilder(1024, 0, 6);
    records_[4].file_name(5, u"four.txt");
    records_[6] = RecordBuilder(1024, 1, 9);
    records_[6].file_name(5, u"six.txt", 1, 4096);
    records_[7] = RecordBuilder(1024, 0, 3);
    records_[7].file_name(5, u"seven.txt");
    for (auto& [n, r] : records_) image.put_record(n, r.on_disk());
    Bytes baad = RecordBuilder(1024, 0, 1).file_name(5, u"bad.txt").on_disk();
    std::memcpy(baad.data(), "BAAD", 4);
    image.put_record(5, baad);
    image.put_at(20 * kCluster, RecordBuilder(1024, 0, 1).file_name(5, u"stray.txt").on_disk());
    path_ = dir_ / "vol.img";
    image.save(path_);
    env_.emplace("KAVEL_DRIVES", "E=" + path_.string());

    driver_.volume_data = NtfsVolumeData::with_fields(kCluster, 1024, 16);
    driver_.in_use[0] = records_[0].fixed();
    driver_.in_use[3] = records_[3].fixed();
    driver_.in_use[6] = records_[6].fixed();
  }

  VolumeHandle open() {
    auto device = platform::Device::open("\\\\.\\E:");
    EXPECT_TRUE(device.has_value());
    return VolumeHandle(std::move(*device), driver_.call());
  }
  VolumeGeometry geometry() const { return record_reader_geometry(driver_.volume_data); }

  TempDir dir_;
  std::filesystem::path path_;
  std::optional<ScopedEnv> env_;
  std::map<std::uint64_t, RecordBuilder> records_;
  FakeDriver driver_;
};

TEST_F(FragmentedMft, RawRecordsFollowTheMftsOwnRuns) {
  VolumeHandle volume = open();
  for (auto& [n, r] : records_) {
    auto got = read_raw_mft_record(volume, geometry(), n);
    ASSERT_TRUE(got) << n;
    EXPECT_EQ(*got, r.fixed()) << "record " << n;
  }
  // Record 4 lies in the second run, not after record 3 where the stray record is.
  auto four = read_raw_mft_record(volume, geometry(), 4);
  ASSERT_TRUE(four);
  EXPECT_EQ(*four, records_[4].fixed());
  // BAAD records are handed out; an empty slot, and numbers at or past the end, are not.
  auto baad = read_raw_mft_record(volume, geometry(), 5);
  ASSERT_TRUE(baad);
  EXPECT_EQ(std::string(baad->begin(), baad->begin() + 4), "BAAD");
  EXPECT_FALSE(read_raw_mft_record(volume, geometry(), 2));
  EXPECT_FALSE(read_raw_mft_record(volume, geometry(), 8));
  EXPECT_FALSE(read_raw_mft_record(volume, geometry(), UINT64_MAX / 2));
}

TEST_F(FragmentedMft, UnusableGeometriesGiveNothing) {
  VolumeHandle volume = open();
  EXPECT_FALSE(read_raw_mft_record(volume, VolumeGeometry{0, 16, 1024}, 1));
  EXPECT_FALSE(read_raw_mft_record(volume, VolumeGeometry{1024, 16, 0}, 1));
  EXPECT_FALSE(read_raw_mft_record(volume, VolumeGeometry{1024, UINT64_MAX / 2, 1024}, 1));
  // A start cluster where no FILE record 0 lies: the MFT cannot be mapped.
  EXPECT_FALSE(read_raw_mft_record(volume, VolumeGeometry{1024, 17, 1024}, 1));
}

TEST_F(FragmentedMft, RunsOfRecordsAreSplitAtRunBoundaries) {
  VolumeHandle volume = open();
  auto all = read_mft_records(volume, geometry(), 0, 8);
  ASSERT_TRUE(all);
  ASSERT_EQ(all->size(), 8u * 1024);
  for (auto& [n, r] : records_) {
    EXPECT_EQ(Bytes(all->begin() + static_cast<std::ptrdiff_t>(n * 1024),
                    all->begin() + static_cast<std::ptrdiff_t>((n + 1) * 1024)),
              r.fixed())
        << n;
  }
  // A chunk that runs past the MFT's end: the records past it are zero slots.
  auto tail = read_mft_records(volume, geometry(), 6, 4);
  ASSERT_TRUE(tail);
  ASSERT_EQ(tail->size(), 4u * 1024);
  EXPECT_EQ(Bytes(tail->begin(), tail->begin() + 1024), records_[6].fixed());
  EXPECT_TRUE(std::all_of(tail->begin() + 2048, tail->end(), [](std::uint8_t b) { return b == 0; }));
  EXPECT_FALSE(read_mft_records(volume, geometry(), 8, 4));
  EXPECT_FALSE(read_mft_records(volume, geometry(), 0, 0));
}

TEST_F(FragmentedMft, FsctlRoadAsksUpToThreeTimes) {
  VolumeHandle volume = open();
  const std::uint64_t right = 3 | (4ull << 48);
  auto direct = get_file_record_via_fsctl(volume, right, 1024);
  ASSERT_TRUE(direct);
  EXPECT_EQ(driver_.requests, (std::vector<std::uint64_t>{right}));

  driver_.requests.clear();
  const std::uint64_t stale = 3 | (2ull << 48);  // refused: the record's sequence is 4
  auto completed = get_file_record_via_fsctl(volume, stale, 1024);
  ASSERT_TRUE(completed);
  EXPECT_EQ(*completed, records_[3].fixed());
  EXPECT_EQ(driver_.requests, (std::vector<std::uint64_t>{stale, 3, right}));

  driver_.requests.clear();
  driver_.refuse_next = 1;  // a bare number is asked for twice before the sequence is added
  ASSERT_TRUE(get_file_record_via_fsctl(volume, 3, 1024));
  EXPECT_EQ(driver_.requests, (std::vector<std::uint64_t>{3, 3, right}));
}

TEST_F(FragmentedMft, RecordZeroThatFailsIsNotAskedForAgain) {
  driver_.in_use.clear();
  VolumeHandle volume = open();
  EXPECT_FALSE(get_file_record_via_fsctl(volume, 0, 1024));
  EXPECT_EQ(driver_.requests.size(), 1u);
}

TEST_F(FragmentedMft, FreeNumbersAreNotAnsweredWithANeighbour) {
  VolumeHandle volume = open();
  // The driver answers 4 with record 3: that is not record 4.
  EXPECT_FALSE(fsctl_get_ntfs_file_record(volume, 4, 1024));
  EXPECT_FALSE(get_file_record_via_fsctl(volume, 4, 1024));
  // get_mft_record then reads the free record itself.
  driver_.in_use[0] = RecordBuilder(records_[0]).fixed();
  auto four = get_mft_record(driver_.volume_data, volume, 4 | (6ull << 48), 1024);
  ASSERT_TRUE(four);
  EXPECT_EQ(*four, records_[4].fixed());
}

TEST_F(FragmentedMft, BitmapDecidesRawOrFileSystemAndIsLoadedOnce) {
  VolumeHandle volume = open();
  auto bitmap = load_mft_in_use_bitmap(volume, 1024);
  ASSERT_TRUE(bitmap);
  EXPECT_EQ(*bitmap, Bytes{0b01001001});
  driver_.requests.clear();
  // Record 7 is free: read raw, no control code for it.
  auto seven = get_mft_record(driver_.volume_data, volume, 7, 1024);
  ASSERT_TRUE(seven);
  EXPECT_EQ(*seven, records_[7].fixed());
  EXPECT_TRUE(driver_.requests.empty());
  // Record 6 is in use: through the file system.
  ASSERT_TRUE(get_mft_record(driver_.volume_data, volume, 6 | (9ull << 48), 1024));
  EXPECT_EQ(driver_.requests, (std::vector<std::uint64_t>{6 | (9ull << 48)}));
}

TEST_F(FragmentedMft, NonResidentBitmapIsReadThroughItsRuns) {
  // Record 0 as real volumes have it: a non-resident $BITMAP, here 10 bytes in cluster 90.
  RecordBuilder mft(1024, 1, 1);
  mft.file_name(5, u"$MFT", 3);
  mft.non_resident(0x80, 8 * 1024, mapping_pairs({{16, 4}, {40, 2}, {60, 2}}));
  mft.non_resident(0xB0, 10, mapping_pairs({{90, 1}}));
  driver_.in_use[0] = mft.fixed();
  {
    std::fstream f(path_, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(90 * kCluster);
    const char bits[10] = {0x49, 0, 0, 0, 0, 0, 0, 0, 0, 0x7};
    f.write(bits, sizeof bits);
  }
  VolumeHandle volume = open();
  auto bitmap = load_mft_in_use_bitmap(volume, 1024);
  ASSERT_TRUE(bitmap);
  ASSERT_EQ(bitmap->size(), 10u);
  EXPECT_EQ((*bitmap)[0], 0x49);
  EXPECT_EQ((*bitmap)[9], 0x07);
  const auto asked = driver_.requests.size();
  EXPECT_EQ(load_mft_in_use_bitmap(volume, 1024), bitmap);
  EXPECT_EQ(driver_.requests.size(), asked);  // kept per volume
}

TEST_F(FragmentedMft, VolumeDataQueryFailureIsAnOtherError) {
  driver_.fail_volume_data = true;
  VolumeHandle volume = open();
  auto data = query_ntfs_volume_data(volume);
  ASSERT_FALSE(data);
  EXPECT_EQ(data.error().kind(), platform::OsErrorKind::Other);
  EXPECT_EQ(data.error().display(), platform::WinError{platform::win::ERROR_INVALID_FUNCTION}.display());
}

TEST_F(FragmentedMft, OpenByLetterUpperCasesAndReportsMissingDrives) {
  auto lower = open_volume_by_letter('e');
  ASSERT_TRUE(lower);
  EXPECT_EQ(lower->device().device_name(), "E:");
  auto missing = open_volume_by_letter('Q');
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind(), platform::OsErrorKind::NotFound);
  EXPECT_FALSE(try_open_volume_by_letter('Q'));
}

TEST_F(FragmentedMft, RecordCacheCountsReadsAndProductiveFetches) {
  VolumeHandle volume = open();
  std::unordered_set<std::uint64_t> parents{5};
  DirNameMap names{{5, {"", 5}}};
  const RecordParseArgs args{.letter = 'E', .folder = "E:\\", .root_frn = 5, .parent_match_frns = parents,
                             .dir_names = names, .hints = nullptr, .fallback_name = std::nullopt,
                             .fallback_enabled = false, .fallback_parent = 0, .absent_path_check = false,
                             .take_in_use = false, .extra_name_flag = false};
  MftRecordCache cache;
  auto first = fetch_and_parse_record(cache, geometry(), volume, 7, args);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->at(0).path, "E:\\seven.txt");
  EXPECT_TRUE(fetch_and_parse_record(cache, geometry(), volume, 7, args));
  EXPECT_EQ(cache.reads, 1u);  // a record read once is never read again
  EXPECT_EQ(cache.productive, 2u);
  EXPECT_FALSE(fetch_and_parse_record(cache, geometry(), volume, 2, args));
  EXPECT_FALSE(fetch_and_parse_record(cache, geometry(), volume, 2, args));
  EXPECT_EQ(cache.reads, 3u);  // a failed read is tried again
  EXPECT_FALSE(cache.records.contains(2));
  EXPECT_FALSE(fetch_and_parse_record(cache, geometry(), volume, 6, args));  // in use: no entry
  EXPECT_EQ(cache.productive, 2u);
  EXPECT_TRUE(read_and_parse_record(driver_.volume_data, volume, 4, args));
  EXPECT_FALSE(read_and_parse_record(driver_.volume_data, volume, 2, args));
}

TEST(RecordSpanningRuns, IsJoinedFromBothRuns) {
  // 512-byte clusters: record 1 (bytes 1024..2047) is cluster 2 of run one and cluster 0 of run two.
  TempDir dir;
  VolumeImage image(512, 1024, {{32, 3}, {100, 5}}, 200);
  image.put_record(0, image.mft_record(4).on_disk());
  RecordBuilder one(1024, 0, 1);
  one.file_name(5, u"split.txt");
  image.put_record(1, one.on_disk());
  image.save(dir / "v.img");
  ScopedEnv env("KAVEL_DRIVES", "E=" + (dir / "v.img").string());
  auto device = platform::Device::open("\\\\.\\E:");
  ASSERT_TRUE(device);
  VolumeHandle volume(std::move(*device), [](auto&&...) -> std::expected<std::size_t, platform::WinError> {
    return std::unexpected(platform::WinError{1});
  });
  auto got = read_raw_mft_record(volume, VolumeGeometry{512, 32, 1024}, 1);
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, one.fixed());
}

TEST(FourKilobyteRecords, AreFixedOverAllEightStrides) {
  TempDir dir;
  VolumeImage image(4096, 4096, {{8, 2}}, 16);
  image.put_record(0, image.mft_record(2).on_disk());
  RecordBuilder big(4096, 0, 1);
  big.file_name(5, u"big.txt").resident(0x80, Bytes(3000, 0x5A));
  image.put_record(1, big.on_disk());
  image.save(dir / "v.img");
  ScopedEnv env("KAVEL_DRIVES", "E=" + (dir / "v.img").string());
  auto device = platform::Device::open("\\\\.\\E:");
  ASSERT_TRUE(device);
  VolumeHandle volume(std::move(*device));
  auto got = read_raw_mft_record(volume, record_reader_geometry(NtfsVolumeData::with_fields(4096, 4096, 8)), 1);
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, big.fixed());
}

TEST(NonResidentData, TailOfTheStreamThroughItsRuns) {
  TempDir dir;
  VolumeImage image(512, 1024, {{32, 4}}, 64);
  image.put_record(0, image.mft_record(2).on_disk());
  Bytes disk = image.bytes();
  // Stream of 2000 bytes: clusters 10-11 (1024 bytes), a sparse cluster, then clusters 40-41.
  for (int i = 0; i < 1024; ++i) disk[10 * 512 + i] = static_cast<std::uint8_t>(i % 251);
  for (int i = 0; i < 1024; ++i) disk[40 * 512 + i] = static_cast<std::uint8_t>(200 + i % 7);
  std::ofstream(dir / "v.img", std::ios::binary).write(reinterpret_cast<const char*>(disk.data()), disk.size());
  ScopedEnv env("KAVEL_DRIVES", "E=" + (dir / "v.img").string());
  auto device = platform::Device::open("\\\\.\\E:");
  ASSERT_TRUE(device);
  VolumeHandle volume(std::move(*device));
  const Bytes record = RecordBuilder(1024, 0, 1).non_resident(0x80, 2000, mapping_pairs({{10, 2}, {-1, 1}, {40, 2}})).fixed();
  const VolumeGeometry g{512, 32, 1024};
  // The last 400 bytes: stream 1600..1999, in the last run from byte 64 of cluster 40.
  auto tail = read_nonresident_data(g, volume, record, 400);
  ASSERT_TRUE(tail);
  ASSERT_EQ(tail->size(), 400u);
  EXPECT_EQ((*tail)[0], 200 + 64 % 7);
  // The last 500 bytes begin in the sparse cluster, which is passed over.
  EXPECT_EQ(read_nonresident_data(g, volume, record, 500)->size(), 464u);
  // Everything: the sparse cluster is passed over, so 2000 - 512 bytes come back.
  auto whole = read_nonresident_data(g, volume, record, UINT64_MAX);
  ASSERT_TRUE(whole);
  EXPECT_EQ(whole->size(), 1024u + 464u);
  EXPECT_EQ((*whole)[5], 5);
  EXPECT_FALSE(read_nonresident_data(VolumeGeometry{0, 32, 1024}, volume, record, 10));
  EXPECT_FALSE(read_nonresident_data(g, volume, RecordBuilder().file_name(5, u"a").fixed(), 10));
  // Only the clusters that overlap the wanted range are read, however long the run: a run of
  // 2^40 clusters holding a 1000-byte stream gives its last 100 bytes at once.
  const Bytes huge = RecordBuilder(1024, 0, 1).non_resident(0x80, 1000, mapping_pairs({{10, 1ull << 40}})).fixed();
  auto last = read_nonresident_data(g, volume, huge, 100);
  ASSERT_TRUE(last);
  ASSERT_EQ(last->size(), 100u);
  EXPECT_EQ((*last)[0], 900 % 251);
  // A run whose byte position overflows gives nothing.
  const Bytes overflow = RecordBuilder(1024, 0, 1).non_resident(0x80, 1000, mapping_pairs({{1ll << 60, 4}})).fixed();
  EXPECT_FALSE(read_nonresident_data(g, volume, overflow, 100));
  // Runs pointing past the device's end fail.
  const Bytes far = RecordBuilder(1024, 0, 1).non_resident(0x80, 1024, mapping_pairs({{100000, 2}})).fixed();
  EXPECT_FALSE(read_nonresident_data(g, volume, far, 10));
  // Read by pieces into a buffer that still holds other bytes, the sparse cluster comes back
  // as zeros and nothing of the old bytes is left.
  const std::vector<DataRun> runs{{0, 10, 2}, {2, -1, 1}, {3, 40, 2}};
  auto pieces = map_stream_range(runs, 512, 0, 2000);
  ASSERT_TRUE(pieces);
  Bytes stream(2000, 0xAB);
  ASSERT_TRUE(read_stream_pieces(volume.device(), *pieces, 0, stream));
  EXPECT_EQ(stream[5], 5);
  EXPECT_TRUE(std::all_of(stream.begin() + 1024, stream.begin() + 1536, [](std::uint8_t b) { return b == 0; }));
  EXPECT_EQ(stream[1536 + 64], 200 + 64 % 7);
}

TEST(RecordCountEstimate, FloorAndScale) {
  EXPECT_EQ(mft_record_count_estimate(std::nullopt), 4194304u);
  EXPECT_EQ(mft_record_count_estimate(64), 4194304u);
  EXPECT_EQ(mft_record_count_estimate(131071), 4194304u);
  EXPECT_EQ(mft_record_count_estimate(131072), 1048576u);
  EXPECT_EQ(mft_record_count_estimate(1000000), 8000000u);
  EXPECT_EQ(mft_record_count_estimate(UINT64_MAX / 4), UINT64_MAX);
}

TEST(SortFrnsByChunk, NearestChunksFirstStable) {
  std::vector<std::uint64_t> frns{0, 4096, 12288, 8192, 16384, 9000};
  sort_frns_by_chunk(frns, 10000, 4096);
  EXPECT_EQ(frns, (std::vector<std::uint64_t>{8192, 9000, 4096, 12288, 0, 16384}));
  // Lists of 21 and more sort the same way as shorter ones.
  std::vector<std::uint64_t> many;
  for (std::uint64_t i = 0; i < 40; ++i) many.push_back((i * 7919) % 40 * 1000);
  auto expected = many;
  std::stable_sort(expected.begin(), expected.end(), [](std::uint64_t a, std::uint64_t b) {
    auto d = [](std::uint64_t x) { return x / 4096 > 2 ? x / 4096 - 2 : 2 - x / 4096; };
    return d(a) < d(b);
  });
  sort_frns_by_chunk(many, 10000, 4096);
  EXPECT_EQ(many, expected);
  std::vector<std::uint64_t> untouched{3, 1, 2};
  sort_frns_by_chunk(untouched, 1, 0);
  EXPECT_EQ(untouched, (std::vector<std::uint64_t>{3, 1, 2}));
}

TEST(BuildFrnHashSet, AddsNumberAndBothReferenceForms) {
  const auto set = build_frn_hash_set({1, 2}, 7, 42 | (3ull << 48));
  EXPECT_EQ(set, (std::unordered_set<std::uint64_t>{1, 2, 7, 42, 42 | (3ull << 48)}));
}

}  // namespace
}  // namespace kavel_lib::engine::windows

namespace kavel_lib::engine::windows {
namespace {

TEST(RecordReaderGeometry, RecordSizeHasA1024Floor) {
  EXPECT_EQ(record_reader_geometry(NtfsVolumeData::with_fields(4096, 512, 786432)),
            (VolumeGeometry{4096, 786432, 1024}));
  EXPECT_EQ(record_reader_geometry(NtfsVolumeData::with_fields(4096, 4096, 4)), (VolumeGeometry{4096, 4, 4096}));
  EXPECT_EQ(record_reader_geometry(NtfsVolumeData{}).record_size, 1024u);
}

}  // namespace
}  // namespace kavel_lib::engine::windows
