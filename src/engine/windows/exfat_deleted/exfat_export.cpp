#include "engine/windows/exfat_deleted/exfat_export.h"

#include <algorithm>
#include <string>

#include "engine/windows/drive_device_path.h"
#include "engine/windows/exfat_deleted/allocation_bitmap.h"
#include "engine/windows/exfat_deleted/content_check.h"
#include "engine/windows/exfat_deleted/exfat_data.h"
#include "engine/windows/exfat_deleted/exfat_geometry.h"
#include "engine/windows/exfat_deleted/relocate.h"
#include "ipc/device_open.h"
#include "platform/file_ops.h"

namespace kavel_lib::engine::windows::exfat_deleted {

using platform::OsError;
using platform::OsErrorKind;

namespace {

bool empty_or_all_zero(const std::vector<std::uint8_t>& data) {
  return std::all_of(data.begin(), data.end(), [](std::uint8_t b) { return b == 0; });
}

OsError clusters_not_found() {
  return OsError::with_text(OsErrorKind::NotFound,
                            "Data clusters of the deleted file have been overwritten or cannot be located");
}

}  // namespace

std::expected<void, OsError> export_exfat_file(std::string_view device_path, std::uint32_t start_cluster,
                                               std::uint32_t offset, std::uint64_t size, bool no_fat_chain,
                                               std::optional<std::string_view> file_name,
                                               const std::filesystem::path& destination) {
  auto volume = ipc::open_device_or_via_service(device_path);
  if (!volume) return std::unexpected(volume.error());
  auto geometry = parse_exfat_boot(*volume);
  if (!geometry) return std::unexpected(geometry.error());
  if (auto made = platform::create_parent_folders(destination); !made) return std::unexpected(made.error());

  const ExfatFat fat(*geometry, *volume);
  // A cluster the bitmap marks in use belongs to a file that is there now: its bytes are not
  // the deleted file's. A cluster whose bit cannot be read counts as not in use.
  const auto bitmap = size > 0 ? AllocationBitmap::find(*geometry, *volume, fat) : std::nullopt;
  const auto read = [&](StartPosition at) -> std::expected<std::vector<std::uint8_t>, OsError> {
    auto plan = plan_exfat_read(*geometry, fat, at.cluster, at.offset, size, no_fat_chain);
    if (!plan) return std::unexpected(plan.error());
    if (bitmap && std::any_of(plan->clusters.begin(), plan->clusters.end(),
                              [&](std::uint32_t c) { return bitmap->is_in_use(c); })) {
      return std::unexpected(clusters_not_found());
    }
    return read_exfat_plan(*geometry, *volume, *plan);
  };

  const StartPosition given{start_cluster, offset};
  auto data = read(given);
  if (!data) return std::unexpected(data.error());

  if (size > 0) {
    const std::string_view name = file_name.value_or(std::string_view{});
    if (empty_or_all_zero(*data) || (!name.empty() && !content_matches_extension(*data, size, name))) {
      const StartPosition found = relocate_start_cluster(*geometry, *volume, fat, bitmap ? &*bitmap : nullptr,
                                                         start_cluster, offset, size, no_fat_chain, name);
      if (found != given) {
        data = read(found);
        if (!data) return std::unexpected(data.error());
      }
    }
    if (data->size() > size) data->resize(static_cast<std::size_t>(size));
    if (empty_or_all_zero(*data)) return std::unexpected(clusters_not_found());
  }

  auto out = platform::DestinationFile::create(destination);
  if (!out) return std::unexpected(out.error());
  if (auto written = out->write_all(*data); !written) return std::unexpected(written.error());
  if (auto closed = out->close(); !closed) return std::unexpected(closed.error());
  return {};
}

std::expected<void, OsError> export_exfat(char32_t drive_letter, std::uint32_t start_cluster, std::uint32_t offset,
                                          std::uint64_t size, bool no_fat_chain,
                                          std::optional<std::string_view> file_name,
                                          const std::filesystem::path& destination) {
  return export_exfat_file(drive_device_path(drive_letter), start_cluster, offset, size, no_fat_chain, file_name,
                           destination);
}

}  // namespace kavel_lib::engine::windows::exfat_deleted
