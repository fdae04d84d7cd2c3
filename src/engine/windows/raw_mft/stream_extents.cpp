#include "engine/windows/raw_mft/stream_extents.h"

#include <algorithm>
#include <unordered_set>

#include "engine/windows/raw_mft/export_layout.h"
#include "engine/windows/raw_mft/mft_record.h"
#include "engine/windows/raw_mft/ntfs_layout.h"

namespace kavel_lib::engine::windows {

using namespace ntfs;

std::vector<std::uint64_t> attribute_list_references(std::span<const std::uint8_t> value) {
  std::vector<std::uint64_t> refs;
  std::size_t p = 0;
  while (value.size() - p >= kAttrListEntryMinLength) {
    const std::size_t length = load_u16(value, p + kAttrListEntryLength);
    if (length < kAttrListEntryMinLength || length > value.size() - p) break;
    refs.push_back(load_u64(value, p + kAttrListEntryReference) & kRecordNumberMask);
    p += length;
  }
  return refs;
}

std::optional<ResidentValue> unnamed_resident_attribute(std::span<const std::uint8_t> record, std::uint32_t type) {
  AttributeWalk walk(record);
  while (auto attr = walk.next()) {
    if (attr->type != type || attr->non_resident || attr->name_length() != 0) continue;
    if (auto value = attr->resident_value(record)) return ResidentValue{*value, attr->flags()};
  }
  return std::nullopt;
}

std::optional<std::span<const std::uint8_t>> unnamed_resident_value(std::span<const std::uint8_t> record,
                                                                    std::uint32_t type) {
  if (auto found = unnamed_resident_attribute(record, type)) return found->value;
  return std::nullopt;
}

std::vector<AttributeExtent> unnamed_extents(std::span<const std::uint8_t> record, std::uint32_t type) {
  std::vector<AttributeExtent> extents;
  AttributeWalk walk(record);
  while (auto attr = walk.next()) {
    if (attr->type != type || !attr->non_resident || attr->name_length() != 0) continue;
    if (attr->bytes.size() < kAttrNonResidentHeaderEnd) continue;
    const std::size_t pairs_offset = load_u16(attr->bytes, kAttrMappingPairsOffset);
    if (pairs_offset > attr->bytes.size()) continue;
    AttributeExtent extent;
    extent.lowest_vcn = load_u64(attr->bytes, kAttrLowestVcn);
    extent.real_size = load_u64(attr->bytes, kAttrRealSize);
    extent.flags = attr->flags();
    extent.initialized_size = attr->bytes.size() >= kAttrInitializedSizeEnd
                                  ? load_u64(attr->bytes, kAttrInitializedSize)
                                  : extent.real_size;
    extent.runs = decode_mapping_pairs(attr->bytes.subspan(pairs_offset), extent.lowest_vcn);
    extents.push_back(std::move(extent));
  }
  return extents;
}

namespace {

void take_extents(std::span<const std::uint8_t> record, std::uint32_t type, GatheredStream& out) {
  for (auto& extent : unnamed_extents(record, type)) {
    if (extent.lowest_vcn == 0 && !out.data_size) {
      out.data_size = extent.real_size;
      out.initialized_size = std::min(extent.initialized_size, extent.real_size);
      out.flags = extent.flags;
    }
    out.runs.insert(out.runs.end(), extent.runs.begin(), extent.runs.end());
  }
}

// The $ATTRIBUTE_LIST value of a base record: resident, or read through the runs of its
// unnamed non-resident extent at VCN 0 (bounded in size).
std::optional<std::vector<std::uint8_t>> attribute_list_value(std::span<const std::uint8_t> record,
                                                              const ExtentSources& sources) {
  if (auto value = unnamed_resident_value(record, kAttrTypeAttributeList)) {
    return std::vector<std::uint8_t>(value->begin(), value->end());
  }
  GatheredStream list;
  take_extents(record, kAttrTypeAttributeList, list);
  if (!list.data_size || list.runs.empty() || *list.data_size > kMaxAttributeListBytes || !sources.read_stream) {
    return std::nullopt;
  }
  std::stable_sort(list.runs.begin(), list.runs.end(), [](const DataRun& a, const DataRun& b) { return a.vcn < b.vcn; });
  return sources.read_stream(list.runs, *list.data_size);
}

}  // namespace

GatheredStream gather_unnamed_stream(std::span<const std::uint8_t> base_record, std::uint64_t frn,
                                     std::uint32_t type, const ExtentSources& sources) {
  GatheredStream out;
  take_extents(base_record, type, out);
  if (auto list = attribute_list_value(base_record, sources); list && sources.read_record) {
    std::unordered_set<std::uint64_t> seen{frn};
    for (const std::uint64_t ref : attribute_list_references(*list)) {
      if (!seen.insert(ref).second) continue;
      auto record = sources.read_record(ref);
      if (!record) continue;
      const auto base = read_u64(*record, kRecordBaseReference);
      // A base record has no base reference; an extension record names its base record.
      if (!base || *base == 0 || (*base & kRecordNumberMask) != frn) continue;
      take_extents(*record, type, out);
    }
  }
  std::stable_sort(out.runs.begin(), out.runs.end(), [](const DataRun& a, const DataRun& b) { return a.vcn < b.vcn; });
  return out;
}

bool runs_cover(std::span<const DataRun> runs, std::uint64_t bytes_per_cluster, std::uint64_t size) {
  if (bytes_per_cluster == 0) return false;
  const std::uint64_t needed = size / bytes_per_cluster + (size % bytes_per_cluster != 0 ? 1 : 0);
  std::uint64_t next = 0;  // the first cluster not yet laid out
  for (const DataRun& run : runs) {
    if (next >= needed) break;
    if (run.vcn != next) return false;  // a gap before it, or an overlap with the run before
    std::uint64_t end = 0, end_byte = 0;
    if (__builtin_add_overflow(run.vcn, run.length, &end) || __builtin_mul_overflow(end, bytes_per_cluster, &end_byte)) {
      return false;
    }
    if (run.lcn >= 0) {
      std::uint64_t last = 0, bytes = 0;
      if (__builtin_add_overflow(static_cast<std::uint64_t>(run.lcn), run.length, &last) ||
          __builtin_mul_overflow(last, bytes_per_cluster, &bytes)) {
        return false;
      }
    }
    next = end;
  }
  return next >= needed;
}

}  // namespace kavel_lib::engine::windows
