// The file operations of the service's log set-up: probing a folder, looking at what a path
// holds without following a final link, and a file opened for appending whole lines.
//
// These act as the process itself, never as a thread's acting identity.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string_view>

#include "platform/errors.h"

namespace kavel_lib::platform {

// What a path holds, the final link not followed.
struct PathFacts {
  bool exists = false;
  bool regular = false;
  bool directory = false;
  bool link = false;
  std::uint32_t owner = 0;  // user id
  std::uint64_t size = 0;
  std::uint64_t links = 0;  // names the file has (hard links)
};

// Nothing there is exists == false, not an error.
std::expected<PathFacts, OsError> path_facts(const std::filesystem::path& path);

// Writes `bytes` into a file at the path: replacing an existing regular file, or, when
// `exclusive`, only creating a new one (anything there fails with ERROR_FILE_EXISTS). A final
// link is never followed.
std::expected<void, OsError> write_probe_file(const std::filesystem::path& path, std::string_view bytes, bool exclusive);

// A file opened for appending; each write_all is one write at the file's end.
class AppendFile {
 public:
  // Opens the file for appending, creating it when missing. With `follow_link` false a final
  // link fails the open. With `required_owner`, the opened file must be a regular file of that
  // user with no other name (a hard link could stand for any file of that user), else
  // ERROR_ACCESS_DENIED, as the open file itself shows.
  static std::expected<AppendFile, OsError> open(const std::filesystem::path& path, bool follow_link,
                                                 std::optional<std::uint32_t> required_owner);

  AppendFile() = default;
  AppendFile(AppendFile&& other) noexcept;
  AppendFile& operator=(AppendFile&& other) noexcept;
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;
  ~AppendFile();

  [[nodiscard]] bool is_open() const { return fd_ >= 0; }
  std::expected<void, OsError> write_all(std::string_view bytes);

 private:
  explicit AppendFile(int fd) : fd_(fd) {}
  int fd_ = -1;
};

}  // namespace kavel_lib::platform
