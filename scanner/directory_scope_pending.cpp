// Stand-in for the directory tree scope until it lands: the folder is located, but no scope is
// built, so the scan takes its scope-less road.
#include "engine/windows/usn_deleted/usn_scan.h"
#include "scanner/directory_scope.h"

namespace kavel_lib::scanner {

std::expected<engine::windows::DirectoryScope, platform::OsError> build_directory_scope(
    std::string_view folder, const engine::windows::VolumeHandle&, const engine::windows::VolumeGeometry&) {
  auto dir = engine::windows::directory_frn(folder);
  if (!dir) return std::unexpected(dir.error());
  return std::unexpected(platform::OsError::with_text(platform::OsErrorKind::Other, "directory scope not available"));
}

}  // namespace kavel_lib::scanner
