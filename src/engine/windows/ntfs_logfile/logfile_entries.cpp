// Entries from one $LogFile candidate: the record it names, else the log's name and parent.
#include <fmt/format.h>

#include "datasource/windows/drive_letter.h"
#include "engine/windows/ntfs_deleted/candidate_collector.h"
#include "engine/windows/ntfs_logfile/logfile_scan.h"
#include "engine/windows/wtf8.h"

namespace kavel_lib::engine::windows {

namespace {

// The entry made from the log alone, when the scope's path test accepts it.
std::optional<DeletedEntry> entry_from_log(const DirectoryScope& scope, const LogCandidate& candidate) {
  if (!candidate.name) return std::nullopt;
  const DeletedEntrySource source{*candidate.name, candidate.parent, 0, 0};
  auto entry = build_entry_path(source, candidate.frn, scope.path, scope.dir_frn, scope.dir_names,
                                /*use_lost_folder=*/!scope.strict_paths);
  if (!entry) return std::nullopt;
  const bool accepted = scope.strict_paths ? resolve_candidate_path(scope, *entry) : candidate_path_or_lost(scope, *entry);
  if (!accepted) return std::nullopt;
  return entry;
}

}  // namespace

void logfile_candidates_to_entries(const DirectoryScope& scope, const LogCandidate& candidate,
                                   const NtfsVolumeData& volume_data, const VolumeHandle& volume,
                                   const UsnCandidateMap* hints, std::vector<DeletedEntry>& entries,
                                   std::unordered_set<std::string>& dedup_texts,
                                   std::unordered_set<std::uint64_t>& found_frns, std::uint32_t& counter) {
  if (candidate.frn == 0) return;
  // A number the log gives is trusted only when the volume has such a record.
  if (candidate.frn >= log_scan_volume(volume_data, volume).record_count) return;
  const bool named = candidate.kind == LogCandidate::kNamed;
  const char letter = datasource::windows::drive_letter_of_path(scope.path).value_or('?');

  const RecordParseArgs args{.letter = letter,
                             .folder = scope.path,
                             .root_frn = scope.dir_frn,
                             .parent_match_frns = scope.parent_match_frns,
                             .dir_names = scope.dir_names,
                             .hints = hints,
                             .fallback_name = candidate.name,
                             .fallback_enabled = named,
                             .fallback_parent = candidate.parent,
                             .absent_path_check = true,
                             .take_in_use = !scope.strict_paths,
                             .extra_name_flag = scope.filter_flag};
  if (auto parsed = read_and_parse_record(volume_data, volume, candidate.frn, args)) {
    ScanContext scratch;
    accept_candidates(scope, scratch, entries, dedup_texts, found_frns, std::move(*parsed));
    return;
  }
  if (!named) return;

  auto entry = entry_from_log(scope, candidate);
  if (!entry) return;
  std::string key = fmt::format("{}|{}", entry->frn, lossy_utf8(entry->path));
  if (!dedup_texts.insert(std::move(key)).second) return;
  if (counter != UINT32_MAX) ++counter;
  found_frns.insert(candidate.frn);
  entries.push_back(std::move(*entry));
}

}  // namespace kavel_lib::engine::windows
