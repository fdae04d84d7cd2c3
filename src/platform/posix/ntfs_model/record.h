// FILE records and their attributes: the update sequence, the record header, the attribute
// walk, resident values, non-resident headers and the mapping pairs (data runs).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/posix/ntfs_model/bytes.h"

namespace kavel_lib::platform::ntfs_model {

// Attribute types.
inline constexpr std::uint32_t kAttrStandardInformation = 0x10;
inline constexpr std::uint32_t kAttrAttributeList = 0x20;
inline constexpr std::uint32_t kAttrFileName = 0x30;
inline constexpr std::uint32_t kAttrData = 0x80;
inline constexpr std::uint32_t kAttrIndexRoot = 0x90;
inline constexpr std::uint32_t kAttrIndexAllocation = 0xA0;
inline constexpr std::uint32_t kAttrBitmap = 0xB0;
inline constexpr std::uint32_t kAttrReparsePoint = 0xC0;
inline constexpr std::uint32_t kAttrEnd = 0xFFFFFFFF;

// FILE record header flags.
inline constexpr std::uint16_t kRecordInUse = 0x0001;
inline constexpr std::uint16_t kRecordIsDirectory = 0x0002;

// The update sequence stride: every 512 bytes of a protected structure end in the sequence
// number, the real bytes being kept in the array.
inline constexpr std::size_t kSequenceStride = 512;

// Checks and undoes the update sequence of a FILE record or an INDX block in place: the
// signature must match, the array must lie inside the header and cover every stride, and
// every stride must end in the sequence number. False leaves the buffer unusable.
bool apply_update_sequence(std::span<std::uint8_t> block, const char (&signature)[5]);

struct RecordHeader {
  std::uint16_t sequence = 0;
  std::uint16_t first_attribute = 0;
  std::uint16_t flags = 0;
  std::uint32_t bytes_in_use = 0;
  std::uint64_t base_reference = 0;  // 0 for a base record
};

// The header of a record whose update sequence was applied; nothing for a record too short.
std::optional<RecordHeader> record_header(Bytes record);

// One attribute as found by the walk. Spans point into the record.
struct Attribute {
  std::uint32_t type = 0;
  bool non_resident = false;
  std::u16string name;
  std::uint16_t flags = 0;
  std::uint16_t id = 0;
  Bytes whole;  // the attribute's bytes
  // Resident: the value.
  Bytes value;
  // Non-resident.
  std::uint64_t start_vcn = 0;
  std::uint64_t last_vcn = 0;
  std::uint64_t allocated_size = 0;
  std::uint64_t data_size = 0;
  std::uint64_t initialized_size = 0;
  Bytes mapping_pairs;
};

// Every well-formed attribute of a record, in record order. The walk ends at the end marker,
// at a length below the header size, or at an attribute that would pass the record's end; an
// attribute whose inner offsets are out of range is passed over.
std::vector<Attribute> record_attributes(Bytes record);

// The first attribute of a type with the given name (empty: unnamed).
std::optional<Attribute> find_attribute(Bytes record, std::uint32_t type, std::u16string_view name = {});

// A decoded run: `length` clusters from virtual cluster `vcn`, at volume cluster `lcn`, or
// sparse (lcn < 0).
struct Run {
  std::uint64_t vcn = 0;
  std::int64_t lcn = -1;
  std::uint64_t length = 0;
};

// Decodes mapping pairs starting at virtual cluster first_vcn. Nothing when a run is
// malformed (zero length, a field wider than 8 bytes, overflow, a negative cluster, or bytes
// past the end).
std::optional<std::vector<Run>> decode_runs(Bytes mapping_pairs, std::uint64_t first_vcn);

}  // namespace kavel_lib::platform::ntfs_model
