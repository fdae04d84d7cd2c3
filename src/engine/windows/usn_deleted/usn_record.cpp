// Parsing of USN_RECORD_V2/V3/V4 and the resynchronising walk over a buffer of them.
#include "engine/windows/usn_deleted/usn_record.h"

#include "engine/windows/scan_records.h"
#include "engine/windows/wtf8.h"

namespace kavel_lib::engine::windows {

namespace {

std::uint64_t load_le(std::span<const std::uint8_t> bytes, std::size_t at, int width) {
  std::uint64_t value = 0;
  for (int i = 0; i < width; ++i) value |= static_cast<std::uint64_t>(bytes[at + static_cast<std::size_t>(i)]) << (8 * i);
  return value;
}
std::uint16_t u16_at(std::span<const std::uint8_t> b, std::size_t at) { return static_cast<std::uint16_t>(load_le(b, at, 2)); }
std::uint32_t u32_at(std::span<const std::uint8_t> b, std::size_t at) { return static_cast<std::uint32_t>(load_le(b, at, 4)); }
std::uint64_t u64_at(std::span<const std::uint8_t> b, std::size_t at) { return load_le(b, at, 8); }

struct VersionFields {
  std::size_t parent;
  std::size_t reason;
  std::size_t name_length;  // 0: the version has no name
  std::size_t name_offset;
  std::size_t min_length;
};

std::optional<VersionFields> fields_of(std::uint16_t major) {
  using namespace usn_layout;
  switch (major) {
    case 2: return VersionFields{kV2Parent, kV2Reason, kV2NameLength, kV2NameOffset, kV2MinLength};
    case 3: return VersionFields{kV3Parent, kV3Reason, kV3NameLength, kV3NameOffset, kV3MinLength};
    case 4: return VersionFields{kV4Parent, kV4Reason, 0, 0, kV4MinLength};
    default: return std::nullopt;
  }
}

}  // namespace

std::optional<std::string> decode_utf16_name(std::span<const std::uint8_t> bytes, std::size_t record_start,
                                             std::size_t record_length, std::size_t name_offset,
                                             std::size_t name_length) {
  if (name_length == 0) return std::nullopt;
  if (record_start > bytes.size() || record_length > bytes.size() - record_start) return std::nullopt;
  if (name_offset > record_length || name_length > record_length - name_offset) return std::nullopt;
  const std::size_t usable = name_length & ~std::size_t{1};
  std::string name = lossy_utf8(wtf8_from_utf16le(bytes.subspan(record_start + name_offset, usable)));
  if (name.empty()) return std::nullopt;
  return name;
}

std::optional<ParsedUsnRecord> parse_usn_record(std::span<const std::uint8_t> bytes, std::size_t offset) {
  if (offset > bytes.size() || bytes.size() - offset < usn_layout::kMinRecord) return std::nullopt;
  const std::uint32_t length = u32_at(bytes, offset + usn_layout::kRecordLength);
  if (length < usn_layout::kMinRecord || length > bytes.size() - offset) return std::nullopt;
  const auto fields = fields_of(u16_at(bytes, offset + usn_layout::kMajorVersion));
  if (!fields || length < fields->min_length) return std::nullopt;

  ParsedUsnRecord record;
  record.record_length = length;
  record.reference = u64_at(bytes, offset + usn_layout::kFileReference);
  record.frn = record.reference & kFrnMask;
  record.parent = u64_at(bytes, offset + fields->parent) & kFrnMask;
  record.reason = u32_at(bytes, offset + fields->reason);
  if (fields->name_length != 0) {
    auto name = decode_utf16_name(bytes, offset, length, u16_at(bytes, offset + fields->name_offset),
                                  u16_at(bytes, offset + fields->name_length));
    if (!name) return std::nullopt;
    record.name = std::move(*name);
  }
  return record;
}

void for_each_usn_record(std::span<const std::uint8_t> bytes,
                         const std::function<void(const ParsedUsnRecord&, std::size_t offset)>& visit) {
  std::size_t at = 0;
  while (at <= bytes.size() && bytes.size() - at >= usn_layout::kMinRecord) {
    if (auto record = parse_usn_record(bytes, at)) {
      const std::size_t here = at;
      at += record->record_length;
      visit(*record, here);
      continue;
    }
    const std::uint32_t length = u32_at(bytes, at);
    at += (length >= 8 && length <= bytes.size() - at) ? length : 8;
  }
}

}  // namespace kavel_lib::engine::windows
