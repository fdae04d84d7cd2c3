// The $LogFile layouts that the transaction scan reads, in one place: the page markers, the
// NTFS client log record header and the name record the scan takes from the redo data of
// operations 6 and 13. All integers little-endian; offsets in bytes from the start of the
// structure named.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kavel_lib::engine::windows::logfile {

// ---- the stream ----------------------------------------------------------------------------
// Bytes of the log's data the scan reads: the last 8 MiB.
inline constexpr std::uint64_t kLogTailBytes = 0x800000;
inline constexpr std::size_t kLogPageSize = 4096;
// A record page ("RCRD") or a page the disk check marked ("CHKD") is searched from here.
inline constexpr std::size_t kLogPageDataStart = 64;
inline constexpr std::size_t kLogPageMarkerSize = 4;

// ---- client log record header --------------------------------------------------------------
inline constexpr std::size_t kLogRedoOperation = 0x00;     // u16
inline constexpr std::size_t kLogUndoOperation = 0x02;     // u16
inline constexpr std::size_t kLogRedoOffset = 0x04;        // u16, from the header's first byte
inline constexpr std::size_t kLogRedoLength = 0x06;        // u16
inline constexpr std::size_t kLogClusterBlockOffset = 0x14;  // u16, 512-byte units
inline constexpr std::size_t kLogRecordDivisor = 0x16;     // u16, 512-byte units; 0: the record size
inline constexpr std::size_t kLogTargetVcn = 0x18;         // i64
// Bytes a header must have in the slice to be examined.
inline constexpr std::size_t kLogHeaderSize = 32;
inline constexpr std::size_t kLogMinRedoOffset = 32;
inline constexpr std::uint64_t kLogBlockUnit = 512;

// Operation codes run from 0 to 37.
inline constexpr std::uint16_t kLogOperationLimit = 38;
// Redo operations the scan uses.
inline constexpr std::uint16_t kLogOpDeallocateFileRecord = 3;  // target position names a record
inline constexpr std::uint16_t kLogOpDeleteAttribute = 6;       // redo data read as a name record
inline constexpr std::uint16_t kLogOpDeleteIndexEntryRoot = 13;  // redo data read as a name record

// ---- name record (redo data of operations 6 and 13) ----------------------------------------
inline constexpr std::size_t kNameRecordParent = 0x00;     // u64, low 48 bits used
inline constexpr std::size_t kNameRecordReference = 0x08;  // u64, low 48 bits used
inline constexpr std::size_t kNameRecordLength = 0x40;     // u8, UTF-16 units
inline constexpr std::size_t kNameRecordNamespace = 0x41;  // u8, 2 = DOS (skipped)
inline constexpr std::size_t kNameRecordName = 0x42;       // UTF-16LE
inline constexpr std::size_t kNameRecordMinLength = 66;
inline constexpr std::uint8_t kNameRecordDosNamespace = 2;
// Record references below this are system files, counted as no record number.
inline constexpr std::uint64_t kFirstUserRecord = 12;

}  // namespace kavel_lib::engine::windows::logfile
