// USN_RECORD_V2, V3 and V4 as stored in $J and as handed out by the journal control codes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/posix/ntfs_model/bytes.h"

namespace kavel_lib::platform::ntfs_model {

namespace usn_layout {
inline constexpr std::size_t kRecordLength = 0;
inline constexpr std::size_t kMajorVersion = 4;
inline constexpr std::size_t kMinorVersion = 6;
inline constexpr std::size_t kFileReference = 8;
// V2
inline constexpr std::size_t kV2Parent = 16;
inline constexpr std::size_t kV2Usn = 24;
inline constexpr std::size_t kV2TimeStamp = 32;
inline constexpr std::size_t kV2Reason = 40;
inline constexpr std::size_t kV2SourceInfo = 44;
inline constexpr std::size_t kV2SecurityId = 48;
inline constexpr std::size_t kV2Attributes = 52;
inline constexpr std::size_t kV2NameLength = 56;
inline constexpr std::size_t kV2NameOffset = 58;
inline constexpr std::size_t kV2Header = 60;
// V3 (128-bit file ids)
inline constexpr std::size_t kV3Parent = 24;
inline constexpr std::size_t kV3Usn = 40;
inline constexpr std::size_t kV3TimeStamp = 48;
inline constexpr std::size_t kV3Reason = 56;
inline constexpr std::size_t kV3SourceInfo = 60;
inline constexpr std::size_t kV3SecurityId = 64;
inline constexpr std::size_t kV3Attributes = 68;
inline constexpr std::size_t kV3NameLength = 72;
inline constexpr std::size_t kV3NameOffset = 74;
inline constexpr std::size_t kV3Header = 76;
// V4 (range tracking)
inline constexpr std::size_t kV4Usn = 40;
inline constexpr std::size_t kV4Reason = 48;
inline constexpr std::size_t kV4Header = 64;
}  // namespace usn_layout

// The fields of a V2 or V3 record, ids 128-bit wide (high halves 0 for V2).
struct UsnEntry {
  std::uint64_t file_low = 0, file_high = 0;
  std::uint64_t parent_low = 0, parent_high = 0;
  std::int64_t usn = 0;
  std::int64_t time_stamp = 0;
  std::uint32_t reason = 0;
  std::uint32_t source_info = 0;
  std::uint32_t security_id = 0;
  std::uint32_t attributes = 0;
  std::uint16_t minor_version = 0;
  std::u16string name;
};

inline constexpr std::size_t align8(std::size_t n) { return (n + 7) & ~std::size_t{7}; }

// Reads a stored V2 or V3 record (the whole record in `record`); nothing when malformed.
std::optional<UsnEntry> parse_named_usn_record(Bytes record);

// Size of the record that write_usn_record makes for an entry in a version (2 or 3).
std::size_t usn_record_size(const UsnEntry& entry, std::uint16_t version);
// Writes a V2 or V3 record at the start of out (which has usn_record_size bytes), padding zeroed.
void write_usn_record(const UsnEntry& entry, std::uint16_t version, std::span<std::uint8_t> out);

}  // namespace kavel_lib::platform::ntfs_model
