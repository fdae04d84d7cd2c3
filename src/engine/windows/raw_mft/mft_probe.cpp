#include "engine/windows/raw_mft/mft_probe.h"

#include <algorithm>
#include <limits>
#include <unordered_set>

#include <fmt/format.h>

#include "datasource/windows/drive_letter.h"
#include "engine/windows/ntfs_deleted/index_root.h"
#include "engine/windows/ntfs_deleted/record_names.h"
#include "engine/windows/raw_mft/ntfs_layout.h"
#include "engine/windows/raw_mft/volume_access.h"
#include "engine/windows/usn_deleted/usn_scan.h"
#include "engine/windows/wtf8.h"

namespace kavel_lib::engine::windows {

namespace {

// "in_use" or "free" as the record's flags say; a record that is not a FILE record of at
// least 24 bytes counts as in use.
bool record_in_use(std::span<const std::uint8_t> record) {
  const auto flags = ntfs::file_record_flags(record);
  return !flags || (*flags & ntfs::kRecordFlagInUse) != 0;
}

void add_index_lines(const VolumeHandle& volume, const NtfsVolumeData& volume_data, std::uint32_t record_size,
                     const std::unordered_set<std::uint64_t>& match, MftProbeResult& result) {
  auto record = get_mft_record(volume_data, volume, result.dir_ref, record_size);
  if (!record) record = get_mft_record(volume_data, volume, result.dir_frn, record_size);
  if (!record) return;
  for (const IndexRootEntry& e : list_index_root_entries(*record, match, result.dir_frn, false)) {
    result.lines.push_back(e.name ? fmt::format("Indexed FRN {} name={}", e.frn, lossy_utf8(*e.name))
                                  : fmt::format("Indexed FRN {}", e.frn));
  }
}

void add_record_lines(const VolumeHandle& volume, const VolumeGeometry& geometry,
                      const std::unordered_set<std::uint64_t>& match, MftProbeResult& result) {
  for (std::uint64_t r = result.scan_start; r < result.scan_end; ++r) {
    const auto record = read_raw_mft_record(volume, geometry, r);
    if (!record) continue;
    const bool in_use = record_in_use(*record);
    if (!in_use && result.free_records != std::numeric_limits<std::uint32_t>::max()) ++result.free_records;
    for (const DeletedEntrySource& s : record_detail(*record, match)) {
      result.lines.push_back(fmt::format("FRN {} ({}) name={} size={}", r, in_use ? "in_use" : "free",
                                         lossy_utf8(s.name), s.size));
    }
  }
}

}  // namespace

std::expected<MftProbeResult, platform::OsError> probe_frn(std::string_view folder) {
  const auto letter = datasource::windows::drive_letter_of_path(folder);
  if (!letter) return MftProbeResult{};
  auto dir = directory_frn(folder);
  if (!dir) return std::unexpected(dir.error());
  auto volume = open_volume_by_letter(*letter);
  if (!volume) return std::unexpected(platform::OsError::with_text(platform::OsErrorKind::Other, "Cannot open volume"));
  auto volume_data = query_ntfs_volume_data(*volume);
  if (!volume_data) return std::unexpected(volume_data.error());
  const VolumeGeometry geometry = record_reader_geometry(*volume_data);

  MftProbeResult result;
  result.dir_frn = dir->dir_frn;
  result.dir_ref = dir->dir_ref;
  result.scan_start = result.dir_frn >= kProbeBelow ? result.dir_frn - kProbeBelow : 0;
  result.scan_end = result.dir_frn <= std::numeric_limits<std::uint64_t>::max() - kProbeAbove
                        ? result.dir_frn + kProbeAbove
                        : std::numeric_limits<std::uint64_t>::max();
  // The folder alone, as a bare record number or as its exact reference.
  const std::unordered_set<std::uint64_t> match{result.dir_frn, result.dir_ref & kFrnMask, result.dir_ref};

  add_index_lines(*volume, *volume_data, geometry.record_size, match, result);
  add_record_lines(*volume, geometry, match, result);
  return result;
}

}  // namespace kavel_lib::engine::windows
