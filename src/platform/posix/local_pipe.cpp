// The local pipe on Linux: "\\.\pipe\NAME" is the Unix stream socket NAME in $KAVEL_PIPE_DIR
// (default /run/kavel). Descriptors travel as SCM_RIGHTS control messages.
#include "platform/local_pipe.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#ifndef SO_PEERGROUPS
#define SO_PEERGROUPS 59
#endif

namespace kavel_lib::platform {

namespace {

constexpr std::string_view kDefaultPipeDir = "/run/kavel";
// How long wait_named_pipe pauses before the caller tries again.
constexpr std::chrono::milliseconds kInstancePollInterval{10};
// The most supplementary groups a Linux process can have.
constexpr std::size_t kMaxPeerGroups = 65536;

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// Fills a socket address with a path; false when the path does not fit.
bool socket_address(const std::filesystem::path& path, sockaddr_un& address) {
  const std::string& text = path.native();
  address = {};
  address.sun_family = AF_UNIX;
  if (text.empty() || text.size() >= sizeof(address.sun_path)) return false;
  std::memcpy(address.sun_path, text.data(), text.size());
  return true;
}

void close_descriptor(int fd) {
  if (fd >= 0) ::close(fd);
}

// The Windows code of a failed connect.
std::uint32_t connect_failure_code(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ECONNREFUSED:
      return win::ERROR_FILE_NOT_FOUND;
    case EAGAIN:
    case EINPROGRESS:
    case EALREADY:
    case EINTR:
      return win::ERROR_PIPE_BUSY;
    case EACCES:
    case EPERM:
      return win::ERROR_ACCESS_DENIED;
    default:
      return windows_code_from_errno(error);
  }
}

// One non-blocking connect to the socket at path: 0 or the errno of the failure. On success the
// connected descriptor (blocking again) is stored in out_fd.
int connect_once(const sockaddr_un& address, int& out_fd) {
  out_fd = -1;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return errno;
  // A Unix socket connects at once or not at all: a full queue is EAGAIN, so this never waits.
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    const int error = errno;
    ::close(fd);
    return error;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    const int error = errno;
    ::close(fd);
    return error;
  }
  out_fd = fd;
  return 0;
}

}  // namespace

// ---- OwnedDescriptor ------------------------------------------------------------------------

