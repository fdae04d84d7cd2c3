// The USN change-journal scan: the folder's own record number, the journal's delete records
// inside the folder as candidates, the candidate map for the USN hint phase, the one-line
// summary of the report, and the statistics pass of the debug road.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "engine/windows/scan_records.h"
#include "engine/windows/usn_deleted/usn_journal_io.h"
#include "platform/errors.h"

namespace kavel_lib::engine::windows {

// A folder's full 64-bit file reference and its 48-bit record number.
struct DirectoryFrn {
  std::uint64_t dir_ref = 0;
  std::uint64_t dir_frn = 0;
};

struct UsnScanResult {
  std::optional<std::pair<std::int64_t, std::int64_t>> journal;  // (FirstUsn, NextUsn)
  std::optional<std::string> enum_error;
  std::optional<std::string> read_error;
  std::uint64_t enum_count = 0;
  std::uint64_t read_count = 0;
  std::vector<DeletedEntry> candidates;
  UsnCandidateMap candidate_map;
};

struct UsnDebugStats {
  std::uint64_t dir_frn = 0;
  std::uint64_t dir_ref = 0;
  std::int64_t first_usn = 0;
  std::int64_t next_usn = 0;
  std::uint64_t unpaired_v4 = 0;
  std::uint32_t parsed = 0;
  std::uint32_t delete_reason = 0;
  std::uint32_t parent_match = 0;
  std::uint32_t accepted = 0;
};

// The folder's file reference (FILE_ID_INFO) and record number.
std::expected<DirectoryFrn, platform::OsError> directory_frn(std::string_view path);

// The journal scan of the folder's volume. scope_set and dir_names may be null.
std::expected<UsnScanResult, platform::OsError> scan_usn_deleted(std::string_view folder, std::uint64_t dir_ref,
                                                                 std::uint64_t dir_frn,
                                                                 const std::unordered_set<std::uint64_t>* scope_set,
                                                                 const DirNameMap* dir_names, bool full);

// The one-line USN summary of the report.
std::string usn_summary_text(const UsnScanResult& result);

// The statistics pass of the debug road.
std::expected<UsnDebugStats, platform::OsError> debug_usn_query(std::string_view folder);

// What the scan reaches outside itself, replaceable in tests.
struct UsnScanSources {
  // The volume of a drive letter, opened for reading, as its control-code call.
  std::function<std::expected<JournalControl, platform::OsError>(char letter)> open_volume;
  // Whether a path still names a file on the volume.
  std::function<bool(std::string_view)> path_exists;
  // The live-file test of a drive's references (UsnWalkContext::live_file); unset, or an
  // unset answer: none.
  std::function<std::function<bool(std::uint64_t reference)>(char letter)> live_file;
  // The record step for record numbers left unpaired (raw records read and parsed).
  std::function<std::vector<DeletedEntry>(char letter, std::string_view folder, std::uint64_t dir_frn,
                                          const std::unordered_set<std::uint64_t>& allowed_parents,
                                          const DirNameMap& dir_names, const std::vector<std::uint64_t>& frns,
                                          const UsnCandidateMap* hints)>
      fetch_records;
  std::function<std::expected<DirectoryFrn, platform::OsError>(std::string_view)> directory_frn;
};

// The volume through the platform seam, existence through the volume paths, the live-file test
// through the file system's records (LiveFileProbe), the record step through the raw record
// reader.
UsnScanSources default_usn_scan_sources();

std::expected<UsnScanResult, platform::OsError> scan_usn_deleted_with(const UsnScanSources& sources,
                                                                 std::string_view folder, std::uint64_t dir_ref,
                                                                 std::uint64_t dir_frn,
                                                                 const std::unordered_set<std::uint64_t>* scope_set,
                                                                 const DirNameMap* dir_names, bool full);
std::expected<UsnDebugStats, platform::OsError> debug_usn_query_with(const UsnScanSources& sources,
                                                                std::string_view folder);

}  // namespace kavel_lib::engine::windows
