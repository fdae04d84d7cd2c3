#include "engine/windows/fat32_deleted/fat_chain.h"

#include <unordered_set>

namespace kavel_lib::engine::windows::fat32_deleted {

using platform::OsError;

namespace {

constexpr std::uint32_t kFat32EndMark = 0x0FFFFFF8;
constexpr std::uint32_t kFat16EndMark = 0xFFF8;
constexpr std::uint32_t kFat32BadMark = 0x0FFFFFF7;

// ceil(size / cluster_bytes), capped at the chain limit.
std::size_t clusters_needed(const FatGeometry& geometry, std::uint64_t size) {
  if (geometry.cluster_bytes == 0 || size == 0) return 0;
  const std::uint64_t count = size / geometry.cluster_bytes + (size % geometry.cluster_bytes != 0 ? 1 : 0);
  return count < kMaxChainClusters ? static_cast<std::size_t>(count) : kMaxChainClusters;
}

}  // namespace

std::expected<std::vector<std::uint32_t>, OsError> follow_cluster_chain(const FatGeometry& geometry,
                                                                        const platform::Device& volume,
                                                                        std::uint32_t start,
                                                                        const std::optional<FatCache>& cache,
                                                                        std::uint64_t size) {
  std::vector<std::uint32_t> chain;
  if (start < 2) return chain;
  std::unordered_set<std::uint32_t> seen;
  const std::uint32_t end_mark = geometry.is_fat32 ? kFat32EndMark : kFat16EndMark;

  FatSectorMemo memo;
  std::uint32_t c = start;
  bool met_free_entry = false;
  while (c - 2 < geometry.cluster_count && chain.size() < kMaxChainClusters) {
    chain.push_back(c);
    seen.insert(c);
    auto entry = read_fat_entry(geometry, volume, c, cache, memo);
    if (!entry) return std::unexpected(entry.error());
    const std::uint32_t next = *entry;
    if (next == 0) {
      met_free_entry = true;
      break;
    }
    if (next >= end_mark || next == kFat32BadMark || next < 2 || seen.contains(next)) break;
    c = next;
  }

  // The rest of a deleted file: the free clusters above the last one, up to the size's count.
  const std::size_t needed = clusters_needed(geometry, size);
  if (met_free_entry && chain.size() < needed) {
    for (std::uint64_t k = std::uint64_t{chain.back()} + 1;
         chain.size() < needed && k - 2 < geometry.cluster_count; ++k) {
      const auto candidate = static_cast<std::uint32_t>(k);
      if (seen.contains(candidate)) continue;
      auto entry = read_fat_entry(geometry, volume, candidate, cache, memo);
      if (!entry) return std::unexpected(entry.error());
      if (*entry != 0) continue;
      chain.push_back(candidate);
      seen.insert(candidate);
    }
  }
  return chain;
}

}  // namespace kavel_lib::engine::windows::fat32_deleted
