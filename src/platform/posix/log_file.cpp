#include "platform/log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace kavel_lib::platform {

namespace {

int open_retrying(const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

std::expected<PathFacts, OsError> path_facts(const std::filesystem::path& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return PathFacts{};
    return std::unexpected(OsError::last());
  }
  PathFacts facts;
  facts.exists = true;
  facts.regular = S_ISREG(st.st_mode);
  facts.directory = S_ISDIR(st.st_mode);
  facts.link = S_ISLNK(st.st_mode);
  facts.owner = static_cast<std::uint32_t>(st.st_uid);
  facts.size = static_cast<std::uint64_t>(st.st_size);
  facts.links = static_cast<std::uint64_t>(st.st_nlink);
  return facts;
}

std::expected<void, OsError> write_probe_file(const std::filesystem::path& path, std::string_view bytes,
                                              bool exclusive) {
  const int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (exclusive ? O_EXCL : O_TRUNC);
  const int fd = open_retrying(path.c_str(), flags, 0644);
  if (fd < 0) return std::unexpected(OsError::last());
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return std::unexpected(OsError::from_code(win::ERROR_ACCESS_DENIED));
  }
  std::string_view rest = bytes;
  while (!rest.empty()) {
    const ssize_t n = ::write(fd, rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const OsError error = n < 0 ? OsError::last() : OsError::write_zero();
      ::close(fd);
      return std::unexpected(error);
    }
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
  if (::close(fd) != 0 && errno != EINTR) return std::unexpected(OsError::last());
  return {};
}

std::expected<AppendFile, OsError> AppendFile::open(const std::filesystem::path& path, bool follow_link,
                                                    std::optional<std::uint32_t> required_owner) {
  const int flags = O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC | (follow_link ? 0 : O_NOFOLLOW);
  const int fd = open_retrying(path.c_str(), flags, 0644);
  if (fd < 0) return std::unexpected(OsError::last());
  AppendFile file(fd);
  if (required_owner) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return std::unexpected(OsError::last());
    if (!S_ISREG(st.st_mode) || static_cast<std::uint32_t>(st.st_uid) != *required_owner || st.st_nlink != 1) {
      return std::unexpected(OsError::from_code(win::ERROR_ACCESS_DENIED));
    }
  }
  const int current = ::fcntl(fd, F_GETFL);
  if (current < 0 || ::fcntl(fd, F_SETFL, current & ~O_NONBLOCK) != 0) return std::unexpected(OsError::last());
  return file;
}

AppendFile::AppendFile(AppendFile&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

AppendFile& AppendFile::operator=(AppendFile&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

AppendFile::~AppendFile() {
  if (fd_ >= 0) ::close(fd_);
}

std::expected<void, OsError> AppendFile::write_all(std::string_view bytes) {
  if (fd_ < 0) return std::unexpected(OsError::from_code(win::ERROR_INVALID_HANDLE));
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(OsError::last());
    }
    if (n == 0) return std::unexpected(OsError::write_zero());
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

}  // namespace kavel_lib::platform
