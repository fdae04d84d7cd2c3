// Following a file's cluster chain through the exFAT FAT.
#pragma once

#include <cstdint>
#include <expected>
#include <vector>

#include "engine/windows/exfat_deleted/exfat_geometry.h"
#include "engine/windows/exfat_deleted/exfat_read.h"
#include "platform/errors.h"

namespace kavel_lib::engine::windows::exfat_deleted {

// The most clusters one file read takes.
inline constexpr std::size_t kMaxFileClusters = 4096;

// FAT entries from this one up mark a bad cluster or the end of a chain.
inline constexpr std::uint32_t kBadClusterMark = 0xFFFFFFF7;

// The chain from `start`, at most `limit` clusters. It ends at a self-link, an entry of 0 or 1
// (a zeroed chain ends after its first cluster), a bad or end mark (0xFFFFFFF7 and above), a
// next cluster at or past `cluster_end`, or a cluster already listed. A start outside the
// valid range gives an empty list.
std::expected<std::vector<std::uint32_t>, platform::OsError> collect_fat_chain(const ExfatGeometry& geometry,
                                                                               const ExfatFat& fat,
                                                                               std::uint32_t start,
                                                                               std::size_t limit);

}  // namespace kavel_lib::engine::windows::exfat_deleted
