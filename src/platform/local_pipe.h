// The local pipe: a named, connection-oriented byte stream between processes of this machine,
// named as Windows names pipes ("\\.\pipe\NAME").
//
// Both ends live here: the client end (one connection attempt, and the wait for a free
// instance that goes with it) and the server end (bind the name, accept clients). A
// connection carries bytes both ways and may carry one open descriptor along with the bytes
// (the service hands opened devices to its clients that way).
//
// Errors: opening and accepting give Windows codes (WinError); reads and writes give the
// operating-system I/O error (OsError). A read that finds the other end gone is the end of
// the data (0 bytes), as a broken pipe is on Windows; a write never raises a signal.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"

namespace kavel_lib::platform {

// An open descriptor with one owner, closed when the owner lets it go.
class OwnedDescriptor {
 public:
  OwnedDescriptor() = default;
  explicit OwnedDescriptor(int descriptor) : fd_(descriptor) {}
  OwnedDescriptor(OwnedDescriptor&& other) noexcept;
  OwnedDescriptor& operator=(OwnedDescriptor&& other) noexcept;
  OwnedDescriptor(const OwnedDescriptor&) = delete;
  OwnedDescriptor& operator=(const OwnedDescriptor&) = delete;
  ~OwnedDescriptor();

  [[nodiscard]] bool valid() const { return fd_ >= 0; }
  [[nodiscard]] int get() const { return fd_; }
  // Gives up ownership; the caller closes the descriptor.
  int release();
  void reset();

 private:
  int fd_ = -1;
};

// The host path that stands for a pipe name "\\.\pipe\NAME": the socket NAME in the folder
// $KAVEL_PIPE_DIR (default /run/kavel). Nothing when the name is not of that form or NAME is
// not a plain file name.
std::optional<std::filesystem::path> pipe_socket_path(std::string_view pipe_name);

// Who is at the other end of a connection, as the system recorded it when the connection was
// made: process number, user, primary group and supplementary groups.
struct PeerCredentials {
  std::uint32_t pid = 0;
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  std::vector<std::uint32_t> groups;
  friend bool operator==(const PeerCredentials&, const PeerCredentials&) = default;
};

// One end of a connected pipe. Moving it moves the ownership.
class PipeConnection {
 public:
  // One attempt to open the client end, without waiting. Errors:
  //   ERROR_FILE_NOT_FOUND (2)  nobody serves the name (no socket, or the socket refuses:
  //                             a stale one), or the name is malformed;
  //   ERROR_PIPE_BUSY (231)     the server's queue of waiting clients is full;
  //   ERROR_ACCESS_DENIED (5)   the socket may not be opened by this user;
  //   other codes               for other failures.
  static std::expected<PipeConnection, WinError> connect(std::string_view pipe_name);

  PipeConnection() = default;
  PipeConnection(PipeConnection&& other) noexcept;
  PipeConnection& operator=(PipeConnection&& other) noexcept;
  PipeConnection(const PipeConnection&) = delete;
  PipeConnection& operator=(const PipeConnection&) = delete;
  ~PipeConnection();

  [[nodiscard]] bool is_open() const { return fd_ >= 0; }

  // Reads up to buffer.size() bytes; interrupted calls are repeated. 0 means the other end
  // closed (or dropped) the connection. A descriptor that arrives with the bytes is kept for
  // take_received_descriptor (the first one; any further ones are closed).
  std::expected<std::size_t, OsError> read_some(std::span<char> buffer);

  // Writes up to bytes.size() bytes in one call (interrupted calls are repeated); returns the
  // count written. When a descriptor is given (>= 0) it travels with these bytes; it stays
  // owned by the caller. Writing to a closed connection fails with ERROR_NO_DATA (232).
  std::expected<std::size_t, OsError> write_some(std::string_view bytes, int descriptor = -1);

  // The descriptor received with the bytes read so far, if any; ownership passes to the caller.
  OwnedDescriptor take_received_descriptor();

  // Makes sure the bytes written have reached the other end. The kernel has queued them for
  // the peer as soon as a write returns, so there is nothing left to push.
  std::expected<void, OsError> flush();

