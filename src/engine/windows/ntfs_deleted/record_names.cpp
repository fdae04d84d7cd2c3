#include "engine/windows/ntfs_deleted/record_names.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "engine/windows/wtf8.h"

namespace kavel_lib::engine::windows {
namespace {

// FILE record header and attribute header offsets used by the name walk.
constexpr std::size_t kMinRecord = 48;
constexpr std::size_t kFirstAttributeOffset = 0x14;  // u16
constexpr std::size_t kAttributeHeader = 24;
constexpr std::uint32_t kEndMarker = 0xFFFFFFFF;
constexpr std::uint32_t kFileNameType = 0x30;
constexpr std::size_t kNonResidentFlag = 8;  // u8
constexpr std::size_t kValueOffset = 0x14;   // u16, resident attributes
// $FILE_NAME value layout.
constexpr std::size_t kFnParent = 0x00;         // u64
constexpr std::size_t kFnModified = 0x10;       // u64 FILETIME
constexpr std::size_t kFnAllocatedSize = 0x28;  // u64
constexpr std::size_t kFnNameLength = 64;       // u8, UTF-16 units
constexpr std::size_t kFnNamespace = 65;        // u8
constexpr std::size_t kFnName = 66;
constexpr std::uint8_t kDosNamespace = 2;

std::uint16_t u16_at(std::span<const std::uint8_t> b, std::size_t off) {
  return static_cast<std::uint16_t>(b[off] | (b[off + 1] << 8));
}
std::uint32_t u32_at(std::span<const std::uint8_t> b, std::size_t off) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | b[off + static_cast<std::size_t>(i)];
  return v;
}
std::uint64_t u64_at(std::span<const std::uint8_t> b, std::size_t off) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | b[off + static_cast<std::size_t>(i)];
  return v;
}

struct FileNameValue {
  std::uint64_t parent_ref = 0;
  std::uint64_t modified = 0;
  std::uint64_t allocated = 0;
  std::uint8_t name_space = 0;
  std::string name;
};

// Calls visit for each resident $FILE_NAME whose value holds its whole name. The walk stops
// at the end marker, at an attribute shorter than its header or reaching past the record.
void walk_file_names(std::span<const std::uint8_t> record, const std::function<void(const FileNameValue&)>& visit) {
  if (record.size() < kMinRecord) return;
  std::size_t offset = u16_at(record, kFirstAttributeOffset);
  while (offset <= record.size() && record.size() - offset >= kAttributeHeader) {
    const std::uint32_t type = u32_at(record, offset);
    if (type == kEndMarker) break;
    const std::uint32_t length = u32_at(record, offset + 4);
    if (length < kAttributeHeader || length > record.size() - offset) break;
    if (type == kFileNameType && record[offset + kNonResidentFlag] == 0) {
      const std::size_t value = offset + u16_at(record, offset + kValueOffset);
      if (value <= record.size() && record.size() - value >= kFnName) {
        const std::size_t units = record[value + kFnNameLength];
        if (record.size() - value - kFnName >= units * 2) {
          FileNameValue fn;
          fn.parent_ref = u64_at(record, value + kFnParent);
          fn.modified = u64_at(record, value + kFnModified);
          fn.allocated = u64_at(record, value + kFnAllocatedSize);
          fn.name_space = record[value + kFnNamespace];
          fn.name = lossy_utf8(wtf8_from_utf16le(record.subspan(value + kFnName, units * 2)));
          visit(fn);
        }
      }
    }
    offset += length;
  }
}

}  // namespace

std::vector<DeletedEntrySource> record_detail(std::span<const std::uint8_t> record,
                                              const std::unordered_set<std::uint64_t>& parents) {
  std::vector<DeletedEntrySource> out;
  walk_file_names(record, [&](const FileNameValue& fn) {
    if (fn.name_space == kDosNamespace) return;
    const std::uint64_t parent = fn.parent_ref & kFrnMask;
    if (parents.empty() || !parents.contains(parent)) return;
    if (std::any_of(out.begin(), out.end(), [&](const DeletedEntrySource& s) { return s.name == fn.name; })) return;
    out.push_back(DeletedEntrySource{fn.name, parent, fn.allocated, fn.modified});
  });
  return out;
}

std::vector<std::pair<std::uint64_t, std::string>> collect_file_names(std::span<const std::uint8_t> record) {
  std::vector<std::pair<std::uint64_t, std::string>> out;
  walk_file_names(record, [&](const FileNameValue& fn) {
    if (fn.name_space == kDosNamespace || fn.name.empty()) return;
    out.emplace_back(fn.parent_ref & kFrnMask, fn.name);
  });
  return out;
}

}  // namespace kavel_lib::engine::windows
