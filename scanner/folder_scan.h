// The folder scan: locates the folder, builds its directory scope, runs the change-journal
// step and the phased master-file-table scan within a time budget, merges what they found
// and sorts it by path. It never fails: a scan that cannot start says why in its summary.
#pragma once

#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "engine/windows/scan_records.h"
#include "engine/windows/time_budget.h"
#include "engine/windows/usn_deleted/usn_scan.h"
#include "scanner/console_output.h"
#include "scanner/mft_orchestrator.h"

namespace kavel_lib::scanner {

// The scope that scan_without_directory_tree built, with the phases' result.
struct ScopedPhasesOutcome {
  engine::windows::DirectoryScope scope;
  MftPhasesOutcome phases;
};

// What the driver calls at each place of its road (the real sources by default).
struct FolderScanSources {
  std::function<std::expected<engine::windows::DirectoryFrn, platform::OsError>(std::string_view)> directory_frn;
  std::function<std::optional<engine::windows::DirectoryScope>(std::string_view, char)> locate_directory_on_volume;
  std::function<std::expected<engine::windows::UsnScanResult, platform::OsError>(
      std::string_view, std::uint64_t, std::uint64_t, const std::unordered_set<std::uint64_t>*,
      const engine::windows::DirNameMap*, bool)>
      scan_usn_deleted;
  std::function<std::expected<MftPhasesOutcome, std::string>(
      const engine::windows::DirectoryScope&, char, engine::windows::TimeBudget,
      const engine::windows::UsnCandidateMap*, const engine::windows::ScanOptions&, const TextSink&)>
      run_mft_phases;
  std::function<std::expected<ScopedPhasesOutcome, std::string>(
      std::string_view, engine::windows::TimeBudget, const engine::windows::UsnCandidateMap*,
      const engine::windows::ScanOptions&, const TextSink&)>
      scan_without_directory_tree;
};
FolderScanSources default_folder_scan_sources();

// The scan with its progress on standard output.
engine::windows::ScanResult scan_folder_deleted(std::string_view folder, engine::windows::TimeBudget budget,
                                                bool full);
engine::windows::ScanResult scan_folder_deleted(std::string_view folder, engine::windows::TimeBudget budget,
                                                bool full, const TextSink& out, const FolderScanSources& sources);

// Opens the volume, reads its volume data and builds the folder's scope; nothing on any
// failure.
std::optional<engine::windows::DirectoryScope> locate_directory_on_volume(std::string_view folder, char letter);

// Builds the scope itself, then runs the phased scan.
std::expected<ScopedPhasesOutcome, std::string> scan_without_directory_tree(
    std::string_view folder, engine::windows::TimeBudget remaining, const engine::windows::UsnCandidateMap* usn_map,
    const engine::windows::ScanOptions& options, const TextSink& out);

// Keeps, in order, the entries that pass the strict path test; returns how many were removed.
std::size_t retain_in_folder_candidates(const engine::windows::DirectoryScope& scope,
                                        std::vector<engine::windows::DeletedEntry>& entries);

// Stable sort by path, component by component (insertion sort up to 20 entries, merge-based
// above).
void sort_entries_by_path(std::vector<engine::windows::DeletedEntry>& entries);

// The text a journal failure is reported with: "Access denied" for a permission denial.
std::string journal_error_text(const platform::OsError& error);

}  // namespace kavel_lib::scanner
