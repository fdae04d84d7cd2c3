// libFuzzer target over the FILE record readers: the update sequence restore, the attribute
// walk, $FILE_NAME values, data runs, index-root entries and the record parser.
//
// Input: one option byte (parser flags, the record number's low bits), then the record bytes.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/windows/ntfs_deleted/index_root.h"
#include "engine/windows/ntfs_deleted/record_entries.h"
#include "engine/windows/raw_mft/data_runs.h"
#include "engine/windows/raw_mft/mft_record.h"

namespace ew = kavel_lib::engine::windows;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t options = data[0];
  std::vector<std::uint8_t> record(data + 1, data + size);
  ew::apply_fixups(record);
  const std::span<const std::uint8_t> view(record);

  ew::AttributeWalk walk(view);
  while (auto attr = walk.next()) {
    if (auto value = attr->resident_value(view)) {
      if (auto fn = ew::parse_file_name_value(*value)) (void)fn->name();
    }
  }
  (void)ew::find_resident_attribute(view, 0x80);
  (void)ew::decode_mapping_pairs(view);
  if (auto runs = ew::decode_data_runs(view)) {
    (void)ew::map_stream_range(runs->runs, 512u << (options & 7), runs->data_size / 3, runs->data_size / 2);
  }
  (void)ew::decode_unnamed_attribute_runs(view, 0xB0);

  const std::uint64_t own = 36 + (options >> 3);
  const std::unordered_set<std::uint64_t> parents{5, own, own + 1};
  (void)ew::list_index_root_entries(view, parents, own, (options & 1) != 0);

  const ew::DirNameMap names{{own, {"", 5}}, {own + 1, {"sub", own}}};
  ew::UsnCandidateMap hints;
  hints.names_by_frn[own + 2] = {"a.txt", "b.txt"};
  hints.parent_by_frn[own + 2] = own;
  const ew::RecordParseArgs args{.letter = 'E',
                                 .folder = "E:\\docs",
                                 .root_frn = own,
                                 .parent_match_frns = parents,
                                 .dir_names = names,
                                 .hints = (options & 2) != 0 ? &hints : nullptr,
                                 .fallback_name = (options & 4) != 0 ? std::optional<std::string>("x.txt") : std::nullopt,
                                 .fallback_enabled = (options & 4) != 0,
                                 .fallback_parent = own,
                                 .absent_path_check = (options & 8) != 0,
                                 .take_in_use = (options & 16) != 0,
                                 .extra_name_flag = (options & 32) != 0};
  (void)ew::parse_record_entries(view, own + 2, args);
  return 0;
}
