// Placeholder until the emulated NTFS driver answers control codes and volume paths.
#include "platform/ntfs_control.h"
#include "platform/volume_paths.h"

namespace kavel_lib::platform {

std::expected<std::size_t, WinError> device_io_control(const Device&, std::uint32_t, std::span<const std::uint8_t>,
                                                       std::span<std::uint8_t>) {
  return std::unexpected(WinError{win::ERROR_INVALID_FUNCTION});
}

namespace volume_paths {
std::expected<FileIdInfo, WinError> file_id(std::string_view) { return std::unexpected(WinError{win::ERROR_FILE_NOT_FOUND}); }
bool exists(std::string_view) { return false; }
bool is_directory(std::string_view) { return false; }
std::expected<std::string, WinError> canonicalize(std::string_view) { return std::unexpected(WinError{win::ERROR_FILE_NOT_FOUND}); }
std::expected<std::vector<DirectoryChild>, WinError> list_directory(std::string_view) {
  return std::unexpected(WinError{win::ERROR_FILE_NOT_FOUND});
}
}  // namespace volume_paths

}  // namespace kavel_lib::platform
