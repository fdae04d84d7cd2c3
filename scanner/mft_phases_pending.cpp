// Stand-in for the record-number phases until they land: each finds nothing.
#include "scanner/mft_phases.h"

namespace kavel_lib::scanner {

void run_index_phase(PhaseContext&, engine::windows::CollectorState&, const ProgressFn&) {}
void run_vicinity_phase_1a(PhaseContext&, engine::windows::CollectorState&, const ProgressFn&) {}
void run_local_band_phase_1b(PhaseContext&, engine::windows::CollectorState&, const ProgressFn&) {}
void run_vicinity_phase_3(PhaseContext&, engine::windows::CollectorState&, const ProgressFn&) {}
void run_deleted_directory_phase(PhaseContext&, engine::windows::CollectorState&, const ProgressFn&) {}

}  // namespace kavel_lib::scanner
