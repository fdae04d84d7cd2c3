// Stand-in for the MFT neighbourhood probe until it lands: a folder without a drive letter
// gives the empty result, any other the error "Cannot open volume".
#include "datasource/windows/drive_letter.h"
#include "engine/windows/raw_mft/mft_probe.h"

namespace kavel_lib::engine::windows {

std::expected<MftProbeResult, platform::OsError> probe_frn(std::string_view folder) {
  if (!datasource::windows::drive_letter_of_path(folder)) return MftProbeResult{};
  return std::unexpected(platform::OsError::with_text(platform::OsErrorKind::Other, "Cannot open volume"));
}

}  // namespace kavel_lib::engine::windows
