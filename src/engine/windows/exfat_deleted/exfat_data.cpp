#include "engine/windows/exfat_deleted/exfat_data.h"

#include <algorithm>

#include <fmt/format.h>

#include "engine/windows/exfat_deleted/exfat_chain.h"
#include "engine/windows/exfat_deleted/exfat_read.h"

namespace kavel_lib::engine::windows::exfat_deleted {

using platform::OsError;
using platform::OsErrorKind;

namespace {

// Appends the bytes of `cluster` from `skip` on, at most `budget` of them; lowers the budget.
void append_part(std::vector<std::uint8_t>& out, const std::vector<std::uint8_t>& cluster, std::size_t skip,
                 std::uint64_t& budget) {
  const std::size_t available = cluster.size() - skip;
  const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(available, budget));
  out.insert(out.end(), cluster.begin() + static_cast<std::ptrdiff_t>(skip),
             cluster.begin() + static_cast<std::ptrdiff_t>(skip + take));
  budget -= take;
}

}  // namespace

std::expected<std::vector<std::uint8_t>, OsError> read_exfat_file_data(const ExfatGeometry& geometry,
                                                                       const platform::Device& volume,
                                                                       std::uint32_t start, std::uint32_t offset,
                                                                       std::uint64_t size, bool no_fat_chain) {
  std::vector<std::uint8_t> out;
  if (size == 0) return out;
  out.reserve(static_cast<std::size_t>(std::min(size, kReserveBytes)));
  std::uint64_t budget = std::min(size, kMaxFileBytes);

  if (no_fat_chain) {
    std::size_t taken = 0;
    for (std::uint64_t c = start; budget > 0 && geometry.is_valid_cluster(c) && taken < kMaxFileClusters; ++c, ++taken) {
      auto cluster = read_exfat_cluster(geometry, volume, static_cast<std::uint32_t>(c));
      if (!cluster) return std::unexpected(cluster.error());
      const std::uint64_t skip = taken == 0 ? offset : 0;
      if (skip >= cluster->size()) break;
      append_part(out, *cluster, static_cast<std::size_t>(skip), budget);
    }
    return out;
  }

  auto chain = collect_fat_chain(geometry, volume, start, kMaxFileClusters);
  if (!chain) return std::unexpected(chain.error());
  if (chain->empty()) chain->push_back(start);
  bool first = true;
  for (const std::uint32_t c : *chain) {
    if (budget == 0) break;
    if (!geometry.is_valid_cluster(c)) {
      return std::unexpected(OsError::with_text(OsErrorKind::InvalidInput, fmt::format("cluster {} out of range", c)));
    }
    auto cluster = read_exfat_cluster(geometry, volume, c);
    if (!cluster) return std::unexpected(cluster.error());
    const std::size_t skip = first ? static_cast<std::size_t>(std::min<std::uint64_t>(offset, cluster->size())) : 0;
    first = false;
    if (skip == cluster->size()) continue;
    append_part(out, *cluster, skip, budget);
  }
  return out;
}

}  // namespace kavel_lib::engine::windows::exfat_deleted
