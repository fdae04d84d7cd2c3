// The on-disk and control-code layouts that only the NTFS exporter reads, beside the shared ones
// of ntfs_layout.h: the FILE record fields that tie a record to its number and to its base
// record, the $ATTRIBUTE_LIST entry, and the VOLUME_DISK_EXTENTS buffer. All integers
// little-endian; offsets in bytes from the start of the structure named.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kavel_lib::engine::windows::ntfs {

// ---- FILE record header (NTFS 3.1) ---------------------------------------------------------
inline constexpr std::size_t kRecordBaseReference = 0x20;  // u64, 0 in a base record
inline constexpr std::size_t kRecordOwnNumber = 0x2C;      // u32, low 32 bits of the record number
// The record number is part of the header only when the update sequence array starts after
// it (NTFS 3.1 puts the array at 0x30; NTFS 3.0 at 0x2A, over the place of the number).
inline constexpr std::size_t kRecordOwnNumberEnd = 0x30;

inline constexpr std::uint64_t kRecordNumberMask = 0xFFFFFFFFFFFFull;

// ---- $ATTRIBUTE_LIST entry -------------------------------------------------------------------
inline constexpr std::size_t kAttrListEntryLength = 0x04;     // u16
inline constexpr std::size_t kAttrListEntryReference = 0x10;  // u64, the record holding the attribute
inline constexpr std::size_t kAttrListEntryMinLength = 26;

// ---- VOLUME_DISK_EXTENTS (IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS), room for one extent ---------
inline constexpr std::size_t kDiskExtentsBufferSize = 32;
inline constexpr std::size_t kDiskExtentsCount = 0;            // u32
inline constexpr std::size_t kDiskExtentsDiskNumber = 8;       // u32, first extent
inline constexpr std::size_t kDiskExtentsStartingOffset = 16;  // u64, first extent

}  // namespace kavel_lib::engine::windows::ntfs
