// The tail of a record's non-resident $DATA stream, read from the volume through its runs.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/windows/raw_mft/volume.h"
#include "engine/windows/raw_mft/volume_geometry.h"

namespace kavel_lib::engine::windows {

// The last min(size, limit) bytes of the stream that decode_data_runs gives for the record.
// Each run contributes the bytes of its clusters that overlap that range; sparse runs are
// passed over (so fewer bytes come back when the range holds sparse parts or the runs end
// early). Nothing with a zero cluster size, without runs, on any failed read or position
// overflow, or when nothing was read.
std::optional<std::vector<std::uint8_t>> read_nonresident_data(const VolumeGeometry& geometry,
                                                               const VolumeHandle& volume,
                                                               std::span<const std::uint8_t> record, std::uint64_t limit);

}  // namespace kavel_lib::engine::windows
