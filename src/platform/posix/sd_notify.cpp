#include "platform/posix/sd_notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace kavel_lib::platform::posix {

std::optional<NotifyAddress> parse_notify_socket(std::string_view value) {
  constexpr std::size_t kPathRoom = sizeof(sockaddr_un{}.sun_path);
  if (value.size() < 2) return std::nullopt;
  if (value.front() == '@') {
    // An abstract name is exactly its bytes after the leading zero, no terminator.
    if (value.size() > kPathRoom) return std::nullopt;
    NotifyAddress address{std::string(value), true};
    address.name[0] = '\0';
    return address;
  }
  if (value.front() != '/') return std::nullopt;
  // A path needs room for its terminating zero, and may not hold one inside.
  if (value.size() >= kPathRoom || value.find('\0') != std::string_view::npos) return std::nullopt;
  return NotifyAddress{std::string(value), false};
}

std::expected<bool, OsError> notify_service_manager(std::string_view message) {
  const char* value = std::getenv("NOTIFY_SOCKET");
  if (value == nullptr || *value == '\0') return false;
  const auto address = parse_notify_socket(value);
  if (!address) return std::unexpected(OsError::from_errno(EINVAL));

  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  std::memcpy(sa.sun_path, address->name.data(), address->name.size());
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address->name.size() +
                                             (address->abstract ? 0 : 1));

  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::unexpected(OsError::last());
  ssize_t sent;
  do {
    sent = ::sendto(fd, message.data(), message.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&sa), length);
  } while (sent < 0 && errno == EINTR);
  const int saved = errno;
  ::close(fd);
  if (sent < 0) return std::unexpected(OsError::from_errno(saved));
  if (static_cast<std::size_t>(sent) != message.size()) return std::unexpected(OsError::write_zero());
  return true;
}

}  // namespace kavel_lib::platform::posix
