#include "platform/posix/ntfs_model/index.h"

#include <bit>
#include <unordered_set>

namespace kavel_lib::platform::ntfs_model {

namespace {

// $FILE_NAME value.
constexpr std::size_t kFnParent = 0x00;
constexpr std::size_t kFnAllocatedSize = 0x28;
constexpr std::size_t kFnDataSize = 0x30;
constexpr std::size_t kFnAttributes = 0x38;
constexpr std::size_t kFnReparseTag = 0x3C;
constexpr std::size_t kFnNameLength = 0x40;
constexpr std::size_t kFnNamespace = 0x41;
constexpr std::size_t kFnName = 0x42;
// $INDEX_ROOT value.
constexpr std::size_t kRootIndexedType = 0x00;
constexpr std::size_t kRootBlockSize = 0x08;
constexpr std::size_t kRootNode = 0x10;
// INDX block.
constexpr std::size_t kBlockVcn = 0x10;
constexpr std::size_t kBlockNode = 0x18;

constexpr char16_t kI30[] = u"$I30";
constexpr std::uint32_t kFileAttributeReparsePoint = 0x400;

class IndexWalk {
 public:
  IndexWalk(const Volume& volume, const Reader& reader, DirectoryListing& out)
      : volume_(volume), reader_(reader), out_(out) {}

  std::uint32_t block_size = 0;
  std::uint64_t vcn_unit = 0;
  std::optional<Stream> allocation;
  std::vector<std::uint8_t> bitmap;

  void walk(Bytes node, int depth) {
    walk_index_node(node, [&](Bytes entry, bool last, bool has_subnode, std::uint64_t subnode) {
      if (has_subnode) visit_block(subnode, depth + 1);
      if (last) return true;
      if (out_.entries.size() >= kMaxDirectoryEntries) return false;
      const std::size_t key_length = u16_at(entry, index_layout::kKeyLength);
      auto key = parse_file_name(entry.subspan(index_layout::kEntryKey, key_length));
      if (key) out_.entries.push_back(DirectoryEntry{u64_at(entry, 0), std::move(*key)});
      return true;
    });
  }

 private:
  void visit_block(std::uint64_t vcn, int depth) {
    if (depth > kMaxIndexDepth || !allocation) return;
    if (vcn > UINT64_MAX / vcn_unit) return;
    const std::uint64_t offset = vcn * vcn_unit;
    const std::uint64_t block = offset / block_size;
    // A block whose bit is clear is free: it holds nothing that exists.
    if (block / 8 >= bitmap.size() || (bitmap[block / 8] & (1u << (block % 8))) == 0) return;
    if (!visited_.insert(block).second) return;
    std::vector<std::uint8_t> buffer(block_size);
    if (!volume_.read_stream(reader_, *allocation, offset, buffer)) return;
    if (!apply_update_sequence(buffer, "INDX")) return;
    if (u64_at(buffer, kBlockVcn) != vcn) return;
    walk(Bytes(buffer).subspan(kBlockNode), depth);
  }

  const Volume& volume_;
  const Reader& reader_;
  DirectoryListing& out_;
  std::unordered_set<std::uint64_t> visited_;
};

}  // namespace

std::optional<FileName> parse_file_name(Bytes value) {
  if (value.size() < kFnName) return std::nullopt;
  FileName f;
  f.parent = u64_at(value, kFnParent);
  f.allocated_size = u64_at(value, kFnAllocatedSize);
  f.data_size = u64_at(value, kFnDataSize);
  f.attributes = u32_at(value, kFnAttributes);
  f.reparse_tag = (f.attributes & kFileAttributeReparsePoint) != 0 ? u32_at(value, kFnReparseTag) : 0;
  f.name_space = value[kFnNamespace];
  const std::size_t length = value[kFnNameLength];
  if (length == 0 || !fits(value.size(), kFnName, 2 * length)) return std::nullopt;
  f.name = utf16_units(value, kFnName, length);
  return f;
}

std::expected<DirectoryListing, WinError> read_directory_index(const Volume& volume, const Reader& reader,
                                                               Bytes record, std::uint64_t number) {
  DirectoryListing listing;
  const auto root = volume.attribute_value(reader, record, number, kAttrIndexRoot, kI30);
  if (!root || !root->resident || root->value.size() < kRootNode + index_layout::kNodeHeaderSize) {
    return std::unexpected(WinError{win::ERROR_DIRECTORY});
  }
  const Bytes root_value(root->value);
  if (u32_at(root_value, kRootIndexedType) != kAttrFileName) return std::unexpected(WinError{win::ERROR_DIRECTORY});

  IndexWalk walk(volume, reader, listing);
  walk.block_size = u32_at(root_value, kRootBlockSize);
  const bool block_size_ok =
      walk.block_size >= kSequenceStride && walk.block_size <= 65536 && std::has_single_bit(walk.block_size);
  if (block_size_ok) {
    const std::uint32_t cluster = volume.geometry().bytes_per_cluster;
    walk.vcn_unit = walk.block_size >= cluster ? cluster : kSequenceStride;
    if (auto alloc = volume.attribute_value(reader, record, number, kAttrIndexAllocation, kI30);
        alloc && !alloc->resident) {
      const std::uint64_t blocks = alloc->stream.data_size / walk.block_size;
      if (auto bits = volume.read_attribute(reader, record, number, kAttrBitmap, kI30, blocks / 8 + 8)) {
        walk.allocation = std::move(alloc->stream);
        walk.bitmap = std::move(*bits);
      }
    }
  }
  walk.walk(root_value.subspan(kRootNode), 0);

  listing.by_name.reserve(listing.entries.size());
  for (std::size_t i = 0; i < listing.entries.size(); ++i) {
    listing.by_name.emplace(volume.upcase(listing.entries[i].key.name), i);
  }
  return listing;
}

}  // namespace kavel_lib::platform::ntfs_model
