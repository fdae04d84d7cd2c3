// The local pipe on Linux: "\\.\pipe\NAME" is the Unix stream socket NAME in $KAVEL_PIPE_DIR
// (default /run/kavel). Descriptors travel as SCM_RIGHTS control messages. A server works in
// its folder only through a descriptor of the folder it checked, and takes or gives up a name
// only while it holds the lock file ".NAME.lock" beside it.
#include "platform/local_pipe.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/types.h>
#include <unistd.h>

#include <stdio.h>  // renameat2, RENAME_NOREPLACE

#include <algorithm>
#include <atomic>
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

namespace {

// Each bind of this process makes its temporary socket name with a number of its own.
std::atomic<std::uint64_t> g_temporary_names{0};
// How often the move into place is tried when the name changes hands meanwhile.
constexpr int kPlaceAttempts = 4;

PipeBindError bind_error(PipeBindError::Reason reason, std::uint32_t code) { return PipeBindError{reason, WinError{code}}; }
PipeBindError bind_error_from_errno(int error) {
  return PipeBindError{PipeBindError::Reason::Failed, WinError{windows_code_from_errno(error)}};
}

// The path of `name` in the folder open as `folder`, reached through the descriptor, so that a
// change of the folder's own path after it was checked does not matter.
std::string path_in_folder(int folder, std::string_view name) {
  return "/proc/self/fd/" + std::to_string(folder) + "/" + std::string(name);
}

// Makes the pipe folder when it is missing: its parents as create_directories makes them, the
// folder itself with mode 0755 (the umask can only narrow it).
std::expected<void, int> make_pipe_folder(const std::filesystem::path& folder) {
  std::error_code ec;
  if (folder.has_parent_path()) std::filesystem::create_directories(folder.parent_path(), ec);
  if (ec) return std::unexpected(ec.value());
  if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) return std::unexpected(errno);
  return {};
}

// Opens the pipe folder without following a link and checks that nobody but root and this
// process's user can change what is in it.
std::expected<OwnedDescriptor, PipeBindError> open_pipe_folder(const std::filesystem::path& folder) {
  if (auto made = make_pipe_folder(folder); !made) return std::unexpected(bind_error_from_errno(made.error()));
  OwnedDescriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!dir.valid()) {
    if (errno == ELOOP || errno == ENOTDIR) {
      return std::unexpected(bind_error(PipeBindError::Reason::UnsafeFolder, win::ERROR_ACCESS_DENIED));
    }
    return std::unexpected(bind_error_from_errno(errno));
  }
  struct stat info {};
  if (::fstat(dir.get(), &info) != 0) return std::unexpected(bind_error_from_errno(errno));
  const bool owner_trusted = info.st_uid == 0 || info.st_uid == ::geteuid();
  if (!S_ISDIR(info.st_mode) || !owner_trusted || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return std::unexpected(bind_error(PipeBindError::Reason::UnsafeFolder, win::ERROR_ACCESS_DENIED));
  }
  return dir;
}

// Removes the temporary socket name again unless the socket moved to its place.
class TemporaryName {
 public:
  TemporaryName(int folder, std::string name) : folder_(folder), name_(std::move(name)) {}
  ~TemporaryName() {
    if (!name_.empty()) ::unlinkat(folder_, name_.c_str(), 0);
  }
  TemporaryName(const TemporaryName&) = delete;
  TemporaryName& operator=(const TemporaryName&) = delete;
  void keep() { name_.clear(); }

 private:
  int folder_;
  std::string name_;
};

