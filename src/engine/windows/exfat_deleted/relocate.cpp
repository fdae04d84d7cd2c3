#include "engine/windows/exfat_deleted/relocate.h"

#include <algorithm>

#include "engine/windows/exfat_deleted/allocation_bitmap.h"
#include "engine/windows/exfat_deleted/content_check.h"
#include "engine/windows/exfat_deleted/exfat_data.h"

namespace kavel_lib::engine::windows::exfat_deleted {

namespace {

bool has_nonzero(const std::vector<std::uint8_t>& data) {
  return std::any_of(data.begin(), data.end(), [](std::uint8_t b) { return b != 0; });
}

// Whether the start may be replaced: it lies outside the heap, or its cluster reads as
// nothing but zeros.
bool start_may_move(const ExfatGeometry& geometry, const platform::Device& volume, std::uint32_t start) {
  if (!geometry.is_valid_cluster(start)) return true;
  const auto own = read_exfat_cluster(geometry, volume, start);
  return own && !has_nonzero(*own);
}

}  // namespace

StartPosition relocate_start_cluster(const ExfatGeometry& geometry, const platform::Device& volume,
                                     const ExfatFat& fat, const AllocationBitmap* bitmap, std::uint32_t start,
                                     std::uint32_t offset, std::uint64_t size, bool no_fat_chain,
                                     std::string_view name) {
  const StartPosition given{start, offset};
  if (size == 0 || start < 2) return given;
  // A start another file holds is that file's; what the deleted file held there is gone.
  if (bitmap != nullptr && bitmap->is_in_use(start)) return given;
  if (!start_may_move(geometry, volume, start)) return given;

  auto data = read_exfat_file_data(geometry, volume, fat, start, offset, size, false);
  if (data && has_nonzero(*data) && (name.empty() || content_matches_extension(*data, size, name))) return given;
  // The content test fails for every candidate when there is no name to test against.
  if (name.empty()) return given;
  // Without the bitmap no cluster is known to be free.
  if (bitmap == nullptr) return given;

  const auto all_free = [&](const ExfatReadPlan& plan) {
    return std::all_of(plan.clusters.begin(), plan.clusters.end(),
                       [&](std::uint32_t c) { return bitmap->is_free(c); });
  };
  const auto fits = [&](std::uint64_t candidate) {
    const auto cluster = static_cast<std::uint32_t>(candidate);
    if (!bitmap->is_free(cluster)) return false;
    // The candidate is tested along its chain, and taken only when the export from it reads
    // free clusters alone.
    const auto chained = plan_exfat_read(geometry, fat, cluster, 0, size, false);
    if (!chained) return false;
    const auto found = read_exfat_plan(geometry, volume, *chained);
    if (!found || !content_matches_extension(*found, size, name)) return false;
    if (!no_fat_chain) return all_free(*chained);
    const auto contiguous = plan_exfat_read(geometry, fat, cluster, 0, size, true);
    return contiguous && all_free(*contiguous);
  };

  const std::uint64_t end = geometry.cluster_end;
  const std::uint64_t n = end >= 2 ? end - 2 : 0;
  const std::uint64_t half = std::min(n, kNearWindowClusters) / 2;
  const std::uint64_t lo = std::max<std::uint64_t>(start >= half ? start - half : 0, 2);
  const std::uint64_t hi = std::min<std::uint64_t>(end >= 1 ? end - 1 : 0, std::uint64_t{start} + half);

  for (std::uint64_t h = lo; h <= hi; ++h) {
    if (h != start && fits(h)) return {static_cast<std::uint32_t>(h), 0};
  }
  if (end > 2) {
    const std::uint64_t low_end = std::min(end, kLowScanEnd);
    for (std::uint64_t h = 2; h < low_end; ++h) {
      if ((h < lo || h > hi) && fits(h)) return {static_cast<std::uint32_t>(h), 0};
    }
  }
  return given;
}

}  // namespace kavel_lib::engine::windows::exfat_deleted
