// tarnwick on the ntfs-3g-made ntfs-small volume, checked against its manifest: every deleted
// file whose folder still exists under docs\2 and whose name the strict noise filter accepts
// is listed with its record number and path; nothing from elsewhere on the volume.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/windows/usn_deleted/name_filter.h"
#include "support/manifest_scope.h"
#include "support/test_env.h"

namespace {

// The rows of a manifest whose record number is known.
std::vector<kavel_test::ManifestRow> read_manifest(const std::filesystem::path& file) {
  std::vector<kavel_test::ManifestRow> rows;
  for (auto& row : kavel_test::read_manifest(file).value_or(std::vector<kavel_test::ManifestRow>{})) {
    if (row.inode) rows.push_back(std::move(row));
  }
  return rows;
}

std::string windows_path(std::string path) {
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return "E:\\" + path;
}

std::string parent_of(const std::string& path) { return path.substr(0, path.rfind('/')); }
std::string name_of(const std::string& path) { return path.substr(path.rfind('/') + 1); }

TEST(TarnwickOnNtfsSmall, ListsTheManifestsDeletedFilesUnderDocs2) {
  if (auto why = kavel_test::real_volumes_missing()) GTEST_SKIP() << *why;
  const auto dir = kavel_test::real_volumes_dir();
  const auto rows = read_manifest(dir / "manifest-ntfs.tsv");
  ASSERT_FALSE(rows.empty());

  std::set<std::string> live_folders{"docs/2"};
  for (const auto& r : rows) {
    if (r.type == "d" && !r.deleted && r.path.starts_with("docs/2/")) live_folders.insert(r.path);
  }
  std::map<std::string, std::uint64_t> expected;  // Windows path -> record number
  std::set<std::string> noise;
  for (const auto& r : rows) {
    if (r.type != "f" || !r.deleted || !live_folders.contains(parent_of(r.path))) continue;
    if (kavel_lib::engine::windows::is_plausible_file_name(name_of(r.path), false)) {
      expected[windows_path(r.path)] = *r.inode;
    } else {
      noise.insert(windows_path(r.path));
    }
  }
  ASSERT_GE(expected.size(), 5u);
  ASSERT_FALSE(noise.empty());  // the .bin files

  const auto run = kavel_test::run_command(
      "KAVEL_DRIVES=" + kavel_test::shell_quote("E=" + (dir / "ntfs-small.img").string()) + " " +
      kavel_test::shell_quote(kavel_test::program_path("tarnwick").string()) + " " + kavel_test::shell_quote("E:\\docs\\2"));
  ASSERT_EQ(run.status, 0) << run.output;

  const std::regex entry_line(R"(^  FRN (\d+) parent (\d+) size (\d+)(?: time=\d+)? (.*)$)");
  std::map<std::string, std::uint64_t> listed;
  std::stringstream out(run.output);
  for (std::string line; std::getline(out, line);) {
    std::smatch m;
    if (std::regex_match(line, m, entry_line)) listed[m[4].str()] = std::stoull(m[1].str());
  }
  for (const auto& [path, frn] : expected) {
    auto it = listed.find(path);
    ASSERT_NE(it, listed.end()) << path << " missing from\n" << run.output;
    EXPECT_EQ(it->second, frn) << path;
  }
  for (const auto& [path, frn] : listed) {
    EXPECT_TRUE(path.starts_with("E:\\docs\\2\\")) << path;
    EXPECT_FALSE(noise.contains(path)) << path;
    EXPECT_FALSE(path.ends_with(".bin")) << path;
  }
  EXPECT_NE(run.output.find("Total " + std::to_string(listed.size()) + " paths"), std::string::npos);
}

}  // namespace
