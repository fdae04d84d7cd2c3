// Stand-in for the paged phase until it lands: no chunk is read.
#include "scanner/paged_phase.h"

namespace kavel_lib::scanner {

void run_mft_paged_phase(PhaseContext&, std::unordered_set<std::uint64_t>&,
                         std::vector<engine::windows::DeletedEntry>&, std::unordered_set<std::string>&,
                         const ProgressFn&) {}

}  // namespace kavel_lib::scanner
