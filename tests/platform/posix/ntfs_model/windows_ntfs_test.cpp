// The emulated driver on a volume that Windows 10 made (windows-ntfs/ntfs.raw), checked against
// the Sleuth Kit and the extracted $MFT and $J.
#include <algorithm>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "ntfs_test_util.h"
#include "platform/volume_paths.h"
#include "support/test_env.h"
#include "support/windows_testdata.h"

namespace kavel_lib::platform {
namespace {

using namespace ntfs_test;

std::string fmt_hex(std::uint64_t v) {
  char b[32];
  std::snprintf(b, sizeof b, "%016llX", static_cast<unsigned long long>(v));
  return b;
}

class WindowsNtfs : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string why;
    image_ = new std::optional<std::filesystem::path>(kavel_test::windows_ntfs_raw(&why));
    *why_ = why;
  }
  static void TearDownTestSuite() { delete image_; }

  void SetUp() override {
    if (!image_->has_value()) GTEST_SKIP() << *why_;
    const std::string path = (*image_)->string();
    env_.emplace("KAVEL_DRIVES", "PhysicalDrive0=" + path + ";E=" + path + "@1048576");
    auto d = Device::open("\\\\.\\E:");
    ASSERT_TRUE(d.has_value()) << d.error().display();
    device_ = std::move(*d);
  }

  std::string image() const { return (*image_)->string(); }

  // The $MFT as the Sleuth Kit reads it, records with their update sequence undone.
  std::vector<std::vector<std::uint8_t>> tsk_records() const {
    if (auto missing = kavel_test::program_missing("icat")) return {};
    const auto r = kavel_test::run_command("icat -o 2048 " + kavel_test::shell_quote(image()) + " 0");
    std::vector<std::vector<std::uint8_t>> out;
    for (std::size_t o = 0; o + 1024 <= r.output.size(); o += 1024) {
      std::vector<std::uint8_t> rec(r.output.begin() + static_cast<std::ptrdiff_t>(o),
                                    r.output.begin() + static_cast<std::ptrdiff_t>(o + 1024));
      if (std::memcmp(rec.data(), "FILE", 4) == 0) undo_fixups(rec);
      out.push_back(std::move(rec));
    }
    return out;
  }

  std::uint64_t journal_id() {
    const auto q = control(device_, ctl::FSCTL_QUERY_USN_JOURNAL, {}, 64);
    EXPECT_EQ(q.error, 0u);
    return q.error ? 0 : le64(q.out, 0);
  }

  static inline std::optional<std::filesystem::path>* image_ = nullptr;
  static inline std::string why_storage_;
  static inline std::string* why_ = &why_storage_;
  std::optional<kavel_test::ScopedEnv> env_;
  Device device_;
};

TEST_F(WindowsNtfs, VolumeDataAgreesWithFsstat) {
  if (auto m = kavel_test::program_missing("fsstat")) GTEST_SKIP() << *m;
  const auto vd = control(device_, ctl::FSCTL_GET_NTFS_VOLUME_DATA, {}, 96);
  ASSERT_EQ(vd.error, 0u);
  ASSERT_EQ(vd.size, 96u);
  const auto text = kavel_test::run_command("fsstat -o 2048 " + kavel_test::shell_quote(image())).output;
  auto field = [&](const std::string& label) {
    std::smatch m;
    EXPECT_TRUE(std::regex_search(text, m, std::regex(label + ": *([0-9A-Fa-f]+)"))) << label;
    return m.size() > 1 ? m[1].str() : std::string();
  };
  EXPECT_EQ(fmt_hex(le64(vd.out, 0)), field("Volume Serial Number"));
  EXPECT_EQ(le32(vd.out, 40), std::stoul(field("Sector Size")));
  EXPECT_EQ(le32(vd.out, 44), std::stoul(field("Cluster Size")));
  EXPECT_EQ(le32(vd.out, 48), std::stoul(field("Size of MFT Entries")));
  EXPECT_EQ(le64(vd.out, 64), std::stoull(field("First Cluster of MFT")));
  EXPECT_EQ(le64(vd.out, 72), std::stoull(field("First Cluster of MFT Mirror")));
  std::smatch m;
  ASSERT_TRUE(std::regex_search(text, m, std::regex("Total Cluster Range: 0 - ([0-9]+)")));
  EXPECT_EQ(le64(vd.out, 16), std::stoull(m[1].str()) + 1);
  ASSERT_TRUE(std::regex_search(text, m, std::regex("Total Sector Range: 0 - ([0-9]+)")));
  EXPECT_EQ(le64(vd.out, 8), std::stoull(m[1].str()) + 1);
  ASSERT_TRUE(std::regex_search(text, m, std::regex("Range: 0 - ([0-9]+)\n")));
  EXPECT_EQ(le64(vd.out, 56), std::stoull(m[1].str()) * 1024);  // valid data of the MFT
  EXPECT_LT(le64(vd.out, 24), le64(vd.out, 16));                 // free clusters
  EXPECT_GT(le64(vd.out, 24), 0u);
  EXPECT_EQ(le32(vd.out, 52), 0u);  // a record is smaller than a cluster
}

