#include "engine/windows/raw_mft/data_runs.h"

#include <algorithm>
#include <limits>

#include "engine/windows/raw_mft/mft_record.h"
#include "engine/windows/raw_mft/ntfs_layout.h"

namespace kavel_lib::engine::windows {

using namespace ntfs;

namespace {

constexpr std::uint64_t kTopBit = 1ull << 63;

std::int64_t load_signed(std::span<const std::uint8_t> b, std::size_t off, std::size_t width) {
  std::uint64_t v = load_le(b, off, width);
  if (width < 8 && (b[off + width - 1] & 0x80) != 0) v |= ~0ull << (8 * width);
  return static_cast<std::int64_t>(v);
}

}  // namespace

std::vector<DataRun> decode_mapping_pairs(std::span<const std::uint8_t> pairs, std::uint64_t first_vcn) {
  std::vector<DataRun> runs;
  std::uint64_t vcn = first_vcn;
  std::int64_t base = 0;
  std::size_t pos = 0;
  while (pos < pairs.size()) {
    const std::uint8_t header = pairs[pos];
    if (header == 0) break;
    const std::size_t length_bytes = header & 0x0F;
    const std::size_t offset_bytes = header >> 4;
    if (length_bytes > 8 || offset_bytes > 8) break;
    if (1 + length_bytes + offset_bytes > pairs.size() - pos) break;
    const std::uint64_t length = load_le(pairs, pos + 1, length_bytes);
    const bool listed = length != 0 && (length & kTopBit) == 0;
    std::int64_t lcn = -1;
    if (offset_bytes > 0) {
      const std::int64_t delta = load_signed(pairs, pos + 1 + length_bytes, offset_bytes);
      if (__builtin_add_overflow(base, delta, &lcn)) break;
      base = lcn;
    }
    pos += 1 + length_bytes + offset_bytes;
    if (!listed) continue;
    std::uint64_t next_vcn = 0;
    if (__builtin_add_overflow(vcn, length, &next_vcn)) break;
    runs.push_back(DataRun{vcn, lcn, length});
    vcn = next_vcn;
  }
  return runs;
}

namespace {

struct NonResidentExtent {
  std::uint64_t lowest_vcn = 0;
  std::uint64_t real_size = 0;
  std::span<const std::uint8_t> pairs;
};

// The extent fields of a non-resident attribute whose header reaches 0x38 bytes and whose
// mapping pairs offset lies inside it.
std::optional<NonResidentExtent> non_resident_extent(const AttributeRef& attr) {
  if (!attr.non_resident || attr.bytes.size() < kAttrNonResidentHeaderEnd) return std::nullopt;
  const std::size_t pairs_offset = load_u16(attr.bytes, kAttrMappingPairsOffset);
  if (pairs_offset > attr.bytes.size()) return std::nullopt;
  NonResidentExtent e;
  e.lowest_vcn = load_u64(attr.bytes, kAttrLowestVcn);
  e.real_size = load_u64(attr.bytes, kAttrRealSize);
  e.pairs = attr.bytes.subspan(pairs_offset);
  return e;
}

}  // namespace

std::optional<DataRunList> decode_data_runs(std::span<const std::uint8_t> record) {
  if (record.size() < 22) return std::nullopt;
  std::optional<DataRunList> best;
  AttributeWalk walk(record);
  while (auto attr = walk.next()) {
    if (attr->type != kAttrTypeData) continue;
    auto extent = non_resident_extent(*attr);
    if (!extent) continue;
    auto runs = decode_mapping_pairs(extent->pairs);
    if (runs.empty()) continue;
    if (!best || extent->real_size >= best->data_size) best = DataRunList{extent->real_size, std::move(runs)};
  }
  return best;
}

std::optional<DataRunList> decode_unnamed_attribute_runs(std::span<const std::uint8_t> record, std::uint32_t type) {
  if (record.size() < 22) return std::nullopt;
  std::optional<std::uint64_t> size;
  std::vector<DataRun> runs;
  AttributeWalk walk(record);
  while (auto attr = walk.next()) {
    if (attr->type != type || attr->name_length() != 0) continue;
    auto extent = non_resident_extent(*attr);
    if (!extent) continue;
    if (extent->lowest_vcn == 0 && !size) size = extent->real_size;
    auto more = decode_mapping_pairs(extent->pairs, extent->lowest_vcn);
    runs.insert(runs.end(), more.begin(), more.end());
  }
  if (!size) return std::nullopt;
  std::stable_sort(runs.begin(), runs.end(), [](const DataRun& a, const DataRun& b) { return a.vcn < b.vcn; });
  return DataRunList{*size, std::move(runs)};
}

std::optional<std::vector<StreamPiece>> map_stream_range(std::span<const DataRun> runs, std::uint64_t bytes_per_cluster,
                                                         std::uint64_t offset, std::uint64_t length) {
  if (bytes_per_cluster == 0) return std::nullopt;
  std::uint64_t end = 0;
  if (__builtin_add_overflow(offset, length, &end)) return std::nullopt;
  std::vector<StreamPiece> pieces;
  std::uint64_t at = offset;
  for (const DataRun& run : runs) {
    if (at >= end) break;
    std::uint64_t run_start = 0, run_bytes = 0, run_end = 0;
    if (__builtin_mul_overflow(run.vcn, bytes_per_cluster, &run_start) ||
        __builtin_mul_overflow(run.length, bytes_per_cluster, &run_bytes) ||
        __builtin_add_overflow(run_start, run_bytes, &run_end)) {
      return std::nullopt;
    }
    if (run_end <= at) continue;
    if (run_start > at) return std::nullopt;  // a gap that no run covers
    const std::uint64_t piece_end = std::min(run_end, end);
    StreamPiece piece;
    piece.stream_offset = at;
    piece.length = piece_end - at;
    if (run.lcn < 0) {
      piece.sparse = true;
    } else {
      std::uint64_t base = 0;
      if (__builtin_mul_overflow(static_cast<std::uint64_t>(run.lcn), bytes_per_cluster, &base) ||
          __builtin_add_overflow(base, at - run_start, &piece.device_offset)) {
        return std::nullopt;
      }
    }
    pieces.push_back(piece);
    at = piece_end;
  }
  if (at < end) return std::nullopt;
  return pieces;
}

}  // namespace kavel_lib::engine::windows
