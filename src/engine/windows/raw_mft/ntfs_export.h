// Export of one file of an NTFS volume, named by its file record number, into a destination
// file: the record and the file's clusters are read raw, so a deleted file whose record and
// clusters are still intact comes out whole.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <string_view>

#include "platform/errors.h"

namespace kavel_lib::engine::windows {

// The error texts of the export (kind Other unless told).
inline constexpr std::string_view kCannotReadRecordText = "Cannot read MFT record (record may have been overwritten)";
inline constexpr std::string_view kNoDataStreamText =
    "No $DATA stream in MFT record (file data may have been overwritten)";
inline constexpr std::string_view kZeroLengthText = "File data length is 0";
inline constexpr std::string_view kClusterReadText = "Failed to read file cluster data (data may have been overwritten)";
// Kind InvalidData: the clusters do not hold the file's bytes as they stand.
inline constexpr std::string_view kCompressedDataText =
    "the file's data is NTFS-compressed; this export does not decompress it";
inline constexpr std::string_view kEncryptedDataText =
    "the file's data is NTFS-encrypted; this export does not decrypt it";

// Kind NotFound: a deleted file's clusters are marked in use in $Bitmap (the exFAT exporter's
// text for the same case).
inline constexpr std::string_view kOverwrittenClustersText =
    "Data clusters of the deleted file have been overwritten or cannot be located";

// Kind Other, "Failed to read file cluster data (data may have been overwritten)".
platform::OsError make_cluster_read_error();

// Size of the pieces the file is copied in.
inline constexpr std::uint64_t kExportChunkBytes = 0x400000;

// Exports record `frn` of the volume at `volume_path` ("\\.\E:", or another volume device
// path): the volume is read directly, or through its physical drive when its own reads fail.
// The file's unnamed $DATA is written: a non-empty resident value as it stands; else every
// non-resident extent (base record and the records its attribute list names), which must lay
// out all of the data size (sparse parts count) before the destination is made. Encrypted
// data (a resident value or the extent at VCN 0 flagged so) and compressed non-resident data
// are refused before the destination is made; a resident value flagged compressed is stored
// uncompressed (NTFS compresses only clusters) and is written like any other. A deleted record
// (in-use flag clear, or flags that cannot be read, as in a BAAD record) whose clusters to be
// read include one that $Bitmap marks in use is refused with kOverwrittenClustersText before
// the destination is made; a $Bitmap that cannot be read, or clusters past its end, count as
// not in use. Live records, resident data and sparse parts are not looked up. Bytes before
// the initialized size come from their clusters; sparse parts and the bytes from the
// initialized size on read as zeros and are left as holes in the destination, which ends at
// the data size. Parent folders are created; an existing regular file is truncated. A chunk
// that cannot be read leaves the chunks already written in place.
std::expected<void, platform::OsError> export_ntfs_frn_on_device(std::string_view volume_path, std::uint64_t frn,
                                                                 const std::filesystem::path& destination);

// The same on the volume "\\.\X:" of a drive letter (a-z made upper case).
std::expected<void, platform::OsError> export_ntfs_frn(char32_t drive_letter, std::uint64_t frn,
                                                       const std::filesystem::path& destination);

}  // namespace kavel_lib::engine::windows
