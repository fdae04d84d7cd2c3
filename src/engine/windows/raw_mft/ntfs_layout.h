// The NTFS on-disk layouts that the scanner and the NTFS exporter read, in one place: the FILE
// record header and its update sequence, attribute headers, the $FILE_NAME value, index
// entries, and the two control-code buffers of the NTFS driver. All integers little-endian;
// offsets in bytes from the start of the structure named.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace kavel_lib::engine::windows::ntfs {

// ---- FILE record header -----------------------------------------------------------------
inline constexpr std::size_t kRecordSignature = 0x00;       // "FILE" or "BAAD"
inline constexpr std::size_t kRecordUsaOffset = 0x04;       // u16
inline constexpr std::size_t kRecordUsaCount = 0x06;        // u16, entries incl. the sequence number
inline constexpr std::size_t kRecordSequenceNumber = 0x10;  // u16
inline constexpr std::size_t kRecordFirstAttribute = 0x14;  // u16
inline constexpr std::size_t kRecordFlags = 0x16;           // u16
inline constexpr std::uint16_t kRecordFlagInUse = 0x0001;
inline constexpr std::uint16_t kRecordFlagDirectory = 0x0002;
inline constexpr std::size_t kRecordFlagsEnd = 0x18;  // a record must hold this much to have flags
inline constexpr std::size_t kUpdateSequenceStride = 512;
inline constexpr std::size_t kMinUsaOffset = 42;

// ---- attribute header ---------------------------------------------------------------------
inline constexpr std::size_t kAttrType = 0x00;          // u32
inline constexpr std::size_t kAttrLength = 0x04;        // u32, the whole attribute
inline constexpr std::size_t kAttrNonResident = 0x08;   // u8, 0 resident
inline constexpr std::size_t kAttrNameLength = 0x09;    // u8, UTF-16 units
inline constexpr std::size_t kAttrNameOffset = 0x0A;    // u16
inline constexpr std::size_t kAttrFlags = 0x0C;         // u16, the attribute's data flags
inline constexpr std::size_t kAttrHeaderSize = 24;      // smallest attribute
// Data flags: any bit of the compression-unit mask says the clusters hold compression units
// (LZNT1 chunks, with holes where a unit compressed away), not the bytes themselves; encrypted
// clusters hold EFS ciphertext. The sparse flag (0x8000) only says there are holes, which read
// as zeros.
inline constexpr std::uint16_t kAttrFlagCompressionMask = 0x00FF;
inline constexpr std::uint16_t kAttrFlagEncrypted = 0x4000;
// resident
inline constexpr std::size_t kAttrValueLength = 0x10;   // u32
inline constexpr std::size_t kAttrValueOffset = 0x14;   // u16, from the attribute start
// non-resident
inline constexpr std::size_t kAttrLowestVcn = 0x10;          // u64
inline constexpr std::size_t kAttrMappingPairsOffset = 0x20; // u16, from the attribute start
inline constexpr std::size_t kAttrRealSize = 0x30;           // u64
inline constexpr std::size_t kAttrNonResidentHeaderEnd = 0x38;
// u64, the initialized (valid data) size: bytes from here to the real size read as zeros
inline constexpr std::size_t kAttrInitializedSize = 0x38;
inline constexpr std::size_t kAttrInitializedSizeEnd = 0x40;

inline constexpr std::uint32_t kAttrTypeStandardInformation = 0x10;
inline constexpr std::uint32_t kAttrTypeAttributeList = 0x20;
inline constexpr std::uint32_t kAttrTypeFileName = 0x30;
inline constexpr std::uint32_t kAttrTypeData = 0x80;
inline constexpr std::uint32_t kAttrTypeIndexRoot = 0x90;
inline constexpr std::uint32_t kAttrTypeBitmap = 0xB0;
inline constexpr std::uint32_t kAttrTypeEnd = 0xFFFFFFFF;

// ---- $FILE_NAME value ---------------------------------------------------------------------
inline constexpr std::size_t kFileNameParent = 0x00;         // u64 reference
inline constexpr std::size_t kFileNameModified = 0x10;       // u64 FILETIME
inline constexpr std::size_t kFileNameAllocatedSize = 0x28;  // u64
inline constexpr std::size_t kFileNameLength = 0x40;         // u8, UTF-16 units
inline constexpr std::size_t kFileNameNamespace = 0x41;      // u8
inline constexpr std::size_t kFileNameName = 0x42;           // UTF-16LE
inline constexpr std::uint8_t kNamespaceDos = 2;

