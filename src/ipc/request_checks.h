// The checks the service makes on a request's fields before it acts, and the small
// conversions of its replies.
#pragma once

#include <expected>
#include <filesystem>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "ipc/json_codec.h"
#include "ipc/messages.h"
#include "platform/errors.h"
#include "service/engine_error.h"

namespace kavel_lib::ipc {

inline constexpr std::string_view kServiceVersion = "1.0.0";
inline constexpr std::uint32_t kProtocolVersion = 1;
// The longest destination path text, and the longest component in it, in bytes.
inline constexpr std::size_t kMaxPathBytes = 4096;
inline constexpr std::size_t kMaxComponentBytes = 255;
// The longest inode text icat is given.
inline constexpr std::size_t kMaxInodeBytes = 128;

// The drive letter of a request: the first character after trimming white space, an ASCII
// letter, in upper case. "missing drive letter" when nothing is left; "invalid drive letter:
// {}" (the text as received) when the first character is no ASCII letter.
std::expected<char, std::string> parse_request_drive_letter(std::string_view text);

// A raw device path: exactly "\\.\X:", "\\.\PhysicalDrive<digits>" or "\\.\Volume{...}", any
// case; nothing else, so that no other text can make the service open a host file.
// "device path not allowed: {}" with the text as received otherwise.
std::expected<void, std::string> validate_device_path(std::string_view text);

// A destination for a written file: at most 4,096 bytes with no component over 255 bytes
// (checked before anything else, the system's "too long" error text otherwise), an absolute
// path ("/...") without a NUL character, naming no device: it holds no "\\.\",
// "PHYSICALDRIVE" or "VOLUME{" (any case) and does not lie under /dev, /proc or /sys as written.
// "export destination must be an absolute path" or "export destination cannot be a device
// path" otherwise.
std::expected<std::filesystem::path, std::string> validate_export_destination(std::string_view text);

// The file-system type of an icat request: trimmed and in ASCII lower case, one of "fat",
// "exfat", "ntfs"; "unsupported icat fs type: {}" (the trimmed, lower-cased text) otherwise.
std::expected<std::string, std::string> parse_icat_fs_type(std::string_view text);

// An inode text for icat: at most 128 bytes as received, not empty after trimming, not
// beginning with "-" once trimmed (icat would take it as an option) and without a NUL character;
// "invalid inode" otherwise.
std::expected<void, std::string> validate_inode(std::string_view text);

// The status record as a JSON object with its keys in ascending order.
std::expected<nlohmann::json, JsonError> service_status_to_value(const ServiceStatusData& status);

// The error reply of a code and a message.
IpcResponse ipc_response_err(std::string_view code, std::string_view message);

std::string io_error_to_string(platform::OsError error);
std::string engine_error_to_string(service::EngineError error);

}  // namespace kavel_lib::ipc
