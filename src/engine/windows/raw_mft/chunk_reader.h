// Reads the paged scans' chunks of consecutive FILE records into one buffer that a worker
// keeps for its whole slice, so a worker never holds more than one chunk and does not pay
// for a fresh zero-filled allocation per chunk. Records are located through the MFT's own
// runs (record 0's $DATA, kept by the volume handle); a chunk that crosses a run boundary is
// read with one read per run, and a chunk is cut at the MFT's end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "engine/windows/raw_mft/volume.h"
#include "engine/windows/raw_mft/volume_geometry.h"

namespace kavel_lib::engine::windows {

// Largest chunk read at once (count x record size).
inline constexpr std::uint64_t kMaxChunkReadBytes = 1ull << 28;

class ChunkReader {
 public:
  ChunkReader(const VolumeHandle& volume, const VolumeGeometry& geometry) : volume_(volume), geometry_(geometry) {}

  // Records [first, first + count) cut at the MFT's end, laid end to end, FILE and BAAD
  // records with their update sequence applied, other slots as read (sparse parts zero).
  // Nothing when first lies at or past the MFT's end, the MFT cannot be mapped, the geometry
  // is unusable, the chunk is larger than kMaxChunkReadBytes, or a read fails. The bytes stay
  // valid until the next read.
  std::optional<std::span<const std::uint8_t>> read(std::uint64_t first, std::uint32_t count);

 private:
  const VolumeHandle& volume_;
  VolumeGeometry geometry_;
  // Grown on demand and never zero-filled: every chunk's pieces cover the bytes handed out
  // (sparse ones written as zeros), and a failed read hands out nothing.
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::size_t capacity_ = 0;
};

}  // namespace kavel_lib::engine::windows
