// The children that a directory record's resident $INDEX_ROOT still lists.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

namespace kavel_lib::engine::windows {

struct IndexRootEntry {
  std::optional<std::string> name;
  std::uint64_t reference = 0;  // the entry's file reference, whole
  std::uint64_t frn = 0;        // its low 48 bits
  friend bool operator==(const IndexRootEntry&, const IndexRootEntry&) = default;
};

// The entries of every resident $INDEX_ROOT of the record, in entry order. An entry is listed
// when its child is not 0, not the root directory (5), not own_frn, and either `all` is set or
// the child lies within own_frn - 64 .. own_frn + 8192. Its name (non-DOS, held whole by the
// key) is taken when name_set holds the child, or when the key's parent reference is own_frn
// (so a directory's own subdirectories are named even before the caller knows them). The
// entries of an attribute end after an entry with flag bit 0x01.
std::vector<IndexRootEntry> list_index_root_entries(std::span<const std::uint8_t> record,
                                                    const std::unordered_set<std::uint64_t>& name_set,
                                                    std::uint64_t own_frn, bool all);

}  // namespace kavel_lib::engine::windows
