// The index node walk (header and entries), shared by the root and the INDX blocks.
#pragma once

namespace kavel_lib::platform::ntfs_model {

namespace index_layout {
// Node header, from its own start.
inline constexpr std::size_t kEntriesOffset = 0x00;
inline constexpr std::size_t kBytesInUse = 0x04;
inline constexpr std::size_t kNodeHeaderSize = 0x10;
// Index entry.
inline constexpr std::size_t kEntryLength = 0x08;
inline constexpr std::size_t kKeyLength = 0x0A;
inline constexpr std::size_t kEntryFlags = 0x0C;
inline constexpr std::size_t kEntryKey = 0x10;
inline constexpr std::uint16_t kEntryHasSubnode = 0x01;
inline constexpr std::uint16_t kEntryLast = 0x02;
}  // namespace index_layout

template <typename Visit>
bool walk_index_node(Bytes node, Visit&& visit) {
  using namespace index_layout;
  if (node.size() < kNodeHeaderSize) return false;
  const std::uint64_t first = u32_at(node, kEntriesOffset);
  const std::uint64_t in_use = u32_at(node, kBytesInUse);
  if (first < kNodeHeaderSize || in_use > node.size() || first > in_use) return false;
  const Bytes entries = node.first(static_cast<std::size_t>(in_use));
  std::size_t offset = static_cast<std::size_t>(first);
  while (true) {
    if (!fits(entries.size(), offset, kEntryKey)) return false;
    const std::size_t length = u16_at(entries, offset + kEntryLength);
    const std::size_t key_length = u16_at(entries, offset + kKeyLength);
    const std::uint16_t flags = u16_at(entries, offset + kEntryFlags);
    if (length < kEntryKey || length % 8 != 0 || !fits(entries.size(), offset, length)) return false;
    const bool has_subnode = (flags & kEntryHasSubnode) != 0;
    const bool last = (flags & kEntryLast) != 0;
    if (kEntryKey + key_length + (has_subnode ? 8u : 0u) > length) return false;
    const Bytes entry = entries.subspan(offset, length);
    const std::uint64_t subnode = has_subnode ? u64_at(entry, length - 8) : 0;
    if (!visit(entry, last, has_subnode, subnode)) return true;
    if (last) return true;
    offset += length;
  }
}

}  // namespace kavel_lib::platform::ntfs_model
