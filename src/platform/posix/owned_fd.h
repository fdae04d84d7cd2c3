// Inside the backend: a descriptor with one owner, closed when the owner goes.
#pragma once

#include <unistd.h>

#include <utility>

namespace kavel_lib::platform::posix {

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~Fd() { close(); }
  void reset(int fd) {
    close();
    fd_ = fd;
  }
  [[nodiscard]] int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  void close() {
    if (fd_ >= 0) ::close(fd_);
  }
  int fd_;
};

}  // namespace kavel_lib::platform::posix
