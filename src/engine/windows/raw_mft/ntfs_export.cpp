#include "engine/windows/raw_mft/ntfs_export.h"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/windows/drive_device_path.h"
#include "engine/windows/raw_mft/cluster_bitmap.h"
#include "engine/windows/raw_mft/export_records.h"
#include "engine/windows/raw_mft/export_source.h"
#include "engine/windows/raw_mft/ntfs_layout.h"
#include "engine/windows/raw_mft/stream_extents.h"
#include "platform/file_ops.h"

namespace kavel_lib::engine::windows {

using platform::OsError;
using platform::OsErrorKind;

namespace {

OsError other(std::string_view text) { return OsError::with_text(OsErrorKind::Other, std::string(text)); }

OsError invalid_data(std::string_view text) { return OsError::with_text(OsErrorKind::InvalidData, std::string(text)); }

// The refusal of data whose clusters, by its flags, hold something other than the file's
// bytes (EFS ciphertext, or compression units); nothing for plain or sparse data.
std::optional<OsError> refused_data(std::uint16_t flags) {
  if ((flags & ntfs::kAttrFlagEncrypted) != 0) return invalid_data(kEncryptedDataText);
  if ((flags & ntfs::kAttrFlagCompressionMask) != 0) return invalid_data(kCompressedDataText);
  return std::nullopt;
}

std::expected<platform::DestinationFile, OsError> create_destination(const std::filesystem::path& destination) {
  if (auto made = platform::create_parent_folders(destination); !made) return std::unexpected(made.error());
  return platform::DestinationFile::create(destination);
}

std::expected<void, OsError> write_whole(const std::filesystem::path& destination, std::span<const std::uint8_t> bytes) {
  auto out = create_destination(destination);
  if (!out) return std::unexpected(out.error());
  if (auto written = out->write_all(bytes); !written) return std::unexpected(written.error());
  return out->close();
}

// Whether the record says its file is deleted: its in-use flag is clear, or its flags cannot
// be read (a BAAD record).
bool record_deleted(std::span<const std::uint8_t> record) {
  const auto flags = ntfs::file_record_flags(record);
  return !flags || (*flags & ntfs::kRecordFlagInUse) == 0;
}

// Copies the bytes [0, size) of a stream into `out`: the pieces (those of the bytes before its
// initialized size) from their clusters, in reads of at most one chunk; sparse parts and
// everything from the initialized size on are left as holes, so zeros never cost the
// destination's disk.
std::expected<void, OsError> copy_stream(const NtfsVolume& volume, std::span<const StreamPiece> pieces,
                                         std::uint64_t size, platform::DestinationFile& out) {
  std::vector<std::uint8_t> buffer;
  for (const StreamPiece& piece : pieces) {
    if (piece.sparse) {
      if (auto skipped = out.skip(piece.length); !skipped) return std::unexpected(skipped.error());
      continue;
    }
    for (std::uint64_t done = 0; done < piece.length;) {
      const std::uint64_t chunk = std::min(piece.length - done, kExportChunkBytes);
      buffer.resize(static_cast<std::size_t>(chunk));
      // No overflow: runs_cover proved every real run's clusters addressable in 64 bits.
      if (!volume.read_exact(piece.device_offset + done, buffer)) return std::unexpected(make_cluster_read_error());
      if (auto written = out.write_all(buffer); !written) return std::unexpected(written.error());
      done += chunk;
    }
  }
  return out.set_length(size);
}

}  // namespace

OsError make_cluster_read_error() { return other(kClusterReadText); }

std::expected<void, OsError> export_ntfs_frn_on_device(std::string_view volume_path, std::uint64_t frn,
                                                       const std::filesystem::path& destination) {
  auto source = open_export_source(volume_path);
  if (!source) return std::unexpected(source.error());
  const NtfsVolume& volume = *source;
  const MftRecordReader mft(volume);

  const auto record = mft.read(frn);
  if (!record) return std::unexpected(other(kCannotReadRecordText));

  // A resident unnamed $DATA is the file itself, unless encrypted. NTFS never compresses a
  // resident value: one flagged compressed (a small file in a compressed folder) holds the
  // bytes themselves.
  if (const auto resident = unnamed_resident_attribute(*record, ntfs::kAttrTypeData);
      resident && !resident->value.empty()) {
    if (auto refused = refused_data(resident->flags & ntfs::kAttrFlagEncrypted)) return std::unexpected(*refused);
    return write_whole(destination, resident->value);
  }

  const GatheredStream data = gather_unnamed_stream(*record, frn, ntfs::kAttrTypeData, mft.sources());
  if (!data.data_size || data.runs.empty()) return std::unexpected(other(kNoDataStreamText));
  const std::uint64_t size = *data.data_size;
  if (size == 0) return std::unexpected(other(kZeroLengthText));
  if (auto refused = refused_data(data.flags)) return std::unexpected(*refused);
  const std::uint64_t cluster = volume.geometry.bytes_per_cluster;
  if (!runs_cover(data.runs, cluster, size)) return std::unexpected(make_cluster_read_error());

  // The pieces the copy reads: the bytes before the initialized size.
  const std::uint64_t valid = std::min(data.initialized_size, size);
  std::vector<StreamPiece> pieces;
  if (valid > 0) {
    auto mapped = map_stream_range(data.runs, cluster, 0, valid);
    if (!mapped) return std::unexpected(make_cluster_read_error());
    pieces = std::move(*mapped);
  }
  // A deleted file's record keeps its runs after another file has taken the clusters; what
  // those clusters hold now is not this file's.
  if (record_deleted(*record) && any_cluster_in_use(volume, mft, piece_clusters(pieces, cluster))) {
    return std::unexpected(OsError::with_text(OsErrorKind::NotFound, std::string(kOverwrittenClustersText)));
  }

  auto out = create_destination(destination);
  if (!out) return std::unexpected(out.error());
  if (auto copied = copy_stream(volume, pieces, size, *out); !copied) return std::unexpected(copied.error());
  return out->close();
}

std::expected<void, OsError> export_ntfs_frn(char32_t drive_letter, std::uint64_t frn,
                                             const std::filesystem::path& destination) {
  return export_ntfs_frn_on_device(drive_device_path(drive_letter), frn, destination);
}

}  // namespace kavel_lib::engine::windows