OwnedDescriptor::OwnedDescriptor(OwnedDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

OwnedDescriptor& OwnedDescriptor::operator=(OwnedDescriptor&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

OwnedDescriptor::~OwnedDescriptor() { reset(); }

int OwnedDescriptor::release() { return std::exchange(fd_, -1); }

void OwnedDescriptor::reset() { close_descriptor(std::exchange(fd_, -1)); }

// ---- names ------------------------------------------------------------------------------

std::optional<std::filesystem::path> pipe_socket_path(std::string_view pipe_name) {
  constexpr std::string_view kPrefix = "\\\\.\\pipe\\";
  if (pipe_name.size() <= kPrefix.size() || !equals_ignoring_case(pipe_name.substr(0, kPrefix.size()), kPrefix)) {
    return std::nullopt;
  }
  const std::string_view name = pipe_name.substr(kPrefix.size());
  if (name == "." || name == ".." || name.find_first_of(std::string_view("/\\\0", 3)) != std::string_view::npos) {
    return std::nullopt;
  }
  const char* dir = std::getenv("KAVEL_PIPE_DIR");
  const std::filesystem::path folder = (dir != nullptr && *dir != '\0') ? std::filesystem::path(dir)
                                                                        : std::filesystem::path(kDefaultPipeDir);
  return folder / std::filesystem::path(std::string(name));
}

// ---- PipeConnection -----------------------------------------------------------------------

std::expected<PipeConnection, WinError> PipeConnection::connect(std::string_view pipe_name) {
  const auto path = pipe_socket_path(pipe_name);
  sockaddr_un address{};
  if (!path || !socket_address(*path, address)) return std::unexpected(WinError{win::ERROR_FILE_NOT_FOUND});
  int fd = -1;
  if (const int error = connect_once(address, fd); error != 0) {
    return std::unexpected(WinError{connect_failure_code(error)});
  }
  return PipeConnection(fd);
}

PipeConnection::PipeConnection(PipeConnection&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      received_(std::move(other.received_)),
      deadline_(std::exchange(other.deadline_, std::nullopt)) {}

PipeConnection& PipeConnection::operator=(PipeConnection&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::exchange(other.fd_, -1);
    received_ = std::move(other.received_);
    deadline_ = std::exchange(other.deadline_, std::nullopt);
  }
  return *this;
}

PipeConnection::~PipeConnection() { close(); }

void PipeConnection::close() {
  close_descriptor(std::exchange(fd_, -1));
  received_.reset();
}

std::expected<std::size_t, OsError> PipeConnection::read_some(std::span<char> buffer) {
  if (fd_ < 0) return std::unexpected(OsError::from_code(win::ERROR_INVALID_HANDLE));
  if (buffer.empty()) return 0;

  iovec io{buffer.data(), buffer.size()};
  // Room for exactly one descriptor: a message carries at most one.
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
  msghdr message{};
  message.msg_iov = &io;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof(control);

  ssize_t count;
  for (;;) {
    if (deadline_) {
      if (auto ready = wait_ready(POLLIN); !ready) return std::unexpected(ready.error());
    }
    count = ::recvmsg(fd_, &message, MSG_CMSG_CLOEXEC | (deadline_ ? MSG_DONTWAIT : 0));
    if (count >= 0) break;
    if (errno == EINTR) continue;
    if (deadline_ && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    break;
  }
  if (count < 0) {
    // The other end went away with our bytes unread: as with a broken pipe, the data ends here.
    if (errno == ECONNRESET) return 0;
    return std::unexpected(OsError::last());
  }

  // Every descriptor that arrived is ours to keep or to close.
  std::vector<OwnedDescriptor> arrived;
  for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr; header = CMSG_NXTHDR(&message, header)) {
    if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) continue;
    if (header->cmsg_len < CMSG_LEN(0)) continue;
    const std::size_t count_fds = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    const auto* data = CMSG_DATA(header);
    for (std::size_t i = 0; i < count_fds; ++i) {
      int fd;
      std::memcpy(&fd, data + i * sizeof(int), sizeof(int));
      arrived.emplace_back(fd);
    }
  }
  if ((message.msg_flags & MSG_CTRUNC) != 0 || arrived.size() > 1) {
    // A message carries one descriptor at most; with more, which one was meant cannot be told.
    return std::unexpected(
        OsError::with_text(OsErrorKind::InvalidData, "more descriptors arrived than one message may carry"));
  }
  // The first descriptor of the connection is kept; a later one is closed.
  if (!arrived.empty() && !received_.valid()) received_ = std::move(arrived.front());
  return static_cast<std::size_t>(count);
}

std::expected<std::size_t, OsError> PipeConnection::write_some(std::string_view bytes, int descriptor) {
  if (fd_ < 0) return std::unexpected(OsError::from_code(win::ERROR_INVALID_HANDLE));
  if (bytes.empty()) return 0;

  iovec io{const_cast<char*>(bytes.data()), bytes.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
  msghdr message{};
  message.msg_iov = &io;
  message.msg_iovlen = 1;
  if (descriptor >= 0) {
    std::memset(control, 0, sizeof(control));
    message.msg_control = control;
    message.msg_controllen = sizeof(control);
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &descriptor, sizeof(int));
  }

  ssize_t count;
  for (;;) {
    if (deadline_) {
      if (auto ready = wait_ready(POLLOUT); !ready) return std::unexpected(ready.error());
    }
    count = ::sendmsg(fd_, &message, MSG_NOSIGNAL | (deadline_ ? MSG_DONTWAIT : 0));
    if (count >= 0) break;
    if (errno == EINTR) continue;
    if (deadline_ && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    break;
  }
  if (count < 0) return std::unexpected(OsError::last());
  return static_cast<std::size_t>(count);
}

std::expected<void, OsError> PipeConnection::wait_ready(short events) const {
  for (;;) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= *deadline_) return std::unexpected(OsError::from_code(win::ERROR_TIMEOUT));
    // Rounded up, so the wait never ends just short of the deadline and spins.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline_ - now);
    pollfd entry{fd_, events, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(std::clamp<std::int64_t>(left.count(), 1, 1 << 30)));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(OsError::last());
    }
    // Ready, or the other end hung up or failed: the call itself tells which.
    if (ready > 0) return {};
  }
}

