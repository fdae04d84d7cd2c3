// The NTFS control codes answered from a loaded volume, with the byte layouts Windows
// documents for them. Each returns the count of bytes written into out or a Windows error.
#pragma once

#include <cstdint>
#include <expected>
#include <span>

#include "platform/errors.h"
#include "platform/posix/ntfs_model/volume.h"

namespace kavel_lib::platform::ntfs_model {

using Output = std::span<std::uint8_t>;
using Answer = std::expected<std::size_t, WinError>;

// NTFS_VOLUME_DATA_BUFFER (96 bytes).
Answer get_volume_data(const Volume& volume, const Reader& reader, Output out);
// NTFS_FILE_RECORD_INPUT_BUFFER in, NTFS_FILE_RECORD_OUTPUT_BUFFER out: the record at or below
// the number asked for that is in use, named by its own reference.
Answer get_file_record(const Volume& volume, const Reader& reader, Bytes in, Output out);
// USN_JOURNAL_DATA V0 (56), V1 (64) or V2 (80 bytes), as much as the buffer takes.
Answer query_usn_journal(const Volume& volume, Output out, std::uint16_t max_version);
// READ_USN_JOURNAL_DATA V0 (40) or V1 (48 bytes) in; the next USN and whole records out.
Answer read_usn_journal(const Volume& volume, const Reader& reader, Bytes in, Output out, std::uint16_t max_version);
// MFT_ENUM_DATA V0 (24) or V1 (32 bytes) in; the next record number and one record per
// in-use file out.
Answer enum_usn_data(const Volume& volume, const Reader& reader, Bytes in, Output out);

// The journal's page size: records never cross a page, the end of a page is zero padding.
inline constexpr std::uint64_t kUsnPageSize = 4096;

}  // namespace kavel_lib::platform::ntfs_model
