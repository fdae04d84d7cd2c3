// Byte-level pieces of the NTFS volume builder: little-endian writers, names, the update
// sequence, data runs, attributes and FILE records. Written for the builder alone.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kavel_test::ntfs::format {

using Bytes = std::vector<std::uint8_t>;

inline void w8(Bytes& b, std::size_t o, std::uint8_t v) { b.at(o) = v; }
inline void w16(Bytes& b, std::size_t o, std::uint16_t v) {
  b.at(o) = static_cast<std::uint8_t>(v);
  b.at(o + 1) = static_cast<std::uint8_t>(v >> 8);
}
inline void w32(Bytes& b, std::size_t o, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.at(o + i) = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void w64(Bytes& b, std::size_t o, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) b.at(o + i) = static_cast<std::uint8_t>(v >> (8 * i));
}
inline std::size_t round8(std::size_t n) { return (n + 7) / 8 * 8; }

// UTF-8 to UTF-16 (invalid bytes become U+FFFD).
std::u16string utf16(std::string_view text);
// The builder's upper-case mapping: it fills $UpCase and orders the indexes.
char16_t upper(char16_t c);
// NTFS file-name collation: upper-cased units, then the units themselves.
bool collates_before(const std::u16string& a, const std::u16string& b);
// Whether a name is its own 8.3 short name (upper case, 1-8 characters, optional 1-3 extension).
bool is_short_name(const std::u16string& name);

// Protects a multi-sector structure: the update sequence array at usa_offset takes the last
// two bytes of every 512-byte stride, which then hold the sequence number.
void protect(Bytes& block, std::size_t usa_offset, std::uint16_t sequence_number);

// A run of clusters; lcn < 0 is sparse.
struct Run {
  std::int64_t lcn = -1;
  std::uint64_t length = 0;
};
Bytes mapping_pairs(const std::vector<Run>& runs);

// An attribute to be placed in a record.
struct Attribute {
  std::uint32_t type = 0;
  std::u16string name;
  std::uint16_t flags = 0;  // 0x8000 sparse
  bool resident = true;
  bool indexed = false;  // resident: the value is indexed ($FILE_NAME)
  Bytes value;           // resident
  std::vector<Run> runs;  // non-resident
  std::uint64_t data_size = 0;
  std::uint64_t initialized_size = 0;
  std::uint32_t cluster_size = 4096;  // non-resident: sizes the allocated size
};
Bytes serialize(const Attribute& a, std::uint16_t id);

struct RecordSpec {
  std::uint32_t record_size = 1024;
  std::uint64_t number = 0;
  std::uint16_t sequence = 1;
  std::uint16_t flags = 0;  // 1 in use, 2 directory
  std::uint16_t link_count = 1;
  std::vector<Attribute> attributes;  // any order: placed by type, then name
};
// The record in its on-disk form (update sequence applied), or nothing when it overflows.
std::optional<Bytes> serialize_record(const RecordSpec& desc);
// Bytes a record needs for these attributes (header, attributes, end marker).
std::size_t record_bytes(std::uint32_t record_size, const std::vector<Attribute>& attributes);

// Attribute values.
Bytes standard_information(std::uint64_t time, std::uint32_t attributes, std::uint64_t usn);
Bytes file_name(std::uint64_t parent, const std::u16string& name, std::uint8_t name_space, std::uint32_t attributes,
                std::uint64_t allocated, std::uint64_t size, std::uint64_t time, std::uint32_t reparse_tag = 0);

}  // namespace kavel_test::ntfs::format