TEST_F(WindowsNtfs, EveryRecordMatchesTheSleuthKitsMftOrItsNearestLowerInUseRecord) {
  const auto records = tsk_records();
  if (records.empty()) GTEST_SKIP() << "icat gave no $MFT";
  ASSERT_EQ(records.size(), 256u);
  std::optional<std::size_t> nearest;
  for (std::size_t n = 0; n < records.size() + 20; ++n) {
    if (n < records.size() && std::memcmp(records[n].data(), "FILE", 4) == 0 && (le16(records[n], 0x16) & 1)) nearest = n;
    ASSERT_TRUE(nearest.has_value());
    // The sequence number of the reference asked for plays no part.
    const std::uint64_t asked = n | (std::uint64_t{0x7777} << 48);
    const auto c = control(device_, ctl::FSCTL_GET_NTFS_FILE_RECORD, file_record_input(asked), 12 + 1024);
    ASSERT_EQ(c.error, 0u) << n;
    ASSERT_EQ(c.size, 12u + 1024);
    const auto& expected = records[*nearest];
    EXPECT_EQ(le64(c.out, 0), *nearest | (std::uint64_t{le16(expected, 0x10)} << 48)) << n;
    EXPECT_EQ(le32(c.out, 8), 1024u);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), c.out.begin() + 12)) << "record " << n;
  }
}

TEST_F(WindowsNtfs, FileRecordRefusesShortBuffersAndInput) {
  EXPECT_EQ(control(device_, ctl::FSCTL_GET_NTFS_FILE_RECORD, file_record_input(5), 12 + 1023).error,
            win::ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(control(device_, ctl::FSCTL_GET_NTFS_FILE_RECORD, {1, 2, 3}, 2048).error, win::ERROR_INVALID_PARAMETER);
}

TEST_F(WindowsNtfs, JournalReadGivesTheExtractedJAsVersion3) {
  if (auto why = kavel_test::test_data_missing({"windows-ntfs/ntfs.raw.UsnJrnl_J.bin"})) GTEST_SKIP() << *why;
  const auto j_bytes = kavel_test::read_file(kavel_test::test_data_dir() / "windows-ntfs/ntfs.raw.UsnJrnl_J.bin");
  const std::vector<std::uint8_t> j(j_bytes.begin(), j_bytes.end());
  const auto stored = usn_records(j, 0);
  ASSERT_EQ(stored.size(), 188u);

  const auto q = control(device_, ctl::FSCTL_QUERY_USN_JOURNAL, {}, 64);
  ASSERT_EQ(q.error, 0u);
  EXPECT_EQ(static_cast<std::int64_t>(le64(q.out, 8)), 0);                                // FirstUsn
  EXPECT_EQ(static_cast<std::int64_t>(le64(q.out, 16)), static_cast<std::int64_t>(j.size()));  // NextUsn
  EXPECT_EQ(le16(q.out, 56), 2);
  EXPECT_EQ(le16(q.out, 58), 4);

  std::vector<UsnSeen> got;
  std::int64_t position = 0;
  for (int calls = 0; calls < 1000; ++calls) {
    const auto c = control(device_, ctl::FSCTL_READ_USN_JOURNAL, read_journal_input(position, le64(q.out, 0), 2, 4), 4096);
    ASSERT_EQ(c.error, 0u);
    ASSERT_GE(c.size, 8u);
    const auto next = static_cast<std::int64_t>(le64(c.out, 0));
    for (auto& r : usn_records(c.out, 8)) got.push_back(r);
    if (c.size == 8) {
      EXPECT_EQ(next, static_cast<std::int64_t>(j.size()));
      break;
    }
    ASSERT_GT(next, position);
    position = next;
  }
  ASSERT_EQ(got.size(), stored.size());
  int deletes = 0;
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].version, 3);
    EXPECT_EQ(got[i].length % 8, 0u);
    EXPECT_EQ(got[i].usn, stored[i].usn);
    EXPECT_EQ(got[i].file, stored[i].file);
    EXPECT_EQ(got[i].parent, stored[i].parent);
    EXPECT_EQ(got[i].reason, stored[i].reason);
    EXPECT_EQ(got[i].name, stored[i].name);
    if (got[i].reason & 0x200) ++deletes;
  }
  EXPECT_EQ(deletes, 5);
}

