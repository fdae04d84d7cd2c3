// The directory scope walk over FILE records taken from the input: records 100, 101, ...
// are consecutive 1024-byte slices (the last one short), the folder is record 100, its
// listing shows one live subfolder per listed record number named in the first input bytes.
// Whatever the records say, the walk ends, stays within its limits and keeps its sets
// consistent.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "scanner/directory_scope.h"

namespace ew = kavel_lib::engine::windows;
namespace kp = kavel_lib::platform;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::uint64_t kFolder = 100;
  constexpr std::size_t kRecord = 1024;
  std::map<std::uint64_t, std::vector<std::uint8_t>> records;
  for (std::size_t at = 0, n = 0; at < size; at += kRecord, ++n) {
    const std::size_t len = size - at < kRecord ? size - at : kRecord;
    records[kFolder + n] = std::vector<std::uint8_t>(data + at, data + at + len);
  }
  // The first bytes choose which records the folder's listing shows as live subfolders.
  std::map<std::string, std::uint64_t> folders{{"E:\\f", kFolder}};
  std::vector<kp::DirectoryChild> listing;
  for (std::size_t i = 0; i < size && i < 4; ++i) {
    const std::string name = "d" + std::to_string(data[i] % 8);
    folders["E:\\f\\" + name] = kFolder + data[i] % 8;
    listing.push_back({name, kp::FILE_ATTRIBUTE_DIRECTORY, 0, 0});
  }

  kavel_lib::scanner::ScopeSources sources;
  sources.directory_frn = [&](std::string_view path) -> std::expected<ew::DirectoryFrn, kp::OsError> {
    auto it = folders.find(std::string(path));
    if (it == folders.end()) return std::unexpected(kp::OsError::from_code(kp::win::ERROR_FILE_NOT_FOUND));
    return ew::DirectoryFrn{it->second, it->second};
  };
  sources.list_directory = [&](std::string_view path) -> std::expected<std::vector<kp::DirectoryChild>, kp::WinError> {
    if (path == "E:\\f") return listing;
    return std::unexpected(kp::WinError{kp::win::ERROR_PATH_NOT_FOUND});
  };
  sources.fetch_record = [&](std::uint64_t frn) -> std::optional<std::vector<std::uint8_t>> {
    auto it = records.find(frn & ew::kFrnMask);
    if (it == records.end()) return std::nullopt;
    return it->second;
  };

  auto scope = kavel_lib::scanner::build_directory_scope("E:\\f", sources);
  if (!scope) std::abort();
  if (scope->dir_frns.size() > kavel_lib::scanner::kScopeMemberLimit + 1) std::abort();
  if (!scope->dir_frns.contains(kFolder) || scope->dir_names.size() != scope->dir_frns.size()) std::abort();
  for (const std::uint64_t d : scope->deleted_dir_frns) {
    if (!scope->dir_frns.contains(d)) std::abort();
  }
  return 0;
}
