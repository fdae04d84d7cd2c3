#include "engine/windows/fat32_deleted/fat_export.h"

#include <span>
#include <string>

#include "engine/windows/drive_device_path.h"
#include "engine/windows/fat32_deleted/fat_chain.h"
#include "engine/windows/fat32_deleted/fat_geometry.h"
#include "engine/windows/fat32_deleted/fat_table.h"
#include "engine/windows/fat32_deleted/fat_volume.h"
#include "ipc/device_open.h"
#include "platform/file_ops.h"

namespace kavel_lib::engine::windows::fat32_deleted {

using platform::OsError;

std::expected<void, OsError> export_fat32(char32_t drive_letter, std::uint32_t start_cluster, std::uint64_t size,
                                          const std::filesystem::path& destination,
                                          std::optional<std::string_view> device_path) {
  const std::string path = device_path ? std::string(*device_path) : drive_device_path(drive_letter);
  auto volume = ipc::open_device_or_via_service(path);
  if (!volume) return std::unexpected(volume.error());
  auto geometry = parse_fat_boot(*volume);
  if (!geometry) return std::unexpected(geometry.error());
  // Its 12-bit FAT entries read as 16-bit ones would give chains and free clusters that are not
  // there.
  if (geometry->is_fat12()) {
    return std::unexpected(OsError::with_text(platform::OsErrorKind::InvalidData, "FAT12 volumes are not supported"));
  }

  const auto cache = build_fat_cache(*geometry, *volume);
  auto chain = follow_cluster_chain(*geometry, *volume, start_cluster, cache, size);
  if (!chain) return std::unexpected(chain.error());

  if (auto made = platform::create_parent_folders(destination); !made) return std::unexpected(made.error());
  auto out = platform::DestinationFile::create(destination);
  if (!out) return std::unexpected(out.error());

  std::uint64_t remaining = size;
  for (const std::uint32_t cluster : *chain) {
    if (remaining == 0) break;
    auto data = read_fat_cluster(*geometry, *volume, cluster);
    if (!data) return std::unexpected(data.error());
    const std::uint64_t take = remaining < geometry->cluster_bytes ? remaining : geometry->cluster_bytes;
    if (auto written = out->write_all(std::span(*data).first(static_cast<std::size_t>(take))); !written) {
      return std::unexpected(written.error());
    }
    if (take < geometry->cluster_bytes) break;
    remaining -= geometry->cluster_bytes;
  }
  if (auto closed = out->close(); !closed) return std::unexpected(closed.error());
  return {};
}

}  // namespace kavel_lib::engine::windows::fat32_deleted
