// The $FILE_NAME attributes of one FILE record, read as candidate sources: the names under
// which a (possibly deleted) file was known, with their parent directory.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "engine/windows/scan_records.h"

namespace kavel_lib::engine::windows {

// One source per resident, non-DOS $FILE_NAME whose parent (48-bit) is in `parents`, each
// name once, with the attribute's allocated size and modification time. Records shorter
// than 48 bytes, and an empty parent set, give nothing.
std::vector<DeletedEntrySource> record_detail(std::span<const std::uint8_t> record,
                                              const std::unordered_set<std::uint64_t>& parents);

// (parent 48-bit, name) of every resident, non-DOS $FILE_NAME with a non-empty name, in
// attribute order.
std::vector<std::pair<std::uint64_t, std::string>> collect_file_names(std::span<const std::uint8_t> record);

}  // namespace kavel_lib::engine::windows
