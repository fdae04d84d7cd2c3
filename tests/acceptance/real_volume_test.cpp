// tarnwick end to end on the volumes that ntfs-3g wrote (scripts/make-real-volumes.sh),
// against their manifests and the Sleuth Kit: every deleted file under E:\docs\2 whose folder
// is live, whose record was not reused and whose name the strict noise filter accepts is listed
// once with its record number; no live file, nothing from elsewhere on the volume.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "acceptance/tarnwick_report.h"
#include "engine/windows/usn_deleted/name_filter.h"
#include "support/manifest_scope.h"
#include "support/test_env.h"

namespace {

using kavel_acceptance::Report;
using kavel_test::ManifestRow;

struct Expectation {
  std::map<std::string, std::uint64_t> wanted;  // Windows path -> record number
  std::set<std::string> noise;                  // deleted, in a live folder, name filtered out
  std::set<std::string> deleted_elsewhere;      // deleted files in deleted folders under the folder
  std::set<std::string> live;                   // every live file of the volume
  std::set<std::string> outside;                // deleted files outside the folder
};

// The manifest's view of `folder` ("docs/2"): deleted files whose parent folder is live (the
// folder itself or a live folder below it) and whose record was not reused (a reused record's
// old file has no record number in the manifest).
Expectation expectation(const std::vector<ManifestRow>& rows, const std::string& folder) {
  std::set<std::string> live_folders{folder};
  for (const auto& r : rows) {
    if (r.directory && !r.deleted && r.path.starts_with(folder + "/")) live_folders.insert(r.path);
  }
  Expectation x;
  for (const auto& r : rows) {
    if (r.directory) continue;
    const std::string path = kavel_acceptance::windows_path(r.path);
    if (!r.deleted) {
      x.live.insert(path);
      continue;
    }
    if (!r.path.starts_with(folder + "/")) {
      x.outside.insert(path);
      continue;
    }
    if (!live_folders.contains(kavel_acceptance::parent_of(r.path))) {
      x.deleted_elsewhere.insert(path);
      continue;
    }
    if (!r.inode) continue;  // its record was reused by a later file
    if (kavel_lib::engine::windows::is_plausible_file_name(kavel_acceptance::name_of(r.path), false)) {
      x.wanted[path] = *r.inode;
    } else {
      x.noise.insert(path);
    }
  }
  return x;
}

// The checks both volumes share; returns the report for further checks.
Report check_folder(const std::string& image, const std::string& manifest, std::size_t wanted_count) {
  const auto rows = kavel_test::read_manifest(manifest);
  EXPECT_TRUE(rows) << manifest;
  if (!rows) return {};
  const Expectation x = expectation(*rows, "docs/2");
  EXPECT_EQ(x.wanted.size(), wanted_count);

  Report r = kavel_acceptance::run_tarnwick("E=" + image, "E:\\docs\\2");
  EXPECT_EQ(r.status, 0) << r.output;
  const auto counts = r.path_counts();
  for (const auto& [path, frn] : x.wanted) {
    const auto it = counts.find(path);
    if (it == counts.end()) {
      ADD_FAILURE() << path << " (record " << frn << ") is not listed";
      continue;
    }
    EXPECT_EQ(it->second, 1) << path << " listed more than once";
  }
  for (const auto& e : r.entries) {
    if (const auto it = x.wanted.find(e.path); it != x.wanted.end()) {
      EXPECT_EQ(e.frn, it->second) << e.path;
      continue;
    }
    // Anything else listed must be a deleted file under the folder (in a deleted subfolder);
    // never a live file, a noise name, or a file from elsewhere.
    EXPECT_FALSE(x.live.contains(e.path)) << "live file listed: " << e.path;
    EXPECT_FALSE(x.noise.contains(e.path)) << "noise listed: " << e.path;
    EXPECT_FALSE(x.outside.contains(e.path)) << "outside the folder: " << e.path;
    EXPECT_TRUE(x.deleted_elsewhere.contains(e.path)) << "not a deleted file under the folder: " << e.path;
  }
  EXPECT_EQ(r.total, r.entries.size());
  return r;
}

TEST(RealVolumeAcceptance, NtfsSmallDocs2ListsEveryRecoverableDeletedFileOnce) {
  if (auto why = kavel_test::real_volumes_missing()) GTEST_SKIP() << *why;
  const auto dir = kavel_test::real_volumes_dir();
  const Report r = check_folder((dir / "ntfs-small.img").string(), (dir / "manifest-ntfs.tsv").string(), 5);
  EXPECT_EQ(r.output.find("E:\\docs\\other"), std::string::npos);
  EXPECT_EQ(r.output.find("E:\\photos"), std::string::npos);
  EXPECT_EQ(r.output.find(".bin\n"), std::string::npos) << "the .bin files are noise";
}

TEST(RealVolumeAcceptance, NtfsLargeDocs2ListsAll500DeletedFilesAndMoreThanFls) {
  if (auto why = kavel_test::real_volumes_missing()) GTEST_SKIP() << *why;
  const auto dir = kavel_test::real_volumes_dir();
  const auto image = (dir / "ntfs-large.img").string();
  const Report r = check_folder(image, (dir / "manifest-ntfs-large.tsv").string(), 500);
  EXPECT_EQ(r.entries.size(), 500u);

  // The Sleuth Kit's fls -d of the folder's own record sees only part of them (the index no
  // longer names the rest); each one it sees is listed with the same record number.
  if (auto why = kavel_test::program_missing("fls")) GTEST_SKIP() << *why;
  const auto rows = kavel_test::read_manifest(dir / "manifest-ntfs-large.tsv");
  ASSERT_TRUE(rows);
  std::uint64_t folder_record = 0;
  for (const auto& row : *rows) {
    if (row.path == "docs/2" && row.inode) folder_record = *row.inode;
  }
  ASSERT_NE(folder_record, 0u);
  const auto fls = kavel_test::run_command("fls -d " + kavel_test::shell_quote(image) + " " +
                                           std::to_string(folder_record));
  ASSERT_EQ(fls.status, 0);
  std::set<std::pair<std::uint64_t, std::string>> seen_by_fls;
  const std::regex line_re(R"(^\S+ \* (\d+)-[0-9-]+:\t(.*)$)");
  std::istringstream in(fls.output);
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    if (std::regex_match(line, m, line_re)) seen_by_fls.emplace(std::stoull(m[1].str()), "E:\\docs\\2\\" + m[2].str());
  }
  EXPECT_GT(seen_by_fls.size(), 400u);
  EXPECT_LT(seen_by_fls.size(), 500u);
  const auto listed = r.frn_paths();
  for (const auto& e : seen_by_fls) EXPECT_TRUE(listed.contains(e)) << e.second;
}

}  // namespace
