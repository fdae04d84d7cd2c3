#include "engine/windows/exfat_deleted/exfat_data.h"

#include <algorithm>
#include <span>

#include <fmt/format.h>

#include "engine/windows/exfat_deleted/exfat_chain.h"
#include "engine/windows/saturating.h"

namespace kavel_lib::engine::windows::exfat_deleted {

using platform::OsError;
using platform::OsErrorKind;

namespace {

OsError out_of_range(std::uint32_t cluster) {
  return OsError::with_text(OsErrorKind::InvalidInput, fmt::format("cluster {} out of range", cluster));
}

// The clusters that hold `budget` bytes when the first `skip` bytes of the first are passed
// over, at most kMaxFileClusters.
std::uint64_t clusters_needed(std::uint64_t cluster_bytes, std::uint64_t skip, std::uint64_t budget) {
  const std::uint64_t in_first = cluster_bytes - skip;
  const std::uint64_t after = budget > in_first ? budget - in_first : 0;
  return std::min<std::uint64_t>(kMaxFileClusters, 1 + (after + cluster_bytes - 1) / cluster_bytes);
}

// Appends the bytes of `clusters` to `out`, passing over the first `skip` bytes of the first
// one, until the budget is spent. Consecutive clusters are read in one piece.
std::expected<void, OsError> append_clusters(const ExfatGeometry& geometry, const platform::Device& volume,
                                             std::span<const std::uint32_t> clusters, std::uint64_t skip,
                                             std::uint64_t budget, std::vector<std::uint8_t>& out) {
  const std::uint64_t cb = geometry.cluster_bytes;
  const std::uint64_t per_piece = std::max<std::uint64_t>(1, kReadPieceBytes / cb);
  for (std::size_t i = 0; i < clusters.size() && budget > 0;) {
    if (!geometry.is_valid_cluster(clusters[i])) return std::unexpected(out_of_range(clusters[i]));
    std::size_t j = i + 1;
    while (j < clusters.size() && j - i < per_piece && clusters[j] == clusters[j - 1] + 1 &&
           geometry.is_valid_cluster(clusters[j])) {
      ++j;
    }
    // Valid clusters lie below 2^32 and are at most 32 MiB: neither product overflows.
    const std::uint64_t piece = (j - i) * cb;
    const std::uint64_t at = saturating_add(geometry.heap_offset, (clusters[i] - std::uint64_t{2}) * cb);
    const std::size_t old = out.size();
    out.resize(old + static_cast<std::size_t>(piece));
    if (auto read = read_exfat_aligned_into(geometry.bytes_per_sector, geometry.read_end, volume, at,
                                            std::span(out).subspan(old));
        !read) {
      return std::unexpected(read.error());
    }
    const auto from = out.begin() + static_cast<std::ptrdiff_t>(old);
    out.erase(from, from + static_cast<std::ptrdiff_t>(skip));
    const std::uint64_t take = std::min(piece - skip, budget);
    out.resize(old + static_cast<std::size_t>(take));
    budget -= take;
    skip = 0;
    i = j;
  }
  return {};
}

}  // namespace

std::expected<ExfatReadPlan, OsError> plan_exfat_read(const ExfatGeometry& geometry, const ExfatFat& fat,
                                                      std::uint32_t start, std::uint32_t offset, std::uint64_t size,
                                                      bool no_fat_chain) {
  ExfatReadPlan plan;
  const std::uint64_t cb = geometry.cluster_bytes;
  if (size == 0 || cb == 0) return plan;
  plan.budget = std::min(size, kMaxFileBytes);
  plan.skip = std::min<std::uint64_t>(offset, cb);
  const std::uint64_t needed = clusters_needed(cb, plan.skip, plan.budget);

  if (no_fat_chain) {
    // Contiguous: clusters start, start + 1, ... while they are valid.
    if (!geometry.is_valid_cluster(start)) return plan;
    // With nothing of the first cluster taken, the contiguous read ends there.
    const std::uint64_t count =
        offset >= cb ? 1 : std::min<std::uint64_t>(needed, geometry.cluster_end - std::uint64_t{start});
    plan.clusters.reserve(static_cast<std::size_t>(count));
    for (std::uint64_t k = 0; k < count; ++k) plan.clusters.push_back(static_cast<std::uint32_t>(start + k));
    return plan;
  }
  auto chain = collect_fat_chain(geometry, fat, start, static_cast<std::size_t>(needed));
  if (!chain) return std::unexpected(chain.error());
  if (chain->empty()) chain->push_back(start);
  plan.clusters = std::move(*chain);
  return plan;
}

std::expected<std::vector<std::uint8_t>, OsError> read_exfat_plan(const ExfatGeometry& geometry,
                                                                  const platform::Device& volume,
                                                                  const ExfatReadPlan& plan) {
  std::vector<std::uint8_t> out;
  if (plan.clusters.empty() || plan.budget == 0) return out;
  out.reserve(static_cast<std::size_t>(std::min(plan.budget, kReserveBytes)));
  if (auto read = append_clusters(geometry, volume, plan.clusters, plan.skip, plan.budget, out); !read) {
    return std::unexpected(read.error());
  }
  return out;
}

std::expected<std::vector<std::uint8_t>, OsError> read_exfat_file_data(const ExfatGeometry& geometry,
                                                                       const platform::Device& volume,
                                                                       const ExfatFat& fat, std::uint32_t start,
                                                                       std::uint32_t offset, std::uint64_t size,
                                                                       bool no_fat_chain) {
  auto plan = plan_exfat_read(geometry, fat, start, offset, size, no_fat_chain);
  if (!plan) return std::unexpected(plan.error());
  return read_exfat_plan(geometry, volume, *plan);
}

}  // namespace kavel_lib::engine::windows::exfat_deleted
