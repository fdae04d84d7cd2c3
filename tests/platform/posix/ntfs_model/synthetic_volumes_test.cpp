// The emulated driver on volumes written by the test builder: deleted entries, short names,
// index blocks freed or kept, record sizes, a fragmented MFT, every journal version and the
// version rules of the journal reads.
#include <algorithm>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "ntfs_test_util.h"
#include "platform/volume_paths.h"
#include "support/ntfs_builder.h"
#include "support/test_env.h"

namespace kavel_lib::platform {
namespace {

using namespace ntfs_test;
using kavel_test::ntfs::DeletedIndexEntry;
using kavel_test::ntfs::Options;
using kavel_test::ntfs::Residency;
using kavel_test::ntfs::UsnJournalSpec;
using kavel_test::ntfs::UsnRecordSpec;
using kavel_test::ntfs::VolumeBuilder;

class Synthetic : public ::testing::Test {
 protected:
  // Writes the volume and maps it as E: (and, for a disk image, as PhysicalDrive1 too).
  void mount(VolumeBuilder& b, std::uint64_t disk_offset = 0) {
    image_ = dir_ / ("v" + std::to_string(++count_) + ".img");
    auto w = b.write(image_);
    ASSERT_TRUE(w.has_value()) << w.error();
    std::string table = "E=" + image_.string();
    if (disk_offset) table = "PhysicalDrive1=" + image_.string() + ";E=" + image_.string() + "@" + std::to_string(disk_offset);
    env_.emplace("KAVEL_DRIVES", table);
    auto d = Device::open("\\\\.\\E:");
    ASSERT_TRUE(d.has_value());
    device_ = std::move(*d);
  }
  Call record(std::uint64_t reference, std::uint32_t size = 4096) {
    return control(device_, ctl::FSCTL_GET_NTFS_FILE_RECORD, file_record_input(reference), 12 + size);
  }
  std::vector<UsnSeen> read_all(std::uint64_t id, std::uint16_t min_v, std::uint16_t max_v) {
    std::vector<UsnSeen> out;
    std::int64_t position = 0;
    for (int i = 0; i < 100; ++i) {
      const auto c = control(device_, ctl::FSCTL_READ_USN_JOURNAL, read_journal_input(position, id, min_v, max_v), 1024);
      EXPECT_EQ(c.error, 0u);
      if (c.error || c.size <= 8) break;
      for (auto& r : usn_records(c.out, 8)) out.push_back(r);
      position = static_cast<std::int64_t>(le64(c.out, 0));
    }
    return out;
  }

