// USN change-journal records (USN_RECORD_V2, V3 and V4) as FSCTL_READ_USN_JOURNAL and
// FSCTL_ENUM_USN_DATA hand them out: the byte layout, one record parsed with every length
// held against the bytes at hand, and the walk over a buffer of records that steps over
// anything it cannot read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

namespace kavel_lib::engine::windows {

namespace usn_layout {
// Common to every version.
inline constexpr std::size_t kRecordLength = 0;   // u32
inline constexpr std::size_t kMajorVersion = 4;   // u16
inline constexpr std::size_t kFileReference = 8;  // u64 (the low half of the 128-bit id in V3/V4)
// V2.
inline constexpr std::size_t kV2Parent = 16;
inline constexpr std::size_t kV2Reason = 40;
inline constexpr std::size_t kV2NameLength = 56;
inline constexpr std::size_t kV2NameOffset = 58;
inline constexpr std::size_t kV2MinLength = 60;
// V3 (128-bit ids).
inline constexpr std::size_t kV3Parent = 24;
inline constexpr std::size_t kV3Reason = 56;
inline constexpr std::size_t kV3NameLength = 72;
inline constexpr std::size_t kV3NameOffset = 74;
inline constexpr std::size_t kV3MinLength = 76;
// V4 (range records, no name).
inline constexpr std::size_t kV4Parent = 24;
inline constexpr std::size_t kV4Reason = 48;
inline constexpr std::size_t kV4MinLength = 60;
// The smallest record the walk looks at.
inline constexpr std::size_t kMinRecord = 60;
}  // namespace usn_layout

// One record: the name is empty for a V4 record; both record numbers are masked to 48 bits.
struct ParsedUsnRecord {
  std::string name;  // UTF-8, unpaired surrogates shown as U+FFFD
  std::uint64_t frn = 0;
  std::uint64_t parent = 0;
  std::uint32_t reason = 0;
  std::uint32_t record_length = 0;
  std::uint64_t reference = 0;  // the whole file reference (sequence number in bits 48-63)
  friend bool operator==(const ParsedUsnRecord&, const ParsedUsnRecord&) = default;
};

// The UTF-16LE name of the record at record_start (record_length bytes long) whose name lies
// at name_offset from the record's start and is name_length bytes long. Nothing for an empty
// name, for a name that does not lie within both the bytes and the record, or for a name that
// decodes to nothing (a single odd byte). A trailing odd byte is ignored.
std::optional<std::string> decode_utf16_name(std::span<const std::uint8_t> bytes, std::size_t record_start,
                                             std::size_t record_length, std::size_t name_offset,
                                             std::size_t name_length);

// The record at offset, or nothing when it cannot be read: fewer than 60 bytes there, a
// RecordLength below the version's smallest record or past the bytes, an unknown version, or
// (V2, V3) a name that does not decode.
std::optional<ParsedUsnRecord> parse_usn_record(std::span<const std::uint8_t> bytes, std::size_t offset);

// Walks the records of a buffer (the bytes after the 8-byte position of a control call) in
// order, calling visit with each record that parses and its offset. A record that does not
// parse is stepped over by its own RecordLength when that is at least 8 and fits, else by 8
// bytes, so the walk finds its footing again after damage or padding.
void for_each_usn_record(std::span<const std::uint8_t> bytes,
                         const std::function<void(const ParsedUsnRecord&, std::size_t offset)>& visit);

}  // namespace kavel_lib::engine::windows
