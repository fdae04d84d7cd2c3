#include "engine/windows/exfat_deleted/exfat_chain.h"

#include <unordered_set>


namespace kavel_lib::engine::windows::exfat_deleted {

using platform::OsError;

std::expected<std::vector<std::uint32_t>, OsError> collect_fat_chain(const ExfatGeometry& geometry,
                                                                     const ExfatFat& fat, std::uint32_t start,
                                                                     std::size_t limit) {
  std::vector<std::uint32_t> chain;
  if (!geometry.is_valid_cluster(start)) return chain;
  std::unordered_set<std::uint32_t> seen;
  std::uint32_t c = start;
  while (!seen.contains(c)) {
    chain.push_back(c);
    seen.insert(c);
    auto entry = fat.entry(c);
    if (!entry) return std::unexpected(entry.error());
    const std::uint32_t e = *entry;
    if (e == c || e <= 1 || e >= kBadClusterMark || e >= geometry.cluster_end || chain.size() >= limit) break;
    c = e;
  }
  return chain;
}

}  // namespace kavel_lib::engine::windows::exfat_deleted
