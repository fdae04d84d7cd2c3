// The change-journal scan of a folder: the folder's record number, the two journal reads
// around the enumeration step, the record step for nameless delete records, the report's
// summary line and the statistics pass of the debug road.
#include "engine/windows/usn_deleted/usn_scan.h"

#include "engine/windows/saturating.h"

#include <limits>
#include <memory>
#include <unordered_map>

#include <fmt/format.h>

#include "datasource/windows/drive_letter.h"
#include "engine/windows/raw_mft/record_fetch.h"
#include "engine/windows/raw_mft/volume.h"
#include "engine/windows/usn_deleted/live_file_probe.h"
#include "engine/windows/usn_deleted/usn_reason.h"
#include "engine/windows/usn_deleted/usn_record.h"
#include "platform/volume_paths.h"

namespace kavel_lib::engine::windows {

namespace {

// The read window's start for a second look: as usn_window_start, FirstUsn when NextUsn is
// too small to subtract from.
std::int64_t window_start_or_first(const UsnJournalData& journal) {
  return usn_window_start(journal).value_or(journal.first_usn);
}

// Existence answers are asked once per path and scan: the same file appears in many records.
std::function<bool(std::string_view)> cached_exists(const std::function<bool(std::string_view)>& exists) {
  if (!exists) return {};
  auto cache = std::make_shared<std::unordered_map<std::string, bool>>();
  return [cache, exists](std::string_view path) {
    auto it = cache->find(std::string(path));
    if (it != cache->end()) return it->second;
    const bool answer = exists(path);
    cache->emplace(std::string(path), answer);
    return answer;
  };
}

}  // namespace

UsnScanSources default_usn_scan_sources() {
  UsnScanSources s;
  s.open_volume = [](char letter) -> std::expected<JournalControl, platform::OsError> {
    auto volume = open_volume_by_letter(letter);
    if (!volume) return std::unexpected(volume.error());
    auto shared = std::make_shared<VolumeHandle>(std::move(*volume));
    return JournalControl([shared](std::uint32_t code, std::span<const std::uint8_t> in, std::span<std::uint8_t> out) {
      return shared->control(code, in, out);
    });
  };
  s.path_exists = [](std::string_view path) { return platform::volume_paths::exists(path); };
  s.live_file = [](char letter) -> std::function<bool(std::uint64_t)> {
    auto volume = open_volume_by_letter(letter);
    if (!volume) return {};
    auto probe = live_file_probe_of(std::make_shared<const VolumeHandle>(std::move(*volume)));
    return [probe](std::uint64_t reference) { return probe->live_outside_recycle_bin(reference); };
  };
  s.fetch_records = scan_frn_list;
  s.directory_frn = [](std::string_view path) { return directory_frn(path); };
  return s;
}

std::expected<DirectoryFrn, platform::OsError> directory_frn(std::string_view path) {
  auto info = platform::volume_paths::file_id(path);
  if (!info) {
    // A failure without an error code leaves the reference 0.
    if (info.error().code == 0) return DirectoryFrn{};
    return std::unexpected(platform::OsError::from_code(info.error().code));
  }
  std::uint64_t ref = 0;
  for (int i = 7; i >= 0; --i) ref = (ref << 8) | info->file_id[static_cast<std::size_t>(i)];
  return DirectoryFrn{ref, ref & kFrnMask};
}

std::expected<UsnScanResult, platform::OsError> scan_usn_deleted(std::string_view folder, std::uint64_t dir_ref,
                                                                 std::uint64_t dir_frn,
                                                                 const std::unordered_set<std::uint64_t>* scope_set,
                                                                 const DirNameMap* dir_names, bool full) {
  return scan_usn_deleted_with(default_usn_scan_sources(), folder, dir_ref, dir_frn, scope_set, dir_names, full);
}

std::expected<UsnScanResult, platform::OsError> scan_usn_deleted_with(const UsnScanSources& sources,
                                                                 std::string_view folder, std::uint64_t dir_ref,
                                                                 std::uint64_t dir_frn,
                                                                 const std::unordered_set<std::uint64_t>* scope_set,
                                                                 const DirNameMap* dir_names, bool full) {
  UsnScanResult result;
  const auto letter = datasource::windows::drive_letter_of_path(folder);
  if (!letter) return result;
  auto control = sources.open_volume(*letter);
  if (!control) return std::unexpected(control.error());

  UsnWalkContext context;
  context.folder = folder;
  context.dir_ref = dir_ref;
  context.dir_frn = dir_frn;
  context.scope_set = scope_set;
  context.dir_names = dir_names;
  context.full = full;
  context.path_exists = cached_exists(sources.path_exists);
  if (sources.live_file) context.live_file = sources.live_file(*letter);
  context.containment = std::make_shared<const FolderContainment>(folder);

  UsnFindings findings;
  std::unordered_set<std::uint64_t> unpaired;

  // First read, over the journal's last window.
  auto journal = query_usn_journal(*control);
  if (journal) {
    result.journal = std::pair{journal->first_usn, journal->next_usn};
    const auto start = usn_window_start(*journal);
    if (journal->first_usn < journal->next_usn && start) {
      auto read = read_usn_journal_range(*control, context, *journal, *start, findings, unpaired);
      if (read) {
        result.read_count = *read;
      } else {
        result.read_error = read.error().display();
      }
    }
  }

  // Enumeration of the records around the folder.
  auto enumeration = run_enum_step(*control, context, findings);
  result.enum_count = enumeration.added;
  result.enum_error = std::move(enumeration.error);

  // Second read over the same window; what the first one took is not taken again.
  std::optional<UsnJournalData> second = journal ? std::optional(*journal) : std::nullopt;
  if (!second) {
    auto again = query_usn_journal(*control);
    if (again) {
      second = *again;
    } else {
      result.read_error = again.error().display();
    }
  }
  if (second && second->first_usn < second->next_usn) {
    auto read = read_usn_journal_range(*control, context, *second, window_start_or_first(*second), findings,
                                       unpaired);
    if (read) {
      result.read_count = saturating_add(result.read_count, *read);
    } else {
      result.read_error = read.error().display();
    }
  }

  // Nameless delete records whose name never followed: read their records.
  if (!unpaired.empty() && sources.fetch_records) {
    const std::unordered_set<std::uint64_t> allowed =
        scope_set ? *scope_set : std::unordered_set<std::uint64_t>{dir_frn, dir_ref & kFrnMask, dir_ref};
    static const DirNameMap kNoNames;
    const std::vector<std::uint64_t> frns(unpaired.begin(), unpaired.end());
    auto entries = sources.fetch_records(*letter, folder, dir_frn, allowed, dir_names ? *dir_names : kNoNames, frns,
                                         &findings.candidate_map);
    for (auto& entry : entries) {
      if (!findings.seen_keys.insert(usn_candidate_key(entry.frn, entry.path)).second) continue;
      findings.candidates.push_back(std::move(entry));
      result.read_count = saturating_add(result.read_count, 1);
    }
  }

  result.candidates = std::move(findings.candidates);
  result.candidate_map = std::move(findings.candidate_map);
  return result;
}

std::string usn_summary_text(const UsnScanResult& r) {
  const std::uint64_t n = saturating_add(r.read_count, r.enum_count);
  if (n > 0) return fmt::format("变更日志发现{}个删除记录", n);
  if (r.enum_error) return fmt::format("读取删除日志失败:{}", *r.enum_error);
  if (r.read_error) return fmt::format("读取删除日志失败:{}", *r.read_error);
  if (!r.journal) return "变更日志中暂无删除记录";
  return "变更日志中暂无删除记录，将继续扫描文件记录";
}

std::expected<UsnDebugStats, platform::OsError> debug_usn_query(std::string_view folder) {
  return debug_usn_query_with(default_usn_scan_sources(), folder);
}

std::expected<UsnDebugStats, platform::OsError> debug_usn_query_with(const UsnScanSources& sources,
                                                                std::string_view folder) {
  auto dir = sources.directory_frn(folder);
  if (!dir) return std::unexpected(dir.error());
  UsnDebugStats stats;
  stats.dir_frn = dir->dir_frn;
  stats.dir_ref = dir->dir_ref;
  const auto letter = datasource::windows::drive_letter_of_path(folder);
  if (!letter) return stats;
  auto control = sources.open_volume(*letter);
  if (!control) return std::unexpected(control.error());
  auto journal = query_usn_journal(*control);
  if (!journal) return std::unexpected(journal.error());
  stats.first_usn = journal->first_usn;
  stats.next_usn = journal->next_usn;

  UsnWalkContext context;
  context.folder = folder;
  context.dir_ref = dir->dir_ref;
  context.dir_frn = dir->dir_frn;
  context.path_exists = cached_exists(sources.path_exists);
  if (sources.live_file) context.live_file = sources.live_file(*letter);
  context.containment = std::make_shared<const FolderContainment>(folder);
  std::unordered_set<std::uint64_t> unpaired;
  if (journal->first_usn < journal->next_usn) {
    auto read = read_journal_loop(*control, *journal, window_start_or_first(*journal),
                                  [&](std::span<const std::uint8_t> records) {
                                    for_each_usn_record(records, [&](const ParsedUsnRecord& record, std::size_t) {
                                      if (record.name.empty()) {
                                        if (is_delete_reason(record.reason) && record.parent != 0 &&
                                            context.is_folder(record.parent)) {
                                          unpaired.insert(record.frn);
                                        }
                                        return;
                                      }
                                      ++stats.parsed;
                                      if (is_delete_reason(record.reason)) ++stats.delete_reason;
                                      if (record.parent != 0 && context.is_folder(record.parent)) ++stats.parent_match;
                                      UsnFindings fresh;
                                      if (accept_usn_record(record, context, fresh, unpaired)) ++stats.accepted;
                                    });
                                  });
    if (!read) return std::unexpected(read.error());
  }
  stats.unpaired_v4 = unpaired.size();
  return stats;
}

}  // namespace kavel_lib::engine::windows
