#include "engine/windows/ntfs_deleted/index_root.h"

#include <limits>

#include "engine/windows/raw_mft/mft_record.h"
#include "engine/windows/raw_mft/ntfs_layout.h"
#include "engine/windows/scan_records.h"

namespace kavel_lib::engine::windows {

using namespace ntfs;

namespace {

constexpr std::uint64_t kBelowOwn = 64;
constexpr std::uint64_t kAboveOwn = 8192;

std::optional<std::string> entry_name(std::span<const std::uint8_t> record, std::size_t entry, std::uint64_t child,
                                      const std::unordered_set<std::uint64_t>& name_set, std::uint64_t own_frn) {
  const std::size_t key_length = load_u16(record, entry + kIndexEntryKeyLength);
  if (key_length < kFileNameName) return std::nullopt;
  const std::size_t key_start = entry + kIndexEntryKey;
  if (key_start > record.size() || key_length > record.size() - key_start) return std::nullopt;
  const auto key = record.subspan(key_start, key_length);
  const std::uint64_t key_parent = load_u64(key, kFileNameParent) & kFrnMask;
  const bool wanted = (!name_set.empty() && name_set.contains(child)) || key_parent == (own_frn & kFrnMask);
  if (!wanted) return std::nullopt;
  auto value = parse_file_name_value(key);
  if (!value || value->is_dos()) return std::nullopt;
  std::string name = value->name();
  if (name.empty()) return std::nullopt;
  return name;
}

}  // namespace

std::vector<IndexRootEntry> list_index_root_entries(std::span<const std::uint8_t> record,
                                                    const std::unordered_set<std::uint64_t>& name_set,
                                                    std::uint64_t own_frn, bool all) {
  std::vector<IndexRootEntry> entries;
  if (record.size() < 22) return entries;
  const std::uint64_t low = own_frn >= kBelowOwn ? own_frn - kBelowOwn : 0;
  const std::uint64_t high =
      own_frn <= std::numeric_limits<std::uint64_t>::max() - kAboveOwn ? own_frn + kAboveOwn
                                                                       : std::numeric_limits<std::uint64_t>::max();
  AttributeWalk walk(record);
  while (auto attr = walk.next()) {
    if (attr->type != kAttrTypeIndexRoot || attr->non_resident || attr->bytes.size() < 0x16) continue;
    const std::size_t value_offset = load_u16(attr->bytes, kAttrValueOffset);
    std::size_t entry = attr->offset + value_offset + kIndexRootEntriesStart;  // no overflow: all below 2^17 + size
    while (entry <= record.size() && record.size() - entry >= kIndexEntryMinLength) {
      const std::size_t length = load_u16(record, entry + kIndexEntryLength);
      if (length < kIndexEntryMinLength || length > record.size() - entry) break;
      const std::uint64_t reference = load_u64(record, entry + kIndexEntryReference);
      const std::uint64_t child = reference & kFrnMask;
      const std::uint8_t flags = record[entry + kIndexEntryFlags];
      const bool in_reach = all || (child >= low && child <= high);
      if (child != 0 && child != kRootDirectoryFrn && child != own_frn && in_reach) {
        entries.push_back(IndexRootEntry{entry_name(record, entry, child, name_set, own_frn), reference, child});
      }
      if ((flags & kIndexEntryFlagEndsWalk) != 0) break;
      entry += length;
    }
  }
  return entries;
}

}  // namespace kavel_lib::engine::windows
