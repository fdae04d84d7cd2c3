#include "engine/windows/raw_mft/record_reader.h"

#include <algorithm>
#include <array>
#include <limits>

#include "engine/windows/raw_mft/data_runs.h"
#include "engine/windows/raw_mft/mft_map.h"
#include "engine/windows/raw_mft/mft_record.h"
#include "engine/windows/raw_mft/ntfs_layout.h"
#include "engine/windows/scan_records.h"
#include "platform/ntfs_control.h"

namespace kavel_lib::engine::windows {

using namespace ntfs;

namespace {

// Largest in-use bitmap read from the volume: one bit per record, 2^31 records.
constexpr std::uint64_t kMaxBitmapBytes = 1ull << 28;
// Largest run of records read at once.
constexpr std::uint64_t kMaxChunkBytes = 1ull << 28;

bool usable(const VolumeGeometry& g) {
  std::uint64_t start = 0;
  return g.record_size != 0 && g.record_size <= kMaxRecordSize && g.bytes_per_cluster != 0 &&
         !__builtin_mul_overflow(g.mft_start_lcn, g.bytes_per_cluster, &start);
}

}  // namespace

std::optional<std::vector<std::uint8_t>> fsctl_get_ntfs_file_record(const VolumeHandle& volume, std::uint64_t reference,
                                                                    std::uint32_t size_hint) {
  const std::size_t capacity = std::clamp<std::size_t>(size_hint, kMinRecordSize, kMaxRecordSize) + 64;
  std::vector<std::uint8_t> output(capacity, 0);
  std::array<std::uint8_t, 8> input{};
  for (std::size_t i = 0; i < 8; ++i) input[i] = static_cast<std::uint8_t>(reference >> (8 * i));
  auto written = volume.control(platform::ctl::FSCTL_GET_NTFS_FILE_RECORD, input, output);
  if (!written) return std::nullopt;
  const std::span<const std::uint8_t> reply(output.data(), std::min(*written, output.size()));
  if (reply.size() < kFileRecordOutBytes) return std::nullopt;
  const std::uint64_t answered = load_u64(reply, kFileRecordOutReference);
  const std::size_t length = load_u32(reply, kFileRecordOutLength);
  if (length == 0 || length > reply.size() - kFileRecordOutBytes) return std::nullopt;
  if ((answered & kFrnMask) != (reference & kFrnMask)) return std::nullopt;
  return std::vector<std::uint8_t>(reply.begin() + kFileRecordOutBytes, reply.begin() + kFileRecordOutBytes + length);
}

std::optional<std::vector<std::uint8_t>> get_file_record_via_fsctl(const VolumeHandle& volume, std::uint64_t reference,
                                                                   std::uint32_t size_hint) {
  if (auto record = fsctl_get_ntfs_file_record(volume, reference, size_hint)) return record;
  const std::uint64_t number = reference & kFrnMask;
  if (number == 0) return std::nullopt;
  auto record = fsctl_get_ntfs_file_record(volume, number, size_hint);
  if (!record) return std::nullopt;
  if (record->size() >= 24) {
    const std::uint64_t sequence = load_u16(*record, kRecordSequenceNumber);
    const std::uint64_t completed = number | (sequence << 48);
    if (sequence != 0 && completed != reference) {
      if (auto third = fsctl_get_ntfs_file_record(volume, completed, size_hint)) return third;
    }
  }
  return record;
}

std::optional<std::vector<std::uint8_t>> read_raw_mft_record(const VolumeHandle& volume, const VolumeGeometry& geometry,
                                                             std::uint64_t frn) {
  if (!usable(geometry)) return std::nullopt;
  auto layout = volume.mft_layout(geometry);
  if (!layout) return std::nullopt;
  auto pieces = layout->pieces_for(frn, 1);
  if (!pieces) return std::nullopt;
  for (const StreamPiece& piece : *pieces) {
    if (piece.sparse) return std::nullopt;
  }
  std::vector<std::uint8_t> record(geometry.record_size, 0);
  if (!volume.copy_kept_record(*layout, frn, record) &&
      !read_stream_pieces(volume.device(), *pieces, frn * geometry.record_size, record)) {
    return std::nullopt;
  }
  if (!is_file_or_baad_record(record)) return std::nullopt;
  apply_fixups(record);
  return record;
}

std::optional<std::vector<std::uint8_t>> read_mft_records(const VolumeHandle& volume, const VolumeGeometry& geometry,
                                                          std::uint64_t first_frn, std::uint32_t count) {
  if (count == 0 || !usable(geometry)) return std::nullopt;
  const std::uint64_t total = std::uint64_t{count} * geometry.record_size;
  std::uint64_t base = 0;
  if (total > kMaxChunkBytes || __builtin_mul_overflow(first_frn, std::uint64_t{geometry.record_size}, &base)) {
    return std::nullopt;
  }
  auto layout = volume.mft_layout(geometry);
  if (!layout) return std::nullopt;
  auto pieces = layout->pieces_for(first_frn, count);
  if (!pieces) return std::nullopt;
  std::vector<std::uint8_t> buffer(total, 0);
  if (!read_stream_pieces(volume.device(), *pieces, base, buffer)) return std::nullopt;
  for (std::size_t at = 0; at < buffer.size(); at += geometry.record_size) {
    const std::span<std::uint8_t> slot(buffer.data() + at, geometry.record_size);
    if (is_file_or_baad_record(slot)) apply_fixups(slot);
  }
  return buffer;
}

namespace {

std::optional<std::vector<std::uint8_t>> read_bitmap_of_record0(const VolumeHandle& volume, std::uint32_t size_hint) {
  auto record = get_file_record_via_fsctl(volume, 0, size_hint);
  if (!record) return std::nullopt;
  if (auto resident = find_resident_attribute(*record, kAttrTypeBitmap)) return resident;
  // Real volumes keep the MFT's bitmap non-resident: read it through its runs.
  auto runs = decode_unnamed_attribute_runs(*record, kAttrTypeBitmap);
  if (!runs || runs->data_size == 0 || runs->data_size > kMaxBitmapBytes) return std::nullopt;
  auto volume_data = volume.cached_volume_data();
  if (!volume_data) return std::nullopt;
  auto pieces = map_stream_range(runs->runs, volume_data->bytes_per_cluster(), 0, runs->data_size);
  if (!pieces) return std::nullopt;
  std::vector<std::uint8_t> bitmap(runs->data_size, 0);
  if (!read_stream_pieces(volume.device(), *pieces, 0, bitmap)) return std::nullopt;
  return bitmap;
}

std::shared_ptr<const std::vector<std::uint8_t>> kept_bitmap(const VolumeHandle& volume, std::uint32_t size_hint) {
  return volume.bitmap([&] { return read_bitmap_of_record0(volume, size_hint); });
}

}  // namespace

std::optional<std::vector<std::uint8_t>> load_mft_in_use_bitmap(const VolumeHandle& volume, std::uint32_t size_hint) {
  auto bitmap = kept_bitmap(volume, size_hint);
  if (!bitmap) return std::nullopt;
  return *bitmap;
}

std::optional<std::vector<std::uint8_t>> get_mft_record(const NtfsVolumeData& volume_data, const VolumeHandle& volume,
                                                        std::uint64_t frn, std::uint32_t size_hint) {
  const std::uint64_t number = frn & kFrnMask;
  const VolumeGeometry geometry = record_reader_geometry(volume_data);
  bool raw_tried = false;
  if (auto bitmap = kept_bitmap(volume, size_hint)) {
    const std::uint64_t index = number >> 3;
    if (index < bitmap->size() && ((*bitmap)[index] & (1u << (frn & 7))) == 0) {
      raw_tried = true;
      if (auto record = read_raw_mft_record(volume, geometry, number)) return record;
    }
  }
  if (auto record = get_file_record_via_fsctl(volume, frn, size_hint)) return record;
  if (raw_tried) return std::nullopt;
  return read_raw_mft_record(volume, geometry, number);
}

std::uint64_t mft_record_count_estimate(std::optional<std::uint64_t> bitmap_length) {
  constexpr std::uint64_t kDefault = 0x400000;
  if (!bitmap_length || *bitmap_length < 0x20000) return kDefault;
  std::uint64_t records = 0;
  if (__builtin_mul_overflow(*bitmap_length, std::uint64_t{8}, &records)) return std::numeric_limits<std::uint64_t>::max();
  return records;
}

void sort_frns_by_chunk(std::vector<std::uint64_t>& frns, std::uint64_t target, std::uint32_t step) {
  if (step == 0) return;
  const std::uint64_t target_chunk = target / step;
  auto distance = [&](std::uint64_t x) {
    const std::uint64_t chunk = x / step;
    return chunk > target_chunk ? chunk - target_chunk : target_chunk - chunk;
  };
  std::stable_sort(frns.begin(), frns.end(),
                   [&](std::uint64_t a, std::uint64_t b) { return distance(a) < distance(b); });
}

std::unordered_set<std::uint64_t> build_frn_hash_set(const std::unordered_set<std::uint64_t>& set, std::uint64_t frn,
                                                     std::uint64_t reference) {
  std::unordered_set<std::uint64_t> out = set;
  out.insert(frn);
  out.insert(reference & kFrnMask);
  out.insert(reference);
  return out;
}

}  // namespace kavel_lib::engine::windows
