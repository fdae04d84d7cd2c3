// Exports files of the real NTFS test volumes (made by mkntfs and ntfs-3g) by their record
// numbers and compares them with the manifests' SHA-256: every deleted file whose record was
// not reused, files beyond the first run of a fragmented $MFT, and live files; files of the
// Windows-made volume against the Sleuth Kit's icat; files ntfs-3g compressed; and a deleted
// file whose clusters ntfs-3g gave to a later file.
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "engine/windows/raw_mft/export_layout.h"
#include "engine/windows/raw_mft/export_records.h"
#include "engine/windows/raw_mft/export_source.h"
#include "engine/windows/raw_mft/ntfs_export.h"
#include "engine/windows/raw_mft/ntfs_layout.h"
#include "engine/windows/raw_mft/stream_extents.h"
#include "support/manifest_scope.h"
#include "support/mapped_volume.h"
#include "support/test_env.h"
#include "support/windows_testdata.h"

namespace kavel_lib::engine::windows {
namespace {

namespace fs = std::filesystem;

struct ManifestFile {
  std::string path;
  std::uint64_t size = 0;
  std::string sha256;
  std::uint64_t record = 0;
  bool deleted = false;
  std::string note;
  [[nodiscard]] bool record_reused() const { return note.find("mft-record-reused-by") != std::string::npos; }
};

// The regular files of a manifest; empty when it cannot be read.
std::vector<ManifestFile> manifest_files(const fs::path& manifest) {
  std::vector<ManifestFile> out;
  for (const auto& row : kavel_test::read_manifest(manifest).value_or(std::vector<kavel_test::ManifestRow>{})) {
    if (row.type != "f") continue;
    out.push_back({row.path, row.size.value_or(0), row.sha256, row.inode.value_or(0), row.deleted, row.note});
  }
  return out;
}

class NtfsRealVolume : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto why = kavel_test::real_volumes_missing()) GTEST_SKIP() << *why;
  }
  std::string export_and_hash(char letter, std::uint64_t record, const std::string& name) {
    const auto dest = out_ / "exports" / name;
    auto done = export_ntfs_frn(static_cast<char32_t>(letter), record, dest);
    if (!done) return "error: " + done.error().display();
    return kavel_test::sha256_of_file(dest);
  }
  kavel_test::TempDir out_;
};

TEST_F(NtfsRealVolume, SmallVolumeDeletedFilesMatchTheManifest) {
  const auto dir = kavel_test::real_volumes_dir();
  kavel_test::MappedVolume volume(dir / "ntfs-small.img", 'E');
  int exported = 0, empty = 0;
  for (const auto& f : manifest_files(dir / "manifest-ntfs.tsv")) {
    if (!f.deleted || f.record_reused()) continue;
    if (f.size == 0) {
      // An empty resident value leads to the non-resident road, which finds nothing.
      auto done = export_ntfs_frn(U'e', f.record, out_ / "empty.bin");
      ASSERT_FALSE(done) << f.path;
      EXPECT_EQ(done.error().display(), kNoDataStreamText);
      EXPECT_EQ(done.error().kind(), platform::OsErrorKind::Other);
      EXPECT_FALSE(fs::exists(out_ / "empty.bin"));
      ++empty;
      continue;
    }
    EXPECT_EQ(export_and_hash('E', f.record, "f" + std::to_string(exported)), f.sha256) << f.path;
    EXPECT_EQ(fs::file_size(out_ / "exports" / ("f" + std::to_string(exported))), f.size) << f.path;
    ++exported;
  }
  EXPECT_GE(exported, 16);  // resident, one cluster, exact clusters, fragmented, 1 MB, nested folders
  EXPECT_EQ(empty, 1);
}

TEST_F(NtfsRealVolume, SmallVolumeLiveFilesExportToo) {
  const auto dir = kavel_test::real_volumes_dir();
  kavel_test::MappedVolume volume(dir / "ntfs-small.img", 'E');
  int exported = 0;
  for (const auto& f : manifest_files(dir / "manifest-ntfs.tsv")) {
    if (f.deleted || f.size == 0) continue;
    EXPECT_EQ(export_and_hash('E', f.record, "live" + std::to_string(exported++)), f.sha256) << f.path;
  }
  EXPECT_GE(exported, 8);
}

