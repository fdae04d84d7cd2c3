#include "engine/windows/raw_mft/record_fetch.h"

#include <fmt/format.h>

#include <string>

#include "engine/windows/raw_mft/record_reader.h"
#include "engine/windows/recycle/path_helpers.h"

namespace kavel_lib::engine::windows {

std::optional<std::vector<DeletedEntry>> read_and_parse_record(const NtfsVolumeData& volume_data,
                                                               const VolumeHandle& volume, std::uint64_t frn,
                                                               const RecordParseArgs& args) {
  auto record = read_raw_mft_record(volume, record_reader_geometry(volume_data), frn);
  if (!record) return std::nullopt;
  auto entries = parse_record_entries(*record, frn, args);
  if (entries.empty()) return std::nullopt;
  return entries;
}

std::optional<std::vector<DeletedEntry>> fetch_and_parse_record(MftRecordCache& cache, const VolumeGeometry& geometry,
                                                                const VolumeHandle& volume, std::uint64_t frn,
                                                                const RecordParseArgs& args) {
  auto it = cache.records.find(frn);
  if (it == cache.records.end()) {
    ++cache.reads;
    auto record = read_raw_mft_record(volume, geometry, frn);
    if (!record) return std::nullopt;
    it = cache.records.emplace(frn, std::move(*record)).first;
  }
  auto entries = parse_record_entries(it->second, frn, args);
  if (entries.empty()) return std::nullopt;
  ++cache.productive;
  return entries;
}

std::vector<DeletedEntry> scan_frn_list(char letter, std::string_view folder, std::uint64_t root_frn,
                                        const std::unordered_set<std::uint64_t>& parent_match_frns,
                                        const DirNameMap& dir_names, const std::vector<std::uint64_t>& frns,
                                        const UsnCandidateMap* hints) {
  auto volume = open_volume_by_letter(letter);
  if (!volume) return {};
  auto volume_data = query_ntfs_volume_data(*volume);
  if (!volume_data) return {};
  const VolumeGeometry geometry = record_reader_geometry(*volume_data);
  const RecordParseArgs args{.letter = letter,
                             .folder = folder,
                             .root_frn = root_frn,
                             .parent_match_frns = parent_match_frns,
                             .dir_names = dir_names,
                             .hints = hints};
  std::vector<DeletedEntry> kept;
  std::unordered_set<std::string> keys;
  for (const std::uint64_t frn : frns) {
    auto record = read_raw_mft_record(*volume, geometry, frn);
    if (!record) continue;
    for (auto& entry : parse_record_entries(*record, frn, args)) {
      if (!path_is_under(entry.path, folder)) continue;
      if (!keys.insert(fmt::format("{}|{}", entry.frn, entry.path)).second) continue;
      kept.push_back(std::move(entry));
    }
  }
  return kept;
}

}  // namespace kavel_lib::engine::windows