// ---- $INDEX_ROOT value and index entries ---------------------------------------------------
inline constexpr std::size_t kIndexRootEntriesStart = 32;  // root header 16 + node header 16
inline constexpr std::size_t kIndexEntryReference = 0x00;  // u64
inline constexpr std::size_t kIndexEntryLength = 0x08;     // u16
inline constexpr std::size_t kIndexEntryKeyLength = 0x0A;  // u16
inline constexpr std::size_t kIndexEntryFlags = 0x0C;      // u8
inline constexpr std::size_t kIndexEntryKey = 0x10;
inline constexpr std::size_t kIndexEntryMinLength = 16;
inline constexpr std::uint8_t kIndexEntryFlagEndsWalk = 0x01;

// ---- NTFS_VOLUME_DATA_BUFFER (FSCTL_GET_NTFS_VOLUME_DATA) -----------------------------------
inline constexpr std::size_t kVolumeDataSize = 96;
inline constexpr std::size_t kVolumeDataBytesPerCluster = 0x2C;      // u32
inline constexpr std::size_t kVolumeDataBytesPerRecord = 0x30;       // u32
inline constexpr std::size_t kVolumeDataMftStartLcn = 0x40;          // u64

// ---- NTFS_FILE_RECORD_OUTPUT_BUFFER (FSCTL_GET_NTFS_FILE_RECORD) ----------------------------
inline constexpr std::size_t kFileRecordOutReference = 0x00;  // u64
inline constexpr std::size_t kFileRecordOutLength = 0x08;     // u32
inline constexpr std::size_t kFileRecordOutBytes = 0x0C;

inline constexpr std::uint64_t kRootDirectoryFrn = 5;

// ---- little-endian access -------------------------------------------------------------------
// The load_* functions need the caller to have checked the bounds; the read_* ones check.
inline std::uint64_t load_le(std::span<const std::uint8_t> b, std::size_t off, std::size_t width) {
  std::uint64_t v = 0;
  for (std::size_t i = width; i > 0; --i) v = (v << 8) | b[off + i - 1];
  return v;
}
inline std::uint16_t load_u16(std::span<const std::uint8_t> b, std::size_t off) {
  return static_cast<std::uint16_t>(load_le(b, off, 2));
}
inline std::uint32_t load_u32(std::span<const std::uint8_t> b, std::size_t off) {
  return static_cast<std::uint32_t>(load_le(b, off, 4));
}
inline std::uint64_t load_u64(std::span<const std::uint8_t> b, std::size_t off) { return load_le(b, off, 8); }

inline bool holds(std::span<const std::uint8_t> b, std::size_t off, std::size_t width) {
  return off <= b.size() && width <= b.size() - off;
}
inline std::optional<std::uint16_t> read_u16(std::span<const std::uint8_t> b, std::size_t off) {
  if (!holds(b, off, 2)) return std::nullopt;
  return load_u16(b, off);
}
inline std::optional<std::uint32_t> read_u32(std::span<const std::uint8_t> b, std::size_t off) {
  if (!holds(b, off, 4)) return std::nullopt;
  return load_u32(b, off);
}
inline std::optional<std::uint64_t> read_u64(std::span<const std::uint8_t> b, std::size_t off) {
  if (!holds(b, off, 8)) return std::nullopt;
  return load_u64(b, off);
}

// Whether the bytes begin with the four-character signature.
inline bool has_signature(std::span<const std::uint8_t> b, const char (&sig)[5]) {
  return b.size() >= 4 && b[0] == static_cast<std::uint8_t>(sig[0]) && b[1] == static_cast<std::uint8_t>(sig[1]) &&
         b[2] == static_cast<std::uint8_t>(sig[2]) && b[3] == static_cast<std::uint8_t>(sig[3]);
}
inline bool is_file_record(std::span<const std::uint8_t> b) { return has_signature(b, "FILE"); }
inline bool is_file_or_baad_record(std::span<const std::uint8_t> b) {
  return has_signature(b, "FILE") || has_signature(b, "BAAD");
}

// The flags word of a FILE record of at least 24 bytes; nothing for shorter or non-FILE bytes.
inline std::optional<std::uint16_t> file_record_flags(std::span<const std::uint8_t> b) {
  if (b.size() < kRecordFlagsEnd || !is_file_record(b)) return std::nullopt;
  return load_u16(b, kRecordFlags);
}

}  // namespace kavel_lib::engine::windows::ntfs
