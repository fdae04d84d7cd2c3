// A stand-in for systemd's notification socket: a datagram socket that a test binds and whose
// name it hands to a service in NOTIFY_SOCKET, then reads the service's reports from.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

namespace kavel_test {

class NotifySocket {
 public:
  // Bound to a path (the NOTIFY_SOCKET value is the path).
  explicit NotifySocket(const std::filesystem::path& path);
  // Bound to an abstract name; the NOTIFY_SOCKET value is "@" followed by the name.
  static NotifySocket abstract(const std::string& name);
  ~NotifySocket();
  NotifySocket(NotifySocket&& other) noexcept;
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;
  NotifySocket& operator=(NotifySocket&&) = delete;

  [[nodiscard]] bool bound() const { return fd_ >= 0; }
  // The value for NOTIFY_SOCKET.
  [[nodiscard]] const std::string& address() const { return address_; }
  // The next datagram, or nothing when none came within `limit`.
  std::optional<std::string> receive(std::chrono::milliseconds limit);

 private:
  NotifySocket() = default;
  int fd_ = -1;
  std::string address_;
};

}  // namespace kavel_test
