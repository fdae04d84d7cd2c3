#include "platform/posix/ntfs_model/record.h"

#include <cstring>

namespace kavel_lib::platform::ntfs_model {

namespace {
// Multi-sector header (FILE and INDX alike).
constexpr std::size_t kUsaOffset = 0x04;
constexpr std::size_t kUsaCount = 0x06;
// FILE record header.
constexpr std::size_t kSequence = 0x10;
constexpr std::size_t kFirstAttribute = 0x14;
constexpr std::size_t kFlags = 0x16;
constexpr std::size_t kBytesInUse = 0x18;
constexpr std::size_t kBaseReference = 0x20;
constexpr std::size_t kRecordHeaderMin = 0x28;
// Attribute header.
constexpr std::size_t kAttrLength = 0x04;
constexpr std::size_t kAttrNonResident = 0x08;
constexpr std::size_t kAttrNameLength = 0x09;
constexpr std::size_t kAttrNameOffset = 0x0A;
constexpr std::size_t kAttrFlags = 0x0C;
constexpr std::size_t kAttrId = 0x0E;
constexpr std::size_t kResidentValueLength = 0x10;
constexpr std::size_t kResidentValueOffset = 0x14;
constexpr std::size_t kResidentHeader = 0x18;
constexpr std::size_t kStartVcn = 0x10;
constexpr std::size_t kLastVcn = 0x18;
constexpr std::size_t kMappingPairsOffset = 0x20;
constexpr std::size_t kAllocatedSize = 0x28;
constexpr std::size_t kDataSize = 0x30;
constexpr std::size_t kInitializedSize = 0x38;
constexpr std::size_t kNonResidentHeader = 0x40;
}  // namespace

bool apply_update_sequence(std::span<std::uint8_t> block, const char (&signature)[5]) {
  if (block.size() < kSequenceStride || block.size() % kSequenceStride != 0) return false;
  if (std::memcmp(block.data(), signature, 4) != 0) return false;
  const std::size_t usa = u16_at(block, kUsaOffset);
  const std::size_t count = u16_at(block, kUsaCount);
  const std::size_t strides = block.size() / kSequenceStride;
  if (count != strides + 1 || usa < 8 || usa % 2 != 0) return false;
  if (!fits(kSequenceStride - 2, usa, 2 * count)) return false;  // the array lies in the first stride
  const std::uint16_t number = u16_at(block, usa);
  for (std::size_t i = 0; i < strides; ++i) {
    const std::size_t end = (i + 1) * kSequenceStride - 2;
    if (u16_at(block, end) != number) return false;
  }
  for (std::size_t i = 0; i < strides; ++i) {
    const std::size_t end = (i + 1) * kSequenceStride - 2;
    block[end] = block[usa + 2 + 2 * i];
    block[end + 1] = block[usa + 3 + 2 * i];
  }
  return true;
}

std::optional<RecordHeader> record_header(Bytes record) {
  if (record.size() < kRecordHeaderMin) return std::nullopt;
  RecordHeader h;
  h.sequence = u16_at(record, kSequence);
  h.first_attribute = u16_at(record, kFirstAttribute);
  h.flags = u16_at(record, kFlags);
  h.bytes_in_use = u32_at(record, kBytesInUse);
  h.base_reference = u64_at(record, kBaseReference);
  return h;
}

std::vector<Attribute> record_attributes(Bytes record) {
  std::vector<Attribute> out;
  const auto header = record_header(record);
  if (!header) return out;
  std::size_t offset = header->first_attribute;
  while (fits(record.size(), offset, 16)) {
    const std::uint32_t type = u32_at(record, offset);
    if (type == kAttrEnd) break;
    const std::uint32_t length = u32_at(record, offset + kAttrLength);
    if (length < kResidentHeader || !fits(record.size(), offset, length)) break;
    const Bytes whole = record.subspan(offset, length);
    offset += length;

    Attribute a;
    a.type = type;
    a.whole = whole;
    a.non_resident = whole[kAttrNonResident] != 0;
    a.flags = u16_at(whole, kAttrFlags);
    a.id = u16_at(whole, kAttrId);
    const std::size_t name_length = whole[kAttrNameLength];
    const std::size_t name_offset = u16_at(whole, kAttrNameOffset);
    if (name_length != 0) {
      if (!fits(whole.size(), name_offset, 2 * name_length)) continue;
      a.name = utf16_units(whole, name_offset, name_length);
    }
    if (!a.non_resident) {
      const std::uint32_t value_length = u32_at(whole, kResidentValueLength);
      const std::uint16_t value_offset = u16_at(whole, kResidentValueOffset);
      if (!fits(whole.size(), value_offset, value_length)) continue;
      a.value = whole.subspan(value_offset, value_length);
    } else {
      if (whole.size() < kNonResidentHeader) continue;
      a.start_vcn = u64_at(whole, kStartVcn);
      a.last_vcn = u64_at(whole, kLastVcn);
      a.allocated_size = u64_at(whole, kAllocatedSize);
      a.data_size = u64_at(whole, kDataSize);
      a.initialized_size = u64_at(whole, kInitializedSize);
      const std::size_t pairs = u16_at(whole, kMappingPairsOffset);
      if (pairs < kNonResidentHeader || pairs > whole.size()) continue;
      a.mapping_pairs = whole.subspan(pairs);
    }
    out.push_back(std::move(a));
  }
  return out;
}

std::optional<Attribute> find_attribute(Bytes record, std::uint32_t type, std::u16string_view name) {
  for (auto& a : record_attributes(record)) {
    if (a.type == type && a.name == name) return std::move(a);
  }
  return std::nullopt;
}

std::optional<std::vector<Run>> decode_runs(Bytes pairs, std::uint64_t first_vcn) {
  std::vector<Run> runs;
  std::uint64_t vcn = first_vcn;
  std::int64_t lcn = 0;
  std::size_t p = 0;
  while (p < pairs.size() && pairs[p] != 0) {
    const std::size_t length_bytes = pairs[p] & 0x0F;
    const std::size_t offset_bytes = pairs[p] >> 4;
    ++p;
    if (length_bytes == 0 || length_bytes > 8 || offset_bytes > 8) return std::nullopt;
    if (!fits(pairs.size(), p, length_bytes + offset_bytes)) return std::nullopt;
    std::uint64_t length = 0;
    for (std::size_t i = 0; i < length_bytes; ++i) length |= static_cast<std::uint64_t>(pairs[p + i]) << (8 * i);
    p += length_bytes;
    if (length == 0 || length > (std::uint64_t{1} << 62)) return std::nullopt;
    Run run;
    run.vcn = vcn;
    run.length = length;
    if (offset_bytes == 0) {
      run.lcn = -1;  // sparse
    } else {
      std::uint64_t raw = 0;
      for (std::size_t i = 0; i < offset_bytes; ++i) raw |= static_cast<std::uint64_t>(pairs[p + i]) << (8 * i);
      p += offset_bytes;
      if (offset_bytes < 8 && (pairs[p - 1] & 0x80) != 0) raw |= ~std::uint64_t{0} << (8 * offset_bytes);
      const auto delta = static_cast<std::int64_t>(raw);
      if ((delta > 0 && lcn > INT64_MAX - delta) || (delta < 0 && lcn < INT64_MIN - delta)) return std::nullopt;
      lcn += delta;
      if (lcn < 0) return std::nullopt;
      run.lcn = lcn;
    }
    if (vcn > UINT64_MAX - length) return std::nullopt;
    vcn += length;
    runs.push_back(run);
  }
  return runs;
}

}  // namespace kavel_lib::platform::ntfs_model
