// Exports the files of the real exFAT test volume (made by mkfs.exfat and exfat-fuse), taking
// the no-FAT-chain flag from each file's Stream Extension directory entry: the deleted ones
// match the manifest, and no export gives a live file's bytes.
#include <fstream>
#include <map>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "engine/windows/exfat_deleted/exfat_export.h"
#include "support/mapped_volume.h"
#include "support/manifest_scope.h"
#include "support/test_env.h"

namespace kavel_lib::engine::windows::exfat_deleted {
namespace {

// The deleted regular files of a manifest; empty when it cannot be read.
std::vector<kavel_test::ManifestRow> deleted_files(const std::filesystem::path& manifest) {
  std::vector<kavel_test::ManifestRow> out;
  for (auto& row : kavel_test::read_manifest(manifest).value_or(std::vector<kavel_test::ManifestRow>{})) {
    if (row.type == "f" && row.deleted) out.push_back(std::move(row));
  }
  return out;
}

std::uint32_t le32(const std::string& b, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<std::uint8_t>(b[at + i]);
  return v;
}

std::uint64_t le64(const std::string& b, std::size_t at) {
  return le32(b, at) | (std::uint64_t{le32(b, at + 4)} << 32);
}

// Flags of the Stream Extension entries (type 0x40 right after a deleted File entry 0x05, or
// with `live` 0xC0 right after a File entry 0x85), keyed by first cluster and data length.
// Bit 1 is NoFatChain.
std::map<std::pair<std::uint32_t, std::uint64_t>, std::uint8_t> stream_flags(const std::string& image,
                                                                             bool live = false) {
  const std::uint8_t stream = live ? 0xC0 : 0x40, file = live ? 0x85 : 0x05;
  std::map<std::pair<std::uint32_t, std::uint64_t>, std::uint8_t> flags;
  for (std::size_t at = 32; at + 32 <= image.size(); at += 32) {
    if (static_cast<std::uint8_t>(image[at]) != stream || static_cast<std::uint8_t>(image[at - 32]) != file) continue;
    const std::uint64_t length = le64(image, at + 24);
    if (le64(image, at + 8) != length) continue;  // valid data length equals data length
    flags[{le32(image, at + 20), length}] = static_cast<std::uint8_t>(image[at + 1]);
  }
  return flags;
}

TEST(ExfatRealVolume, DeletedFilesMatchTheManifest) {
  if (auto why = kavel_test::real_volumes_missing()) GTEST_SKIP() << *why;
  const auto dir = kavel_test::real_volumes_dir();
  const auto image_path = dir / "exfat.img";
  const std::string image = kavel_test::read_file(image_path);
  const auto flags = stream_flags(image);
  const std::uint64_t heap = std::uint64_t{le32(image, 88)} << static_cast<std::uint8_t>(image[108]);
  const std::uint64_t cluster = std::uint64_t{1} << (static_cast<std::uint8_t>(image[108]) + static_cast<std::uint8_t>(image[109]));

  kavel_test::MappedVolume volume(image_path, 'E');
  kavel_test::TempDir out;
  int contiguous = 0, chained = 0;
  for (const auto& f : deleted_files(dir / "manifest-exfat.tsv")) {
    const std::uint64_t size = f.size.value_or(0);
    const auto first_cluster = static_cast<std::uint32_t>(f.first_cluster.value_or(0));
    if (f.note.find("clusters-reused-by:") != std::string::npos || size == 0) continue;
    const auto flag = flags.find({first_cluster, size});
    ASSERT_NE(flag, flags.end()) << f.path << ": no deleted stream extension entry";
    const bool no_fat_chain = (flag->second & 0x02) != 0;
    const auto dest = out / ("file-" + std::to_string(contiguous + chained));
    auto done = export_exfat('E', first_cluster, 0, size, no_fat_chain, std::nullopt, dest);
    ASSERT_TRUE(done) << f.path << ": " << done.error().display();
    if (no_fat_chain) {
      ++contiguous;
      EXPECT_EQ(kavel_test::sha256_of_file(dest), f.sha256) << f.path;
    } else {
      // The driver zeroed the chain when it deleted the file: only its first cluster is left.
      ++chained;
      EXPECT_EQ(kavel_test::read_file(dest), image.substr(heap + (first_cluster - 2) * cluster, cluster)) << f.path;
    }
  }
  EXPECT_GE(contiguous, 13);
  EXPECT_EQ(chained, 1);
}

// With its name, every deleted text file of the volume comes out as the manifest has it:
// relocation takes neither the start's own data when it does not look like text nor a cluster
// another file or the file system holds.
TEST(ExfatRealVolume, DeletedTextFilesExportedWithTheirNamesMatchTheManifest) {
  if (auto why = kavel_test::real_volumes_missing()) GTEST_SKIP() << *why;
  const auto dir = kavel_test::real_volumes_dir();
  const auto image_path = dir / "exfat.img";
  const auto flags = stream_flags(kavel_test::read_file(image_path));

  kavel_test::MappedVolume volume(image_path, 'E');
  kavel_test::TempDir out;
  int deleted = 0;
  for (const auto& f : deleted_files(dir / "manifest-exfat.tsv")) {
    const std::uint64_t size = f.size.value_or(0);
    if (size == 0 || !f.path.ends_with(".txt")) continue;
    const auto first_cluster = static_cast<std::uint32_t>(f.first_cluster.value_or(0));
    const auto flag = flags.find({first_cluster, size});
    ASSERT_NE(flag, flags.end()) << f.path << ": no deleted stream extension entry";
    const std::string name = f.path.substr(f.path.rfind('/') + 1);
    const auto dest = out / ("text-" + std::to_string(deleted++));
    auto done = export_exfat('E', first_cluster, 0, size, (flag->second & 0x02) != 0, name, dest);
    ASSERT_TRUE(done) << f.path << ": " << done.error().display();
    EXPECT_EQ(kavel_test::sha256_of_file(dest), f.sha256) << f.path;
  }
  EXPECT_GE(deleted, 4);
}

// The clusters of the manifest's runs ("start+count,...").
std::vector<std::uint32_t> run_clusters(const std::string& runs) {
  std::vector<std::uint32_t> out;
  std::size_t at = 0;
  while (at < runs.size()) {
    const std::size_t plus = runs.find('+', at);
    if (plus == std::string::npos) break;
    std::size_t end = runs.find(',', plus);
    if (end == std::string::npos) end = runs.size();
    const auto start = static_cast<std::uint32_t>(std::stoul(runs.substr(at, plus - at)));
    const auto count = static_cast<std::uint32_t>(std::stoul(runs.substr(plus + 1, end - plus - 1)));
    for (std::uint32_t k = 0; k < count; ++k) out.push_back(start + k);
    at = end + 1;
  }
  return out;
}

// No export of the volume, with its name or without, gives a live file's bytes: the live
// files' own first clusters are refused, and every deleted file comes out or is refused, none
// holding a cluster's worth of a live file's data.
TEST(ExfatRealVolume, NoExportGivesALiveFilesBytes) {
  if (auto why = kavel_test::real_volumes_missing()) GTEST_SKIP() << *why;
  const auto dir = kavel_test::real_volumes_dir();
  const auto image_path = dir / "exfat.img";
  const std::string image = kavel_test::read_file(image_path);
  const auto deleted_flags = stream_flags(image);
  const auto live_flags = stream_flags(image, true);
  const std::uint64_t heap = std::uint64_t{le32(image, 88)} << static_cast<std::uint8_t>(image[108]);
  const std::uint64_t cluster = std::uint64_t{1} << (static_cast<std::uint8_t>(image[108]) + static_cast<std::uint8_t>(image[109]));
  auto rows = kavel_test::read_manifest(dir / "manifest-exfat.tsv");
  ASSERT_TRUE(rows);

  // The data each live file keeps in each of its clusters (its last one cut to the file's end).
  std::vector<std::string> live_pieces;
  for (const auto& f : *rows) {
    if (f.type != "f" || f.deleted || f.size.value_or(0) == 0) continue;
    std::uint64_t left = *f.size;
    for (const std::uint32_t c : run_clusters(f.runs)) {
      const std::string piece = image.substr(heap + (c - 2) * cluster, std::min(left, cluster));
      if (piece.find_first_not_of('\0') != std::string::npos) live_pieces.push_back(piece);
      left -= piece.size();
    }
  }
  ASSERT_GE(live_pieces.size(), 20u);
  const auto holds_live_bytes = [&](const std::string& data) {
    for (std::uint64_t at = 0; at < data.size(); at += cluster) {
      const std::string block = data.substr(at, cluster);
      for (const auto& piece : live_pieces) {
        const std::size_t n = std::min(block.size(), piece.size());
        if (block.compare(0, n, piece, 0, n) == 0) return true;
      }
    }
    return false;
  };

  kavel_test::MappedVolume volume(image_path, 'E');
  kavel_test::TempDir out;
  int live = 0, exported = 0, refused = 0;
  for (const auto& f : *rows) {
    const std::uint64_t size = f.size.value_or(0);
    if (f.type != "f" || size == 0) continue;
    const auto first_cluster = static_cast<std::uint32_t>(f.first_cluster.value_or(0));
    const auto& flags = f.deleted ? deleted_flags : live_flags;
    const auto flag = flags.find({first_cluster, size});
    // A file deleted before the others may have lost its entry: both reads are tried.
    std::vector<bool> contiguous{true, false};
    if (flag != flags.end()) contiguous = {(flag->second & 0x02) != 0};
    const std::string name = f.path.substr(f.path.rfind('/') + 1);
    for (const bool no_fat_chain : contiguous) {
      for (const std::optional<std::string_view> given : {std::optional<std::string_view>(name),
                                                          std::optional<std::string_view>()}) {
        const auto dest = out / ("file-" + std::to_string(exported + refused));
        auto done = export_exfat('E', first_cluster, 0, size, no_fat_chain, given, dest);
        if (!f.deleted) {
          ASSERT_FALSE(done) << f.path;
          ++live;
        }
        if (!done) {
          EXPECT_EQ(done.error().kind(), platform::OsErrorKind::NotFound) << f.path;
          EXPECT_EQ(done.error().display(),
                    "Data clusters of the deleted file have been overwritten or cannot be located")
              << f.path;
          EXPECT_FALSE(std::filesystem::exists(dest)) << f.path;
          ++refused;
          continue;
        }
        ++exported;
        EXPECT_FALSE(holds_live_bytes(kavel_test::read_file(dest))) << f.path << (given ? " with" : " without")
                                                                   << " its name";
      }
    }
  }
  EXPECT_GE(live, 2 * 12);
  EXPECT_GE(exported, 2 * 20);
}

}  // namespace
}  // namespace kavel_lib::engine::windows::exfat_deleted