// ntfs-large's $MFT lies in several runs; the first ends at record 65,547.
class NtfsLargeVolume : public NtfsRealVolume {
 protected:
  void SetUp() override {
    NtfsRealVolume::SetUp();
    if (IsSkipped()) return;
    const auto dir = kavel_test::real_volumes_dir();
    if (!fs::exists(dir / "ntfs-large.img")) GTEST_SKIP() << "ntfs-large.img is missing";
    volume_.emplace(dir / "ntfs-large.img", 'L');
    files_ = manifest_files(dir / "manifest-ntfs-large.tsv");
  }
  // The first deleted file of the range with a record of its own and a size within the bounds.
  const ManifestFile* deleted_in(std::uint64_t first, std::uint64_t last, std::uint64_t min_size,
                                 std::uint64_t max_size = UINT64_MAX) const {
    for (const auto& f : files_) {
      if (f.deleted && !f.record_reused() && f.record >= first && f.record <= last && f.size >= min_size &&
          f.size <= max_size) {
        return &f;
      }
    }
    return nullptr;
  }
  std::optional<kavel_test::MappedVolume> volume_;
  std::vector<ManifestFile> files_;
};

TEST_F(NtfsLargeVolume, DeletedFilesBeyondTheFirstMftRunMatchTheManifest) {
  struct Range {
    std::uint64_t first, last;
  };
  int exported = 0;
  for (const Range r : {Range{65548, 81935}, Range{81936, UINT64_MAX}}) {
    // One with resident data, one with clusters.
    for (const auto* f : {deleted_in(r.first, r.last, 1, 600), deleted_in(r.first, r.last, 4000)}) {
      ASSERT_NE(f, nullptr) << r.first;
      EXPECT_EQ(export_and_hash('L', f->record, "l" + std::to_string(exported++)), f->sha256)
          << f->path << " record " << f->record;
    }
  }
}

TEST_F(NtfsLargeVolume, RecordsAreFoundThroughTheMftRunsAndProveTheirNumber) {
  auto source = open_export_source("\\\\.\\L:");
  ASSERT_TRUE(source) << source.error().display();
  const MftRecordReader mft(*source);
  ASSERT_TRUE(mft.through_runs());
  for (const std::uint64_t n : {0ull, 65547ull, 65548ull, 81935ull, 81936ull, 90000ull}) {
    auto record = mft.read(n);
    ASSERT_TRUE(record) << n;
    EXPECT_EQ(ntfs::load_u32(*record, ntfs::kRecordOwnNumber), n) << n;
  }
  // At the direct place of record 90000 lies another record; it is refused, not taken.
  EXPECT_FALSE(read_mft_record_direct(*source, 90000));
  EXPECT_FALSE(read_mft_record_direct(*source, 70000));  // zeros there
  EXPECT_TRUE(read_mft_record_direct(*source, 65547));
}

// The Windows-made volume: records 48 and 49 have an initialized size of 0 below their data
// size; Windows, and icat, read nothing but zeros there, whatever the clusters still hold.
TEST(WindowsNtfsVolume, BytesPastTheInitializedSizeAreZerosAsIcatWritesThem) {
  std::string why;
  const auto raw = kavel_test::windows_ntfs_raw(&why);
  if (!raw) GTEST_SKIP() << why;
  kavel_test::ScopedEnv drives("KAVEL_DRIVES",
                               "E=" + raw->string() + "@" + std::to_string(kavel_test::kWindowsNtfsVolumeOffset));
  kavel_test::TempDir out;
  const bool icat = !kavel_test::program_missing("icat");
  for (const auto& [record, size] : {std::pair<std::uint64_t, std::uint64_t>{48, 1409024}, {49, 65536}}) {
    const auto dest = out / std::to_string(record);
    auto done = export_ntfs_frn(U'E', record, dest);
    ASSERT_TRUE(done) << record << ": " << done.error().display();
    const std::string bytes = kavel_test::read_file(dest);
    EXPECT_EQ(bytes.size(), size) << record;
    EXPECT_EQ(bytes.find_first_not_of('\0'), std::string::npos) << record;
    if (icat) {
      const auto written = kavel_test::run_command("icat -r -o " +
                                                   std::to_string(kavel_test::kWindowsNtfsVolumeOffset / 512) + " " +
                                                   kavel_test::shell_quote(raw->string()) + " " + std::to_string(record));
      EXPECT_TRUE(written.output == bytes) << record;
    }
  }
}

// Why ntfs-3g cannot make and mount a volume here, or nothing.
std::optional<std::string> ntfs3g_mount_missing() {
  if (auto why = kavel_test::root_missing()) return *why + " (ntfs-3g mounts the volume)";
  if (!fs::is_character_file("/dev/fuse")) return std::string("needs /dev/fuse (ntfs-3g mounts through FUSE)");
  for (const char* program : {"mkntfs", "ntfs-3g", "mountpoint", "python3", "icat", "istat"}) {
    if (auto why = kavel_test::program_missing(program)) return why;
  }
  return std::nullopt;
}