TEST_F(WindowsNtfs, JournalReadInVersion2KeepsTheStoredRecordsAndHonoursTheStartRules) {
  if (auto why = kavel_test::test_data_missing({"windows-ntfs/ntfs.raw.UsnJrnl_J.bin"})) GTEST_SKIP() << *why;
  const auto j_bytes = kavel_test::read_file(kavel_test::test_data_dir() / "windows-ntfs/ntfs.raw.UsnJrnl_J.bin");
  const std::vector<std::uint8_t> j(j_bytes.begin(), j_bytes.end());
  const auto stored = usn_records(j, 0);
  const std::uint64_t id = journal_id();

  auto c = control(device_, ctl::FSCTL_READ_USN_JOURNAL, read_journal_input(0, id, 2, 2), 1 << 18);
  ASSERT_EQ(c.error, 0u);
  const auto all = usn_records(c.out, 8);
  ASSERT_EQ(all.size(), stored.size());
  EXPECT_EQ(all[0].version, 2);
  EXPECT_EQ(all[0].length, stored[0].length);

  // A start inside a record moves to the next record.
  c = control(device_, ctl::FSCTL_READ_USN_JOURNAL, read_journal_input(stored[3].usn + 8, id, 2, 2), 1 << 18);
  ASSERT_EQ(c.error, 0u);
  EXPECT_EQ(usn_records(c.out, 8).front().usn, stored[4].usn);

  // At NextUsn: eight bytes holding NextUsn.
  c = control(device_, ctl::FSCTL_READ_USN_JOURNAL, read_journal_input(static_cast<std::int64_t>(j.size()), id, 2, 4), 4096);
  ASSERT_EQ(c.error, 0u);
  ASSERT_EQ(c.size, 8u);
  EXPECT_EQ(le64(c.out, 0), j.size());

  // Only whole records: a buffer that takes one record hands out one and points at the next.
  c = control(device_, ctl::FSCTL_READ_USN_JOURNAL, read_journal_input(0, id, 2, 2), 8 + stored[0].length + 4);
  ASSERT_EQ(c.error, 0u);
  EXPECT_EQ(c.size, 8u + stored[0].length);
  EXPECT_EQ(static_cast<std::int64_t>(le64(c.out, 0)), stored[1].usn);
  EXPECT_EQ(control(device_, ctl::FSCTL_READ_USN_JOURNAL, read_journal_input(0, id, 2, 2), 16).error,
            win::ERROR_INSUFFICIENT_BUFFER);

  // The reason mask filters.
  c = control(device_, ctl::FSCTL_READ_USN_JOURNAL, read_journal_input(0, id, 2, 2, 0x200), 1 << 18);
  ASSERT_EQ(c.error, 0u);
  EXPECT_EQ(usn_records(c.out, 8).size(), 5u);
}

