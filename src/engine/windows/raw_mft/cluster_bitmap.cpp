#include "engine/windows/raw_mft/cluster_bitmap.h"

#include <algorithm>
#include <optional>

#include "engine/windows/raw_mft/export_records.h"
#include "engine/windows/raw_mft/ntfs_export.h"
#include "engine/windows/raw_mft/ntfs_layout.h"
#include "engine/windows/raw_mft/stream_extents.h"

namespace kavel_lib::engine::windows {

namespace {

constexpr std::uint64_t kBitmapRecord = 6;

// The span's last cluster; no overflow, since spans are made by piece_clusters or given whole.
std::uint64_t last_cluster(ClusterSpan span) { return span.first + (span.count - 1); }

bool valid_span(ClusterSpan span) {
  std::uint64_t end = 0;
  return span.count != 0 && !__builtin_add_overflow(span.first, span.count - 1, &end);
}

}  // namespace

std::vector<ClusterSpan> piece_clusters(std::span<const StreamPiece> pieces, std::uint64_t bytes_per_cluster) {
  std::vector<ClusterSpan> spans;
  if (bytes_per_cluster == 0) return spans;
  for (const StreamPiece& piece : pieces) {
    std::uint64_t last_byte = 0;
    if (piece.sparse || piece.length == 0 ||
        __builtin_add_overflow(piece.device_offset, piece.length - 1, &last_byte)) {
      continue;
    }
    const std::uint64_t first = piece.device_offset / bytes_per_cluster;
    spans.push_back({first, last_byte / bytes_per_cluster - first + 1});
  }
  return spans;
}

std::vector<BitmapRange> bitmap_ranges(std::vector<ClusterSpan>& spans, std::uint64_t bitmap_bytes) {
  std::erase_if(spans, [](ClusterSpan s) { return !valid_span(s); });
  std::sort(spans.begin(), spans.end(), [](ClusterSpan a, ClusterSpan b) { return a.first < b.first; });
  std::vector<BitmapRange> ranges;
  for (std::size_t i = 0; i < spans.size(); ++i) {
    const std::uint64_t first = spans[i].first / 8;
    // One past the last byte, cut at the bitmap's end (no overflow: the last cluster / 8 + 1).
    const std::uint64_t end = std::min(last_cluster(spans[i]) / 8 + 1, bitmap_bytes);
    if (!ranges.empty() && first <= ranges.back().first + ranges.back().count) {
      BitmapRange& back = ranges.back();
      back.count = std::max(back.count, end > back.first ? end - back.first : 0);
      back.span_end = i + 1;
      continue;
    }
    if (first >= end) {
      // Past the bitmap's end, and so are all the spans after it.
      break;
    }
    ranges.push_back({first, end - first, i, i + 1});
  }
  return ranges;
}

bool any_bit_set(std::span<const std::uint8_t> bytes, std::uint64_t first_byte, ClusterSpan span) {
  if (!valid_span(span) || bytes.empty()) return false;
  const std::uint64_t last = last_cluster(span);
  const std::uint64_t lo = std::max(span.first / 8, first_byte);
  // The last byte held: first_byte + size - 1, without overflow.
  const std::uint64_t held_last =
      first_byte + std::min<std::uint64_t>(bytes.size() - 1, UINT64_MAX - first_byte);
  const std::uint64_t hi = std::min(last / 8, held_last);
  for (std::uint64_t b = lo; b <= hi; ++b) {
    unsigned mask = 0xFF;
    if (b == span.first / 8) mask &= 0xFFu << (span.first % 8);
    if (b == last / 8) mask &= 0xFFu >> (7 - last % 8);
    if ((bytes[static_cast<std::size_t>(b - first_byte)] & mask) != 0) return true;
    if (b == UINT64_MAX) break;
  }
  return false;
}

bool any_cluster_in_use(const NtfsVolume& volume, const MftRecordReader& mft, std::vector<ClusterSpan> spans) {
  if (spans.empty()) return false;
  const auto record = mft.read(kBitmapRecord);
  if (!record) return false;

  // On a volume of a handful of clusters the bitmap may stand in its record.
  if (const auto resident = unnamed_resident_value(*record, ntfs::kAttrTypeData)) {
    return std::any_of(spans.begin(), spans.end(), [&](ClusterSpan s) { return any_bit_set(*resident, 0, s); });
  }

  const GatheredStream data = gather_unnamed_stream(*record, kBitmapRecord, ntfs::kAttrTypeData, mft.sources());
  if (!data.data_size || data.runs.empty()) return false;
  const std::uint64_t cluster = volume.geometry.bytes_per_cluster;
  // Bytes past the initialized size read as zeros: clusters free, whatever lies there.
  for (const BitmapRange& range : bitmap_ranges(spans, data.initialized_size)) {
    const std::span<const ClusterSpan> members(spans.data() + range.span_begin, range.span_end - range.span_begin);
    // Only the spans whose bits lie in a piece are looked at for it: the spans are sorted by
    // their first cluster, those that ended before the piece are passed for good, and the first
    // that starts after it ends the look. A file of many fragments costs one pass over them.
    std::size_t from = 0;
    for (std::uint64_t done = 0; done < range.count;) {
      const std::uint64_t length = std::min(range.count - done, kExportChunkBytes);
      const std::uint64_t at = range.first + done;
      done += length;
      while (from < members.size() && last_cluster(members[from]) / 8 < at) ++from;
      const auto bytes = read_runs_range(volume, cluster, data.runs, at, length);
      if (!bytes) continue;  // unknown: not taken for in use
      // No overflow: at + length ends within the range, which ends within the bitmap.
      for (std::size_t i = from; i < members.size() && members[i].first / 8 < at + length; ++i) {
        if (any_bit_set(*bytes, at, members[i])) return true;
      }
    }
  }
  return false;
}

}  // namespace kavel_lib::engine::windows
