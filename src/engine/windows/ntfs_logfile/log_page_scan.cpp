#include "engine/windows/ntfs_logfile/log_page_scan.h"

#include <algorithm>
#include <limits>
#include <string>

#include "engine/windows/ntfs_logfile/log_layout.h"
#include "engine/windows/raw_mft/ntfs_layout.h"
#include "engine/windows/wtf8.h"

namespace kavel_lib::engine::windows {

namespace {

using namespace logfile;
using ntfs::load_u16;
using ntfs::load_u64;

void bump(std::uint32_t& counter) {
  if (counter != std::numeric_limits<std::uint32_t>::max()) ++counter;
}

// A record number the volume holds, or 0.
std::uint64_t volume_record(std::uint64_t frn, const LogScanVolume& volume) {
  return frn < volume.record_count ? frn : 0;
}

// Operation 3: the record number that the target position names, or 0.
std::uint64_t target_record(std::span<const std::uint8_t> header, const LogScanVolume& volume) {
  const std::uint64_t cluster = volume.bytes_per_cluster;
  const auto vcn = static_cast<std::int64_t>(load_u64(header, kLogTargetVcn));
  if (cluster == 0 || vcn < 0) return 0;
  std::uint64_t position = 0;
  if (__builtin_mul_overflow(cluster, static_cast<std::uint64_t>(vcn), &position) ||
      __builtin_add_overflow(position, std::uint64_t{load_u16(header, kLogClusterBlockOffset)} * kLogBlockUnit,
                             &position)) {
    return 0;
  }
  const std::uint64_t divisor = load_u16(header, kLogRecordDivisor);
  const std::uint64_t unit = divisor != 0 ? divisor * kLogBlockUnit : std::max<std::uint64_t>(volume.record_size, 1024);
  return volume_record(position / unit, volume);
}

// Operations 6 and 13: the name record of the redo data, when it holds a non-DOS name.
struct NameRecord {
  std::uint64_t parent = 0;
  std::uint64_t frn = 0;
  std::string name;
};
std::optional<NameRecord> name_record(std::span<const std::uint8_t> redo, const LogScanVolume& volume) {
  if (redo.size() < kNameRecordMinLength) return std::nullopt;
  const std::size_t units = redo[kNameRecordLength];
  if (redo[kNameRecordNamespace] == kNameRecordDosNamespace || kNameRecordName + 2 * units > redo.size()) {
    return std::nullopt;
  }
  NameRecord r;
  r.name = lossy_utf8(wtf8_from_utf16le(redo.subspan(kNameRecordName, 2 * units)));
  r.parent = load_u64(redo, kNameRecordParent) & kFrnMask;
  const std::uint64_t reference = load_u64(redo, kNameRecordReference) & kFrnMask;
  r.frn = reference < kFirstUserRecord ? 0 : volume_record(reference, volume);
  return r;
}

}  // namespace

void scan_log_records(std::span<const std::uint8_t> bytes, const LogScanVolume& volume,
                      const std::unordered_set<std::uint64_t>& parent_match_frns, LogCandidateMap& candidates,
                      LogScanCounters& counters) {
  const std::size_t n = bytes.size();
  if (n < kLogHeaderSize) return;
  std::size_t i = 0;
  while (i <= n - kLogHeaderSize) {
    const auto header = bytes.subspan(i, kLogHeaderSize);
    const std::uint16_t redo = load_u16(header, kLogRedoOperation);
    const std::uint16_t undo = load_u16(header, kLogUndoOperation);
    const std::size_t redo_offset = load_u16(header, kLogRedoOffset);
    const std::size_t redo_length = load_u16(header, kLogRedoLength);
    const bool accepted = (redo < kLogOperationLimit || undo < kLogOperationLimit) &&
                          redo_offset >= kLogMinRedoOffset && redo_length != 0 &&
                          redo_offset + redo_length <= n - i;
    if (!accepted) {
      ++i;
      continue;
    }
    bump(counters.headers);
    std::size_t step = 8;
    if (redo == kLogOpDeallocateFileRecord) {
      bump(counters.frn_records);
      if (const std::uint64_t frn = target_record(header, volume); frn != 0) {
        merge_logfile_candidate(candidates, LogCandidate{LogCandidate::kRecordOnly, 0, std::nullopt, frn});
      }
    } else if (redo == kLogOpDeleteAttribute || redo == kLogOpDeleteIndexEntryRoot) {
      bump(counters.name_records);
      auto record = name_record(bytes.subspan(i + redo_offset, redo_length), volume);
      if (record && !record->name.empty()) {
        if (parent_match_frns.contains(record->parent)) {
          merge_logfile_candidate(candidates, LogCandidate{LogCandidate::kNamed, record->parent,
                                                           std::move(record->name), record->frn});
        } else {
          step = 1;  // a name outside the scope: look again one byte further on
        }
      }
    }
    i += step;
  }
}

std::pair<std::vector<LogCandidate>, LogScanCounters> scan_logfile_pages(
    std::span<const std::uint8_t> bytes, const LogScanVolume& volume,
    const std::unordered_set<std::uint64_t>& parent_match_frns, const UsnCandidateMap* usn_map) {
  LogCandidateMap map;
  LogScanCounters counters;
  for (std::size_t page = 0; page < bytes.size(); page += kLogPageSize) {
    const auto slice = bytes.subspan(page, std::min(kLogPageSize, bytes.size() - page));
    if (slice.size() < kLogPageMarkerSize) continue;
    if (!ntfs::has_signature(slice, "RCRD") && !ntfs::has_signature(slice, "CHKD")) continue;
    if (slice.size() < kLogPageDataStart) continue;
    scan_log_records(slice.subspan(kLogPageDataStart), volume, parent_match_frns, map, counters);
  }
  scan_log_records(bytes, volume, parent_match_frns, map, counters);

  std::vector<LogCandidate> kept;
  for (auto& [key, c] : map) {
    const bool named_in_scope = c.kind == LogCandidate::kNamed && parent_match_frns.contains(c.parent);
    if (usn_map != nullptr && usn_map->names_by_frn.contains(c.frn)) {
      bump(counters.hinted);
    } else if (!named_in_scope) {
      continue;
    }
    kept.push_back(std::move(c));
  }
  return {std::move(kept), counters};
}

}  // namespace kavel_lib::engine::windows
