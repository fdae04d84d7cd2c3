// The Windows-made test data of tests/data, unpacked where the tests need it.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace kavel_test {

// ntfs.raw of windows-ntfs/ntfs.tgz (64 GiB sparse, the NTFS volume at byte 1048576),
// unpacked once into <build>/testdata-cache and reused; nothing when it cannot be had (the
// reason is in *why).
std::optional<std::filesystem::path> windows_ntfs_raw(std::string* why = nullptr);

// Byte offset of the NTFS volume inside ntfs.raw.
inline constexpr std::uint64_t kWindowsNtfsVolumeOffset = 1048576;

}  // namespace kavel_test
