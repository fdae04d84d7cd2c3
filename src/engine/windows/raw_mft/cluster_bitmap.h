// The volume's cluster allocation bitmap as the NTFS exporter consults it: the unnamed $DATA
// of record 6 ($Bitmap), in which bit n of byte n / 8 (least significant bit first) is set
// when cluster n is in use. A deleted file's record still lists its runs after another file
// has taken those clusters; the bitmap tells which of them are held now.
//
// Only the bitmap bytes that hold the bits asked about are read: one byte range per run,
// neighbouring and overlapping ranges merged, each range read in pieces of at most one export
// chunk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/windows/raw_mft/data_runs.h"

namespace kavel_lib::engine::windows {

struct NtfsVolume;
class MftRecordReader;

// Clusters [first, first + count) of the volume; count is at least 1.
struct ClusterSpan {
  std::uint64_t first = 0;
  std::uint64_t count = 0;
  friend bool operator==(const ClusterSpan&, const ClusterSpan&) = default;
};

// The clusters that the non-sparse pieces (device offsets from the volume's start) take: one
// span per piece, from the cluster of its first byte to the cluster of its last. Empty pieces
// and pieces whose end overflows are left out; nothing for a zero cluster size.
std::vector<ClusterSpan> piece_clusters(std::span<const StreamPiece> pieces, std::uint64_t bytes_per_cluster);

// Bitmap bytes [first, first + count) and the spans whose bits lie in them: spans
// [span_begin, span_end) of the sorted spans.
struct BitmapRange {
  std::uint64_t first = 0;
  std::uint64_t count = 0;
  std::size_t span_begin = 0;
  std::size_t span_end = 0;
  friend bool operator==(const BitmapRange&, const BitmapRange&) = default;
};

// Drops empty spans and those whose last cluster overflows, sorts the rest by first cluster
// and gives the byte ranges that hold their bits within a bitmap of `bitmap_bytes` bytes: each
// span's bytes, merged with the range before when they touch or overlap it. Bytes at or past
// `bitmap_bytes` are cut off; a span with no byte left belongs to the range before it, if it
// touches that, and adds no bytes; otherwise it, and every span after it, is in no range.
std::vector<BitmapRange> bitmap_ranges(std::vector<ClusterSpan>& spans, std::uint64_t bitmap_bytes);

// Whether a bit of the span is set in `bytes`, which hold the bitmap from byte `first_byte` on;
// bits outside them count as clear.
bool any_bit_set(std::span<const std::uint8_t> bytes, std::uint64_t first_byte, ClusterSpan span);

// Whether $Bitmap marks any cluster of the spans in use. What cannot be known counts as not in
// use: record 6 or its unnamed $DATA that cannot be had, a range that cannot be read, clusters
// whose bits lie past the bitmap's initialized size.
bool any_cluster_in_use(const NtfsVolume& volume, const MftRecordReader& mft, std::vector<ClusterSpan> spans);

}  // namespace kavel_lib::engine::windows