// The shell lines that make an NTFS volume of $size bytes with 4 KiB clusters in $img and
// mount it with ntfs-3g at $mnt, the driver running in the foreground as the script's child
// ($pid), unmounted should the script fail; and the lines that unmount it and wait for the
// driver, so that the script ends once everything is written and the driver has exited.
const std::string kMountNewNtfs = R"(truncate -s "$size" "$img"
mkntfs -F -q -c 4096 "$img" >/dev/null 2>&1
mkdir -p "$mnt"
ntfs-3g -o no_detach "$img" "$mnt" >"$mnt.log" 2>&1 &
pid=$!
trap 'umount "$mnt" 2>/dev/null || true; wait $pid || true' EXIT
until mountpoint -q "$mnt"; do
  kill -0 $pid 2>/dev/null || { cat "$mnt.log" >&2; exit 3; }
  sleep 0.02
done
)";
const std::string kUnmountNtfs = R"(sync
umount "$mnt"
trap - EXIT
wait $pid
)";

// Makes an NTFS volume with 4 KiB clusters and, through ntfs-3g, a folder marked compressed
// (FILE_ATTRIBUTE_COMPRESSED in its system.ntfs_attrib_be attribute) holding copies of the
// given files, which ntfs-3g then compresses; the first copy is deleted again. Prints the
// copies' record numbers (st_ino on ntfs-3g), one a line.
const std::string kCompressedFolderScript = std::string(R"(set -eu
img=$1 mnt=$2 size=16M; shift 2
)") + kMountNewNtfs + R"(mkdir "$mnt/zip"
python3 -c 'import os, struct, sys
os.setxattr(sys.argv[1], "system.ntfs_attrib_be", struct.pack(">I", 0x810))' "$mnt/zip"
for f in "$@"; do cp "$f" "$mnt/zip/"; stat -c %i "$mnt/zip/${f##*/}"; done
rm "$mnt/zip/${1##*/}"
)" + kUnmountNtfs;

// A file ntfs-3g compressed, deleted: its clusters hold compression units, so the export
// refuses it with the reason before any destination is made, while icat decompresses it. A
// small file of the same folder keeps its data in its record, flagged compressed but stored as
// it stands: it is exported like any other.
TEST(NtfsCompressedFolder, ACompressedFileIsRefusedWhileIcatDecompressesIt) {
  if (auto why = ntfs3g_mount_missing()) GTEST_SKIP() << *why;
  kavel_test::TempDir dir;
  std::string text;
  for (int i = 0; text.size() < 65536; ++i) text += "line " + std::to_string(i) + " of a text that compresses well\n";
  text.resize(65536);
  const std::string small = "a small note\n";
  kavel_test::write_file(dir / "big.txt", text);
  kavel_test::write_file(dir / "small.txt", small);
  const auto image = dir / "ntfs.img";
  kavel_test::write_file(dir / "make.sh", kCompressedFolderScript);
  std::string command = "sh";
  for (const fs::path& arg : {dir / "make.sh", image, dir / "mnt", dir / "big.txt", dir / "small.txt"}) {
    command += " " + kavel_test::shell_quote(arg.string());
  }
  const auto made = kavel_test::run_command(command);
  ASSERT_EQ(made.status, 0) << made.output;
  std::istringstream numbers(made.output);
  std::uint64_t big_record = 0, small_record = 0;
  ASSERT_TRUE(numbers >> big_record >> small_record) << made.output;

  const std::string quoted = kavel_test::shell_quote(image.string());
  const auto istat = kavel_test::run_command("istat " + quoted + " " + std::to_string(big_record));
  EXPECT_NE(istat.output.find("Non-Resident, Compressed"), std::string::npos) << istat.output;
  EXPECT_TRUE(kavel_test::run_command("icat " + quoted + " " + std::to_string(big_record)).output == text);

  kavel_test::MappedVolume volume(image, 'E');
  const auto dest = dir / "out" / "big.txt";
  auto done = export_ntfs_frn(U'E', big_record, dest);
  ASSERT_FALSE(done);
  EXPECT_EQ(done.error().kind(), platform::OsErrorKind::InvalidData);
  EXPECT_EQ(done.error().display(), kCompressedDataText);
  EXPECT_FALSE(fs::exists(dest.parent_path()));

  // The small file's resident $DATA carries the compressed flag all the same.
  auto source = open_export_source("\\\\.\\E:");
  ASSERT_TRUE(source) << source.error().display();
  const auto record = MftRecordReader(*source).read(small_record);
  ASSERT_TRUE(record);
  const auto resident = unnamed_resident_attribute(*record, ntfs::kAttrTypeData);
  ASSERT_TRUE(resident);
  EXPECT_NE(resident->flags & ntfs::kAttrFlagCompressionMask, 0);
  ASSERT_TRUE(export_ntfs_frn(U'E', small_record, dir / "small.out"));
  EXPECT_EQ(kavel_test::read_file(dir / "small.out"), small);
  EXPECT_EQ(kavel_test::run_command("icat " + quoted + " " + std::to_string(small_record)).output, small);
}

