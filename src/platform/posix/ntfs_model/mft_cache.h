// Blocks of the MFT's bytes, read in large pieces and kept for every thread and every handle on
// one loaded volume, so that record fetches, enumerations and look-ups near one another cost
// one read of the volume between them instead of one per record. The cache holds what the
// volume's bytes were when each block was read, like the loaded volume it belongs to (a
// changed image is loaded afresh, with a cache of its own). Bounded; the least recently used
// block goes first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <span>
#include <unordered_map>

namespace kavel_lib::platform::ntfs_model {

class MftBlockCache {
 public:
  static constexpr std::uint64_t kDefaultBlockBytes = 256 * 1024;
  static constexpr std::uint64_t kDefaultMaxBytes = 8 * 1024 * 1024;

  // Reads `out.size()` bytes of the stream at `offset` into out; false when they cannot be read.
  using Fill = std::function<bool(std::uint64_t offset, std::span<std::uint8_t> out)>;

  // block_bytes is rounded up to a power of two of at least 512; at least one block is kept
  // whatever max_bytes says.
  explicit MftBlockCache(std::uint64_t block_bytes = kDefaultBlockBytes, std::uint64_t max_bytes = kDefaultMaxBytes);

  // Copies [offset, offset + out.size()) of a stream of stream_size bytes into out, through
  // whole blocks read with fill (the last block of the stream is shorter). A block that cannot
  // be read whole is not kept and the range is read on its own with fill instead, so that a
  // readable range never fails for an unreadable neighbour. False when the range passes the
  // stream's end or cannot be read. Safe from any thread.
  bool read(std::uint64_t stream_size, std::uint64_t offset, std::span<std::uint8_t> out, const Fill& fill) const;

  [[nodiscard]] std::uint64_t block_bytes() const { return block_bytes_; }
  // Bytes held now, and the reads of the stream made so far (whole blocks and lone ranges).
  [[nodiscard]] std::uint64_t held_bytes() const;
  [[nodiscard]] std::uint64_t fills() const;

 private:
  // A block's bytes, taken without zero-filling: a block is kept only when fill wrote all of it.
  struct BlockBytes {
    std::unique_ptr<std::uint8_t[]> data;
    std::size_t size = 0;
  };
  using Block = std::shared_ptr<const BlockBytes>;
  Block block(std::uint64_t stream_size, std::uint64_t index, const Fill& fill) const;

  std::uint64_t block_bytes_;
  std::uint64_t max_blocks_;
  mutable std::mutex mutex_;
  mutable std::list<std::uint64_t> order_;  // block indexes, most recently used first
  struct Slot {
    Block bytes;
    std::list<std::uint64_t>::iterator position;
  };
  mutable std::unordered_map<std::uint64_t, Slot> blocks_;
  mutable std::uint64_t held_ = 0;
  mutable std::uint64_t fills_ = 0;
};

}  // namespace kavel_lib::platform::ntfs_model
