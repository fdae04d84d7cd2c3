// libFuzzer target over the paged scans' chunk handling: a chunk of records of a size chosen by
// the input scanned slot by slot (skip set, in-use gate, hints, the record parser), and the
// nearest-first work list with its worker slices for counts taken from the input.
//
// Input: one option byte (record size, parser flags), eight bytes of record count, then the
// chunk bytes.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/windows/raw_mft/chunk_scan.h"
#include "engine/windows/raw_mft/chunk_work_list.h"
#include "engine/windows/raw_mft/mft_record.h"
#include "engine/windows/raw_mft/ntfs_layout.h"

namespace ew = kavel_lib::engine::windows;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 9) return 0;
  const std::uint8_t options = data[0];
  std::uint64_t count = 0;
  for (int i = 7; i >= 0; --i) count = (count << 8) | data[1 + i];

  // Work list and slices: any count, chunk size and folder.
  const std::uint32_t chunk_records = 1u + (options & 0x3F) * 97u;
  const ew::ChunkWorkList work(count, chunk_records, count / 3);
  for (std::uint64_t p : {std::uint64_t{0}, std::uint64_t{1}, work.size() / 2, work.size() - 1}) {
    if (p < work.size()) (void)work.records_in_chunk(work.first_record(p));
  }
  (void)ew::slice_work_list(work.size(), options >> 4);

  static constexpr std::uint32_t kSizes[] = {512, 1024, 4096, 0};
  const std::uint32_t record_size = kSizes[options & 3];
  std::vector<std::uint8_t> chunk(data + 9, data + size);
  if (record_size != 0) {
    for (std::size_t at = 0; at + record_size <= chunk.size(); at += record_size) {
      const std::span<std::uint8_t> slot(chunk.data() + at, record_size);
      if (ew::ntfs::is_file_or_baad_record(slot)) ew::apply_fixups(slot);
    }
  }

  const std::uint64_t first = 60 + (options >> 5);
  const std::unordered_set<std::uint64_t> parents{5, 40, 41};
  const ew::DirNameMap names{{40, {"", 5}}, {41, {"sub", 40}}};
  const std::unordered_set<std::uint64_t> skip{first + 1};
  ew::UsnCandidateMap hints;
  hints.names_by_frn[first + 2] = {"a.txt"};
  const ew::ChunkScanScope scope{.letter = 'E',
                                 .folder = "E:\\docs",
                                 .folder_frn = 40,
                                 .parent_match_frns = parents,
                                 .dir_names = names,
                                 .hints = (options & 4) != 0 ? &hints : nullptr,
                                 .skip = skip,
                                 .take_in_use = (options & 8) != 0,
                                 .extra_name_flag = (options & 16) != 0};
  (void)ew::scan_mft_chunk(chunk, first, record_size, scope);
  return 0;
}
