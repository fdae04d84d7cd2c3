#include "platform/file_ops.h"

#include "platform/posix/identity_guard.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <utility>

namespace kavel_lib::platform {

namespace {

void close_descriptor(int fd) {
  if (fd >= 0) ::close(fd);
}

}  // namespace

std::expected<void, OsError> create_folders(const std::filesystem::path& folder) {
  const posix::IdentityGuard guard;
  if (guard.failure()) return std::unexpected(*guard.failure());
  std::filesystem::path prefix;
  for (const auto& part : folder) {
    prefix /= part;
    if (part.empty() || part.has_root_directory()) continue;  // the root, or a trailing separator
    if (::mkdir(prefix.c_str(), 0777) == 0) continue;
    const int err = errno;
    if (err != EEXIST) return std::unexpected(OsError::from_errno(err));
    // Something is already there: a folder (or a link to one) is what we want.
    struct stat st {};
    if (::stat(prefix.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      return std::unexpected(OsError::from_code(win::ERROR_ALREADY_EXISTS));
    }
  }
  return {};
}

std::expected<void, OsError> create_parent_folders(const std::filesystem::path& destination) {
  const auto parent = destination.parent_path();
  if (parent.empty() || parent == destination.root_path()) return {};
  return create_folders(parent);
}

std::expected<DestinationFile, OsError> DestinationFile::create(const std::filesystem::path& path) {
  const posix::IdentityGuard guard;
  if (guard.failure()) return std::unexpected(*guard.failure());
  // No O_TRUNC here: an existing file is truncated only after it proved to be a regular file.
  // O_NONBLOCK keeps a pipe put in the destination's place from stalling the open.
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(OsError::last());
  DestinationFile file(fd);

  struct stat st {};
  if (::fstat(fd, &st) != 0) return std::unexpected(OsError::last());
  if (!S_ISREG(st.st_mode)) return std::unexpected(OsError::from_code(win::ERROR_ACCESS_DENIED));
  while (::ftruncate(fd, 0) != 0) {
    if (errno != EINTR) return std::unexpected(OsError::last());
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return std::unexpected(OsError::last());
  return file;
}

std::expected<DestinationFile, OsError> DestinationFile::create_new(const std::filesystem::path& path) {
  const posix::IdentityGuard guard;
  if (guard.failure()) return std::unexpected(*guard.failure());
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(OsError::last());
  return DestinationFile(fd);
}

DestinationFile::DestinationFile(DestinationFile&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

DestinationFile& DestinationFile::operator=(DestinationFile&& other) noexcept {
  if (this != &other) {
    close_descriptor(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

DestinationFile::~DestinationFile() { close_descriptor(fd_); }

std::expected<void, OsError> DestinationFile::write_all(std::span<const std::uint8_t> bytes) {
  if (fd_ < 0) return std::unexpected(OsError::from_code(win::ERROR_INVALID_HANDLE));
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(OsError::last());
    }
    if (n == 0) return std::unexpected(OsError::write_zero());
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return {};
}

std::expected<void, OsError> DestinationFile::skip(std::uint64_t bytes) {
  if (fd_ < 0) return std::unexpected(OsError::from_code(win::ERROR_INVALID_HANDLE));
  const off_t at = ::lseek(fd_, 0, SEEK_CUR);
  if (at < 0) return std::unexpected(OsError::last());
  if (bytes > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max() - at)) {
    return std::unexpected(OsError::from_code(win::ERROR_DISK_FULL));
  }
  if (::lseek(fd_, static_cast<off_t>(bytes), SEEK_CUR) < 0) return std::unexpected(OsError::last());
  return {};
}

std::expected<void, OsError> DestinationFile::set_length(std::uint64_t length) {
  if (fd_ < 0) return std::unexpected(OsError::from_code(win::ERROR_INVALID_HANDLE));
  if (length > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
    return std::unexpected(OsError::from_code(win::ERROR_DISK_FULL));
  }
  while (::ftruncate(fd_, static_cast<off_t>(length)) != 0) {
    if (errno == EFBIG) return std::unexpected(OsError::from_code(win::ERROR_DISK_FULL));
    if (errno != EINTR) return std::unexpected(OsError::last());
  }
  return {};
}

std::expected<void, OsError> DestinationFile::close() {
  const int fd = std::exchange(fd_, -1);
  if (fd < 0) return {};
  // Linux releases the descriptor even when close reports an error, so it is never retried.
  if (::close(fd) != 0 && errno != EINTR) return std::unexpected(OsError::last());
  return {};
}

std::expected<void, OsError> rename_path(const std::filesystem::path& from, const std::filesystem::path& to) {
  const posix::IdentityGuard guard;
  if (guard.failure()) return std::unexpected(*guard.failure());
  if (::rename(from.c_str(), to.c_str()) != 0) return std::unexpected(OsError::last());
  return {};
}

std::expected<void, OsError> remove_file(const std::filesystem::path& path) {
  const posix::IdentityGuard guard;
  if (guard.failure()) return std::unexpected(*guard.failure());
  if (::unlink(path.c_str()) != 0) return std::unexpected(OsError::last());
  return {};
}

std::expected<std::uint64_t, OsError> regular_file_length(const std::filesystem::path& path) {
  const posix::IdentityGuard guard;
  if (guard.failure()) return std::unexpected(*guard.failure());
  // A path-only descriptor: nothing of the file is opened for reading, no device or pipe is
  // touched, and a final link is taken as the link itself.
  int fd;
  do {
    fd = ::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(OsError::last());
  struct stat st {};
  const int got = ::fstat(fd, &st);
  const int err = errno;
  ::close(fd);
  if (got != 0) return std::unexpected(OsError::from_errno(err));
  if (!S_ISREG(st.st_mode)) return std::unexpected(OsError::from_code(win::ERROR_ACCESS_DENIED));
  return static_cast<std::uint64_t>(st.st_size);
}

}  // namespace kavel_lib::platform