  kavel_test::TempDir dir_;
  std::filesystem::path image_;
  int count_ = 0;
  std::optional<kavel_test::ScopedEnv> env_;
  Device device_;
};

TEST_F(Synthetic, DeletedRecordsAreAnsweredByTheirNearestInUseNeighbourAndTheirPathsAreGone) {
  VolumeBuilder b;
  const auto docs = b.add_folder(b.root(), "docs");
  const auto keep = b.add_file(docs, "keep.txt", "k");
  const auto removed = b.add_file(docs, "removed.txt", "r", {.deleted = true, .sequence = 4});
  const auto stale = b.add_file(docs, "stale.txt", "s", {.deleted = true, .index_entry = DeletedIndexEntry::KeptInIndex});
  const auto freed = b.add_file(docs, "freed.txt", "f", {.deleted = true, .index_entry = DeletedIndexEntry::InFreedBlock});
  const auto gone_dir = b.add_folder(docs, "gone", {.deleted = true});
  mount(b);

  for (auto n : {removed, stale, freed, gone_dir}) {
    const auto c = record(n);
    ASSERT_EQ(c.error, 0u);
    EXPECT_EQ(le64(c.out, 0), b.reference(keep)) << n;  // keep.txt is the nearest lower in-use record
  }
  // The reply names the record's own reference whatever sequence number was asked for.
  EXPECT_EQ(le64(record(b.reference(keep) + (std::uint64_t{9} << 48)).out, 0), b.reference(keep));
  // Past the MFT: its last in-use record.
  EXPECT_EQ(le64(record(0xFFFFFFFFFFFF).out, 0), b.reference(keep));

  EXPECT_TRUE(volume_paths::exists("E:\\docs\\keep.txt"));
  EXPECT_FALSE(volume_paths::exists("E:\\docs\\removed.txt"));
  EXPECT_FALSE(volume_paths::exists("E:\\docs\\stale.txt"));  // its entry names a free record
  EXPECT_FALSE(volume_paths::exists("E:\\docs\\freed.txt"));  // its entry lies in a free block
  EXPECT_FALSE(volume_paths::is_directory("E:\\docs\\gone"));
  const auto children = volume_paths::list_directory("E:\\docs");
  ASSERT_TRUE(children.has_value());
  std::set<std::string> names;
  for (const auto& c : *children) names.insert(c.name);
  // The stale entry is still an index entry: a listing shows what the index holds.
  EXPECT_EQ(names, (std::set<std::string>{"keep.txt", "stale.txt"}));
}

TEST_F(Synthetic, ShortNamesResolveToTheLongSpellingAndAreNotListedTwice) {
  VolumeBuilder b;
  const auto dir = b.add_folder(b.root(), "Program Files", {.dos_name = "PROGRA~1"});
  const auto f = b.add_file(dir, "A Long Name.txt", "x", {.dos_name = "ALONGN~1.TXT"});
  b.add_file(dir, "Ünïcødé.TXT", "u");
  mount(b);
  EXPECT_EQ(*volume_paths::canonicalize("e:\\progra~1\\alongn~1.txt"), "\\\\?\\E:\\Program Files\\A Long Name.txt");
  EXPECT_EQ(le64(volume_paths::file_id("E:\\PROGRA~1\\ALONGN~1.TXT")->file_id, 0), b.reference(f));
  EXPECT_EQ(*volume_paths::canonicalize("E:\\program files\\üNÏCØDÉ.txt"), "\\\\?\\E:\\Program Files\\Ünïcødé.TXT");
  const auto children = volume_paths::list_directory("E:\\Program Files");
  ASSERT_TRUE(children.has_value());
  ASSERT_EQ(children->size(), 2u);
  EXPECT_EQ((*children)[0].name, "A Long Name.txt");
  EXPECT_EQ((*children)[0].file_reference, b.reference(f));
}

TEST_F(Synthetic, LargeFoldersAreWalkedThroughEveryLevelOfTheirIndex) {
  VolumeBuilder b({.volume_size = 32u << 20});
  const auto big = b.add_folder(b.root(), "big");
  std::vector<std::string> live;
  for (int i = 0; i < 2000; ++i) {
    const std::string name = "entry with a long enough name " + std::to_string(i) + ".bin";
    const bool deleted = i % 4 == 0;
    b.add_file(big, name, "", {.deleted = deleted, .index_entry = i % 8 == 0 ? DeletedIndexEntry::InFreedBlock : DeletedIndexEntry::Removed});
    if (!deleted) live.push_back(name);
  }
  mount(b);
  const auto children = volume_paths::list_directory("E:\\big");
  ASSERT_TRUE(children.has_value());
  std::vector<std::string> names;
  for (const auto& c : *children) names.push_back(c.name);
  std::vector<std::string> sorted = live;
  // Index order is the upper-case collation; these names differ only in digits and case-free text.
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(names, sorted);
  for (const auto& n : live) ASSERT_TRUE(volume_paths::exists("E:\\big\\" + n)) << n;
}

TEST_F(Synthetic, RecordsAreFoundThroughAFragmentedMftWhateverTheRecordSize) {
  for (auto [size, fragments, resident] : {std::tuple{4096u, 4u, true}, std::tuple{1024u, 6u, false}}) {
    VolumeBuilder b({.record_size = size, .mft_fragments = fragments, .mft_bitmap_resident = resident});
    std::vector<std::uint64_t> files;
    for (int i = 0; i < 120; ++i) files.push_back(b.add_file(b.root(), "f" + std::to_string(i), std::string(i, 'x')));
    mount(b);
    ASSERT_EQ(b.mft_extents().size(), fragments);
    const auto vd = control(device_, ctl::FSCTL_GET_NTFS_VOLUME_DATA, {}, 96);
    ASSERT_EQ(vd.error, 0u);
    EXPECT_EQ(le32(vd.out, 48), size);
    EXPECT_EQ(le64(vd.out, 64), b.mft_extents().front().first);
    // The image's bytes at each record's place in the MFT's extents, update sequence undone.
    const std::string img = kavel_test::read_file(image_);
    for (auto n : files) {
      std::uint64_t offset = n * size, at = 0;
      for (const auto& [lcn, length] : b.mft_extents()) {
        if (offset < length * 4096) {
          at = lcn * 4096 + offset;
          break;
        }
        offset -= length * 4096;
      }
      std::vector<std::uint8_t> expected(img.begin() + static_cast<std::ptrdiff_t>(at),
                                         img.begin() + static_cast<std::ptrdiff_t>(at + size));
      undo_fixups(expected);
      const auto c = record(n, size);
      ASSERT_EQ(c.error, 0u);
      ASSERT_EQ(le64(c.out, 0), b.reference(n));
      ASSERT_TRUE(std::equal(expected.begin(), expected.end(), c.out.begin() + 12)) << n;
    }
  }
}

TEST_F(Synthetic, JournalVersionsAreHandedOutAsTheCallerAccepts) {
  VolumeBuilder b;
  const auto f = b.add_file(b.root(), "f.txt", "x");
  UsnJournalSpec j{.journal_id = 77, .sparse_head = 3 * 65536};
  for (int i = 0; i < 50; ++i) {
    j.records.push_back({.version = 2, .file_reference = b.reference(f), .parent_reference = b.reference(b.root()),
                         .reason = i == 49 ? 0x80000200u : 0x100u, .name = "record " + std::to_string(i) + " with some padding"});
  }
  j.records.push_back({.version = 3, .file_reference = b.reference(f), .reason = 0x2, .name = "stored v3"});
  j.records.push_back({.version = 3, .file_reference = 5, .file_reference_high = 1, .reason = 0x2, .name = "wide id"});
  j.records.push_back({.version = 4, .file_reference = b.reference(f), .reason = 0x80000001, .extents = {{0, 4096}}});
  b.set_usn_journal(j);
  mount(b);

  const auto q = control(device_, ctl::FSCTL_QUERY_USN_JOURNAL, {}, 80);
  ASSERT_EQ(q.error, 0u);
  EXPECT_EQ(q.size, 80u);
  EXPECT_EQ(le64(q.out, 0), 77u);
  EXPECT_EQ(le64(q.out, 8), 3u * 65536);                    // FirstUsn: the first byte that is not sparse
  EXPECT_EQ(static_cast<std::int64_t>(le64(q.out, 16)), b.usns().back() + 80);  // NextUsn
  EXPECT_EQ(control(device_, ctl::FSCTL_QUERY_USN_JOURNAL, {}, 55).error, win::ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(control(device_, ctl::FSCTL_QUERY_USN_JOURNAL, {}, 60).size, 56u);

  auto versions = [](const std::vector<UsnSeen>& rs) {
    std::vector<std::uint16_t> v;
    for (const auto& r : rs) v.push_back(r.version);
    return v;
  };
  const auto v4 = read_all(77, 2, 4);
  ASSERT_EQ(v4.size(), 53u);  // every record, across pages, in order
  for (std::size_t i = 0; i < v4.size(); ++i) EXPECT_EQ(v4[i].usn, b.usns()[i]);
  const auto seen = versions(v4);
  EXPECT_EQ(seen.back(), 4);
  EXPECT_EQ(std::count(seen.begin(), seen.end(), 3), 52);

  const auto v3 = read_all(77, 2, 3);
  EXPECT_EQ(v3.size(), 52u);  // no V4 record below version 4
  EXPECT_EQ(v3[50].name, u"stored v3");
  const auto v2 = read_all(77, 2, 2);
  EXPECT_EQ(v2.size(), 51u);  // the 128-bit id does not fit a V2 record
  EXPECT_EQ(v2[50].version, 2);
  EXPECT_EQ(v2[50].name, u"stored v3");
  const auto only4 = read_all(77, 4, 4);
  ASSERT_EQ(only4.size(), 1u);
  EXPECT_EQ(only4[0].version, 4);

  // Start rules: 0 reads from FirstUsn; below FirstUsn the entry is gone; past NextUsn 8 bytes.
  auto c = control(device_, ctl::FSCTL_READ_USN_JOURNAL, read_journal_input(0, 77, 2, 4), 1024);
  EXPECT_EQ(usn_records(c.out, 8).front().usn, 3 * 65536);
  EXPECT_EQ(control(device_, ctl::FSCTL_READ_USN_JOURNAL, read_journal_input(4096, 77, 2, 4), 1024).error,
            win::ERROR_JOURNAL_ENTRY_DELETED);
  c = control(device_, ctl::FSCTL_READ_USN_JOURNAL, read_journal_input(1 << 30, 77, 2, 4), 1024);
  ASSERT_EQ(c.size, 8u);
  EXPECT_EQ(static_cast<std::int64_t>(le64(c.out, 0)), b.usns().back() + 80);
  // Only on close.
  auto in = read_journal_input(0, 77, 2, 4);
  in[12] = 1;
  c = control(device_, ctl::FSCTL_READ_USN_JOURNAL, in, 1 << 16);
  EXPECT_EQ(usn_records(c.out, 8).size(), 2u);
}

TEST_F(Synthetic, TheOlderWindowsSwitchComesFromTheEnvironmentToo) {
  VolumeBuilder b;
  b.set_usn_journal({.journal_id = 5, .records = {{.version = 2, .reason = 1, .name = "x"}}});
  mount(b);
  kavel_test::ScopedEnv old("KAVEL_NTFS_USN_MAX_VERSION", "2");
  EXPECT_EQ(control(device_, ctl::FSCTL_READ_USN_JOURNAL, read_journal_input(0, 5, 2, 4), 1024).error,
            win::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(control(device_, ctl::FSCTL_READ_USN_JOURNAL, read_journal_input(0, 5, 2, 2), 1024).error, 0u);
}

TEST_F(Synthetic, WithoutAJournalQueryAndReadSay1179AndEnumerationStillWorks) {
  VolumeBuilder b;
  const auto a = b.add_file(b.root(), "a", "x", {.usn = 0});
  const auto c = b.add_file(b.root(), "c", "x", {.usn = 5000});
  b.add_file(b.root(), "deleted", "x", {.deleted = true});
  mount(b);
  EXPECT_EQ(control(device_, ctl::FSCTL_QUERY_USN_JOURNAL, {}, 64).error, win::ERROR_JOURNAL_NOT_ACTIVE);
  EXPECT_EQ(control(device_, ctl::FSCTL_READ_USN_JOURNAL, read_journal_input(0, 1, 2, 4), 64).error,
            win::ERROR_JOURNAL_NOT_ACTIVE);

  auto numbers = [&](std::int64_t low, std::int64_t high, std::uint16_t max_v) {
    std::vector<std::uint64_t> out;
    const auto e = control(device_, ctl::FSCTL_ENUM_USN_DATA, enum_input(a, low, high, 2, max_v), 1 << 16);
    EXPECT_EQ(e.error, 0u);
    for (const auto& r : usn_records(e.out, 8)) {
      EXPECT_EQ(r.version, max_v >= 3 ? 3 : 2);
      out.push_back(r.file);
    }
    return out;
  };
  EXPECT_EQ(numbers(0, INT64_MAX, 2), (std::vector<std::uint64_t>{b.reference(a), b.reference(c)}));
  EXPECT_EQ(numbers(0, 0, 4), (std::vector<std::uint64_t>{b.reference(a)}));  // never journalled only
  EXPECT_EQ(numbers(1, 10000, 3), (std::vector<std::uint64_t>{b.reference(c)}));
  EXPECT_EQ(control(device_, ctl::FSCTL_ENUM_USN_DATA, enum_input(c + 1, 0, INT64_MAX, 2, 3), 4096).error,
            win::ERROR_HANDLE_EOF);
  EXPECT_EQ(control(device_, ctl::FSCTL_ENUM_USN_DATA, enum_input(0, 0, INT64_MAX, 4, 4), 4096).error,
            win::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(control(device_, ctl::FSCTL_ENUM_USN_DATA, std::vector<std::uint8_t>(23), 4096).error,
            win::ERROR_INVALID_PARAMETER);
  // A V0 input (24 bytes) is served in version 2.
  auto v0_input = enum_input(a, 0, INT64_MAX, 0, 0);
  v0_input.resize(24);
  const auto v0 = control(device_, ctl::FSCTL_ENUM_USN_DATA, v0_input, 4096);
  ASSERT_EQ(v0.error, 0u);
  EXPECT_EQ(usn_records(v0.out, 8).front().version, 2);
}

TEST_F(Synthetic, ReparsePointsAreListedWithTheirTagAndLinksAreNotDirectories) {
  VolumeBuilder b;
  b.add_folder(b.root(), "junction", {.reparse_tag = 0xA0000003});
  b.add_folder(b.root(), "dedup", {.reparse_tag = 0x80000013});
  mount(b);
  EXPECT_FALSE(volume_paths::is_directory("E:\\junction"));
  EXPECT_TRUE(volume_paths::is_directory("E:\\dedup"));
  const auto children = volume_paths::list_directory("E:\\");
  ASSERT_TRUE(children.has_value());
  for (const auto& c : *children) {
    EXPECT_NE(c.attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_NE(c.attributes & FILE_ATTRIBUTE_REPARSE_POINT, 0u);
    EXPECT_EQ(c.reparse_tag, c.name == "junction" ? 0xA0000003u : 0x80000013u);
  }
}

TEST_F(Synthetic, DiskExtentsOfAVolumeInsideADiskImage) {
  VolumeBuilder b({.disk_offset = 2 << 20});
  mount(b, 2 << 20);
  const auto c = control(device_, ctl::IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, {}, 64);
  ASSERT_EQ(c.error, 0u);
  EXPECT_EQ(c.size, 32u);
  EXPECT_EQ(le32(c.out, 0), 1u);
  EXPECT_EQ(le32(c.out, 8), 1u);               // PhysicalDrive1
  EXPECT_EQ(le64(c.out, 16), 2u << 20);        // where the volume starts
  EXPECT_EQ(le64(c.out, 24), 16u << 20);       // the partition's length in the MBR
  // A volume that no mapped disk holds has no extents to give.
  kavel_test::ScopedEnv alone("KAVEL_DRIVES", "E=" + image_.string() + "@" + std::to_string(2 << 20));
  auto e = Device::open("\\\\.\\E:");
  ASSERT_TRUE(e.has_value());
  EXPECT_EQ(control(*e, ctl::IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, {}, 32).error, win::ERROR_INVALID_FUNCTION);
}

TEST_F(Synthetic, ARebuiltImageIsReadAfresh) {
  VolumeBuilder first;
  first.add_file(first.root(), "first.txt", "1");
  mount(first);
  EXPECT_TRUE(volume_paths::exists("E:\\first.txt"));
  VolumeBuilder second;
  second.add_file(second.root(), "second.txt", "2");
  ASSERT_TRUE(second.write(image_).has_value());  // the same path, new bytes
  EXPECT_FALSE(volume_paths::exists("E:\\first.txt"));
  EXPECT_TRUE(volume_paths::exists("E:\\second.txt"));
}

TEST(SyntheticUnmapped, PathsOnVolumesThatAreNotNtfs) {
  kavel_test::TempDir dir;
  kavel_test::write_file(dir / "zero.img", std::string(1 << 20, '\0'));
  kavel_test::ScopedEnv env("KAVEL_DRIVES", "F=" + (dir / "zero.img").string());
  EXPECT_EQ(volume_paths::file_id("F:\\x").error().code, win::ERROR_UNRECOGNIZED_VOLUME);
  auto d = Device::open("\\\\.\\F:");
  ASSERT_TRUE(d.has_value());
  EXPECT_EQ(control(*d, ctl::FSCTL_GET_NTFS_VOLUME_DATA, {}, 96).error, win::ERROR_INVALID_FUNCTION);
  EXPECT_EQ(control(*d, 0x12345678, {}, 96).error, win::ERROR_INVALID_FUNCTION);
}

}  // namespace
}  // namespace kavel_lib::platform

namespace kavel_lib::platform {
namespace {

using namespace ntfs_test;

// The records of a stored $J stream (usnjrnlj.bin) as builder descriptions, with their USNs.
std::vector<std::pair<std::int64_t, UsnRecordSpec>> stored_journal(const std::string& bytes) {
  const std::vector<std::uint8_t> d(bytes.begin(), bytes.end());
  std::vector<std::pair<std::int64_t, UsnRecordSpec>> out;
  for (std::size_t o = 0; o + 8 <= d.size();) {
    const std::uint32_t length = le32(d, o);
    if (length == 0) {
      o = (o / 4096 + 1) * 4096;
      continue;
    }
    UsnRecordSpec r;
    r.version = le16(d, o + 4);
    r.file_reference = le64(d, o + 8);
    if (r.version == 2) {
      r.parent_reference = le64(d, o + 16);
      r.time_stamp = static_cast<std::int64_t>(le64(d, o + 32));
      r.reason = le32(d, o + 40);
      r.source_info = le32(d, o + 44);
      r.security_id = le32(d, o + 48);
      r.attributes = le32(d, o + 52);
      std::u16string name;
      for (std::size_t i = 0; i < le16(d, o + 56); i += 2) name += static_cast<char16_t>(le16(d, o + le16(d, o + 58) + i));
      std::string utf8;
      for (char16_t c : name) utf8 += static_cast<char>(c);  // the journal's names are ASCII
      r.name = utf8;
    } else {
      r.file_reference_high = le64(d, o + 16);
      r.parent_reference = le64(d, o + 24);
      r.parent_reference_high = le64(d, o + 32);
      r.reason = le32(d, o + 48);
      r.source_info = le32(d, o + 52);
      for (std::size_t i = 0; i < le16(d, o + 60); ++i) {
        r.extents.emplace_back(static_cast<std::int64_t>(le64(d, o + 64 + 16 * i)), static_cast<std::int64_t>(le64(d, o + 72 + 16 * i)));
      }
    }
    out.emplace_back(static_cast<std::int64_t>(o), std::move(r));
    o += length;
  }
  return out;
}

struct FsutilRecord {
  std::int64_t usn = 0;
  std::string name{}, file_id{}, parent_id{};
  std::uint32_t reason = 0, version = 0, length = 0;
};

std::vector<FsutilRecord> fsutil_records(const std::string& text) {
  std::vector<FsutilRecord> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto colon = line.find(" : ");
    if (colon == std::string::npos) continue;
    std::string key = line.substr(0, colon);
    while (!key.empty() && key.back() == ' ') key.pop_back();
    const std::string value = line.substr(colon + 3);
    if (key == "Usn") out.push_back({.usn = std::stoll(value)});
    if (out.empty()) continue;
    if (key == "File name") out.back().name = value;
    if (key == "File ID") out.back().file_id = value;
    if (key == "Parent file ID") out.back().parent_id = value;
    if (key == "Reason") out.back().reason = static_cast<std::uint32_t>(std::stoul(value.substr(0, 10), nullptr, 16));
    if (key == "Major version") out.back().version = static_cast<std::uint32_t>(std::stoul(value));
    if (key == "Record length") out.back().length = static_cast<std::uint32_t>(std::stoul(value));
  }
  return out;
}

std::string id128(std::uint64_t high, std::uint64_t low) {
  char b[40];
  std::snprintf(b, sizeof b, "%016llx%016llx", static_cast<unsigned long long>(high), static_cast<unsigned long long>(low));
  return b;
}

TEST_F(Synthetic, AJournalWindowsWroteReadsBackAsFsutilShowedIt) {
  const auto dir = kavel_test::test_data_dir() / "windows-journal";
  if (auto why = kavel_test::test_data_missing({"windows-journal/usnjrnlj.bin", "windows-journal/usnjrnlj.fsutil.txt"})) {
    GTEST_SKIP() << *why;
  }
  const auto stored = stored_journal(kavel_test::read_file(dir / "usnjrnlj.bin"));
  ASSERT_EQ(stored.size(), 271u);
  VolumeBuilder b;
  UsnJournalSpec j{.journal_id = 0x01d4b29a6f9cc0e9};
  for (const auto& [usn, r] : stored) j.records.push_back(r);
  b.set_usn_journal(j);
  mount(b);
  for (std::size_t i = 0; i < stored.size(); ++i) ASSERT_EQ(b.usns()[i], stored[i].first);  // the same packing

  std::vector<UsnSeen> got;
  std::int64_t position = 0;
  for (int calls = 0; calls < 100; ++calls) {
    const auto c = control(device_, ctl::FSCTL_READ_USN_JOURNAL, read_journal_input(position, j.journal_id, 2, 4), 4096);
    ASSERT_EQ(c.error, 0u);
    if (c.size <= 8) break;
    for (auto& r : usn_records(c.out, 8)) got.push_back(r);
    position = static_cast<std::int64_t>(le64(c.out, 0));
  }
  const auto expected = fsutil_records(kavel_test::read_file(dir / "usnjrnlj.fsutil.txt"));
  ASSERT_EQ(expected.size(), 268u);
  ASSERT_EQ(got.size(), 271u);
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const auto& e = expected[i];
    const auto& g = got[i];
    const auto& s = stored[i].second;
    EXPECT_EQ(g.usn, e.usn) << i;
    EXPECT_EQ(g.version, e.version) << i;
    EXPECT_EQ(g.length, e.length) << i;
    EXPECT_EQ(g.reason, e.reason) << i;
    EXPECT_EQ(id128(s.file_reference_high, g.file), e.file_id) << i;
    EXPECT_EQ(id128(s.parent_reference_high, g.parent), e.parent_id) << i;
    std::string name;
    for (char16_t c : g.name) name += static_cast<char>(c);
    EXPECT_EQ(name, e.name) << i;
  }
}

}  // namespace
}  // namespace kavel_lib::platform
