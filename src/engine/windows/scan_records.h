// The records that the parts of a folder scan hand to one another: result items, their
// sources, the scan's options and counters, the folder's scope, what the change journal
// learned, and the scan's result.
//
// A record number is the 48-bit number of an NTFS file record (a file reference masked with
// kFrnMask), held in 64 bits. Paths and names are WTF-8 (see wtf8.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace kavel_lib::engine::windows {

inline constexpr std::uint64_t kFrnMask = 0xFFFFFFFFFFFFull;

// One recoverable item; the report prints one line per entry.
struct DeletedEntry {
  std::optional<std::uint64_t> time;  // present when the source's time is not 0
  std::string path;                    // full path under the folder or its lost-files folder
  std::uint64_t frn = 0;
  std::uint64_t size = 0;
  std::uint64_t parent = 0;
  friend bool operator==(const DeletedEntry&, const DeletedEntry&) = default;
};

// One name of one FILE record, before a path is given to it.
struct DeletedEntrySource {
  std::string name;
  std::uint64_t parent = 0;
  std::uint64_t size = 0;
  std::uint64_t time = 0;  // 0: none
  friend bool operator==(const DeletedEntrySource&, const DeletedEntrySource&) = default;
};

// FNV-1a over the 8 little-endian bytes of (parent & kFrnMask), then the UTF-8 bytes of the
// name. A missing name, or one that is not valid Unicode, contributes no bytes.
std::uint64_t frn_path_key(std::uint64_t parent, std::optional<std::string_view> name);
// The key as 16 lower-case hexadecimal digits.
std::string frn_path_key_hex(std::uint64_t key);

struct ScanOptions {
  std::uint64_t expand_limit = 32768;
  std::uint64_t band_below = 512;
  std::uint64_t band_above = 4096;
  std::uint64_t threads = 4;
  std::uint64_t vicinity_radius = 1024;
  std::uint64_t vicinity_dirs = 384;
  std::uint32_t chunk_records = 4096;
  bool index_ring = false;
  bool index_expansion = false;
  bool paged_phase = true;
  bool local_band = false;
  bool logfile_phase = true;
  bool retry_phase = true;
  bool record_cache = true;
  bool alt_phase_order = false;
  bool vicinity_1a = true;
  bool vicinity_3 = false;
  bool take_in_use = false;
  bool extra_name_flag = false;
  bool deleted_dir_phase = false;
  bool spare = false;  // no reader
  bool order_a = false;
};

// Worker threads for a processor count: clamped to 2..8; 4 when the count is unknown (0).
std::uint64_t threads_for_processors(unsigned processors);
ScanOptions default_scan_options();
ScanOptions full_scan_options();

// Counters of the paged master-file-table scan.
struct PagedScanStats {
  std::uint64_t chunk_count = 0;
  std::uint64_t done_chunks = 0;
  std::uint64_t failed_chunks = 0;
  std::uint64_t records_scanned = 0;
  std::uint64_t entries_found = 0;
  std::uint64_t threads = 0;
};

// Counters of one phased master-file-table scan; the audit line prints them.
struct ScanContext {
  std::string folder;
  std::string status;
  std::uint64_t scope_folders = 0;
  std::uint64_t mft_records = 0;
  PagedScanStats paged_stats;
  std::uint64_t expand_radius = 0;
  std::uint64_t elapsed_ms = 0;
  std::uint32_t index = 0;
  std::uint32_t deleted_dir = 0;
  std::uint32_t local_band_count = 0;
  std::uint32_t expand = 0;
  std::uint32_t usn = 0;
  std::uint32_t paged = 0;
  std::uint32_t logfile = 0;
  std::uint32_t retry = 0;
  std::uint32_t pending = 0;
  std::uint32_t cache_reads = 0;
  std::uint32_t cache_productive = 0;
  std::uint32_t filtered = 0;
};

// "MFT Audit: folder=... FRN={scope_folders} $MFT≈... {elapsed}ms {status}".
std::string print_mft_audit(const ScanContext& context);

// Directory record number -> (name, parent record number): what a parent walk climbs.
using DirNameMap = std::unordered_map<std::uint64_t, std::pair<std::string, std::uint64_t>>;
// Record number -> set of names.
using FrnNameSets = std::unordered_map<std::uint64_t, std::unordered_set<std::string>>;

// The folder and every directory found below it (built once per scan, then read-only).
struct DirectoryScope {
  std::string path;
  std::unordered_set<std::uint64_t> dir_frns;
  std::unordered_set<std::uint64_t> parent_match_frns;
  DirNameMap dir_names;  // frn -> (name, parent); the folder itself is ("", 5)
  std::unordered_set<std::uint64_t> deleted_dir_frns;
  std::uint64_t dir_frn = 0;
  std::uint64_t dir_ref = 0;
  bool strict_paths = true;
  bool filter_flag = false;
};

// What the change journal learned per record number.
struct UsnCandidateMap {
  FrnNameSets names_by_frn;
  std::unordered_map<std::uint64_t, std::uint64_t> parent_by_frn;
};

// The first name of a name set in a fixed order (the smallest by bytes), so that a phase that
// takes "one name of the set" picks the same one on every run whatever the hasher's seed.
std::optional<std::string> first_name(const std::unordered_set<std::string>& names);

struct ScanResult {
  std::vector<DeletedEntry> entries;
  std::string usn_summary;
  std::optional<std::string> mft_summary;
};

// A result without entries whose journal summary is the text.
ScanResult summary_only_result(std::string text);

}  // namespace kavel_lib::engine::windows
