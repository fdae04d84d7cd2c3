#include "engine/windows/raw_mft/ntfs_export.h"

#include <algorithm>
#include <string>
#include <utility>

#include "engine/windows/drive_device_path.h"
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

  // A resident unnamed $DATA is the file itself.
  if (const auto value = unnamed_resident_value(*record, ntfs::kAttrTypeData); value && !value->empty()) {
    return write_whole(destination, *value);
  }

  const GatheredStream data = gather_unnamed_stream(*record, frn, ntfs::kAttrTypeData, mft.sources());
  if (!data.data_size || data.runs.empty()) return std::unexpected(other(kNoDataStreamText));
  const std::uint64_t size = *data.data_size;
  if (size == 0) return std::unexpected(other(kZeroLengthText));
  const std::uint64_t cluster = volume.geometry.bytes_per_cluster;
  if (!runs_cover(data.runs, cluster, size)) return std::unexpected(make_cluster_read_error());

  auto out = create_destination(destination);
  if (!out) return std::unexpected(out.error());
  for (std::uint64_t at = 0; at < size;) {
    const std::uint64_t chunk = std::min(size - at, kExportChunkBytes);
    const auto bytes = read_runs_range(volume, cluster, data.runs, at, chunk);
    if (!bytes) return std::unexpected(make_cluster_read_error());
    if (auto written = out->write_all(*bytes); !written) return std::unexpected(written.error());
    at += chunk;
  }
  return out->close();
}

std::expected<void, OsError> export_ntfs_frn(char32_t drive_letter, std::uint64_t frn,
                                             const std::filesystem::path& destination) {
  return export_ntfs_frn_on_device(drive_device_path(drive_letter), frn, destination);
}

}  // namespace kavel_lib::engine::windows
