#include "engine/windows/raw_mft/chunk_reader.h"

#include <algorithm>
#include <cstring>

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

  buffer_.resize(bytes);
  const std::uint64_t base = first * size;  // pieces_for checked this product
  for (const StreamPiece& piece : *pieces) {
    // A reused buffer still holds the last chunk: sparse parts are cleared here.
    if (piece.sparse && piece.stream_offset >= base && piece.stream_offset - base <= bytes &&
        piece.length <= bytes - (piece.stream_offset - base)) {
      std::memset(buffer_.data() + (piece.stream_offset - base), 0, piece.length);
    }
  }
  if (!read_stream_pieces(volume_.device(), *pieces, base, buffer_)) return std::nullopt;
  for (std::size_t at = 0; at < buffer_.size(); at += size) {
    const std::span<std::uint8_t> slot(buffer_.data() + at, size);
    if (ntfs::is_file_or_baad_record(slot)) apply_fixups(slot);
  }
  return std::span<const std::uint8_t>(buffer_);
}

}  // namespace kavel_lib::engine::windows
