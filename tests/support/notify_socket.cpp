#include "support/notify_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <utility>

namespace kavel_test {

namespace {

int bind_datagram(const std::string& sun_path, bool abstract) {
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  if (sun_path.size() >= sizeof sa.sun_path) return -1;
  std::memcpy(sa.sun_path, sun_path.data(), sun_path.size());
  const auto length =
      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + sun_path.size() + (abstract ? 0 : 1));
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&sa), length) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

NotifySocket::NotifySocket(const std::filesystem::path& path) : address_(path.string()) {
  fd_ = bind_datagram(address_, false);
  // Any user's service may report to it.
  if (fd_ >= 0) ::chmod(address_.c_str(), 0666);
}

NotifySocket NotifySocket::abstract(const std::string& name) {
  NotifySocket socket;
  socket.address_ = "@" + name;
  socket.fd_ = bind_datagram(std::string(1, '\0') + name, true);
  return socket;
}

NotifySocket::~NotifySocket() {
  if (fd_ >= 0) ::close(fd_);
}

NotifySocket::NotifySocket(NotifySocket&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), address_(std::move(other.address_)) {}

std::optional<std::string> NotifySocket::receive(std::chrono::milliseconds limit) {
  if (fd_ < 0) return std::nullopt;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left < 0) return std::nullopt;
    pollfd pfd{fd_, POLLIN, 0};
    const int ready = ::poll(&pfd, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return std::nullopt;
    char buffer[4096];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    return std::string(buffer, static_cast<std::size_t>(n));
  }
}

}  // namespace kavel_test
