// What the journal scan takes from its records: the walk over one buffer of records, the
// test that turns one named record into a candidate inside the folder, and the candidate map
// of names and parents by record number that the USN hint phase validates later.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/windows/scan_records.h"
#include "engine/windows/usn_deleted/usn_record.h"

namespace kavel_lib::engine::windows {

// Record numbers the candidate map takes at most.
inline constexpr std::size_t kNearCandidateCap = 64;
inline constexpr std::size_t kFullCandidateCap = 8192;
// Near mode: named delete records farther than this from the folder's record number do not
// feed the candidate map.
inline constexpr std::uint64_t kCandidateMapDistance = 8192;

// path_is_under against one folder, with the folder's canonical form taken once instead of at
// every test (a journal window holds hundreds of thousands of records, and resolving the
// folder means walking the volume's directory indexes).
class FolderContainment {
 public:
  explicit FolderContainment(std::string_view folder);
  [[nodiscard]] bool contains(std::string_view path) const;

 private:
  std::string folder_norm_;
};

// The folder a walk works for; borrowed for one scan.
struct UsnWalkContext {
  std::string_view folder;
  std::uint64_t dir_ref = 0;
  std::uint64_t dir_frn = 0;
  const std::unordered_set<std::uint64_t>* scope_set = nullptr;  // directories of the scope
  const DirNameMap* dir_names = nullptr;                         // the scope's directory names
  bool full = false;                                             // false: near mode
  // Whether a path still names a file on the volume. A record without the delete bit (a
  // rename, a write, ...) becomes a candidate only when its path is gone; unset: never gone.
  std::function<bool(std::string_view)> path_exists;
  // Whether a file reference (record number and sequence number) names a live file outside
  // the recycle bin. A record without the delete bit for such a file is a rename or change of
  // a file that still exists under another name: never a candidate. Unset: never live.
  std::function<bool(std::uint64_t reference)> live_file;
  // The folder's containment test prepared once; unset: path_is_under at every test.
  std::shared_ptr<const FolderContainment> containment;

  // parent = dir_frn, or the folder's reference masked or whole.
  [[nodiscard]] bool is_folder(std::uint64_t parent) const;
  // The folder, or one of the scope's directories.
  [[nodiscard]] bool in_scope(std::uint64_t parent) const;
  // Whether path lies under the folder (path_is_under).
  [[nodiscard]] bool under_folder(std::string_view path) const;
};

// What the walks of one scan gather.
struct UsnFindings {
  std::vector<DeletedEntry> candidates;     // in the order found
  std::unordered_set<std::string> seen_keys;  // "{frn}|{path}" of every candidate
  UsnCandidateMap candidate_map;
};

// The key "{frn}|{path}" that keeps a candidate from being listed twice.
std::string usn_candidate_key(std::uint64_t frn, std::string_view path);

// Adds a name (its last component) to the record number's name set, unless the map is full
// (64 record numbers in near mode, 8192 in full mode) and does not hold the number yet, or
// the noise filter rejects the name.
void record_usn_candidate(UsnCandidateMap& map, std::uint64_t frn, std::string_view name, bool full);

// One named record: appends a candidate when it describes a deletion inside the folder (or
// its record number was left unpaired by a nameless V4 record) and its path is new. Returns
// whether it appended one.
bool accept_usn_record(const ParsedUsnRecord& record, const UsnWalkContext& context, UsnFindings& findings,
                       std::unordered_set<std::uint64_t>& unpaired_frns);

// The records of one buffer (the bytes after the control call's 8-byte position): nameless
// delete records of the folder leave their record number in unpaired_frns, named delete
// records feed the candidate map, and every named record goes through accept_usn_record.
void walk_usn_buffer(std::span<const std::uint8_t> bytes, const UsnWalkContext& context, UsnFindings& findings,
                     std::unordered_set<std::uint64_t>& unpaired_frns);

}  // namespace kavel_lib::engine::windows
