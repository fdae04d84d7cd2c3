#include "engine/windows/exfat_deleted/allocation_bitmap.h"

#include <algorithm>

#include "engine/windows/exfat_deleted/exfat_chain.h"

namespace kavel_lib::engine::windows::exfat_deleted {

namespace {

// Directory entry layout (offsets in bytes from the entry's start).
constexpr std::size_t kEntryBytes = 32;
constexpr std::uint8_t kEntryTypeEnd = 0x00;
constexpr std::uint8_t kEntryTypeBitmap = 0x81;
constexpr std::size_t kBitmapFlags = 1;
constexpr std::uint8_t kBitmapFlagSecondFat = 0x01;
constexpr std::size_t kBitmapFirstCluster = 20;
constexpr std::size_t kBitmapLength = 24;

std::uint64_t le(const std::vector<std::uint8_t>& b, std::size_t at, std::size_t width) {
  std::uint64_t v = 0;
  for (std::size_t i = width; i-- > 0;) v = (v << 8) | b[at + i];
  return v;
}

}  // namespace

AllocationBitmap::AllocationBitmap(const ExfatGeometry& geometry, const platform::Device& volume, const ExfatFat& fat,
                                   std::uint32_t first_cluster, std::uint64_t length)
    : geometry_(&geometry), volume_(&volume), fat_(&fat), length_(length), chain_{first_cluster}, in_chain_{first_cluster} {}

std::optional<AllocationBitmap> AllocationBitmap::find(const ExfatGeometry& geometry, const platform::Device& volume,
                                                       const ExfatFat& fat) {
  const std::uint64_t cb = geometry.cluster_bytes;
  if (cb == 0 || !geometry.is_valid_cluster(geometry.root_cluster)) return std::nullopt;
  const std::uint64_t limit = std::max<std::uint64_t>(1, kMaxRootSearchBytes / cb);
  const auto root = collect_fat_chain(geometry, fat, geometry.root_cluster, static_cast<std::size_t>(limit));
  if (!root) return std::nullopt;
  for (const std::uint32_t c : *root) {
    const auto bytes = read_exfat_cluster(geometry, volume, c);
    if (!bytes) return std::nullopt;
    for (std::size_t at = 0; at + kEntryBytes <= bytes->size(); at += kEntryBytes) {
      const std::uint8_t type = (*bytes)[at];
      if (type == kEntryTypeEnd) return std::nullopt;
      if (type != kEntryTypeBitmap || ((*bytes)[at + kBitmapFlags] & kBitmapFlagSecondFat) != 0) continue;
      const auto first = static_cast<std::uint32_t>(le(*bytes, at + kBitmapFirstCluster, 4));
      const std::uint64_t length = le(*bytes, at + kBitmapLength, 8);
      if (!geometry.is_valid_cluster(first) || length == 0) return std::nullopt;
      return AllocationBitmap(geometry, volume, fat, first, length);
    }
  }
  return std::nullopt;
}

std::optional<std::uint32_t> AllocationBitmap::bitmap_cluster(std::uint64_t index) const {
  // The walk is bounded by the index: a bit of a valid cluster lies in the first 2^29 bytes.
  while (chain_.size() <= index) {
    const auto next = fat_->entry(chain_.back());
    if (!next || *next <= 1 || *next >= kBadClusterMark || !geometry_->is_valid_cluster(*next)) return std::nullopt;
    if (!in_chain_.insert(*next).second) return std::nullopt;  // a loop: the rest is unknown
    chain_.push_back(*next);
  }
  return chain_[static_cast<std::size_t>(index)];
}

std::optional<bool> AllocationBitmap::bit(std::uint32_t cluster) const {
  if (!geometry_->is_valid_cluster(cluster)) return std::nullopt;
  const std::uint64_t position = cluster - std::uint64_t{2};
  const std::uint64_t byte = position / 8;
  if (byte >= length_) return std::nullopt;
  const std::uint64_t cb = geometry_->cluster_bytes;
  const std::uint64_t index = byte / cb;
  if (index != loaded_index_) {
    const auto c = bitmap_cluster(index);
    if (!c) return std::nullopt;
    auto bytes = read_exfat_cluster(*geometry_, *volume_, *c);
    if (!bytes) return std::nullopt;
    loaded_ = std::move(*bytes);
    loaded_index_ = index;
  }
  const std::uint64_t within = byte % cb;
  if (within >= loaded_.size()) return std::nullopt;
  return ((loaded_[static_cast<std::size_t>(within)] >> (position % 8)) & 1) != 0;
}

bool AllocationBitmap::is_free(std::uint32_t cluster) const { return bit(cluster) == false; }

bool AllocationBitmap::is_in_use(std::uint32_t cluster) const { return bit(cluster) == true; }

}  // namespace kavel_lib::engine::windows::exfat_deleted
