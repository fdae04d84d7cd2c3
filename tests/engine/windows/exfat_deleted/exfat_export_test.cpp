#include "engine/windows/exfat_deleted/exfat_export.h"

#include <filesystem>

#include <gtest/gtest.h>

#include "exfat_test_volume.h"
#include "support/fat_builder.h"

namespace kavel_lib::engine::windows::exfat_deleted {
namespace {

using kavel_test::ExfatBuilder;
using kavel_test::MappedVolume;
using kavel_test::pattern_bytes;
using platform::OsErrorKind;

std::string as_text(const std::vector<std::uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

constexpr std::string_view kNotFound = "Data clusters of the deleted file have been overwritten or cannot be located";

// 4 KiB clusters 2 .. 1001; the allocation bitmap in cluster 2, the root directory in 4.
class ExfatExport : public ::testing::Test {
 protected:
  ExfatExport() { b_.add_allocation_bitmap(2); }
  ExfatBuilder b_{{}};
  kavel_test::TempDir out_;
};

TEST_F(ExfatExport, ContiguousFileWithItsName) {
  const std::string text(9000, 'q');
  b_.write_file({20, 21, 22}, text_bytes(text), false);
  MappedVolume volume(b_.image(), 'X');
  const auto dest = out_ / "sub" / "q.txt";
  auto done = export_exfat('x', 20, 0, text.size(), true, "q.txt", dest);
  ASSERT_TRUE(done) << done.error().display();
  EXPECT_EQ(kavel_test::read_file(dest), text);
}

TEST_F(ExfatExport, SizeZeroWritesAnEmptyFileWithoutReading) {
  MappedVolume volume(b_.image(), 'X');
  const auto dest = out_ / "empty";
  ASSERT_TRUE(export_exfat('X', 0xFFFFFFFF, 0, 0, false, std::nullopt, dest));
  ASSERT_TRUE(std::filesystem::exists(dest));
  EXPECT_EQ(std::filesystem::file_size(dest), 0u);
}

TEST_F(ExfatExport, ChainedStartOutsideTheVolumeCreatesNoFile) {
  MappedVolume volume(b_.image(), 'X');
  const auto dest = out_ / "none";
  auto done = export_exfat('X', 5000, 0, 100, false, std::nullopt, dest);
  ASSERT_FALSE(done);
  EXPECT_EQ(done.error().kind(), OsErrorKind::InvalidInput);
  EXPECT_EQ(done.error().display(), "cluster 5000 out of range");
  EXPECT_FALSE(std::filesystem::exists(dest));
}

TEST_F(ExfatExport, AllZeroDataIsNotFoundAndWritesNothing) {
  MappedVolume volume(b_.image(), 'X');
  const auto dest = out_ / "zero";
  for (const bool contiguous : {true, false}) {
    auto done = export_exfat('X', 30, 0, 5000, contiguous, std::nullopt, dest);
    ASSERT_FALSE(done);
    EXPECT_EQ(done.error().kind(), OsErrorKind::NotFound);
    EXPECT_EQ(done.error().display(), kNotFound);
    EXPECT_FALSE(std::filesystem::exists(dest));
  }
}

TEST_F(ExfatExport, OnlyAZeroedStartIsSoughtNearbyAndOnlyInFreeClusters) {
  const std::string text = "meeting notes\nnext week\n";
  b_.write_cluster(43, text_bytes(text));
  b_.write_cluster(50, pattern_bytes(4096, 1));  // binary where a text file should start
  b_.write_cluster(61, text_bytes(text));
  b_.set_allocated(61);  // another file's text
  MappedVolume volume(b_.image(), 'X');
  const auto dest = out_ / "notes.txt";
  // Cluster 40 holds only zeros: the free cluster 43 is taken, read from offset 0 with the
  // request's contiguous flag.
  ASSERT_TRUE(export_exfat('X', 40, 17, text.size(), true, "notes.txt", dest));
  EXPECT_EQ(kavel_test::read_file(dest), text);
  // Data in the start cluster is the file's, fitting or not.
  ASSERT_TRUE(export_exfat('X', 50, 0, text.size(), true, "notes.txt", dest));
  EXPECT_EQ(kavel_test::read_file(dest), as_text(pattern_bytes(4096, 1)).substr(0, text.size()));
}

TEST_F(ExfatExport, NoCandidateInUseIsTakenAndAStartPastTheHeapIsThenNotFound) {
  const std::string text = "meeting notes\nnext week\n";
  b_.write_cluster(43, text_bytes(text));
  b_.set_allocated(43);
  MappedVolume volume(b_.image(), 'X');
  const auto dest = out_ / "notes.txt";
  for (const std::uint32_t start : {40u, 0xFFFFFFFFu}) {
    auto done = export_exfat('X', start, 0, text.size(), true, "notes.txt", dest);
    ASSERT_FALSE(done) << start;
    EXPECT_EQ(done.error().kind(), OsErrorKind::NotFound);
    EXPECT_EQ(done.error().display(), kNotFound);
    EXPECT_FALSE(std::filesystem::exists(dest));
  }
}

// A cluster the allocation bitmap marks in use holds a file that is there now: an export that
// would read one is NotFound and writes nothing, whether the cluster is the start, the next
// one of a relocation candidate's contiguous read, or one a stale FAT chain leads to.
TEST_F(ExfatExport, ClustersInUseAreNeverExported) {
  const std::string live_text = "a live file's text\n";
  b_.write_cluster(40, text_bytes(live_text));
  b_.set_allocated(40);  // a live file took the deleted file's first cluster
  // A candidate whose first cluster is free but whose second a live file holds, then a free one.
  std::string notes;
  while (notes.size() < 4096 + 300) notes += "meeting notes, next week\n";
  b_.write_file({60, 61}, text_bytes(notes), false);
  b_.set_allocated(61);
  b_.write_file({70, 71}, text_bytes(notes), false);
  // A deleted chained file whose last cluster a live file took; the FAT still links it.
  const auto chained = pattern_bytes(3 * 4096, 6);
  b_.write_file({80, 81, 82}, chained, true);
  b_.set_allocated(82);
  MappedVolume volume(b_.image(), 'X');
  const auto dest = out_ / "out";

  const auto refused = [&](std::uint32_t start, std::uint64_t size, bool contiguous,
                           std::optional<std::string_view> name) {
    auto done = export_exfat('X', start, 0, size, contiguous, name, dest);
    ASSERT_FALSE(done) << start;
    EXPECT_EQ(done.error().kind(), OsErrorKind::NotFound);
    EXPECT_EQ(done.error().display(), kNotFound);
    EXPECT_FALSE(std::filesystem::exists(dest));
  };
  // The first cluster in use: refused and not relocated, whatever the name and the flag (a
  // one-byte file whose start a live text file took does not come back as that text's first
  // byte).
  for (const bool contiguous : {true, false}) {
    refused(40, 1, contiguous, "deleted.bin");
    refused(40, live_text.size(), contiguous, "notes.txt");
    refused(40, live_text.size(), contiguous, std::nullopt);
  }
  // The free candidate 60 would read into 61: the search goes on to 70.
  ASSERT_TRUE(export_exfat('X', 50, 0, notes.size(), true, "notes.txt", dest));
  EXPECT_EQ(kavel_test::read_file(dest), notes);
  std::filesystem::remove(dest);
  // The stale chain 80 -> 81 -> 82 reaches the live 82 only when the size needs it.
  refused(80, chained.size(), false, std::nullopt);
  ASSERT_TRUE(export_exfat('X', 80, 0, 2 * 4096, false, std::nullopt, dest));
  EXPECT_EQ(kavel_test::read_file(dest), as_text(chained).substr(0, 2 * 4096));
}

TEST_F(ExfatExport, UnfittingDataIsStillWrittenWhenNothingBetterIsFound) {
  const auto binary = pattern_bytes(4096, 2);
  b_.write_cluster(40, binary);
  MappedVolume volume(b_.image(), 'X');
  const auto dest = out_ / "notes.txt";
  ASSERT_TRUE(export_exfat('X', 40, 0, 1000, true, "notes.txt", dest));
  EXPECT_EQ(kavel_test::read_file(dest), as_text(binary).substr(0, 1000));
}

TEST_F(ExfatExport, WithoutANameTheStartsDataIsKept) {
  const auto binary = pattern_bytes(4096, 3);
  b_.write_cluster(40, binary);
  b_.write_cluster(41, text_bytes("some text"));
  MappedVolume volume(b_.image(), 'X');
  const auto dest = out_ / "kept";
  ASSERT_TRUE(export_exfat('X', 40, 96, 500, true, std::nullopt, dest));
  EXPECT_EQ(kavel_test::read_file(dest), as_text(binary).substr(96, 500));
}

TEST_F(ExfatExport, ZeroedChainGivesTheFirstCluster) {
  const auto contents = pattern_bytes(3 * 4096, 4);
  b_.write_file({50, 51, 52}, contents, true);
  for (const std::uint32_t c : {50u, 51u, 52u}) b_.set_entry(c, 0);
  MappedVolume volume(b_.image(), 'X');
  const auto dest = out_ / "first";
  ASSERT_TRUE(export_exfat('X', 50, 0, contents.size(), false, std::nullopt, dest));
  EXPECT_EQ(kavel_test::read_file(dest), as_text(contents).substr(0, 4096));
}

TEST_F(ExfatExport, NeverWritesThroughALink) {
  b_.write_cluster(40, pattern_bytes(4096, 5));
  MappedVolume volume(b_.image(), 'X');
  kavel_test::write_file(out_ / "target", "keep");
  std::filesystem::create_symlink(out_ / "target", out_ / "link");
  EXPECT_FALSE(export_exfat('X', 40, 0, 100, true, std::nullopt, out_ / "link"));
  EXPECT_EQ(kavel_test::read_file(out_ / "target"), "keep");
}

TEST_F(ExfatExport, OtherVolumesAreRefused) {
  kavel_test::FatBuilder fat({});
  MappedVolume volume(fat.image(), 'X');
  auto done = export_exfat_file("\\\\.\\X:", 40, 0, 100, true, std::nullopt, out_ / "x");
  ASSERT_FALSE(done);
  EXPECT_EQ(done.error().display(), "not an exFAT volume");
  EXPECT_FALSE(std::filesystem::exists(out_ / "x"));
}

}  // namespace
}  // namespace kavel_lib::engine::windows::exfat_deleted
