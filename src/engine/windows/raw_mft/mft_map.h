// Where the master file table's records lie on the volume: the data runs of the unnamed $DATA
// attribute of record 0 (the MFT's own record), read once per open volume. A large or old
// volume's MFT is in several runs; record N is the N-th record-sized piece of that stream.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/windows/raw_mft/data_runs.h"
#include "engine/windows/raw_mft/volume_geometry.h"
#include "platform/device.h"

namespace kavel_lib::engine::windows {

// Largest record size the readers accept (NTFS uses 1024 or 4096).
inline constexpr std::uint32_t kMaxRecordSize = 65536;

struct MftLayout {
  VolumeGeometry geometry;
  std::uint64_t record_count = 0;  // $DATA real size / record size
  std::vector<DataRun> runs;

  // The pieces of the volume that hold records [first, first + count), clipped to the
  // MFT's end. Nothing when first lies at or past the end, or when a byte of the clipped
  // range is not mapped by the runs.
  [[nodiscard]] std::optional<std::vector<StreamPiece>> pieces_for(std::uint64_t first, std::uint64_t count) const;
};

// Reads record 0 at MftStartLcn x cluster size, applies its fixups and decodes its unnamed
// $DATA runs. Nothing when the geometry is unusable, the read fails, the record is not a
// FILE record or it has no such runs.
std::optional<MftLayout> load_mft_layout(const platform::Device& device, const VolumeGeometry& geometry);

// Reads the stream bytes of the pieces into out (out[0] is the first piece's stream offset
// minus base); sparse pieces are written as zeros, so that a reused buffer holds nothing of
// its last contents where the pieces lie. False on any failed or short read.
bool read_stream_pieces(const platform::Device& device, std::span<const StreamPiece> pieces, std::uint64_t base,
                        std::span<std::uint8_t> out);

}  // namespace kavel_lib::engine::windows
