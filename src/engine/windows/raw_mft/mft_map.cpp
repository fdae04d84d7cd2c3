#include "engine/windows/raw_mft/mft_map.h"

#include <cstring>

#include "engine/windows/raw_mft/mft_record.h"
#include "engine/windows/raw_mft/ntfs_layout.h"

namespace kavel_lib::engine::windows {

std::optional<std::vector<StreamPiece>> MftLayout::pieces_for(std::uint64_t first, std::uint64_t count) const {
  if (first >= record_count || count == 0) return std::nullopt;
  const std::uint64_t clipped = std::min(count, record_count - first);
  std::uint64_t offset = 0, length = 0;
  if (__builtin_mul_overflow(first, std::uint64_t{geometry.record_size}, &offset) ||
      __builtin_mul_overflow(clipped, std::uint64_t{geometry.record_size}, &length)) {
    return std::nullopt;
  }
  return map_stream_range(runs, geometry.bytes_per_cluster, offset, length);
}

std::optional<MftLayout> load_mft_layout(const platform::Device& device, const VolumeGeometry& geometry) {
  if (geometry.record_size == 0 || geometry.record_size > kMaxRecordSize || geometry.bytes_per_cluster == 0) {
    return std::nullopt;
  }
  std::uint64_t position = 0;
  if (__builtin_mul_overflow(geometry.mft_start_lcn, geometry.bytes_per_cluster, &position)) return std::nullopt;
  std::vector<std::uint8_t> record(geometry.record_size);
  if (!device.read_exact_at(position, record)) return std::nullopt;
  if (!ntfs::is_file_record(record)) return std::nullopt;
  apply_fixups(record);
  auto runs = decode_unnamed_attribute_runs(record, ntfs::kAttrTypeData);
  if (!runs || runs->runs.empty()) return std::nullopt;
  MftLayout layout;
  layout.geometry = geometry;
  layout.record_count = runs->data_size / geometry.record_size;
  layout.runs = std::move(runs->runs);
  return layout;
}

bool read_stream_pieces(const platform::Device& device, std::span<const StreamPiece> pieces, std::uint64_t base,
                        std::span<std::uint8_t> out) {
  for (const StreamPiece& piece : pieces) {
    if (piece.stream_offset < base) return false;
    const std::uint64_t at = piece.stream_offset - base;
    if (at > out.size() || piece.length > out.size() - at) return false;
    if (piece.sparse) {
      std::memset(out.data() + at, 0, piece.length);
      continue;
    }
    if (!device.read_exact_at(piece.device_offset, out.subspan(at, piece.length))) return false;
  }
  return true;
}

}  // namespace kavel_lib::engine::windows
