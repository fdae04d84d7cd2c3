#include "engine/windows/raw_mft/chunk_scan.h"

#include "engine/windows/ntfs_deleted/record_entries.h"
#include "engine/windows/raw_mft/ntfs_layout.h"

namespace kavel_lib::engine::windows {

using namespace ntfs;

ChunkScanResult scan_mft_chunk(std::span<const std::uint8_t> chunk, std::uint64_t first_frn,
                               std::uint32_t record_size, const ChunkScanScope& scope) {
  ChunkScanResult result;
  if (record_size == 0) return result;
  const std::size_t records = chunk.size() / record_size;
  for (std::size_t i = 0; i < records; ++i) {
    const std::uint64_t frn = first_frn + i;
    if (scope.skip.contains(frn)) continue;
    ++result.scanned;
    const auto record = chunk.subspan(i * record_size, record_size);
    if (!is_file_or_baad_record(record)) continue;
    const bool hinted = scope.hints != nullptr && scope.hints->names_by_frn.contains(frn);
    bool absent_path_check = false;
    if (const auto flags = file_record_flags(record)) {
      const bool in_use = (*flags & kRecordFlagInUse) != 0;
      if (in_use && !hinted && !scope.take_in_use) continue;
      absent_path_check = in_use && scope.take_in_use;
    } else {
      // "BAAD" (a record whose update sequence did not match when it was written).
      if (!hinted && !scope.take_in_use) continue;
      absent_path_check = scope.take_in_use;
    }
    const RecordParseArgs args{.letter = scope.letter,
                               .folder = scope.folder,
                               .root_frn = scope.folder_frn,
                               .parent_match_frns = scope.parent_match_frns,
                               .dir_names = scope.dir_names,
                               .hints = scope.hints,
                               .absent_path_check = absent_path_check,
                               .take_in_use = scope.take_in_use,
                               .extra_name_flag = scope.extra_name_flag};
    auto entries = parse_record_entries(record, frn, args);
    result.entries.insert(result.entries.end(), std::make_move_iterator(entries.begin()),
                          std::make_move_iterator(entries.end()));
  }
  return result;
}

}  // namespace kavel_lib::engine::windows