TEST_F(WindowsNtfs, JournalReadRefusesWhatItCannotServe) {
  const std::uint64_t id = journal_id();
  EXPECT_EQ(control(device_, ctl::FSCTL_READ_USN_JOURNAL, read_journal_input(0, id, 3, 2), 4096).error,
            win::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(control(device_, ctl::FSCTL_READ_USN_JOURNAL, read_journal_input(0, id, 5, 6), 4096).error,
            win::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(control(device_, ctl::FSCTL_READ_USN_JOURNAL, read_journal_input(0, id + 1, 2, 4), 4096).error,
            win::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(control(device_, ctl::FSCTL_READ_USN_JOURNAL, std::vector<std::uint8_t>(39), 4096).error,
            win::ERROR_INVALID_PARAMETER);

  // The older-Windows switch: versions above 2 are refused, 2..2 still served.
  set_usn_journal_max_version(2);
  const auto refused = control(device_, ctl::FSCTL_READ_USN_JOURNAL, read_journal_input(0, id, 2, 4), 4096);
  const auto served = control(device_, ctl::FSCTL_READ_USN_JOURNAL, read_journal_input(0, id, 2, 2), 4096);
  set_usn_journal_max_version(4);
  EXPECT_EQ(refused.error, win::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(served.error, 0u);
  EXPECT_EQ(usn_records(served.out, 8).front().version, 2);
}

TEST_F(WindowsNtfs, EnumGivesEachInUseFileRecordOnce) {
  const auto records = tsk_records();
  if (records.empty()) GTEST_SKIP() << "icat gave no $MFT";
  std::set<std::uint64_t> expected;
  for (std::size_t n = 0; n < records.size(); ++n) {
    const auto& r = records[n];
    if (std::memcmp(r.data(), "FILE", 4) != 0 || !(le16(r, 0x16) & 1) || le64(r, 0x20) != 0) continue;
    // A base record in use with a $FILE_NAME.
    for (std::size_t a = le16(r, 0x14); a + 8 <= r.size() && le32(r, a) != 0xFFFFFFFF && le32(r, a + 4) >= 24;
         a += le32(r, a + 4)) {
      if (le32(r, a) == 0x30) {
        expected.insert(n);
        break;
      }
    }
  }
  std::multiset<std::uint64_t> got;
  std::uint64_t start = 0;
  int calls = 0;
  for (;; ++calls) {
    ASSERT_LT(calls, 1000);
    const auto c = control(device_, ctl::FSCTL_ENUM_USN_DATA, enum_input(start, 0, INT64_MAX, 2, 3), 2048);
    if (c.error == win::ERROR_HANDLE_EOF) break;
    ASSERT_EQ(c.error, 0u);
    for (const auto& r : usn_records(c.out, 8)) {
      EXPECT_EQ(r.version, 3);
      EXPECT_EQ(r.reason, 0u);
      EXPECT_EQ(r.file >> 48, le16(records[r.file & 0xFFFFFFFFFFFF], 0x10));  // the current sequence number
      got.insert(r.file & 0xFFFFFFFFFFFF);
    }
    ASSERT_GT(le64(c.out, 0), start);
    start = le64(c.out, 0);
  }
  EXPECT_GT(calls, 1);  // the small buffer made it take several calls
  EXPECT_EQ(std::set<std::uint64_t>(got.begin(), got.end()), expected);
  EXPECT_EQ(got.size(), expected.size());
}

TEST_F(WindowsNtfs, PathsResolveToTheRecordsTheSleuthKitNames) {
  if (auto m = kavel_test::program_missing("fls")) GTEST_SKIP() << *m;
  const auto listing = kavel_test::run_command("fls -o 2048 -r -p " + kavel_test::shell_quote(image())).output;
  std::map<std::string, std::uint64_t> by_path;
  std::regex line("^(d/d|r/r) ([0-9]+)-[0-9]+-[0-9]+:\t(.*)$");
  std::istringstream in(listing);
  for (std::string l; std::getline(in, l);) {
    std::smatch m;
    if (std::regex_match(l, m, line) && m[3].str().find(':') == std::string::npos) by_path[m[3].str()] = std::stoull(m[2].str());
  }
  ASSERT_EQ(by_path.at("test_dir"), 50u);
  for (const auto& [path, number] : by_path) {
    std::string windows = "E:\\" + path;
    std::replace(windows.begin(), windows.end(), '/', '\\');
    const auto id = volume_paths::file_id(windows);
    ASSERT_TRUE(id.has_value()) << windows << ": " << id.error().display();
    EXPECT_EQ(le64(id->file_id, 0) & 0xFFFFFFFFFFFF, number) << windows;
    EXPECT_EQ(le64(id->file_id, 8), 0u);
    EXPECT_EQ(id->volume_serial_number, 0xDC2694B5269491DEull);
  }
  EXPECT_TRUE(volume_paths::is_directory("E:\\test_dir"));
  EXPECT_TRUE(volume_paths::is_directory("e:\\TEST_DIR\\"));
  EXPECT_FALSE(volume_paths::is_directory("E:\\test_dir\\file_1.txt"));
  EXPECT_TRUE(volume_paths::exists("E:\\test_dir\\FILE_1.TXT"));
  EXPECT_EQ(*volume_paths::canonicalize("e:\\TEST_DIR\\.\\x\\..\\File_1.TXT"), "\\\\?\\E:\\test_dir\\file_1.txt");
  EXPECT_EQ(*volume_paths::canonicalize("\\\\?\\E:\\Test_Dir"), "\\\\?\\E:\\test_dir");
  EXPECT_EQ(*volume_paths::canonicalize("E:"), "\\\\?\\E:\\");
}

TEST_F(WindowsNtfs, MissingPathsAndDirectoryListings) {
  EXPECT_FALSE(volume_paths::exists("E:\\test_dir\\file_hidden.txt"));  // only in index slack
  EXPECT_EQ(volume_paths::file_id("E:\\test_dir\\nope.txt").error().code, win::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(volume_paths::file_id("E:\\nope\\x.txt").error().code, win::ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(volume_paths::file_id("E:\\test_dir\\file_1.txt\\x").error().code, win::ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(volume_paths::file_id("Q:\\test_dir").error().code, win::ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(volume_paths::file_id("E:\\a*b").error().code, win::ERROR_INVALID_NAME);
  EXPECT_EQ(volume_paths::list_directory("E:\\test_dir\\file_1.txt").error().code, win::ERROR_DIRECTORY);

  const auto children = volume_paths::list_directory("E:\\test_dir");
  ASSERT_TRUE(children.has_value());
  ASSERT_EQ(children->size(), 12u);
  std::vector<std::string> names;
  for (const auto& c : *children) {
    names.push_back(c.name);
    EXPECT_EQ(c.attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
  }
  // Index order: the upper-case collation of NTFS.
  EXPECT_EQ(names[0], "file_1.txt");
  EXPECT_EQ(names[1], "file_10.txt");
  EXPECT_EQ(names[3], "file_2.txt");

  const auto root = volume_paths::list_directory("E:\\");
  ASSERT_TRUE(root.has_value());
  std::set<std::string> root_names;
  for (const auto& c : *root) root_names.insert(c.name);
  EXPECT_TRUE(root_names.count("test_dir"));
  EXPECT_FALSE(root_names.count("$MFT"));  // metadata files are not listed
  EXPECT_FALSE(root_names.count("."));
  for (const auto& c : *root) {
    if (c.name == "test_dir") {
      EXPECT_NE(c.attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    }
  }
}

TEST_F(WindowsNtfs, DiskExtentsComeFromTheDriveTable) {
  auto c = control(device_, ctl::IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, {}, 32);
  ASSERT_EQ(c.error, 0u);
  EXPECT_EQ(le32(c.out, 0), 1u);
  EXPECT_EQ(le32(c.out, 8), 0u);
  EXPECT_EQ(le64(c.out, 16), 1048576u);
  EXPECT_GT(le64(c.out, 24), 0u);
  EXPECT_EQ(le64(c.out, 24) % 512, 0u);
  EXPECT_EQ(control(device_, ctl::IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, {}, 31).error, win::ERROR_INSUFFICIENT_BUFFER);

  auto disk = Device::open("\\\\.\\PhysicalDrive0");
  ASSERT_TRUE(disk.has_value());
  EXPECT_EQ(control(*disk, ctl::IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, {}, 32).error, win::ERROR_INVALID_FUNCTION);
  EXPECT_EQ(control(*disk, ctl::FSCTL_GET_NTFS_VOLUME_DATA, {}, 96).error, win::ERROR_INVALID_FUNCTION);
}

}  // namespace
}  // namespace kavel_lib::platform
