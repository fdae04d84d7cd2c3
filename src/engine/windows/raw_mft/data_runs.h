// Data runs (mapping pairs) of non-resident attributes.
//
// A run is a header byte h, then (h & 0x0F) bytes of run length (unsigned) and (h >> 4) bytes
// of cluster offset (signed), relative to the previous run's starting cluster; a header byte
// of 0 ends the list. A run without offset bytes is sparse and is listed with lcn -1; a
// starting cluster below 0 always marks a sparse run.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kavel_lib::engine::windows {

struct DataRun {
  std::uint64_t vcn = 0;     // first virtual cluster: the sum of the lengths before it
  std::int64_t lcn = 0;      // starting cluster on the volume; below 0: sparse
  std::uint64_t length = 0;  // clusters
  friend bool operator==(const DataRun&, const DataRun&) = default;
};

// A stream's size in bytes and its runs.
struct DataRunList {
  std::uint64_t data_size = 0;
  std::vector<DataRun> runs;
};

// Decodes mapping pairs. Decoding ends at a zero header byte, at a run whose bytes pass the
// end of `pairs`, at a length or offset field wider than 8 bytes, and at a cluster or VCN sum
// that would overflow. Runs of length 0 (or with the top bit set) are not listed.
std::vector<DataRun> decode_mapping_pairs(std::span<const std::uint8_t> pairs, std::uint64_t first_vcn = 0);

// The runs of the record's non-resident $DATA attribute with the largest real size (the later
// one on equal sizes) among those that yield at least one run. Records shorter than 22 bytes,
// and records without such an attribute, give nothing.
std::optional<DataRunList> decode_data_runs(std::span<const std::uint8_t> record);

// The runs of the record's unnamed non-resident attribute of the type: every extent of it in
// the record, each decoded from its own lowest VCN, in VCN order; the size is that of the
// extent that starts at VCN 0. Nothing when the record holds no such extent at VCN 0.
std::optional<DataRunList> decode_unnamed_attribute_runs(std::span<const std::uint8_t> record, std::uint32_t type);

// One stretch of a stream's bytes that lies on the volume, or is sparse.
struct StreamPiece {
  std::uint64_t stream_offset = 0;
  std::uint64_t device_offset = 0;  // meaningless when sparse
  std::uint64_t length = 0;
  bool sparse = false;
};

// The pieces that hold the bytes [offset, offset + length) of a stream with these runs and
// this cluster size, in stream order. Sparse runs give sparse pieces; a byte that no run
// covers, a zero cluster size, or a position that overflows gives nothing.
std::optional<std::vector<StreamPiece>> map_stream_range(std::span<const DataRun> runs, std::uint64_t bytes_per_cluster,
                                                         std::uint64_t offset, std::uint64_t length);

}  // namespace kavel_lib::engine::windows