std::expected<PeerCredentials, OsError> PipeConnection::peer_credentials() const {
  if (fd_ < 0) return std::unexpected(OsError::from_code(win::ERROR_INVALID_HANDLE));
  ucred credentials{};
  socklen_t length = sizeof(credentials);
  if (::getsockopt(fd_, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) return std::unexpected(OsError::last());
  if (length != sizeof(credentials)) return std::unexpected(OsError::from_code(win::ERROR_INVALID_DATA));
  PeerCredentials peer;
  peer.pid = static_cast<std::uint32_t>(credentials.pid);
  peer.uid = static_cast<std::uint32_t>(credentials.uid);
  peer.gid = static_cast<std::uint32_t>(credentials.gid);

  // The supplementary groups: asked with a small list first, then with the size the system
  // names (bounded by the system's own limit of 65,536 groups).
  std::vector<gid_t> groups(32);
  for (int attempt = 0; attempt < 4; ++attempt) {
    socklen_t bytes = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    if (::getsockopt(fd_, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &bytes) == 0) {
      groups.resize(bytes / sizeof(gid_t));
      peer.groups.assign(groups.begin(), groups.end());
      return peer;
    }
    if (errno != ERANGE) return std::unexpected(OsError::last());
    const std::size_t wanted = bytes / sizeof(gid_t);
    if (wanted <= groups.size() || wanted > kMaxPeerGroups) return std::unexpected(OsError::from_code(win::ERROR_INVALID_DATA));
    groups.resize(wanted);
  }
  return std::unexpected(OsError::from_code(win::ERROR_INVALID_DATA));
}

OwnedDescriptor PipeConnection::take_received_descriptor() { return std::move(received_); }

std::expected<void, OsError> PipeConnection::flush() {
  if (fd_ < 0) return std::unexpected(OsError::from_code(win::ERROR_INVALID_HANDLE));
  return {};
}

std::expected<void, WinError> wait_named_pipe(std::string_view pipe_name, std::chrono::milliseconds timeout) {
  const auto path = pipe_socket_path(pipe_name);
  if (!path) return std::unexpected(WinError{win::ERROR_FILE_NOT_FOUND});
  struct stat info {};
  if (::lstat(path->c_str(), &info) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return std::unexpected(WinError{win::ERROR_FILE_NOT_FOUND});
    return std::unexpected(WinError::last());
  }
  if (timeout > std::chrono::milliseconds::zero()) std::this_thread::sleep_for(std::min(timeout, kInstancePollInterval));
  return {};
}

// ---- PipeServer -----------------------------------------------------------------------------

std::expected<PipeServer, WinError> PipeServer::bind(std::string_view pipe_name, int backlog) {
  const auto path = pipe_socket_path(pipe_name);
  if (!path) return std::unexpected(WinError{win::ERROR_INVALID_NAME});
  sockaddr_un address{};
  if (!socket_address(*path, address)) return std::unexpected(WinError{win::ERROR_FILENAME_EXCED_RANGE});

  std::error_code ec;
  std::filesystem::create_directories(path->parent_path(), ec);
  if (ec) return std::unexpected(WinError{windows_code_from_errno(ec.value())});

  PipeServer server;
  server.fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (server.fd_ < 0) return std::unexpected(WinError::last());
  const auto* raw_address = reinterpret_cast<const sockaddr*>(&address);

  if (::bind(server.fd_, raw_address, sizeof(address)) != 0) {
    if (errno != EADDRINUSE) return std::unexpected(WinError::last());
    // Something is at the path. Only a socket that nobody serves any more may be replaced.
    struct stat info {};
    if (::lstat(path->c_str(), &info) != 0) return std::unexpected(WinError::last());
    if (!S_ISSOCK(info.st_mode)) return std::unexpected(WinError{win::ERROR_ACCESS_DENIED});
    int probe = -1;
    const int error = connect_once(address, probe);
    close_descriptor(probe);
    // Refused: nobody serves it any more. Gone: it went away meanwhile. Else it is alive.
    if (error != ECONNREFUSED && error != ENOENT) return std::unexpected(WinError{win::ERROR_PIPE_BUSY});
    if (::unlink(path->c_str()) != 0 && errno != ENOENT) return std::unexpected(WinError::last());
    if (::bind(server.fd_, raw_address, sizeof(address)) != 0) return std::unexpected(WinError::last());
  }
  server.path_ = *path;

  struct stat info {};
  if (::stat(path->c_str(), &info) != 0) return std::unexpected(WinError::last());
  server.device_ = static_cast<std::uint64_t>(info.st_dev);
  server.inode_ = static_cast<std::uint64_t>(info.st_ino);
  // Any local user may connect, as every authenticated user may open the Windows pipe.
  if (::chmod(path->c_str(), 0666) != 0) return std::unexpected(WinError::last());
  if (::listen(server.fd_, std::max(backlog, 0)) != 0) return std::unexpected(WinError::last());
  return server;
}

PipeServer::PipeServer(PipeServer&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      path_(std::move(other.path_)),
      device_(other.device_),
      inode_(other.inode_) {
  other.path_.clear();
}

PipeServer& PipeServer::operator=(PipeServer&& other) noexcept {
  if (this != &other) {
    close_now();
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
    other.path_.clear();
    device_ = other.device_;
    inode_ = other.inode_;
  }
  return *this;
}

PipeServer::~PipeServer() { close_now(); }

void PipeServer::close_now() {
  close_descriptor(std::exchange(fd_, -1));
  if (!path_.empty()) {
    struct stat info {};
    if (::lstat(path_.c_str(), &info) == 0 && S_ISSOCK(info.st_mode) &&
        static_cast<std::uint64_t>(info.st_dev) == device_ && static_cast<std::uint64_t>(info.st_ino) == inode_) {
      ::unlink(path_.c_str());
    }
    path_.clear();
  }
}

std::expected<PipeConnection, WinError> PipeServer::accept() {
  if (fd_ < 0) return std::unexpected(WinError{win::ERROR_INVALID_HANDLE});
  for (;;) {
    const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) return PipeConnection(fd);
    if (errno == EINTR || errno == ECONNABORTED) continue;
    return std::unexpected(WinError::last());
  }
}

std::expected<std::optional<PipeConnection>, WinError> PipeServer::accept_within(std::chrono::milliseconds timeout) {
  if (fd_ < 0) return std::unexpected(WinError{win::ERROR_INVALID_HANDLE});
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd entry{fd_, POLLIN, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, 1 << 30)));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(WinError::last());
    }
    if (ready == 0) return std::optional<PipeConnection>{};
    auto connection = accept();
    if (!connection) return std::unexpected(connection.error());
    return std::optional<PipeConnection>(std::move(*connection));
  }
}

}  // namespace kavel_lib::platform
