#include "scanner/directory_scope.h"

#include <algorithm>
#include <deque>
#include <utility>

#include "engine/windows/ntfs_deleted/index_root.h"
#include "engine/windows/raw_mft/ntfs_layout.h"
#include "engine/windows/recycle/path_helpers.h"
#include "engine/windows/wtf8.h"

namespace kavel_lib::scanner {

namespace ew = engine::windows;

namespace {

// Reparse tags with this bit name another place (junctions, symbolic links): never followed.
constexpr std::uint32_t kNameSurrogateBit = 0x20000000;

// One folder waiting in the breadth-first walk.
struct WalkItem {
  std::string path;
  std::uint64_t frn = 0;
  std::uint64_t depth = 0;
};

// What an index entry's child record says of itself, when it is a directory record.
struct DirectoryRecord {
  bool in_use = false;
};

std::optional<DirectoryRecord> directory_record(const std::optional<std::vector<std::uint8_t>>& record) {
  if (!record || record->size() < ew::ntfs::kRecordFlagsEnd) return std::nullopt;
  const auto& r = *record;
  if (r[0] != 'F' || r[1] != 'I' || r[2] != 'L' || r[3] != 'E') return std::nullopt;
  const std::uint16_t flags = static_cast<std::uint16_t>(r[ew::ntfs::kRecordFlags] | (r[ew::ntfs::kRecordFlags + 1] << 8));
  if ((flags & ew::ntfs::kRecordFlagDirectory) == 0) return std::nullopt;
  return DirectoryRecord{(flags & ew::ntfs::kRecordFlagInUse) != 0};
}

bool is_link_directory(const platform::DirectoryChild& child) {
  return (child.attributes & platform::FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
         (child.reparse_tag & kNameSurrogateBit) != 0;
}

class ScopeWalk {
 public:
  ScopeWalk(const ScopeSources& sources, ew::DirectoryScope& scope) : sources_(sources), scope_(scope) {}

  [[nodiscard]] bool full() const { return scope_.dir_frns.size() > kScopeMemberLimit; }

  void live_walk(std::string folder, std::uint64_t frn) {
    std::deque<WalkItem> queue;
    queue.push_back({std::move(folder), frn, 0});
    while (!queue.empty()) {
      WalkItem item = std::move(queue.front());
      queue.pop_front();
      if (full()) return;
      if (item.depth < kScopeDepthLimit) list_children(item, queue);
      walk_index_entries(item, queue);
    }
  }

  void index_sweep() {
    const std::vector<std::uint64_t> members(scope_.dir_frns.begin(), scope_.dir_frns.end());
    for (const std::uint64_t k : members) {
      if (full()) return;
      auto record = sources_.fetch_record(k);
      if (!record) continue;
      const bool all = scope_.deleted_dir_frns.contains(k);
      for (auto& entry : ew::list_index_root_entries(*record, scope_.dir_frns, k, all)) {
        if (full()) return;
        auto child = new_directory_entry(entry);
        if (!child) continue;
        if (!child->in_use) scope_.deleted_dir_frns.insert(entry.frn);
        scope_.dir_frns.insert(entry.frn);
        record_directory_name(scope_.dir_names, entry.frn, k, std::move(*entry.name));
      }
    }
  }

 private:
  // The live children of one folder, as the file system lists them.
  void list_children(const WalkItem& item, std::deque<WalkItem>& queue) {
    auto children = sources_.list_directory(item.path);
    if (!children) return;
    for (const auto& child : *children) {
      if (full()) return;
      if ((child.attributes & platform::FILE_ATTRIBUTE_DIRECTORY) == 0 || is_link_directory(child)) continue;
      std::string name = ew::lossy_utf8(child.name);
      if (name == "." || name == "..") continue;
      // A name that is not valid Unicode makes a path the file system cannot be asked about.
      const std::string child_path = ew::is_valid_utf8(child.name) ? ew::join_path(item.path, child.name) : "";
      auto id = sources_.directory_frn(child_path);
      if (!id) continue;
      const std::uint64_t c = id->dir_frn;
      if (!scope_.dir_frns.insert(c).second) continue;
      scope_.dir_names[c] = {std::move(name), item.frn};
      queue.push_back({child_path, c, item.depth + 1});
    }
  }

  // Subdirectories that the folder's own record still lists, deleted ones included.
  void walk_index_entries(const WalkItem& item, std::deque<WalkItem>& queue) {
    auto record = sources_.fetch_record(item.frn);
    if (!record) return;
    for (auto& entry : ew::list_index_root_entries(*record, scope_.dir_frns, item.frn, false)) {
      if (full()) return;
      auto child = new_directory_entry(entry);
      if (!child) continue;
      if (!child->in_use) scope_.deleted_dir_frns.insert(entry.frn);
      scope_.dir_frns.insert(entry.frn);
      scope_.dir_names[entry.frn] = {*entry.name, item.frn};
      if (child->in_use && item.depth + 1 < kScopeDepthLimit) {
        queue.push_back({ew::join_path(item.path, *entry.name), entry.frn, item.depth + 1});
      }
    }
  }

  // An index entry that names a directory the scope does not hold yet.
  std::optional<DirectoryRecord> new_directory_entry(const ew::IndexRootEntry& entry) {
    if (!entry.name || entry.name->empty() || *entry.name == "." || *entry.name == "..") return std::nullopt;
    if (scope_.dir_frns.contains(entry.frn)) return std::nullopt;
    return directory_record(sources_.fetch_record(entry.frn));
  }

  const ScopeSources& sources_;
  ew::DirectoryScope& scope_;
};

}  // namespace

ScopeSources volume_scope_sources(const ew::VolumeHandle& volume, const ew::VolumeGeometry& geometry) {
  ScopeSources s;
  s.directory_frn = ew::directory_frn;
  s.list_directory = platform::volume_paths::list_directory;
  const ew::NtfsVolumeData data = ew::NtfsVolumeData::with_fields(
      static_cast<std::uint32_t>(geometry.bytes_per_cluster), geometry.record_size, geometry.mft_start_lcn);
  const std::uint32_t size_hint = std::max(geometry.record_size, ew::kMinRecordSize);
  s.fetch_record = [&volume, data, size_hint](std::uint64_t frn) {
    return ew::get_mft_record(data, volume, frn, size_hint);
  };
  return s;
}

std::expected<ew::DirectoryScope, platform::OsError> build_directory_scope(std::string_view folder,
                                                                           const ew::VolumeHandle& volume,
                                                                           const ew::VolumeGeometry& geometry) {
  return build_directory_scope(folder, volume_scope_sources(volume, geometry));
}

std::expected<ew::DirectoryScope, platform::OsError> build_directory_scope(std::string_view folder,
                                                                           const ScopeSources& sources) {
  auto id = sources.directory_frn(folder);
  if (!id) return std::unexpected(id.error());
  const std::uint64_t frn = id->dir_frn;
  const std::uint64_t ref = id->dir_ref;

  ew::DirectoryScope scope;
  scope.path = std::string(folder);
  scope.dir_frns.insert(frn);
  scope.dir_names[frn] = {"", ew::ntfs::kRootDirectoryFrn};

  ScopeWalk walk(sources, scope);
  walk.live_walk(scope.path, frn);
  walk.index_sweep();

  scope.parent_match_frns = scope.dir_frns;
  scope.parent_match_frns.insert(frn);
  scope.parent_match_frns.insert(ref & ew::kFrnMask);
  scope.parent_match_frns.insert(ref);
  scope.dir_frn = frn;
  scope.dir_ref = ref;
  scope.strict_paths = true;
  scope.filter_flag = false;
  return scope;
}

void record_directory_name(ew::DirNameMap& names, std::uint64_t frn, std::uint64_t parent, std::string name) {
  parent &= ew::kFrnMask;
  auto it = names.find(frn);
  if (it == names.end()) {
    names.emplace(frn, std::make_pair(std::move(name), parent));
    return;
  }
  auto& [stored_name, stored_parent] = it->second;
  const bool longer = name.size() > stored_name.size();
  const bool drops_tilde = stored_name.find('~') != std::string::npos && name.find('~') == std::string::npos;
  if (longer || drops_tilde) stored_name = std::move(name);
  if (parent != frn && stored_parent == frn) stored_parent = parent;
}

}  // namespace kavel_lib::scanner
