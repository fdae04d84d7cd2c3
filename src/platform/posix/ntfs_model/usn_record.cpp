#include "platform/posix/ntfs_model/usn_record.h"

#include <algorithm>

namespace kavel_lib::platform::ntfs_model {

using namespace usn_layout;

std::optional<UsnEntry> parse_named_usn_record(Bytes r) {
  if (r.size() < kV2Header) return std::nullopt;
  const std::uint16_t major = u16_at(r, kMajorVersion);
  UsnEntry e;
  e.minor_version = u16_at(r, kMinorVersion);
  std::size_t name_length, name_offset, header;
  if (major == 2) {
    e.file_low = u64_at(r, kFileReference);
    e.parent_low = u64_at(r, kV2Parent);
    e.usn = static_cast<std::int64_t>(u64_at(r, kV2Usn));
    e.time_stamp = static_cast<std::int64_t>(u64_at(r, kV2TimeStamp));
    e.reason = u32_at(r, kV2Reason);
    e.source_info = u32_at(r, kV2SourceInfo);
    e.security_id = u32_at(r, kV2SecurityId);
    e.attributes = u32_at(r, kV2Attributes);
    name_length = u16_at(r, kV2NameLength);
    name_offset = u16_at(r, kV2NameOffset);
    header = kV2Header;
  } else if (major == 3) {
    if (r.size() < kV3Header) return std::nullopt;
    e.file_low = u64_at(r, kFileReference);
    e.file_high = u64_at(r, kFileReference + 8);
    e.parent_low = u64_at(r, kV3Parent);
    e.parent_high = u64_at(r, kV3Parent + 8);
    e.usn = static_cast<std::int64_t>(u64_at(r, kV3Usn));
    e.time_stamp = static_cast<std::int64_t>(u64_at(r, kV3TimeStamp));
    e.reason = u32_at(r, kV3Reason);
    e.source_info = u32_at(r, kV3SourceInfo);
    e.security_id = u32_at(r, kV3SecurityId);
    e.attributes = u32_at(r, kV3Attributes);
    name_length = u16_at(r, kV3NameLength);
    name_offset = u16_at(r, kV3NameOffset);
    header = kV3Header;
  } else {
    return std::nullopt;
  }
  if (name_length % 2 != 0 || name_offset < header || !fits(r.size(), name_offset, name_length)) return std::nullopt;
  e.name = utf16_units(r, name_offset, name_length / 2);
  return e;
}

std::size_t usn_record_size(const UsnEntry& entry, std::uint16_t version) {
  return align8((version == 2 ? kV2Header : kV3Header) + 2 * entry.name.size());
}

void write_usn_record(const UsnEntry& e, std::uint16_t version, std::span<std::uint8_t> out) {
  const std::size_t size = usn_record_size(e, version);
  std::fill(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(size), std::uint8_t{0});
  put_u32(out, kRecordLength, static_cast<std::uint32_t>(size));
  put_u16(out, kMajorVersion, version);
  put_u16(out, kMinorVersion, 0);
  std::size_t name_at;
  if (version == 2) {
    put_u64(out, kFileReference, e.file_low);
    put_u64(out, kV2Parent, e.parent_low);
    put_u64(out, kV2Usn, static_cast<std::uint64_t>(e.usn));
    put_u64(out, kV2TimeStamp, static_cast<std::uint64_t>(e.time_stamp));
    put_u32(out, kV2Reason, e.reason);
    put_u32(out, kV2SourceInfo, e.source_info);
    put_u32(out, kV2SecurityId, e.security_id);
    put_u32(out, kV2Attributes, e.attributes);
    put_u16(out, kV2NameLength, static_cast<std::uint16_t>(2 * e.name.size()));
    put_u16(out, kV2NameOffset, static_cast<std::uint16_t>(kV2Header));
    name_at = kV2Header;
  } else {
    put_u64(out, kFileReference, e.file_low);
    put_u64(out, kFileReference + 8, e.file_high);
    put_u64(out, kV3Parent, e.parent_low);
    put_u64(out, kV3Parent + 8, e.parent_high);
    put_u64(out, kV3Usn, static_cast<std::uint64_t>(e.usn));
    put_u64(out, kV3TimeStamp, static_cast<std::uint64_t>(e.time_stamp));
    put_u32(out, kV3Reason, e.reason);
    put_u32(out, kV3SourceInfo, e.source_info);
    put_u32(out, kV3SecurityId, e.security_id);
    put_u32(out, kV3Attributes, e.attributes);
    put_u16(out, kV3NameLength, static_cast<std::uint16_t>(2 * e.name.size()));
    put_u16(out, kV3NameOffset, static_cast<std::uint16_t>(kV3Header));
    name_at = kV3Header;
  }
  for (std::size_t i = 0; i < e.name.size(); ++i) put_u16(out, name_at + 2 * i, e.name[i]);
}

}  // namespace kavel_lib::platform::ntfs_model
