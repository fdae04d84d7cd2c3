// Searching for a deleted file's data when its recorded start cluster holds something else.
#pragma once

#include <cstdint>
#include <expected>
#include <string_view>
#include <utility>

#include "engine/windows/exfat_deleted/allocation_bitmap.h"
#include "engine/windows/exfat_deleted/exfat_geometry.h"
#include "engine/windows/exfat_deleted/exfat_read.h"
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

// Where to read a deleted file whose recorded start may hold something else. The search is
// conservative: it runs only when the start lies outside the heap (from cluster 2 up) or its
// cluster holds nothing but zero bytes, and never takes a cluster that another file or the
// file system holds.
//
// Keeps (start, offset) when size is 0, the start is 0 or 1, the bitmap marks the start in
// use, the start cluster holds a non-zero byte or cannot be read, or the chained read there
// holds a non-zero byte that fits the name (any such data when the name is empty). Otherwise,
// with a name and the volume's allocation bitmap, the first cluster h of the near window
// [max(start - half, 2), min(cluster_end - 1, start + half)] (half = min(cluster_end - 2,
// 512) / 2; start itself skipped), then of the clusters 2 .. 2047 outside that window, that
// the bitmap marks free, whose chained read fits the name, and every cluster of whose export
// (the read of (h, 0, size) with `no_fat_chain`) the bitmap marks free, gives (h, 0). Nothing
// found, or no bitmap: (start, offset). Read errors are dropped.
StartPosition relocate_start_cluster(const ExfatGeometry& geometry, const platform::Device& volume,
                                     const ExfatFat& fat, const AllocationBitmap* bitmap, std::uint32_t start,
                                     std::uint32_t offset, std::uint64_t size, bool no_fat_chain,
                                     std::string_view name);


}  // namespace kavel_lib::engine::windows::exfat_deleted
