// Reading a small file (a configuration file) whole, through a close-on-exec descriptor so
// that no tool started at the same moment inherits it.
#pragma once

#include <cstddef>
#include <expected>
#include <filesystem>
#include <string>

#include "platform/errors.h"

namespace kavel_lib::platform {

// The whole content of the file at `path`. A file longer than `limit` bytes fails (kind
// InvalidData) without being read past the limit.
std::expected<std::string, OsError> read_small_file(const std::filesystem::path& path, std::size_t limit);

}  // namespace kavel_lib::platform
