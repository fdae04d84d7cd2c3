#include "engine/windows/raw_mft/mft_record.h"

#include "engine/windows/raw_mft/ntfs_layout.h"
#include "engine/windows/wtf8.h"

namespace kavel_lib::engine::windows {

using namespace ntfs;

void apply_fixups(std::span<std::uint8_t> record) {
  const std::span<const std::uint8_t> view(record);
  if (record.size() < kMinUsaOffset || !is_file_or_baad_record(view)) return;
  const std::size_t usa_offset = load_u16(view, kRecordUsaOffset);
  const std::size_t usa_count = load_u16(view, kRecordUsaCount);
  if (usa_offset < kMinUsaOffset || usa_count < 2) return;
  if (usa_offset + 2 * usa_count > record.size()) return;
  const std::size_t strides = record.size() / kUpdateSequenceStride;
  for (std::size_t i = 0; i + 1 < usa_count && i < strides; ++i) {
    const std::size_t at = kUpdateSequenceStride * i + kUpdateSequenceStride - 2;
    record[at] = record[usa_offset + 2 + 2 * i];
    record[at + 1] = record[usa_offset + 3 + 2 * i];
  }
}

std::optional<std::span<const std::uint8_t>> AttributeRef::resident_value(std::span<const std::uint8_t> record) const {
  if (non_resident) return std::nullopt;
  const std::size_t value_length = load_u32(bytes, kAttrValueLength);
  const std::size_t value_offset = load_u16(bytes, kAttrValueOffset);
  const std::size_t start = offset + value_offset;  // both bounded by the record's size
  if (start > record.size() || value_length > record.size() - start) return std::nullopt;
  return record.subspan(start, value_length);
}

std::uint8_t AttributeRef::name_length() const { return bytes[kAttrNameLength]; }

std::uint16_t AttributeRef::flags() const { return load_u16(bytes, kAttrFlags); }

AttributeWalk::AttributeWalk(std::span<const std::uint8_t> record) : record_(record) {
  if (auto first = read_u16(record, kRecordFirstAttribute)) {
    offset_ = *first;
  } else {
    done_ = true;
  }
}

std::optional<AttributeRef> AttributeWalk::next() {
  if (done_) return std::nullopt;
  if (offset_ > record_.size() || record_.size() - offset_ < kAttrHeaderSize) {
    done_ = true;
    return std::nullopt;
  }
  const std::uint32_t type = load_u32(record_, offset_ + kAttrType);
  const std::size_t length = load_u32(record_, offset_ + kAttrLength);
  if (type == kAttrTypeEnd || length < kAttrHeaderSize || length > record_.size() - offset_) {
    done_ = true;
    return std::nullopt;
  }
  AttributeRef ref;
  ref.type = type;
  ref.offset = offset_;
  ref.bytes = record_.subspan(offset_, length);
  ref.non_resident = record_[offset_ + kAttrNonResident] != 0;
  offset_ += length;
  return ref;
}

std::optional<std::vector<std::uint8_t>> find_resident_attribute(std::span<const std::uint8_t> record,
                                                                 std::uint32_t type) {
  if (record.size() < 48) return std::nullopt;
  AttributeWalk walk(record);
  while (auto attr = walk.next()) {
    if (attr->type != type || attr->non_resident) continue;
    if (auto value = attr->resident_value(record)) return std::vector<std::uint8_t>(value->begin(), value->end());
  }
  return std::nullopt;
}

bool FileNameValue::is_dos() const { return name_space == kNamespaceDos; }

std::string FileNameValue::name() const { return lossy_utf8(wtf8_from_utf16le(name_utf16le)); }

std::string FileNameValue::name_wtf8() const { return wtf8_from_utf16le(name_utf16le); }

std::vector<std::uint16_t> FileNameValue::name_units() const {
  std::vector<std::uint16_t> units(name_utf16le.size() / 2);
  for (std::size_t i = 0; i < units.size(); ++i) units[i] = load_u16(name_utf16le, 2 * i);
  return units;
}

std::optional<FileNameValue> parse_file_name_value(std::span<const std::uint8_t> value) {
  if (value.size() < kFileNameName) return std::nullopt;
  const std::size_t length = value[kFileNameLength];
  if (value.size() - kFileNameName < 2 * length) return std::nullopt;
  FileNameValue fn;
  fn.parent_reference = load_u64(value, kFileNameParent);
  fn.modified = load_u64(value, kFileNameModified);
  fn.allocated_size = load_u64(value, kFileNameAllocatedSize);
  fn.name_space = value[kFileNameNamespace];
  fn.name_utf16le = value.subspan(kFileNameName, 2 * length);
  return fn;
}

}  // namespace kavel_lib::engine::windows