// Makes an NTFS volume with 4 KiB clusters and, through ntfs-3g, three files copied from the
// given ones (reused, freed, live) and an empty fill.bin; prints the four record numbers, one
// a line. The first file is deleted, then fill.bin grows until the volume is full, so it takes
// every free cluster, the deleted file's among them; only then is the second file deleted, so
// its clusters stay free. fill.bin is created before the delete, so no record is reused.
const std::string kReusedClustersScript = std::string(R"(set -eu
img=$1 mnt=$2 reused=$3 freed=$4 live=$5 size=8M
)") + kMountNewNtfs + R"(cp "$reused" "$mnt/reused.bin"
cp "$freed" "$mnt/freed.bin"
cp "$live" "$mnt/live.bin"
: >"$mnt/fill.bin"
for f in reused freed live fill; do stat -c %i "$mnt/$f.bin"; done
rm "$mnt/reused.bin"
yes fill >"$mnt/fill.bin" 2>/dev/null || true
rm "$mnt/freed.bin"
)" + kUnmountNtfs;

// A deleted file whose clusters a later live file took: its record still lists the runs, and
// icat reads the live file's bytes through them; the export refuses it, makes nothing and
// leaves an existing destination as it was. A deleted file whose clusters stay free, and a
// live file, come out whole.
TEST(NtfsReusedClusters, ADeletedFileWhoseClustersAnotherFileTookIsRefused) {
  if (auto why = ntfs3g_mount_missing()) GTEST_SKIP() << *why;
  kavel_test::TempDir dir;
  auto bytes = [](std::size_t size, unsigned seed) {
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 2654435761u + seed * 40503u) >> 9);
    return s;
  };
  const std::string reused = bytes(100000, 1), freed = bytes(50000, 2), live = bytes(30000, 3);
  kavel_test::write_file(dir / "reused.bin", reused);
  kavel_test::write_file(dir / "freed.bin", freed);
  kavel_test::write_file(dir / "live.bin", live);
  const auto image = dir / "ntfs.img";
  kavel_test::write_file(dir / "make.sh", kReusedClustersScript);
  std::string command = "sh";
  for (const fs::path& arg :
       {dir / "make.sh", image, dir / "mnt", dir / "reused.bin", dir / "freed.bin", dir / "live.bin"}) {
    command += " " + kavel_test::shell_quote(arg.string());
  }
  const auto made = kavel_test::run_command(command);
  ASSERT_EQ(made.status, 0) << made.output;
  std::istringstream numbers(made.output);
  std::uint64_t r_reused = 0, r_freed = 0, r_live = 0, r_fill = 0;
  ASSERT_TRUE(numbers >> r_reused >> r_freed >> r_live >> r_fill) << made.output;

  // The Sleuth Kit reads the deleted record's runs and finds fill.bin's bytes there.
  const std::string quoted = kavel_test::shell_quote(image.string());
  const auto icat = kavel_test::run_command("icat " + quoted + " " + std::to_string(r_reused));
  EXPECT_EQ(icat.output.size(), reused.size());
  EXPECT_EQ(icat.output.find_first_not_of("fil\n"), std::string::npos) << icat.output.substr(0, 64);

  kavel_test::MappedVolume volume(image, 'E');
  const auto dest = dir / "out" / "reused.bin";
  auto done = export_ntfs_frn(U'E', r_reused, dest);
  ASSERT_FALSE(done);
  EXPECT_EQ(done.error().kind(), platform::OsErrorKind::NotFound);
  EXPECT_EQ(done.error().display(), kOverwrittenClustersText);
  EXPECT_FALSE(fs::exists(dest.parent_path()));
  kavel_test::write_file(dir / "kept.bin", "kept");
  EXPECT_FALSE(export_ntfs_frn(U'E', r_reused, dir / "kept.bin"));
  EXPECT_EQ(kavel_test::read_file(dir / "kept.bin"), "kept");

  ASSERT_TRUE(export_ntfs_frn(U'E', r_freed, dir / "freed.out"));
  EXPECT_TRUE(kavel_test::read_file(dir / "freed.out") == freed);
  ASSERT_TRUE(export_ntfs_frn(U'E', r_live, dir / "live.out"));
  EXPECT_TRUE(kavel_test::read_file(dir / "live.out") == live);
}

}  // namespace
}  // namespace kavel_lib::engine::windows
