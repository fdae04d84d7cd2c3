// The exFAT allocation bitmap: which clusters of the heap are in use.
//
// The bitmap is a file named by an Allocation Bitmap entry (type 0x81) of the root directory:
// flags u8 at 1 (bit 0 tells which FAT the bitmap belongs to; the first has 0), first cluster
// u32 at 20, data length u64 at 24. Bit c - 2 of it (least significant bit first in each
// byte) is set when cluster c is in use. Its clusters, like the root directory's, are found
// through the FAT. Directory entries are 32 bytes; type 0x00 ends a directory.
#pragma once

#include <cstdint>
#include <optional>
#include <unordered_set>
#include <vector>

#include "engine/windows/exfat_deleted/exfat_geometry.h"
#include "engine/windows/exfat_deleted/exfat_read.h"
#include "platform/device.h"

namespace kavel_lib::engine::windows::exfat_deleted {

// The most bytes of the root directory searched for the bitmap's entry (it comes first on
// every volume the exFAT drivers format).
inline constexpr std::uint64_t kMaxRootSearchBytes = 1u << 20;

class AllocationBitmap {
 public:
  // The first bitmap of the volume, found in its root directory (read along its chain from
  // the root cluster, up to its end entry or kMaxRootSearchBytes). Nothing when the root
  // directory cannot be read or names no bitmap with a valid first cluster and a length.
  // The geometry, the volume and the FAT must outlive it.
  static std::optional<AllocationBitmap> find(const ExfatGeometry& geometry, const platform::Device& volume,
                                              const ExfatFat& fat);

  // Whether the bitmap marks the cluster free. False for a cluster it marks in use, one
  // outside the heap or past the bitmap's length, and when the bitmap cluster holding its bit
  // cannot be reached or read. Bitmap clusters are read when first asked for; the last one
  // read is kept.
  [[nodiscard]] bool is_free(std::uint32_t cluster) const;

  // Whether the bitmap marks the cluster in use: its bit is read and is 1. False for a free
  // cluster and for every cluster whose state is unknown (outside the heap, past the bitmap's
  // length, or behind a bitmap cluster that cannot be reached or read).
  [[nodiscard]] bool is_in_use(std::uint32_t cluster) const;

 private:
  AllocationBitmap(const ExfatGeometry& geometry, const platform::Device& volume, const ExfatFat& fat,
                   std::uint32_t first_cluster, std::uint64_t length);

  // The cluster's bit (true: in use), or nothing when it cannot be known.
  [[nodiscard]] std::optional<bool> bit(std::uint32_t cluster) const;

  // Bitmap cluster number `index` (counted along its chain), or nothing when its chain ends
  // before it.
  [[nodiscard]] std::optional<std::uint32_t> bitmap_cluster(std::uint64_t index) const;

  const ExfatGeometry* geometry_;
  const platform::Device* volume_;
  const ExfatFat* fat_;
  std::uint64_t length_ = 0;
  mutable std::vector<std::uint32_t> chain_;  // the bitmap's clusters found so far
  mutable std::unordered_set<std::uint32_t> in_chain_;
  mutable std::uint64_t loaded_index_ = UINT64_MAX;
  mutable std::vector<std::uint8_t> loaded_;
};

}  // namespace kavel_lib::engine::windows::exfat_deleted
