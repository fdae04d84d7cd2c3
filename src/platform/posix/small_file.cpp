#include "platform/small_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace kavel_lib::platform {

namespace {
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  [[nodiscard]] int get() const { return fd_; }

 private:
  int fd_;
};
}  // namespace

std::expected<std::string, OsError> read_small_file(const std::filesystem::path& path, std::size_t limit) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);  // a FIFO must not hold the caller
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(OsError::last());
  const Descriptor file(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0) return std::unexpected(OsError::last());
  if (!S_ISREG(st.st_mode)) return std::unexpected(OsError::with_text(OsErrorKind::InvalidInput, "not a regular file"));

  std::string content;
  char chunk[8192];
  for (;;) {
    const ssize_t n = ::read(file.get(), chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(OsError::last());
    }
    if (n == 0) break;
    if (static_cast<std::size_t>(n) > limit - content.size()) {
      return std::unexpected(OsError::with_text(OsErrorKind::InvalidData, "file too large"));
    }
    content.append(chunk, static_cast<std::size_t>(n));
  }
  return content;
}

}  // namespace kavel_lib::platform
