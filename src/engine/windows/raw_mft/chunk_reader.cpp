#include "engine/windows/raw_mft/chunk_reader.h"

#include <algorithm>

#include "engine/windows/raw_mft/mft_map.h"
#include "engine/windows/raw_mft/mft_record.h"
#include "engine/windows/raw_mft/ntfs_layout.h"

namespace kavel_lib::engine::windows {

std::optional<std::span<const std::uint8_t>> ChunkReader::read(std::uint64_t first, std::uint32_t count) {
  const std::uint32_t size = geometry_.record_size;
  if (count == 0 || size == 0 || size > kMaxRecordSize || geometry_.bytes_per_cluster == 0) return std::nullopt;
  const auto layout = volume_.mft_layout(geometry_);
  if (!layout || first >= layout->record_count) return std::nullopt;
  const std::uint64_t records = std::min<std::uint64_t>(count, layout->record_count - first);
  const std::uint64_t bytes = records * size;  // records <= 2^32, size <= 2^16: no overflow
  if (bytes > kMaxChunkReadBytes) return std::nullopt;
  auto pieces = layout->pieces_for(first, records);
  if (!pieces) return std::nullopt;

  if (capacity_ < bytes) {
    buffer_.reset();  // the old chunk goes before the larger one is taken
    capacity_ = 0;
    buffer_ = std::make_unique_for_overwrite<std::uint8_t[]>(static_cast<std::size_t>(bytes));
    capacity_ = static_cast<std::size_t>(bytes);
  }
  const std::span<std::uint8_t> chunk(buffer_.get(), static_cast<std::size_t>(bytes));
  // The pieces tile the chunk and sparse ones are written as zeros: nothing of the last chunk
  // is left in it.
  const std::uint64_t base = first * size;  // pieces_for checked this product
  if (!read_stream_pieces(volume_.device(), *pieces, base, chunk)) return std::nullopt;
  for (std::size_t at = 0; at < chunk.size(); at += size) {
    const std::span<std::uint8_t> slot(chunk.data() + at, size);
    if (ntfs::is_file_or_baad_record(slot)) apply_fixups(slot);
  }
  return std::span<const std::uint8_t>(chunk);
}

}  // namespace kavel_lib::engine::windows
