// Windows paths on a mapped volume ("E:\docs\2", "\\?\E:\docs\2"): what the file system says
// of them. The drive letter's volume is read through its own directory indexes; names
// compare without regard to case.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"

namespace kavel_lib::platform {

// FILE_ID_INFO: the volume serial number and the 128-bit file id, whose low 8 bytes hold the
// 64-bit file reference (48-bit record number, 16-bit sequence number).
struct FileIdInfo {
  std::uint64_t volume_serial_number = 0;
  std::array<std::uint8_t, 16> file_id{};
};

inline constexpr std::uint32_t FILE_ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr std::uint32_t FILE_ATTRIBUTE_REPARSE_POINT = 0x400;

struct DirectoryChild {
  std::string name;               // UTF-8, as spelled on disk
  std::uint32_t attributes = 0;   // FILE_ATTRIBUTE_* bits
  std::uint32_t reparse_tag = 0;  // when FILE_ATTRIBUTE_REPARSE_POINT is set
  std::uint64_t file_reference = 0;
};

// Paths take the forms "E:\a\b", "E:/a/b" and "\\?\E:\a\b"; outside the last form "." and
// ".." are folded and trailing dots and blanks of a component dropped. Errors: 2 for a last
// component that does not exist, 3 for a missing folder on the way or a drive the table does
// not map, 123 for a name with a character Windows refuses, 1005 for a volume that is not
// NTFS. A name whose index entry points at a record no longer in use (or in use under another
// sequence number) does not exist.
namespace volume_paths {

// The file id of the file or folder at path (GetFileInformationByHandleEx, FileIdInfo).
std::expected<FileIdInfo, WinError> file_id(std::string_view path);
// Whether path names an existing file or folder.
bool exists(std::string_view path);
// Whether path names an existing folder that is not a link.
bool is_directory(std::string_view path);
// The canonical form "\\?\E:\Docs\2" with the on-disk spelling of each component.
std::expected<std::string, WinError> canonicalize(std::string_view path);
// The entries of a folder, in index order: each file once under its long name, without the
// folder's own entry and the file system's metadata files; 267 for a path that is a file.
std::expected<std::vector<DirectoryChild>, WinError> list_directory(std::string_view path);

}  // namespace volume_paths

}  // namespace kavel_lib::platform
