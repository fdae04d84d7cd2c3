#include "platform/posix/ntfs_model/mft_cache.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace kavel_lib::platform::ntfs_model {

MftBlockCache::MftBlockCache(std::uint64_t block_bytes, std::uint64_t max_bytes)
    : block_bytes_(std::bit_ceil(std::clamp<std::uint64_t>(block_bytes, 512, std::uint64_t{1} << 30))),
      max_blocks_(std::max<std::uint64_t>(1, max_bytes / block_bytes_)) {}

std::uint64_t MftBlockCache::held_bytes() const {
  std::lock_guard lock(mutex_);
  return held_;
}

std::uint64_t MftBlockCache::fills() const {
  std::lock_guard lock(mutex_);
  return fills_;
}

MftBlockCache::Block MftBlockCache::block(std::uint64_t stream_size, std::uint64_t index, const Fill& fill) const {
  {
    std::lock_guard lock(mutex_);
    if (auto it = blocks_.find(index); it != blocks_.end()) {
      order_.splice(order_.begin(), order_, it->second.position);
      return it->second.bytes;
    }
    ++fills_;
  }
  // Read outside the lock: other threads go on meanwhile (two may read the same block; the
  // first one stored is kept).
  const std::uint64_t start = index * block_bytes_;
  const auto length = static_cast<std::size_t>(std::min(block_bytes_, stream_size - start));
  auto bytes = std::make_shared<BlockBytes>(BlockBytes{std::make_unique_for_overwrite<std::uint8_t[]>(length), length});
  if (!fill(start, std::span<std::uint8_t>(bytes->data.get(), length))) return nullptr;
  std::lock_guard lock(mutex_);
  if (auto it = blocks_.find(index); it != blocks_.end()) return it->second.bytes;
  while (blocks_.size() >= max_blocks_) {
    const std::uint64_t oldest = order_.back();
    order_.pop_back();
    held_ -= blocks_.at(oldest).bytes->size;
    blocks_.erase(oldest);
  }
  order_.push_front(index);
  held_ += bytes->size;
  Block shared = std::move(bytes);
  blocks_.emplace(index, Slot{shared, order_.begin()});
  return shared;
}

bool MftBlockCache::read(std::uint64_t stream_size, std::uint64_t offset, std::span<std::uint8_t> out,
                         const Fill& fill) const {
  if (offset > stream_size || out.size() > stream_size - offset) return false;
  std::size_t done = 0;
  while (done < out.size()) {
    const std::uint64_t position = offset + done;
    const std::uint64_t index = position / block_bytes_;
    const Block b = block(stream_size, index, fill);
    if (!b) {
      // The block holds an unreadable part: read what is asked for alone.
      {
        std::lock_guard lock(mutex_);
        ++fills_;
      }
      return fill(position, out.subspan(done));
    }
    const std::uint64_t within = position - index * block_bytes_;
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(out.size() - done, b->size - within));
    std::memcpy(out.data() + done, b->data.get() + within, n);
    done += n;
  }
  return true;
}

}  // namespace kavel_lib::platform::ntfs_model
