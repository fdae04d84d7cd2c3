// Directory indexes ($I30): the entries of $INDEX_ROOT and of the INDX blocks of
// $INDEX_ALLOCATION, walked in index order. A block whose bit is clear in the index's $BITMAP
// is free: nothing in it exists, whatever its bytes still say.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/errors.h"
#include "platform/posix/ntfs_model/volume.h"

namespace kavel_lib::platform::ntfs_model {

// $FILE_NAME namespaces.
inline constexpr std::uint8_t kNamespacePosix = 0;
inline constexpr std::uint8_t kNamespaceWin32 = 1;
inline constexpr std::uint8_t kNamespaceDos = 2;
inline constexpr std::uint8_t kNamespaceWin32AndDos = 3;

// The $FILE_NAME value (also the key of a $I30 entry).
struct FileName {
  std::uint64_t parent = 0;
  std::uint64_t allocated_size = 0;
  std::uint64_t data_size = 0;
  std::uint32_t attributes = 0;   // the duplicated file attributes
  std::uint32_t reparse_tag = 0;  // when the attributes hold FILE_ATTRIBUTE_REPARSE_POINT
  std::uint8_t name_space = 0;
  std::u16string name;
};

// Reads a $FILE_NAME value; nothing when it is too short for its own name.
std::optional<FileName> parse_file_name(Bytes value);

// The duplicated-attributes bit NTFS sets for a file name that belongs to a directory.
inline constexpr std::uint32_t kFileNameIsDirectory = 0x10000000;

struct DirectoryEntry {
  std::uint64_t reference = 0;  // the child's file reference
  FileName key;
};

struct DirectoryListing {
  std::uint64_t reference = 0;          // the folder's own reference
  std::vector<DirectoryEntry> entries;  // index order, every namespace
  // Upper-cased name -> position in entries.
  std::unordered_map<std::u16string, std::size_t> by_name;
};

// Hard bounds on what one directory may cost.
inline constexpr std::size_t kMaxDirectoryEntries = 4'000'000;
inline constexpr int kMaxIndexDepth = 32;

// Reads the $I30 index of a directory record (update sequence applied).
std::expected<DirectoryListing, WinError> read_directory_index(const Volume& volume, const Reader& reader,
                                                               Bytes record, std::uint64_t number);

// Walks the entries of one index node: `node` starts at the node header. Calls
// visit(entry bytes, is_last, has_subnode, subnode_vcn) for every entry, the last one too
// (it has no key); a false answer from visit ends the walk. Returns false when the node is
// malformed (an entry that overruns the bytes in use, or no last entry).
template <typename Visit>
bool walk_index_node(Bytes node, Visit&& visit);

}  // namespace kavel_lib::platform::ntfs_model

#include "platform/posix/ntfs_model/index_node.inl"
