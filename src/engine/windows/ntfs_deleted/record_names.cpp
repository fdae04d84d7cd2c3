#include "engine/windows/ntfs_deleted/record_names.h"

#include <algorithm>

#include "engine/windows/raw_mft/mft_record.h"
#include "engine/windows/raw_mft/ntfs_layout.h"

namespace kavel_lib::engine::windows {
namespace {

constexpr std::size_t kMinRecord = 48;

// Calls visit for each resident $FILE_NAME whose value, taken from its value offset to the
// record's end, holds the whole name. The walk ends where the attribute walk ends.
template <typename Visit>
void walk_file_names(std::span<const std::uint8_t> record, Visit&& visit) {
  if (record.size() < kMinRecord) return;
  AttributeWalk walk(record);
  while (auto attr = walk.next()) {
    if (attr->type != ntfs::kAttrTypeFileName || attr->non_resident) continue;
    const std::size_t value_offset = attr->offset + (attr->bytes[ntfs::kAttrValueOffset] |
                                                     (attr->bytes[ntfs::kAttrValueOffset + 1] << 8));
    if (value_offset > record.size()) continue;
    if (auto fn = parse_file_name_value(record.subspan(value_offset))) visit(*fn);
  }
}

}  // namespace

std::vector<DeletedEntrySource> record_detail(std::span<const std::uint8_t> record,
                                              const std::unordered_set<std::uint64_t>& parents) {
  std::vector<DeletedEntrySource> out;
  walk_file_names(record, [&](const FileNameValue& fn) {
    if (fn.is_dos()) return;
    const std::uint64_t parent = fn.parent_reference & kFrnMask;
    if (parents.empty() || !parents.contains(parent)) return;
    std::string name = fn.name();
    if (std::any_of(out.begin(), out.end(), [&](const DeletedEntrySource& s) { return s.name == name; })) return;
    out.push_back(DeletedEntrySource{std::move(name), parent, fn.allocated_size, fn.modified});
  });
  return out;
}

std::vector<std::pair<std::uint64_t, std::string>> collect_file_names(std::span<const std::uint8_t> record) {
  std::vector<std::pair<std::uint64_t, std::string>> out;
  walk_file_names(record, [&](const FileNameValue& fn) {
    if (fn.is_dos()) return;
    std::string name = fn.name();
    if (!name.empty()) out.emplace_back(fn.parent_reference & kFrnMask, std::move(name));
  });
  return out;
}

}  // namespace kavel_lib::engine::windows
