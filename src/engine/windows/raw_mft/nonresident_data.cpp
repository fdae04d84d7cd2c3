#include "engine/windows/raw_mft/nonresident_data.h"

#include <algorithm>

#include "engine/windows/raw_mft/data_runs.h"

namespace kavel_lib::engine::windows {

namespace {
// Largest single read; a long run is read in pieces of this size.
constexpr std::uint64_t kReadPiece = 1ull << 20;
// Most bytes one call hands out, whatever limit the caller gives.
constexpr std::uint64_t kMaxTail = 1ull << 30;
}  // namespace

std::optional<std::vector<std::uint8_t>> read_nonresident_data(const VolumeGeometry& geometry,
                                                               const VolumeHandle& volume,
                                                               std::span<const std::uint8_t> record, std::uint64_t limit) {
  const std::uint64_t cluster = geometry.bytes_per_cluster;
  if (cluster == 0) return std::nullopt;
  auto decoded = decode_data_runs(record);
  if (!decoded) return std::nullopt;
  const std::uint64_t size = decoded->data_size;
  const std::uint64_t wanted = std::min({size, limit, kMaxTail});
  const std::uint64_t range_start = size - wanted;
  std::vector<std::uint8_t> out;
  out.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(wanted, 1ull << 26)));
  for (const DataRun& run : decoded->runs) {
    std::uint64_t run_start = 0, run_bytes = 0, run_end = 0;
    if (__builtin_mul_overflow(run.vcn, cluster, &run_start) || __builtin_mul_overflow(run.length, cluster, &run_bytes) ||
        __builtin_add_overflow(run_start, run_bytes, &run_end)) {
      return std::nullopt;
    }
    // The part of this run that overlaps [range_start, size).
    const std::uint64_t from = std::max(run_start, range_start);
    const std::uint64_t to = std::min(run_end, size);
    if (from >= to || run.lcn < 0) continue;
    std::uint64_t device_base = 0;
    if (__builtin_mul_overflow(static_cast<std::uint64_t>(run.lcn), cluster, &device_base)) return std::nullopt;
    for (std::uint64_t at = from; at < to;) {
      const std::uint64_t n = std::min(to - at, kReadPiece);
      std::uint64_t position = 0;
      if (__builtin_add_overflow(device_base, at - run_start, &position)) return std::nullopt;
      const std::size_t old = out.size();
      out.resize(old + n);
      if (!volume.device().read_exact_at(position, std::span<std::uint8_t>(out.data() + old, n))) return std::nullopt;
      at += n;
    }
  }
  if (out.empty()) return std::nullopt;
  return out;
}

}  // namespace kavel_lib::engine::windows
