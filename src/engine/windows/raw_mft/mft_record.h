// Reading one FILE record held in memory: the update-sequence restore, the attribute walk,
// resident values and the $FILE_NAME value. Every offset taken from the record is held
// against the bytes before it is used; a bad offset ends the walk, it is never an error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kavel_lib::engine::windows {

// Restores the last two bytes of every 512-byte stride from the update sequence array, in
// place. Nothing is done unless the record holds at least 42 bytes, begins with "FILE" or
// "BAAD", its array offset is at least 42, its count at least 2 and the array lies inside the
// record. The sequence number (entry 0) is not compared with the bytes it replaces.
void apply_fixups(std::span<std::uint8_t> record);

// One attribute of a record, as the walk finds it.
struct AttributeRef {
  std::uint32_t type = 0;
  std::size_t offset = 0;               // from the record start
  std::span<const std::uint8_t> bytes;  // the whole attribute (its length field's bytes)
  bool non_resident = false;

  // The resident value when value offset + value length lies inside the record (which the
  // walk gave as `record`); nothing for a non-resident attribute.
  [[nodiscard]] std::optional<std::span<const std::uint8_t>> resident_value(std::span<const std::uint8_t> record) const;
  // Number of UTF-16 units of the attribute's name (0: unnamed).
  [[nodiscard]] std::uint8_t name_length() const;
  // The data flags word of the header (compressed, encrypted, sparse).
  [[nodiscard]] std::uint16_t flags() const;
};

// The attribute walk: starts at the first-attribute offset (u16 at 0x14) and goes on while
// offset + 24 fits in the record; ends at type 0xFFFFFFFF, at a length below 24, or at an
// attribute that passes the record's end. Records too short to hold the offset give nothing.
class AttributeWalk {
 public:
  explicit AttributeWalk(std::span<const std::uint8_t> record);
  // The next attribute, or nothing when the walk has ended.
  std::optional<AttributeRef> next();

 private:
  std::span<const std::uint8_t> record_;
  std::size_t offset_ = 0;
  bool done_ = false;
};

// A copy of the value of the first resident attribute of the type whose value lies inside the
// record; non-resident ones and resident ones whose value runs past the record are passed
// over. Records shorter than 48 bytes give nothing.
std::optional<std::vector<std::uint8_t>> find_resident_attribute(std::span<const std::uint8_t> record,
                                                                 std::uint32_t type);

// A $FILE_NAME value (resident, or the key of an index entry). It views the bytes it was
// parsed from, which must outlive it.
struct FileNameValue {
  std::uint64_t parent_reference = 0;  // whole reference; mask for the record number
  std::uint64_t modified = 0;          // FILETIME
  std::uint64_t allocated_size = 0;
  std::uint8_t name_space = 0;         // 2 = DOS
  std::span<const std::uint8_t> name_utf16le;

  [[nodiscard]] bool is_dos() const;
  // The name as UTF-8 text, unpaired surrogates replaced by U+FFFD.
  [[nodiscard]] std::string name() const;
  // The name as WTF-8 text (unpaired surrogates kept; see wtf8.h).
  [[nodiscard]] std::string name_wtf8() const;
  // The name's UTF-16 code units.
  [[nodiscard]] std::vector<std::uint16_t> name_units() const;
};

// The $FILE_NAME fields of a value, when the value holds all of the name (0x42 + 2 x length).
std::optional<FileNameValue> parse_file_name_value(std::span<const std::uint8_t> value);

}  // namespace kavel_lib::engine::windows
