// The debug road's dump of the master file table around a folder: what the folder's index
// still names and which nearby records carry a name whose parent is the folder.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"

namespace kavel_lib::engine::windows {

struct MftProbeResult {
  std::vector<std::string> lines;
  std::uint64_t dir_frn = 0;
  std::uint64_t dir_ref = 0;
  std::uint64_t scan_start = 0;
  std::uint64_t scan_end = 0;
  std::uint32_t free_records = 0;
};

std::expected<MftProbeResult, platform::OsError> probe_frn(std::string_view folder);

}  // namespace kavel_lib::engine::windows
