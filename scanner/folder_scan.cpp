#include "scanner/folder_scan.h"

#include <algorithm>
#include <unordered_map>

#include <fmt/format.h>

#include "datasource/windows/drive_letter.h"
#include "engine/windows/ntfs_deleted/candidate_collector.h"
#include "engine/windows/recycle/path_helpers.h"
#include "engine/windows/wtf8.h"
#include "scanner/directory_scope.h"

namespace kavel_lib::scanner {

namespace ew = engine::windows;

namespace {

constexpr std::size_t kInsertionSortLimit = 20;

bool path_before(const ew::DeletedEntry& a, const ew::DeletedEntry& b) {
  return ew::compare_path_components(a.path, b.path) < 0;
}

// Bottom-up merge sort; on equal paths the left run's entry goes first, so it is stable.
void merge_sort_by_path(std::vector<ew::DeletedEntry>& entries) {
  const std::size_t n = entries.size();
  std::vector<ew::DeletedEntry> buffer(n);
  for (std::size_t width = 1; width < n; width *= 2) {
    for (std::size_t lo = 0; lo < n; lo += 2 * width) {
      const std::size_t mid = std::min(lo + width, n);
      const std::size_t hi = std::min(lo + 2 * width, n);
      std::size_t i = lo;
      std::size_t j = mid;
      std::size_t k = lo;
      while (i < mid && j < hi) buffer[k++] = std::move(path_before(entries[j], entries[i]) ? entries[j++] : entries[i++]);
      while (i < mid) buffer[k++] = std::move(entries[i++]);
      while (j < hi) buffer[k++] = std::move(entries[j++]);
    }
    entries.swap(buffer);
  }
}

// The driver's merge state: entries and, by their "{frn}|{path}" texts, where each one sits.
// A repeat keeps the first copy (the journal's, which arrives first) in its place; the first
// copy takes the size and time that a later one read from the file's record when it has none
// of its own (the journal records carry neither).
struct MergeState {
  std::vector<ew::DeletedEntry> entries;
  std::unordered_map<std::string, std::size_t> texts;

