// Searching for a deleted file's data when its recorded start cluster holds something else.
#pragma once

#include <cstdint>
#include <expected>
#include <string_view>
#include <utility>

#include "engine/windows/exfat_deleted/exfat_geometry.h"
#include "platform/device.h"

namespace kavel_lib::engine::windows::exfat_deleted {

// The largest near window (clusters on both sides of the start together) and the end of the
// low-cluster scan.
inline constexpr std::uint64_t kNearWindowClusters = 512;
inline constexpr std::uint64_t kLowScanEnd = 2048;

struct StartPosition {
  std::uint32_t cluster = 0;
  std::uint32_t offset = 0;
  friend bool operator==(const StartPosition&, const StartPosition&) = default;
};

// Keeps (start, offset) when the chained read there holds a non-zero byte that fits the name
// (any such data when the name is empty). Otherwise the first cluster h of the near window
// [max(start - half, 2), min(cluster_end - 1, start + half)] (half = min(cluster_end - 2, 512)
// / 2; start itself skipped), then of the clusters 2 .. 2047 outside that window, whose chained
// read fits the name gives (h, 0). Nothing found: (start, offset). Read errors are dropped.
StartPosition relocate_start_cluster(const ExfatGeometry& geometry, const platform::Device& volume,
                                     std::uint32_t start, std::uint32_t offset, std::uint64_t size,
                                     std::string_view name);

}  // namespace kavel_lib::engine::windows::exfat_deleted
