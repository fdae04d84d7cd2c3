// MFT records by file record number: through FSCTL_GET_NTFS_FILE_RECORD, or straight from the
// volume through the MFT's own data runs (the road for records that are no longer in use).
// Record access reports failure as an absent record; the cause is not passed on.
#pragma once

#include <cstdint>
#include <optional>
#include <unordered_set>
#include <vector>

#include "engine/windows/raw_mft/volume.h"
#include "engine/windows/raw_mft/volume_geometry.h"

namespace kavel_lib::engine::windows {

// One FSCTL_GET_NTFS_FILE_RECORD for the reference: the FileRecordLength bytes of the reply.
// Nothing when the call fails, the reply is shorter than 12 bytes, its length is 0 or passes
// the reply, or the reply is for another record number than the one asked for (the driver
// answers a free record number with the nearest lower record in use).
std::optional<std::vector<std::uint8_t>> fsctl_get_ntfs_file_record(const VolumeHandle& volume, std::uint64_t reference,
                                                                    std::uint32_t size_hint);

// Up to three requests: the reference as given; the bare 48-bit record number (none for
// record 0); then the number completed with the sequence number of the record from the
// second request, when that differs from the reference given.
std::optional<std::vector<std::uint8_t>> get_file_record_via_fsctl(const VolumeHandle& volume, std::uint64_t reference,
                                                                   std::uint32_t size_hint);

// Reads record frn from the volume through the MFT's data runs (through the handle's kept
// blocks of consecutive records, VolumeHandle::copy_kept_record), applies its fixups. Nothing
// for a zero record or cluster size, a record number at or past the MFT's end or not mapped
// by its runs, a failed read, or a record that begins with neither "FILE" nor "BAAD".
std::optional<std::vector<std::uint8_t>> read_raw_mft_record(const VolumeHandle& volume, const VolumeGeometry& geometry,
                                                             std::uint64_t frn);

// Reads count consecutive records from first_frn: count x record size bytes, records laid
// end to end, one read per run of the MFT that the range touches. Slots past the MFT's end or
// in sparse parts are left zero; FILE and BAAD slots have their fixups applied. Nothing when
// count, the record size or the cluster size is 0, first_frn is at or past the MFT's end,
// or a read fails.
std::optional<std::vector<std::uint8_t>> read_mft_records(const VolumeHandle& volume, const VolumeGeometry& geometry,
                                                          std::uint64_t first_frn, std::uint32_t count);

// The MFT's in-use bitmap (bit n set: record n in use), from record 0 fetched through the
// file system: its resident $BITMAP value, else its non-resident one read through its runs.
// Loaded once per open volume; later calls return the kept copy.
std::optional<std::vector<std::uint8_t>> load_mft_in_use_bitmap(const VolumeHandle& volume, std::uint32_t size_hint);

// The record for a reference: read raw when the bitmap says it is free, else through the file
// system, and raw when the file system gives no record for that number.
std::optional<std::vector<std::uint8_t>> get_mft_record(const NtfsVolumeData& volume_data, const VolumeHandle& volume,
                                                        std::uint64_t frn, std::uint32_t size_hint);

// Number of records the paged scans cover: 4,194,304 without a bitmap or with one below
// 131,072 bytes, else 8 x its length (saturating).
std::uint64_t mft_record_count_estimate(std::optional<std::uint64_t> bitmap_length);

// Stable sort by |x / step - target / step| (chunks of `step` records), nearest first. A zero
// step leaves the list as it is.
void sort_frns_by_chunk(std::vector<std::uint64_t>& frns, std::uint64_t target, std::uint32_t step);

// A copy of the set holding also frn, the reference's 48-bit number and the whole reference.
std::unordered_set<std::uint64_t> build_frn_hash_set(const std::unordered_set<std::uint64_t>& set, std::uint64_t frn,
                                                     std::uint64_t reference);

}  // namespace kavel_lib::engine::windows
