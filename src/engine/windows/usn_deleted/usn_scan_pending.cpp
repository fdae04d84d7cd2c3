// Stand-in for the change-journal scan until it lands: the folder is located through the
// volume-path seam, the journal yields nothing, and the summary follows the report's rules.
#include <fmt/format.h>

#include "engine/windows/usn_deleted/usn_scan.h"
#include "platform/volume_paths.h"

namespace kavel_lib::engine::windows {

std::expected<DirectoryFrn, platform::OsError> directory_frn(std::string_view path) {
  auto info = platform::volume_paths::file_id(path);
  if (!info) return std::unexpected(platform::OsError::from_code(info.error().code));
  std::uint64_t ref = 0;
  for (int i = 7; i >= 0; --i) ref = (ref << 8) | info->file_id[static_cast<std::size_t>(i)];
  return DirectoryFrn{ref, ref & kFrnMask};
}

std::expected<UsnScanResult, platform::OsError> scan_usn_deleted(std::string_view, std::uint64_t, std::uint64_t,
                                                                 const std::unordered_set<std::uint64_t>*,
                                                                 const DirNameMap*, bool) {
  return UsnScanResult{};
}

std::string usn_summary_text(const UsnScanResult& r) {
  const std::uint64_t n = r.read_count + r.enum_count;
  if (n > 0) return fmt::format("变更日志发现{}个删除记录", n);
  if (r.enum_error) return fmt::format("读取删除日志失败:{}", *r.enum_error);
  if (r.read_error) return fmt::format("读取删除日志失败:{}", *r.read_error);
  if (!r.journal) return "变更日志中暂无删除记录";
  return "变更日志中暂无删除记录，将继续扫描文件记录";
}

std::expected<UsnDebugStats, platform::OsError> debug_usn_query(std::string_view folder) {
  auto dir = directory_frn(folder);
  if (!dir) return std::unexpected(dir.error());
  UsnDebugStats stats;
  stats.dir_frn = dir->dir_frn;
  stats.dir_ref = dir->dir_ref;
  return stats;
}

}  // namespace kavel_lib::engine::windows
