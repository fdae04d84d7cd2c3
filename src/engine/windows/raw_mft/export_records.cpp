#include "engine/windows/raw_mft/export_records.h"

#include <algorithm>
#include <utility>

#include "engine/windows/raw_mft/export_layout.h"
#include "engine/windows/raw_mft/mft_map.h"
#include "engine/windows/raw_mft/mft_record.h"
#include "engine/windows/raw_mft/ntfs_layout.h"

namespace kavel_lib::engine::windows {

using namespace ntfs;

namespace {

bool usable_geometry(const VolumeGeometry& g) {
  return g.bytes_per_cluster != 0 && g.record_size != 0 && g.record_size <= kMaxRecordSize;
}

// n x record size, and the end of that record; nothing on overflow.
std::optional<std::uint64_t> record_offset(std::uint64_t n, std::uint32_t record_size) {
  std::uint64_t offset = 0, end = 0;
  if (__builtin_mul_overflow(n, std::uint64_t{record_size}, &offset) ||
      __builtin_add_overflow(offset, std::uint64_t{record_size}, &end)) {
    return std::nullopt;
  }
  return offset;
}

}  // namespace

bool record_number_matches(std::span<const std::uint8_t> record, std::uint64_t n) {
  const auto usa_offset = read_u16(record, kRecordUsaOffset);
  if (!usa_offset || *usa_offset < kRecordOwnNumberEnd) return true;
  const auto own = read_u32(record, kRecordOwnNumber);
  return own && *own == static_cast<std::uint32_t>(n);
}

std::optional<std::vector<std::uint8_t>> accept_record(std::vector<std::uint8_t> bytes, std::uint64_t n) {
  if (!is_file_or_baad_record(bytes)) return std::nullopt;
  apply_fixups(bytes);
  if (!record_number_matches(bytes, n)) return std::nullopt;
  return bytes;
}

std::optional<std::vector<std::uint8_t>> read_mft_record_direct(const NtfsVolume& volume, std::uint64_t n) {
  const VolumeGeometry& g = volume.geometry;
  if (!usable_geometry(g)) return std::nullopt;
  const auto within_mft = record_offset(n, g.record_size);
  std::uint64_t start = 0, position = 0;
  if (!within_mft || __builtin_mul_overflow(g.mft_start_lcn, g.bytes_per_cluster, &start) ||
      __builtin_add_overflow(start, *within_mft, &position)) {
    return std::nullopt;
  }
  std::vector<std::uint8_t> bytes(g.record_size);
  if (!volume.read_exact(position, bytes)) return std::nullopt;
  return accept_record(std::move(bytes), n);
}

std::optional<std::vector<std::uint8_t>> read_runs_range(const NtfsVolume& volume, std::uint64_t bytes_per_cluster,
                                                         std::span<const DataRun> runs, std::uint64_t offset,
                                                         std::uint64_t length) {
  if (length == 0) return std::vector<std::uint8_t>{};
  const auto pieces = map_stream_range(runs, bytes_per_cluster, offset, length);
  if (!pieces) return std::nullopt;
  std::vector<std::uint8_t> buffer(length);
  for (const StreamPiece& piece : *pieces) {
    if (piece.sparse) continue;  // stays zero
    const std::span<std::uint8_t> into = std::span(buffer).subspan(piece.stream_offset - offset, piece.length);
    if (!volume.read_exact(piece.device_offset, into)) return std::nullopt;
  }
  return buffer;
}

MftRecordReader::MftRecordReader(const NtfsVolume& volume) : volume_(&volume) {
  auto record0 = read_mft_record_direct(volume, 0);
  if (!record0) return;
  // Extension records of the $MFT are found through the runs of record 0 itself.
  GatheredStream own;
  for (auto& extent : unnamed_extents(*record0, kAttrTypeData)) {
    if (extent.lowest_vcn == 0 && !own.data_size) own.data_size = extent.real_size;
    own.runs.insert(own.runs.end(), extent.runs.begin(), extent.runs.end());
  }
  if (!own.data_size || own.runs.empty()) return;
  std::stable_sort(own.runs.begin(), own.runs.end(), [](const DataRun& a, const DataRun& b) { return a.vcn < b.vcn; });
  mft_ = std::move(own);
  GatheredStream all = gather_unnamed_stream(*record0, 0, kAttrTypeData, sources());
  if (all.data_size && !all.runs.empty()) mft_ = std::move(all);
}

std::optional<std::vector<std::uint8_t>> MftRecordReader::read(std::uint64_t n) const {
  if (!mft_) return read_mft_record_direct(*volume_, n);
  const VolumeGeometry& g = volume_->geometry;
  if (!usable_geometry(g)) return std::nullopt;
  const auto offset = record_offset(n, g.record_size);
  if (!offset || *offset + g.record_size > *mft_->data_size) return std::nullopt;
  auto bytes = read_runs_range(*volume_, g.bytes_per_cluster, mft_->runs, *offset, g.record_size);
  if (!bytes) return std::nullopt;
  return accept_record(std::move(*bytes), n);
}

ExtentSources MftRecordReader::sources() const {
  ExtentSources s;
  s.read_record = [this](std::uint64_t n) { return read(n); };
  s.read_stream = [this](std::span<const DataRun> runs, std::uint64_t size) {
    return read_runs_range(*volume_, volume_->geometry.bytes_per_cluster, runs, 0, size);
  };
  return s;
}

}  // namespace kavel_lib::engine::windows
