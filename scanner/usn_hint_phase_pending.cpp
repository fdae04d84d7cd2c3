// Stand-in for the USN hint phase until it lands: nothing is validated.
#include "scanner/usn_hint_phase.h"

namespace kavel_lib::scanner {

void run_usn_hint_phase(PhaseContext&, engine::windows::CollectorState&, const ProgressFn&) {}

}  // namespace kavel_lib::scanner