// Serialises the servers of one pipe name while they take or give up the name: a file beside
// the socket that only root and the service's user can open, locked for a few calls at a time.
class NameLock {
 public:
  static std::expected<NameLock, int> take(int folder, const std::string& name) {
    const std::string lock_name = "." + name + ".lock";
    NameLock lock;
    lock.fd_ = OwnedDescriptor(::openat(folder, lock_name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!lock.fd_.valid()) return std::unexpected(errno);
    while (::flock(lock.fd_.get(), LOCK_EX) != 0) {
      if (errno != EINTR) return std::unexpected(errno);
    }
    return lock;
  }

 private:
  OwnedDescriptor fd_;  // closing it lets the lock go
};

// Moves the listening socket at `temporary` to `name`, holding the name's lock. A live socket at
// the name is left alone (Served), as is anything that is not a socket (NotASocket); a socket
// that refuses connections was left by a server that is gone and is replaced.
std::expected<void, PipeBindError> move_into_place(int folder, const std::string& temporary, const std::string& name) {
  auto lock = NameLock::take(folder, name);
  if (!lock) return std::unexpected(bind_error_from_errno(lock.error()));
  for (int attempt = 0; attempt < kPlaceAttempts; ++attempt) {
    if (::renameat2(folder, temporary.c_str(), folder, name.c_str(), RENAME_NOREPLACE) == 0) return {};
    if (errno != EEXIST) return std::unexpected(bind_error_from_errno(errno));

    struct stat held {};
    if (::fstatat(folder, name.c_str(), &held, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;  // it went away meanwhile
      return std::unexpected(bind_error_from_errno(errno));
    }
    if (!S_ISSOCK(held.st_mode)) {
      return std::unexpected(bind_error(PipeBindError::Reason::NotASocket, win::ERROR_ACCESS_DENIED));
    }
    sockaddr_un address{};
    if (!socket_address(path_in_folder(folder, name), address)) {
      return std::unexpected(bind_error(PipeBindError::Reason::Failed, win::ERROR_FILENAME_EXCED_RANGE));
    }
    int probe = -1;
    const int error = connect_once(address, probe);
    close_descriptor(probe);
    if (error == ENOENT) continue;
    // Refused: nobody serves it any more. Anything else: it is alive.
    if (error != ECONNREFUSED) return std::unexpected(bind_error(PipeBindError::Reason::Served, win::ERROR_PIPE_BUSY));
    if (::unlinkat(folder, name.c_str(), 0) != 0 && errno != ENOENT) return std::unexpected(bind_error_from_errno(errno));
  }
  return std::unexpected(bind_error(PipeBindError::Reason::Failed, win::ERROR_BUSY));
}

}  // namespace

std::expected<PipeServer, PipeBindError> PipeServer::bind(std::string_view pipe_name, int backlog) {
  const auto path = pipe_socket_path(pipe_name);
  if (!path) return std::unexpected(bind_error(PipeBindError::Reason::Failed, win::ERROR_INVALID_NAME));
  sockaddr_un address{};
  if (!socket_address(*path, address)) {
    return std::unexpected(bind_error(PipeBindError::Reason::Failed, win::ERROR_FILENAME_EXCED_RANGE));
  }

  PipeServer server;
  auto folder = open_pipe_folder(path->parent_path());
  if (!folder) return std::unexpected(folder.error());
  server.folder_ = std::move(*folder);
  const int dir = server.folder_.get();

  server.fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (server.fd_ < 0) return std::unexpected(bind_error_from_errno(errno));

  const std::string name = path->filename().string();
  const std::string temporary = "." + name + "." + std::to_string(::getpid()) + "." +
                                std::to_string(g_temporary_names.fetch_add(1, std::memory_order_relaxed)) + ".tmp";
  sockaddr_un temporary_address{};
  if (!socket_address(path_in_folder(dir, temporary), temporary_address)) {
    return std::unexpected(bind_error(PipeBindError::Reason::Failed, win::ERROR_FILENAME_EXCED_RANGE));
  }
  const auto* raw_address = reinterpret_cast<const sockaddr*>(&temporary_address);
  if (::bind(server.fd_, raw_address, sizeof(temporary_address)) != 0) {
    // Left behind by an earlier process that had this number and ended before it moved it.
    if (errno != EADDRINUSE || ::unlinkat(dir, temporary.c_str(), 0) != 0 ||
        ::bind(server.fd_, raw_address, sizeof(temporary_address)) != 0) {
      return std::unexpected(bind_error_from_errno(errno));
    }
  }
  TemporaryName cleanup(dir, temporary);

  // Any local user may connect, as every authenticated user may open the Windows pipe. The
  // mode is set on the name in the checked folder, never through a link.
  if (::fchmodat(dir, temporary.c_str(), 0666, AT_SYMLINK_NOFOLLOW) != 0) {
    return std::unexpected(bind_error_from_errno(errno));
  }
  struct stat info {};
  if (::fstatat(dir, temporary.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return std::unexpected(bind_error_from_errno(errno));
  if (!S_ISSOCK(info.st_mode)) return std::unexpected(bind_error(PipeBindError::Reason::Failed, win::ERROR_ACCESS_DENIED));
  if (::listen(server.fd_, std::max(backlog, 0)) != 0) return std::unexpected(bind_error_from_errno(errno));

  if (auto placed = move_into_place(dir, temporary, name); !placed) return std::unexpected(placed.error());
  cleanup.keep();
  server.path_ = *path;
  server.device_ = static_cast<std::uint64_t>(info.st_dev);
  server.inode_ = static_cast<std::uint64_t>(info.st_ino);
  return server;
}

PipeServer::PipeServer(PipeServer&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      folder_(std::move(other.folder_)),
      path_(std::move(other.path_)),
      device_(other.device_),
      inode_(other.inode_) {
  other.path_.clear();
}

PipeServer& PipeServer::operator=(PipeServer&& other) noexcept {
  if (this != &other) {
    close_now();
    fd_ = std::exchange(other.fd_, -1);
    folder_ = std::move(other.folder_);
    path_ = std::move(other.path_);
    other.path_.clear();
    device_ = other.device_;
    inode_ = other.inode_;
  }
  return *this;
}

PipeServer::~PipeServer() { close_now(); }

void PipeServer::remove_name() const {
  if (path_.empty() || !folder_.valid()) return;
  const std::string name = path_.filename().string();
  // Under the name's lock, so that a server replacing this socket (closed, so it refuses) is not
  // undone by this removal.
  const auto lock = NameLock::take(folder_.get(), name);
  struct stat info {};
  if (::fstatat(folder_.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISSOCK(info.st_mode) &&
      static_cast<std::uint64_t>(info.st_dev) == device_ && static_cast<std::uint64_t>(info.st_ino) == inode_) {
    ::unlinkat(folder_.get(), name.c_str(), 0);
  }
}

void PipeServer::close_now() {
  close_descriptor(std::exchange(fd_, -1));
  remove_name();
  path_.clear();
  folder_.reset();
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