  void add(ew::DeletedEntry entry) {
    auto [it, inserted] = texts.try_emplace(fmt::format("{}|{}", entry.frn, ew::lossy_utf8(entry.path)), entries.size());
    if (inserted) {
      entries.push_back(std::move(entry));
      return;
    }
    ew::DeletedEntry& kept = entries[it->second];
    if (kept.size == 0) kept.size = entry.size;
    if (!kept.time) kept.time = entry.time;
  }
};

}  // namespace

std::string journal_error_text(const platform::OsError& error) {
  const auto code = error.code();
  if ((code && (*code == 5 || *code == 10013)) ||
      (!code && error.kind() == platform::OsErrorKind::PermissionDenied)) {
    return "Access denied";
  }
  return error.display();
}

std::optional<ew::DirectoryScope> locate_directory_on_volume(std::string_view folder, char letter) {
  auto volume = ew::open_volume_by_letter(letter);
  if (!volume) return std::nullopt;
  auto data = ew::query_ntfs_volume_data(*volume);
  if (!data) return std::nullopt;
  const ew::VolumeGeometry geometry = ew::record_reader_geometry(*data);
  auto scope = build_directory_scope(folder, *volume, geometry);
  if (!scope) return std::nullopt;
  return std::move(*scope);
}

std::expected<ScopedPhasesOutcome, std::string> scan_without_directory_tree(std::string_view folder,
                                                                            ew::TimeBudget remaining,
                                                                            const ew::UsnCandidateMap* usn_map,
                                                                            const ew::ScanOptions& options,
                                                                            const TextSink& out) {
  const auto letter = datasource::windows::drive_letter_of_path(folder);
  if (!letter) return std::unexpected(std::string("Cannot identify drive letter"));
  std::optional<ew::DirectoryScope> scope;
  {
    auto volume = ew::open_volume_by_letter(*letter);
    if (!volume) return std::unexpected(volume.error().display());
    auto data = ew::query_ntfs_volume_data(*volume);
    if (!data) return std::unexpected(data.error().display());
    report_progress(out, 0, 1, "Building directory FRN mapping table...");
    const ew::VolumeGeometry geometry = ew::record_reader_geometry(*data);
    auto built = build_directory_scope(folder, *volume, geometry);
    if (!built) return std::unexpected(built.error().display());
    scope = std::move(*built);
  }  // the volume handle is closed here
  auto phases = run_mft_phases(*scope, *letter, remaining, usn_map, options, out);
  if (!phases) return std::unexpected(phases.error());
  return ScopedPhasesOutcome{std::move(*scope), std::move(*phases)};
}

FolderScanSources default_folder_scan_sources() {
  FolderScanSources s;
  s.directory_frn = ew::directory_frn;
  s.locate_directory_on_volume = locate_directory_on_volume;
  s.scan_usn_deleted = ew::scan_usn_deleted;
  s.run_mft_phases = [](const ew::DirectoryScope& scope, char letter, ew::TimeBudget remaining,
                        const ew::UsnCandidateMap* usn_map, const ew::ScanOptions& options, const TextSink& out) {
    return run_mft_phases(scope, letter, remaining, usn_map, options, out);
  };
  s.scan_without_directory_tree = scan_without_directory_tree;
  return s;
}

std::size_t retain_in_folder_candidates(const ew::DirectoryScope& scope, std::vector<ew::DeletedEntry>& entries) {
  return std::erase_if(entries, [&scope](const ew::DeletedEntry& e) { return !ew::resolve_candidate_path(scope, e); });
}

void sort_entries_by_path(std::vector<ew::DeletedEntry>& entries) {
  if (entries.size() <= kInsertionSortLimit) {
    for (std::size_t i = 1; i < entries.size(); ++i) {
      for (std::size_t j = i; j > 0 && path_before(entries[j], entries[j - 1]); --j) {
        std::swap(entries[j], entries[j - 1]);
      }
    }
  } else {
    merge_sort_by_path(entries);
  }
}

ew::ScanResult scan_folder_deleted(std::string_view folder, ew::TimeBudget budget, bool full) {
  return scan_folder_deleted(folder, budget, full, stdout_sink(), default_folder_scan_sources());
}

ew::ScanResult scan_folder_deleted(std::string_view folder, ew::TimeBudget budget, bool full, const TextSink& out,
                                   const FolderScanSources& sources) {
  const auto letter = datasource::windows::drive_letter_of_path(folder);
  if (!letter) return ew::summary_only_result("Cannot identify drive letter");
  const auto start = ew::ScanClock::now();

  report_progress(out, 0, 1, "Locating directory...");
  auto dir = sources.directory_frn(folder);
  if (!dir) return ew::summary_only_result(fmt::format("Cannot locate directory: {}", dir.error().display()));

  report_progress(out, 0, 1, "Building directory tree FRN scope...");
  std::optional<ew::DirectoryScope> scope = sources.locate_directory_on_volume(folder, *letter);

  if (scope) {
    report_progress(out, 0, 1,
                    fmt::format("Directory FRN={}, scope {} folders, querying USN...", dir->dir_frn,
                                scope->dir_frns.size()));
  } else {
    report_progress(out, 0, 1, fmt::format("Directory FRN={} ref={:#x}, querying USN...", dir->dir_frn, dir->dir_ref));
  }

  MergeState merge;
  const std::unordered_set<std::uint64_t> dir_set =
      scope ? scope->dir_frns : std::unordered_set<std::uint64_t>{dir->dir_frn};

  ew::UsnScanResult journal;
  auto usn = sources.scan_usn_deleted(folder, dir->dir_ref, dir->dir_frn, &dir_set,
                                      scope ? &scope->dir_names : nullptr, false);
  if (!usn) {
    journal.enum_error = journal_error_text(usn.error());
  } else {
    journal = std::move(*usn);
    for (auto& item : journal.candidates) {
      const bool inside = scope ? ew::resolve_candidate_path(*scope, item) : ew::path_is_under(item.path, folder);
      if (inside) merge.add(item);
    }
  }
  report_progress(out, 0, 1, ew::usn_summary_text(journal));

  std::optional<std::string> mft_summary;
  if (!ew::budget_spent(start, budget)) {
    const ew::TimeBudget remaining = ew::remaining_budget(start, budget);
    report_progress(out, 0, 1, "MFT phased scan (index \u2192 FRN proximity \u2192 USN \u2192 pagination)...");
    const ew::ScanOptions options = full ? ew::full_scan_options() : ew::default_scan_options();
    const ew::UsnCandidateMap* usn_map = &journal.candidate_map;
    std::expected<MftPhasesOutcome, std::string> phases = std::unexpected(std::string());
    if (scope) {
      phases = sources.run_mft_phases(*scope, *letter, remaining, usn_map, options, out);
    } else {
      auto scoped = sources.scan_without_directory_tree(folder, remaining, usn_map, options, out);
      // The scope built here is released at once; only the phases' result is kept.
      if (scoped) {
        phases = std::move(scoped->phases);
      } else {
        phases = std::unexpected(scoped.error());
      }
    }
    if (!phases) {
      mft_summary = fmt::format("MFT failed: {}", phases.error());
    } else {
      for (auto& entry : phases->entries) merge.add(std::move(entry));
      mft_summary = ew::print_mft_audit(phases->context);
    }
  }

  if (full && scope) {
    if (!scope->dir_names.empty()) {
      ew::reresolve_lost_entries(merge.entries, folder, scope->dir_frn, scope->dir_names);
    }
    const std::size_t removed = retain_in_folder_candidates(*scope, merge.entries);
    if (removed > 0) {
      report_progress(out, 0, 1,
                      fmt::format("Filtered {} false positives across directories (parent FRN/path mismatch)", removed));
    }
  }

  sort_entries_by_path(merge.entries);
  ew::ScanResult result;
  result.entries = std::move(merge.entries);
  result.usn_summary = ew::usn_summary_text(journal);
  result.mft_summary = std::move(mft_summary);
  return result;
}

}  // namespace kavel_lib::scanner
