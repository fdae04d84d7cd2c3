// The debug road's dump of the master file table around a folder: what the folder's index
// still names and which nearby records carry a name whose parent is the folder. Independent of
// the folder scan: no budget, no scope, no collector; it reads the volume directly.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"

namespace kavel_lib::engine::windows {

// Records read below and from the folder's own record number.
inline constexpr std::uint64_t kProbeBelow = 4096;
inline constexpr std::uint64_t kProbeAbove = 32768;

struct MftProbeResult {
  std::vector<std::string> lines;  // index lines first, then record lines
  std::uint64_t dir_frn = 0;
  std::uint64_t dir_ref = 0;
  std::uint64_t scan_start = 0;  // first record number read
  std::uint64_t scan_end = 0;    // the record number after the last one read
  std::uint32_t free_records = 0;
};

// A folder path without a drive letter gives the empty result. Errors: the folder's record
// number cannot be found (that error), "Cannot open volume", the volume data query's error.
std::expected<MftProbeResult, platform::OsError> probe_frn(std::string_view folder);

}  // namespace kavel_lib::engine::windows
