// libFuzzer target over the NTFS exporter's record-level readers: the record acceptance
// (signature, fixups, own number), the unnamed $DATA of a record, attribute list entries, the
// gathering of extents through extension records, the coverage check, the look-up of the
// file's clusters in a cluster bitmap and the disk-extent buffer.
//
// Input: one option byte (the cluster size's shift), then 1024-byte records: the first is the
// base record (number 120), the next ones records 121, 122, ...; the bytes after the last whole
// record stand for a non-resident attribute list's stream, and for the cluster bitmap.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/windows/raw_mft/cluster_bitmap.h"
#include "engine/windows/raw_mft/export_records.h"
#include "engine/windows/raw_mft/export_source.h"
#include "engine/windows/raw_mft/stream_extents.h"

namespace ew = kavel_lib::engine::windows;
using Bytes = std::vector<std::uint8_t>;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t kRecord = 1024;
  constexpr std::uint64_t kBase = 120;
  if (size < 1) return 0;
  const std::uint64_t cluster = 512ull << (data[0] & 7);
  const std::span<const std::uint8_t> input(data + 1, size - 1);
  const std::size_t records = input.size() / kRecord;
  const std::span<const std::uint8_t> tail = input.subspan(records * kRecord);
  (void)ew::parse_volume_disk_extents(input.first(std::min<std::size_t>(input.size(), 32)));
  if (records == 0) {
    (void)ew::attribute_list_references(input);
    return 0;
  }

  auto slot = [&](std::uint64_t n) -> std::optional<Bytes> {
    if (n < kBase || n - kBase >= records) return std::nullopt;
    const auto bytes = input.subspan((n - kBase) * kRecord, kRecord);
    return ew::accept_record(Bytes(bytes.begin(), bytes.end()), n);
  };
  ew::ExtentSources sources;
  sources.read_record = slot;
  sources.read_stream = [&](std::span<const ew::DataRun> runs, std::uint64_t length) -> std::optional<Bytes> {
    if (runs.empty() || length > tail.size()) return std::nullopt;
    return Bytes(tail.begin(), tail.begin() + static_cast<std::ptrdiff_t>(length));
  };

  const Bytes raw(input.begin(), input.begin() + kRecord);
  (void)ew::record_number_matches(raw, kBase);
  Bytes base = raw;
  if (auto fixed = ew::accept_record(raw, kBase)) base = std::move(*fixed);
  if (auto value = ew::unnamed_resident_value(base, 0x80)) (void)value->size();
  if (auto list = ew::unnamed_resident_value(base, 0x20)) (void)ew::attribute_list_references(*list);
  const auto gathered = ew::gather_unnamed_stream(base, kBase, 0x80, sources);
  if (gathered.data_size) {
    if (ew::runs_cover(gathered.runs, cluster, *gathered.data_size)) {
      // Every byte must then map to a run or a sparse part.
      const std::uint64_t probe = *gathered.data_size / 2;
      if (probe < *gathered.data_size && !ew::map_stream_range(gathered.runs, cluster, probe, 1)) __builtin_trap();
      // The clusters an export would read, looked up in the tail as a bitmap: every span's bits
      // lie in the ranges found for it.
      const std::uint64_t valid = std::min(gathered.initialized_size, *gathered.data_size);
      if (const auto pieces = ew::map_stream_range(gathered.runs, cluster, 0, valid)) {
        auto spans = ew::piece_clusters(*pieces, cluster);
        for (const ew::BitmapRange& range : ew::bitmap_ranges(spans, tail.size())) {
          if (range.first > tail.size() || range.count > tail.size() - range.first ||
              range.span_end > spans.size() || range.span_begin >= range.span_end) {
            __builtin_trap();
          }
          const auto bytes = tail.subspan(range.first, range.count);
          for (std::size_t i = range.span_begin; i < range.span_end; ++i) {
            if (ew::any_bit_set(bytes, range.first, spans[i]) != ew::any_bit_set(tail, 0, spans[i])) __builtin_trap();
          }
        }
      }
    }
  }
  return 0;
}
