// MFT records and stream bytes as the NTFS exporter reads them: raw, from its chosen source
// (the volume, or the physical drive at the partition's offset), never through the file
// system, so that a deleted file's record reads like any other.
//
// Records are located through the $MFT's own data runs (record 0's unnamed $DATA, every extent
// of it): on a volume whose MFT lies in several runs, the place "MFT start + n x record size"
// holds some other record or none at all. The direct place is used only when record 0 gives
// no runs. A record read is proven by its signature ("FILE" or "BAAD") and, where its header
// holds one, by its own record number.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/windows/raw_mft/export_source.h"
#include "engine/windows/raw_mft/stream_extents.h"

namespace kavel_lib::engine::windows {

// Whether the record is record n as far as its header tells: true when the header does not
// hold a number (the update sequence array starts before 0x30, as in NTFS 3.0), else whether
// the u32 at 0x2C equals the low 32 bits of n.
bool record_number_matches(std::span<const std::uint8_t> record, std::uint64_t n);

// Checks record bytes just read for number n and applies their fixups: nothing unless they
// begin with "FILE" or "BAAD" and are record n (record_number_matches).
std::optional<std::vector<std::uint8_t>> accept_record(std::vector<std::uint8_t> bytes, std::uint64_t n);

// Record n at MftStartLcn x cluster size + n x record size, accepted as above. Nothing for a
// zero cluster size, a record size above 64 KiB, a position that overflows or a failed read.
std::optional<std::vector<std::uint8_t>> read_mft_record_direct(const NtfsVolume& volume, std::uint64_t n);

// Exactly `length` stream bytes from `offset`, through runs in VCN order: sparse parts read as
// zeros. Nothing when a byte of the range lies in no run, a position overflows, the cluster
// size is 0 or a read fails.
std::optional<std::vector<std::uint8_t>> read_runs_range(const NtfsVolume& volume, std::uint64_t bytes_per_cluster,
                                                         std::span<const DataRun> runs, std::uint64_t offset,
                                                         std::uint64_t length);

// Reads records by number for one export. The volume must outlive it.
class MftRecordReader {
 public:
  // Reads record 0 at its direct place and gathers the runs of its unnamed $DATA (through its
  // attribute list as well, whose extension records lie in the base record's own runs).
  explicit MftRecordReader(const NtfsVolume& volume);

  // Record n through the $MFT's runs (within its data size), or at its direct place when
  // record 0 gave no runs; nothing when no acceptable record is there.
  [[nodiscard]] std::optional<std::vector<std::uint8_t>> read(std::uint64_t n) const;

  // The record and stream reads that gathering a file's extents needs.
  [[nodiscard]] ExtentSources sources() const;

  // Whether records are located through the $MFT's runs.
  [[nodiscard]] bool through_runs() const { return mft_.has_value(); }

 private:
  const NtfsVolume* volume_;
  std::optional<GatheredStream> mft_;  // runs in VCN order, with a data size
};

}  // namespace kavel_lib::engine::windows