  // Closes the connection now (the destructor does the same).
  void close();

  // The credentials of the process at the other end, taken when it connected.
  [[nodiscard]] std::expected<PeerCredentials, OsError> peer_credentials() const;

  // From now on read_some and write_some wait no later than `deadline` for the other end; a
  // call that would wait past it fails with ERROR_TIMEOUT (1460). Nothing: wait as long as it
  // takes (the default).
  void set_deadline(std::optional<std::chrono::steady_clock::time_point> deadline) { deadline_ = deadline; }

 private:
  explicit PipeConnection(int descriptor) : fd_(descriptor) {}
  friend class PipeServer;
  // Waits until the connection is ready for `events` or the deadline passes.
  std::expected<void, OsError> wait_ready(short events) const;

  int fd_ = -1;
  OwnedDescriptor received_;
  std::optional<std::chrono::steady_clock::time_point> deadline_;
};

// Waits up to timeout for the server of pipe_name to have a free instance, as WaitNamedPipe
// does: ERROR_FILE_NOT_FOUND at once when nobody serves the name; otherwise success after a
// short pause (the host cannot tell when the server's queue frees, so the caller retries).
std::expected<void, WinError> wait_named_pipe(std::string_view pipe_name, std::chrono::milliseconds timeout);

// Why a server could not take a pipe name.
struct PipeBindError {
  enum class Reason {
    Failed,        // a call failed (error tells which); a later try may succeed
    Served,        // a live server holds the name (ERROR_PIPE_BUSY)
    NotASocket,    // something that is not a socket holds the name (ERROR_ACCESS_DENIED)
    UnsafeFolder,  // the pipe folder is a link or not a folder, belongs to a user other than root
                   // and this process's, or group or others may write to it (ERROR_ACCESS_DENIED)
  };
  Reason reason = Reason::Failed;
  WinError error;
  [[nodiscard]] std::string display() const { return error.display(); }
};

// The server end: owns the bound name while it lives.
class PipeServer {
 public:
  // How many clients may wait to be accepted before further ones are told the pipe is busy.
  static constexpr int kDefaultBacklog = 128;

  // Creates the socket's folder (mode 0755) when missing and takes the name. The folder is
  // checked through a descriptor opened without following a link, and every later step works
  // relative to that descriptor: the socket is made under a temporary name, opened to every
  // local user (mode 0666, set without following a link), listens, and only then moves to its
  // name without replacing anything, so a client never finds the name before the server
  // accepts on it. A socket left behind by a server that is gone is replaced; a live one is
  // not, nor is anything at that path that is not a socket. Servers of one name take and give
  // up the name one at a time, under a lock file ".NAME.lock" (mode 0600) in the folder.
  static std::expected<PipeServer, PipeBindError> bind(std::string_view pipe_name, int backlog = kDefaultBacklog);

  PipeServer() = default;
  PipeServer(PipeServer&& other) noexcept;
  PipeServer& operator=(PipeServer&& other) noexcept;
  PipeServer(const PipeServer&) = delete;
  PipeServer& operator=(const PipeServer&) = delete;
  // Closes the socket and removes its file when it is still the one this server bound.
  ~PipeServer();

  // Waits for the next client.
  std::expected<PipeConnection, WinError> accept();
  // Waits at most timeout for the next client; nothing when none came.
  std::expected<std::optional<PipeConnection>, WinError> accept_within(std::chrono::milliseconds timeout);

  [[nodiscard]] const std::filesystem::path& socket_path() const { return path_; }

  // Removes the socket's file now, when the file at the path is still the socket this server
  // bound (another server's socket there is left alone); the server goes on accepting the
  // clients already queued. Safe beside a thread that accepts on the same server.
  void remove_name() const;

 private:
  void close_now();

  int fd_ = -1;
  OwnedDescriptor folder_;  // the pipe folder, as it was checked
  std::filesystem::path path_;
  std::uint64_t device_ = 0;
  std::uint64_t inode_ = 0;
};

}  // namespace kavel_lib::platform
