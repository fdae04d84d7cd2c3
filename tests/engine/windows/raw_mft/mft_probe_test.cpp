// The debug road's MFT probe on ntfs-small: its range, its count of free records against the
// $MFT stream that icat reads, the index lines of a folder whose root still lists children,
// and one record line for every name in the folder, live or deleted, against the manifest.
#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "engine/windows/raw_mft/mft_probe.h"
#include "support/manifest_scope.h"
#include "support/mapped_volume.h"
#include "support/test_env.h"

namespace kavel_lib::engine::windows {
namespace {

namespace fs = std::filesystem;

class ProbeNtfsSmall : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto missing = kavel_test::real_volumes_missing()) GTEST_SKIP() << *missing;
    image_ = kavel_test::real_volumes_dir() / "ntfs-small.img";
    if (!fs::exists(image_)) GTEST_SKIP() << "missing " << image_;
    mapped_ = std::make_unique<kavel_test::MappedVolume>(image_, 'E');
  }

  // "FRN {} ({}) name={}" of every manifest entry directly in `folder` (sizes left out).
  static std::set<std::string> manifest_children(const std::string& folder) {
    std::set<std::string> out;
    const auto rows = kavel_test::read_manifest(kavel_test::real_volumes_dir() / "manifest-ntfs.tsv");
    if (!rows) return out;
    for (const auto& row : *rows) {
      if (!row.path.starts_with(folder + "/")) continue;
      const std::string name = row.path.substr(folder.size() + 1);
      if (name.find('/') != std::string::npos) continue;
      if (row.note.find("not-seen-by-fls") != std::string::npos) continue;  // its record holds another file now
      const std::string record = row.inode ? std::to_string(*row.inode) : "?";
      out.insert("FRN " + record + " (" + (row.deleted ? "free" : "in_use") + ") name=" + name);
    }
    return out;
  }

  // Record lines with their " size={}" part checked and cut off.
  static std::set<std::string> record_lines(const MftProbeResult& r) {
    static const std::regex size_tail(" size=[0-9]+$");
    std::set<std::string> out;
    for (const auto& line : r.lines) {
      if (!line.starts_with("FRN ")) continue;
      EXPECT_TRUE(std::regex_search(line, size_tail)) << line;
      out.insert(std::regex_replace(line, size_tail, ""));
    }
    return out;
  }

  fs::path image_;
  std::unique_ptr<kavel_test::MappedVolume> mapped_;
};

TEST_F(ProbeNtfsSmall, RangeStartsAtZeroBelowRecord4096) {
  auto r = probe_frn("E:\\docs\\2");
  ASSERT_TRUE(r) << r.error().display();
  EXPECT_EQ(r->dir_frn, 65u);
  EXPECT_EQ(r->dir_ref & 0xFFFFFFFFFFFFull, 65u);
  EXPECT_EQ(r->scan_start, 0u);
  EXPECT_EQ(r->scan_end, 65u + 32768u);
}

TEST_F(ProbeNtfsSmall, FreeRecordsMatchTheMftStream) {
  const auto mft = kavel_test::run_command("icat " + kavel_test::shell_quote(image_.string()) + " 0");
  if (mft.status != 0) GTEST_SKIP() << "icat failed";
  std::uint32_t free_records = 0;
  for (std::size_t off = 0; off + 1024 <= mft.output.size(); off += 1024) {
    if (mft.output.compare(off, 4, "FILE") != 0) continue;
    if ((static_cast<unsigned char>(mft.output[off + 0x16]) & 1) == 0) ++free_records;
  }
  auto r = probe_frn("E:\\docs\\2");
  ASSERT_TRUE(r);
  EXPECT_GT(free_records, 0u);
  EXPECT_EQ(r->free_records, free_records);
}

TEST_F(ProbeNtfsSmall, EveryNameInTheFolderGetsOneRecordLine) {
  auto r = probe_frn("E:\\docs\\2");
  ASSERT_TRUE(r);
  EXPECT_EQ(record_lines(*r), manifest_children("docs/2"));
  EXPECT_EQ(r->lines.size(), record_lines(*r).size());  // its root index lists nothing
  // Lines come in record order.
  EXPECT_TRUE(r->lines.front().starts_with("FRN 66 (in_use) name=sub size="));
}

TEST_F(ProbeNtfsSmall, FolderWhoseRootListsChildrenGivesIndexLinesFirst) {
  auto r = probe_frn("E:\\docs\\2\\sub");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->dir_frn, 66u);
  ASSERT_GE(r->lines.size(), 2u);
  EXPECT_EQ(r->lines[0], "Indexed FRN 87 name=keep.txt");
  EXPECT_EQ(r->lines[1], "Indexed FRN 93 name=live-700.txt");
  EXPECT_EQ(record_lines(*r), manifest_children("docs/2/sub"));
  EXPECT_EQ(r->lines.size(), 2u + record_lines(*r).size());
}

TEST_F(ProbeNtfsSmall, MissingFolderGivesTheLookupError) {
  auto r = probe_frn("E:\\docs\\no-such-folder");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), platform::OsErrorKind::NotFound);
}

TEST(Probe, PathWithoutDriveLetterGivesAnEmptyResult) {
  auto r = probe_frn("\\\\server\\share\\docs");
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->lines.empty());
  EXPECT_EQ(r->dir_frn + r->dir_ref + r->scan_start + r->scan_end + r->free_records, 0u);
}

}  // namespace
}  // namespace kavel_lib::engine::windows
