// volume_paths: Windows paths on a mapped NTFS volume, resolved through the directory indexes
// from the root folder down, names compared through the volume's upper-case table.
#include "platform/volume_paths.h"

#include <optional>
#include <string>
#include <vector>

#include "platform/device.h"
#include "platform/drive_table.h"
#include "platform/posix/ntfs_model/device_volume.h"
#include "platform/posix/ntfs_model/index.h"

namespace kavel_lib::platform {

namespace {

using namespace ntfs_model;

constexpr std::uint64_t kRootRecord = 5;
constexpr std::uint64_t kFirstUserRecord = 16;
constexpr std::uint32_t kNameSurrogate = 0x20000000;
constexpr std::size_t kSiAttributes = 0x20;
constexpr std::uint32_t kVisibleAttributeBits = 0xFFFF;

struct ParsedPath {
  char letter = 0;
  std::vector<std::string> components;
};

bool invalid_component(std::string_view c) {
  for (unsigned char ch : c) {
    if (ch < 0x20 || ch == '<' || ch == '>' || ch == ':' || ch == '"' || ch == '|' || ch == '?' || ch == '*') {
      return true;
    }
  }
  return false;
}

// "E:\a\b", "E:/a/b", "\\?\E:\a\b", "\\.\E:\a\b" -> E and [a, b]. Outside the verbatim "\\?\"
// form, "." and ".." are folded and trailing dots and blanks of a component are dropped, as
// Windows does.
std::expected<ParsedPath, WinError> parse_path(std::string_view path) {
  bool verbatim = false;
  if (path.starts_with("\\\\?\\")) {
    verbatim = true;
    path.remove_prefix(4);
  } else if (path.starts_with("\\\\.\\") || path.starts_with("//./") || path.starts_with("//?/")) {
    path.remove_prefix(4);
  }
  if (path.size() < 2 || path[1] != ':') return std::unexpected(WinError{win::ERROR_PATH_NOT_FOUND});
  ParsedPath out;
  out.letter = path[0];
  if (out.letter >= 'a' && out.letter <= 'z') out.letter = static_cast<char>(out.letter - 'a' + 'A');
  if (out.letter < 'A' || out.letter > 'Z') return std::unexpected(WinError{win::ERROR_INVALID_NAME});
  std::string_view rest = path.substr(2);
  while (!rest.empty()) {
    const auto sep = rest.find_first_of(verbatim ? "\\" : "\\/");
    std::string_view c = rest.substr(0, sep);
    rest = sep == std::string_view::npos ? std::string_view{} : rest.substr(sep + 1);
    if (c.empty()) continue;
    if (!verbatim) {
      if (c == ".") continue;
      if (c == "..") {
        if (!out.components.empty()) out.components.pop_back();
        continue;
      }
      while (!c.empty() && (c.back() == '.' || c.back() == ' ')) c.remove_suffix(1);
      if (c.empty()) continue;
    }
    if (invalid_component(c)) return std::unexpected(WinError{win::ERROR_INVALID_NAME});
    out.components.emplace_back(c);
  }
  return out;
}

struct Resolved {
  std::shared_ptr<const Volume> volume;
  std::uint64_t reference = 0;
  std::uint32_t attributes = 0;
  std::uint32_t reparse_tag = 0;
  bool directory = false;
  std::string canonical;  // "\\?\E:\Docs\2"
};

// The long spelling of the file an entry names: its own name unless that is the short one.
const std::u16string& long_name(const DirectoryListing& listing, const DirectoryEntry& entry) {
  if (entry.key.name_space != kNamespaceDos) return entry.key.name;
  for (const auto& other : listing.entries) {
    if (other.reference == entry.reference && other.key.name_space != kNamespaceDos) return other.key.name;
  }
  return entry.key.name;
}

template <typename Use>
auto with_volume(char letter, Use&& use) -> decltype(use(std::declval<const Volume&>(), std::declval<const Reader&>())) {
  const std::string device_path = std::string("\\\\.\\") + letter + ":";
  auto device = Device::open(device_path);
  if (!device) {
    return std::unexpected(WinError{device.error().code == win::ERROR_FILE_NOT_FOUND ? win::ERROR_PATH_NOT_FOUND
                                                                                      : device.error().code});
  }
  auto volume = volume_for_device(*device);
  if (!volume) {
    return std::unexpected(
        WinError{volume.error().code == win::ERROR_INVALID_FUNCTION ? win::ERROR_UNRECOGNIZED_VOLUME : volume.error().code});
  }
  const DeviceReader reader(*device);
  return use(**volume, reader);
}

std::expected<Resolved, WinError> resolve_on(const Volume& volume, const Reader& reader, const ParsedPath& path) {
  Resolved r;
  r.canonical = std::string("\\\\?\\") + path.letter + ":";
  std::uint64_t reference = kRootRecord;
  std::vector<std::uint8_t> record;
  // The root's own reference carries its sequence number.
  if (volume.read_record(reader, kRootRecord, record) != RecordStatus::Ok) {
    return std::unexpected(WinError{win::ERROR_FILE_CORRUPT});
  }
  if (const auto h = record_header(record)) reference |= static_cast<std::uint64_t>(h->sequence) << 48;

  for (std::size_t i = 0; i < path.components.size(); ++i) {
    const bool last = i + 1 == path.components.size();
    const auto missing = WinError{last ? win::ERROR_FILE_NOT_FOUND : win::ERROR_PATH_NOT_FOUND};
    auto listing = volume.directory(reader, reference & kRecordNumberMask);
    if (!listing) return std::unexpected(WinError{win::ERROR_PATH_NOT_FOUND});
    const auto name = utf8_to_utf16(path.components[i]);
    if (!name) return std::unexpected(WinError{win::ERROR_INVALID_NAME});
    const auto it = (*listing)->by_name.find(volume.upcase(*name));
    if (it == (*listing)->by_name.end()) return std::unexpected(missing);
    const DirectoryEntry& entry = (*listing)->entries[it->second];
    reference = entry.reference;
    r.canonical += "\\" + utf16_to_utf8(long_name(**listing, entry));
  }

  // The record must still be the file the index names.
  const std::uint64_t number = reference & kRecordNumberMask;
  if (volume.read_record(reader, number, record) != RecordStatus::Ok) return std::unexpected(WinError{win::ERROR_FILE_CORRUPT});
  const auto h = record_header(record);
  if (!h || (h->flags & kRecordInUse) == 0 || h->base_reference != 0 || h->sequence != (reference >> 48)) {
    return std::unexpected(WinError{path.components.empty() ? win::ERROR_FILE_CORRUPT : win::ERROR_FILE_NOT_FOUND});
  }
  r.reference = reference;
  r.directory = (h->flags & kRecordIsDirectory) != 0;
  if (auto si = find_attribute(record, kAttrStandardInformation); si && !si->non_resident && si->value.size() >= kSiAttributes + 4) {
    r.attributes = u32_at(si->value, kSiAttributes) & kVisibleAttributeBits;
  }
  if (r.directory) r.attributes |= FILE_ATTRIBUTE_DIRECTORY;
  if (auto tag = volume.read_attribute(reader, record, number, kAttrReparsePoint, {}, 4); tag && tag->size() == 4) {
    r.attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    r.reparse_tag = u32_at(*tag, 0);
  }
  if (path.components.empty()) r.canonical += "\\";
  return r;
}

std::expected<Resolved, WinError> resolve(std::string_view text) {
  auto path = parse_path(text);
  if (!path) return std::unexpected(path.error());
  return with_volume(path->letter, [&](const Volume& volume, const Reader& reader) { return resolve_on(volume, reader, *path); });
}

}  // namespace

namespace volume_paths {

std::expected<FileIdInfo, WinError> file_id(std::string_view path) {
  auto path_parsed = parse_path(path);
  if (!path_parsed) return std::unexpected(path_parsed.error());
  return with_volume(path_parsed->letter, [&](const Volume& volume, const Reader& reader) -> std::expected<FileIdInfo, WinError> {
    auto r = resolve_on(volume, reader, *path_parsed);
    if (!r) return std::unexpected(r.error());
    FileIdInfo info;
    info.volume_serial_number = volume.geometry().serial_number;
    for (int i = 0; i < 8; ++i) info.file_id[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(r->reference >> (8 * i));
    return info;
  });
}

bool exists(std::string_view path) { return resolve(path).has_value(); }

bool is_directory(std::string_view path) {
  const auto r = resolve(path);
  if (!r || !r->directory) return false;
  return (r->attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 || (r->reparse_tag & kNameSurrogate) == 0;
}

std::expected<std::string, WinError> canonicalize(std::string_view path) {
  auto r = resolve(path);
  if (!r) return std::unexpected(r.error());
  return std::move(r->canonical);
}

std::expected<std::vector<DirectoryChild>, WinError> list_directory(std::string_view path) {
  auto parsed = parse_path(path);
  if (!parsed) return std::unexpected(parsed.error());
  return with_volume(parsed->letter, [&](const Volume& volume,
                                         const Reader& reader) -> std::expected<std::vector<DirectoryChild>, WinError> {
    auto r = resolve_on(volume, reader, *parsed);
    if (!r) return std::unexpected(r.error());
    if (!r->directory) return std::unexpected(WinError{win::ERROR_DIRECTORY});
    auto listing = volume.directory(reader, r->reference & kRecordNumberMask);
    if (!listing) return std::unexpected(listing.error());
    std::vector<DirectoryChild> children;
    const std::uint64_t own = r->reference & kRecordNumberMask;
    for (const auto& entry : (*listing)->entries) {
      const std::uint64_t child = entry.reference & kRecordNumberMask;
      // The short name is a second entry of a file listed under its long name; the folder's own
      // entry and the file system's metadata files are not shown.
      if (entry.key.name_space == kNamespaceDos || child == own || child < kFirstUserRecord) continue;
      DirectoryChild c;
      c.name = utf16_to_utf8(entry.key.name);
      c.attributes = entry.key.attributes & kVisibleAttributeBits & ~FILE_ATTRIBUTE_DIRECTORY;
      if ((entry.key.attributes & kFileNameIsDirectory) != 0 || (entry.key.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        c.attributes |= FILE_ATTRIBUTE_DIRECTORY;
      }
      c.reparse_tag = entry.key.reparse_tag;
      c.file_reference = entry.reference;
      children.push_back(std::move(c));
    }
    return children;
  });
}

}  // namespace volume_paths

}  // namespace kavel_lib::platform
