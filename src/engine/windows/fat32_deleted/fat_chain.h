// Following a file's cluster chain through the FAT.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <vector>

#include "engine/windows/fat32_deleted/fat_geometry.h"
#include "engine/windows/fat32_deleted/fat_table.h"
#include "platform/device.h"
#include "platform/errors.h"

namespace kavel_lib::engine::windows::fat32_deleted {

// The most clusters a chain holds; bounds both the walk and the exported size.
inline constexpr std::size_t kMaxChainClusters = 65536;

// The clusters of the file that starts at `start`, in chain order, without repeats.
//
// The chain ends at an end mark, the FAT32 bad mark 0x0FFFFFF7, an entry below 2, a cluster
// already listed, a next cluster outside the valid range, or at 65,536 clusters. A start
// outside the valid range gives an empty chain.
//
// Deleting a file frees its clusters by writing 0 into their entries, so a deleted file's
// chain meets a free entry after its first cluster. When that happens before the chain holds
// the ceil(size / cluster_bytes) clusters that `size` needs, the walk goes on upward from the
// last cluster with the free clusters (entry 0) of the valid range, as undelete tools do,
// until it has that many. Any other way of ending is final.
std::expected<std::vector<std::uint32_t>, platform::OsError> follow_cluster_chain(const FatGeometry& geometry,
                                                                                  const platform::Device& volume,
                                                                                  std::uint32_t start,
                                                                                  const std::optional<FatCache>& cache,
                                                                                  std::uint64_t size);

}  // namespace kavel_lib::engine::windows::fat32_deleted
