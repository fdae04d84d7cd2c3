// NTFS and volume control codes on an open device, answered with the byte layouts that
// Windows documents for DeviceIoControl.
//
// Returns the count of bytes written into output, or the Windows error of the call.
//
// Behaviour of the codes, as the NTFS driver answers them:
// - FSCTL_GET_NTFS_VOLUME_DATA: the 96-byte NTFS_VOLUME_DATA_BUFFER; a buffer below 96 bytes
//   gives 122; a handle that is not an NTFS volume 1; an NTFS boot sector with fields out of
//   range, or an unusable MFT record 0, 1005.
// - FSCTL_GET_NTFS_FILE_RECORD: 8 bytes in (a file reference: only its 48-bit record number
//   counts, the sequence number is ignored); out the record at or below that number that is in
//   use per the MFT's $BITMAP (a number past the MFT is taken as its last record), with the
//   record's own reference (its current sequence number) at 0, its length at 8 and the record
//   (update sequence applied) from 12. 87 for a short input, 122 for a buffer below
//   12 + record size, 1392 for a damaged record, 30 for an unreadable one.
// - FSCTL_QUERY_USN_JOURNAL: USN_JOURNAL_DATA V0, V1 or V2 (56, 64 or 80 bytes, as the buffer
//   takes); no journal 1179.
// - FSCTL_READ_USN_JOURNAL: READ_USN_JOURNAL_DATA V0 (versions 2..2) or V1 in; out the next USN
//   then whole records. Stored V2 records come out as V3 when the caller accepts 3, V4 records
//   only when it accepts 4. StartUsn 0 reads from the first record, one that is not a record
//   boundary from the next boundary, one at or past NextUsn gives 8 bytes holding NextUsn, a
//   non-zero one below FirstUsn 1181. Records that miss ReasonMask (or, with
//   ReturnOnlyOnClose, the close reason) are passed over; the call never waits (Timeout and
//   BytesToWaitFor are not used). 87 for a version range that cannot be served or a
//   journal id that is not the journal's; 1179 without a journal; 122 when not even one record
//   fits.
// - FSCTL_ENUM_USN_DATA: MFT_ENUM_DATA V0 or V1 in; out the next record number then one V2 (V3
//   when the caller accepts 3) record per in-use base record from the start number whose last
//   USN lies in [LowUsn, HighUsn], reason 0; 38 when no record is left.
// - IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS: a volume whose host file the drive table also maps as
//   PhysicalDriveN, at an offset at or below the volume's, lies on that disk (extent length
//   from the disk's partition table, else the volume's size); otherwise 1.
#pragma once

#include <cstdint>
#include <expected>
#include <span>

#include "platform/device.h"
#include "platform/errors.h"

namespace kavel_lib::platform {

namespace ctl {
inline constexpr std::uint32_t FSCTL_GET_NTFS_VOLUME_DATA = 0x00090064;
inline constexpr std::uint32_t FSCTL_GET_NTFS_FILE_RECORD = 0x00090068;
inline constexpr std::uint32_t FSCTL_ENUM_USN_DATA = 0x000900B3;
inline constexpr std::uint32_t FSCTL_READ_USN_JOURNAL = 0x000900BB;
inline constexpr std::uint32_t FSCTL_QUERY_USN_JOURNAL = 0x000900F4;
inline constexpr std::uint32_t IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS = 0x00560000;
}  // namespace ctl

// A switch of the emulated driver, for testing readers against older Windows: READ_USN_JOURNAL
// answers 87 when MaxMajorVersion is above this version (4 by default; the environment
// variable KAVEL_NTFS_USN_MAX_VERSION=2 lowers it for a whole process).
void set_usn_journal_max_version(std::uint16_t version);
std::uint16_t usn_journal_max_version();

std::expected<std::size_t, WinError> device_io_control(const Device& device, std::uint32_t code,
                                                       std::span<const std::uint8_t> input,
                                                       std::span<std::uint8_t> output);

}  // namespace kavel_lib::platform
