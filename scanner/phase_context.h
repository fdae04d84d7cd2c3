// What the phase orchestrator hands to every master-file-table phase: the open volume and its
// geometry, the folder's scope, the options, the counters, the record cache, the budget and
// the journal's candidate map. Phases read it and update the records it points to.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/windows/raw_mft/volume_access.h"
#include "engine/windows/scan_records.h"
#include "engine/windows/time_budget.h"

namespace kavel_lib::scanner {

struct PhaseContext {
  const std::vector<std::uint8_t>* in_use_bitmap = nullptr;  // none when it could not be read
  const engine::windows::VolumeHandle& volume;
  engine::windows::VolumeGeometry geometry;
  engine::windows::NtfsVolumeData volume_data;
  const engine::windows::DirectoryScope& scope;
  const engine::windows::ScanOptions& options;
  engine::windows::ScanContext& context;
  engine::windows::MftRecordCache& cache;
  char drive_letter = 0;
  std::uint32_t record_size = 1024;  // at least 1024
  engine::windows::ScanClock::time_point start;
  engine::windows::TimeBudget budget;
  const engine::windows::UsnCandidateMap* usn_map = nullptr;  // none without a journal step
};

}  // namespace kavel_lib::scanner
