#include "support/manifest_scope.h"

#include <fstream>
#include <map>
#include <sstream>

#include "support/test_env.h"

namespace kavel_test {

namespace {

std::vector<std::string> split_tabs(const std::string& line) {
  std::vector<std::string> fields;
  std::string field;
  std::istringstream in(line);
  while (std::getline(in, field, '\t')) fields.push_back(field);
  return fields;
}

std::string windows_path(char letter, const std::string& relative) {
  std::string out = std::string(1, letter) + ":";
  if (!relative.empty()) out += "\\";
  for (char c : relative) out += c == '/' ? '\\' : c;
  return out;
}

}  // namespace

std::optional<std::uint64_t> manifest_number(const std::string& text) {
  if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  return std::stoull(text);
}

std::optional<std::vector<ManifestRow>> read_manifest(const std::filesystem::path& manifest) {
  std::ifstream in(manifest);
  if (!in) return std::nullopt;
  std::vector<ManifestRow> rows;
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    const auto f = split_tabs(line);
    if (f.size() < 8) continue;
    ManifestRow row;
    row.path = f[0];
    row.type = f[1];
    row.directory = f[1] == "d";
    row.size = manifest_number(f[2]);
    row.sha256 = f[3];
    row.inode = manifest_number(f[4]);
    row.first_cluster = manifest_number(f[5]);
    row.runs = f[6];
    row.deleted = f[7] == "1";
    if (f.size() > 8) row.note = f[8];
    rows.push_back(std::move(row));
  }
  return rows;
}

std::optional<kavel_lib::engine::windows::DirectoryScope> manifest_scope(const std::vector<ManifestRow>& rows,
                                                                         const std::string& folder, char letter) {
  std::map<std::string, std::uint64_t> directories;  // path -> record number
  for (const auto& row : rows) {
    if (row.directory && row.inode) directories[row.path] = *row.inode;
  }
  const auto own = directories.find(folder);
  if (own == directories.end()) return std::nullopt;
  kavel_lib::engine::windows::DirectoryScope scope;
  scope.path = windows_path(letter, folder);
  scope.dir_frn = own->second;
  scope.dir_ref = own->second;
  scope.dir_frns.insert(own->second);
  scope.dir_names[own->second] = {"", 5};
  const std::string prefix = folder + "/";
  for (const auto& row : rows) {
    if (!row.directory || !row.inode || row.path.rfind(prefix, 0) != 0) continue;
    const auto slash = row.path.rfind('/');
    const std::string parent_path = row.path.substr(0, slash);
    const auto parent = directories.find(parent_path);
    if (parent == directories.end()) continue;
    scope.dir_frns.insert(*row.inode);
    scope.dir_names[*row.inode] = {row.path.substr(slash + 1), parent->second};
    if (row.deleted) scope.deleted_dir_frns.insert(*row.inode);
  }
  scope.parent_match_frns = scope.dir_frns;
  return scope;
}

std::set<std::pair<std::uint64_t, std::string>> manifest_deleted_files(const std::vector<ManifestRow>& rows,
                                                                        const std::string& folder, char letter) {
  std::set<std::pair<std::uint64_t, std::string>> out;
  const std::string prefix = folder + "/";
  for (const auto& row : rows) {
    if (row.directory || !row.deleted || !row.inode || row.path.rfind(prefix, 0) != 0) continue;
    if (row.note.find("mft-record-reused") != std::string::npos) continue;
    out.emplace(*row.inode, windows_path(letter, row.path));
  }
  return out;
}

std::optional<std::set<std::pair<std::uint64_t, std::string>>> fls_deleted_files(
    const std::filesystem::path& image, const std::string& folder, char letter) {
  const auto r = run_command("fls -r -d -p " + shell_quote(image.string()) + " 2>/dev/null");
  if (r.status != 0) return std::nullopt;
  std::set<std::pair<std::uint64_t, std::string>> out;
  std::istringstream in(r.output);
  std::string line;
  const std::string prefix = folder + "/";
  while (std::getline(in, line)) {
    // "-/r * 102118-128-2:\tdocs/2/Image 0001.JPG" (a "(realloc)" suffix marks a reused record)
    if (line.rfind("-/r", 0) != 0 && line.rfind("r/r", 0) != 0) continue;
    if (line.find("(realloc)") != std::string::npos) continue;
    const auto star = line.find("* ");
    const auto tab = line.find(":\t");
    if (star == std::string::npos || tab == std::string::npos || tab < star) continue;
    const std::string address = line.substr(star + 2, tab - star - 2);
    const std::string path = line.substr(tab + 2);
    if (path.rfind(prefix, 0) != 0) continue;
    out.emplace(std::stoull(address.substr(0, address.find('-'))), windows_path(letter, path));
  }
  return out;
}

}  // namespace kavel_test
