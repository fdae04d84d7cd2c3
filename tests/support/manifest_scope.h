// The directory scope of a folder of a real test volume, taken from the volume's manifest
// (manifest-*.tsv of make-real-volumes.sh: path, type, ..., inode, ..., deleted): the folder,
// every directory below it, live or deleted, with its name and parent record number. Tests of
// the MFT phases use it instead of the scope the scanner would build, so they do not rest on
// that code; deleted files of the manifest and the Sleuth Kit's fls give what to expect.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/windows/scan_records.h"

namespace kavel_test {

// One line of a manifest: path, type, size, sha256, inode, first_cluster, runs, deleted, note.
struct ManifestRow {
  std::string path;  // relative, '/' separated, as in the manifest
  std::string type;  // "f" or "d"
  bool directory = false;
  std::optional<std::uint64_t> size;  // absent for "-" (directories)
  std::string sha256;                 // "-" for directories
  std::optional<std::uint64_t> inode;  // absent when the manifest says "?"
  std::optional<std::uint64_t> first_cluster;  // absent for "-", "?" and "resident"
  std::string runs;                            // "start+count,..." or "-", "?", "resident"
  bool deleted = false;
  std::string note;
};

// A decimal number of a manifest column; nothing for "-", "?", "resident" or anything else.
std::optional<std::uint64_t> manifest_number(const std::string& text);

// The rows of a manifest (lines with fewer than eight columns left out); nothing when it
// cannot be read.
std::optional<std::vector<ManifestRow>> read_manifest(const std::filesystem::path& manifest);

// The scope of folder (relative path, e.g. "docs/2") shown as "{letter}:\docs\2": dir_frns and
// parent_match_frns hold the folder and every directory below it, deleted_dir_frns the
// deleted ones, dir_names maps the folder to ("", 5) and each other directory to (name, its
// parent's record number). Nothing when the folder is not a directory of the manifest.
std::optional<kavel_lib::engine::windows::DirectoryScope> manifest_scope(const std::vector<ManifestRow>& rows,
                                                                         const std::string& folder, char letter);

// Deleted files below a folder whose record was not reused, as the manifest lists them:
// (record number, path shown as "{letter}:\...").
std::set<std::pair<std::uint64_t, std::string>> manifest_deleted_files(const std::vector<ManifestRow>& rows,
                                                                        const std::string& folder, char letter);

// Deleted files below a folder as fls -r -d -p lists them on the image: (record number, path
// shown as "{letter}:\..."), leaving out entries whose record was reused ("(realloc)").
std::optional<std::set<std::pair<std::uint64_t, std::string>>> fls_deleted_files(
    const std::filesystem::path& image, const std::string& folder, char letter);

}  // namespace kavel_test
