#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <system_error>
#include <utility>

extern char** environ;

namespace kavel_lib::platform {

namespace {

constexpr std::size_t kChunk = 8192;

void close_descriptor(int& fd) {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

// A descriptor above the standard three (a caller that closed its own standard streams would
// otherwise get a pipe end at 0, 1 or 2, which the child's redirections would clobber).
std::expected<int, OsError> above_standard(int fd) {
  if (fd > 2) return fd;
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  const int saved = errno;
  ::close(fd);
  if (moved < 0) return std::unexpected(OsError::from_errno(saved));
  return moved;
}

struct Pipe {
  int read = -1;
  int write = -1;
  ~Pipe() {
    close_descriptor(read);
    close_descriptor(write);
  }
};

std::expected<void, OsError> open_pipe(Pipe& pipe) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::unexpected(OsError::last());
  auto read = above_standard(fds[0]);
  auto write = above_standard(fds[1]);
  if (!read || !write) {
    if (read) ::close(*read);
    if (write) ::close(*write);
    return std::unexpected(!read ? read.error() : write.error());
  }
  pipe.read = *read;
  pipe.write = *write;
  return {};
}

class FileActions {
 public:
  FileActions() { ok_ = ::posix_spawn_file_actions_init(&actions_) == 0; }
  ~FileActions() {
    if (ok_) ::posix_spawn_file_actions_destroy(&actions_);
  }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;
  [[nodiscard]] bool ok() const { return ok_; }
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_{};
  bool ok_ = false;
};

class SpawnAttributes {
 public:
  SpawnAttributes() { ok_ = ::posix_spawnattr_init(&attributes_) == 0; }
  ~SpawnAttributes() {
    if (ok_) ::posix_spawnattr_destroy(&attributes_);
  }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  [[nodiscard]] bool ok() const { return ok_; }
  posix_spawnattr_t* get() { return &attributes_; }

 private:
  posix_spawnattr_t attributes_{};
  bool ok_ = false;
};

// The caller's copy of a descriptor passed on to a child; closed once the child is started.
struct Fd3Copy {
  int fd = -1;
  Fd3Copy() = default;
  Fd3Copy(const Fd3Copy&) = delete;
  Fd3Copy& operator=(const Fd3Copy&) = delete;
  ~Fd3Copy() { close_descriptor(fd); }
};

std::optional<std::uint32_t> exit_code_of(int status) {
  if (WIFEXITED(status)) return static_cast<std::uint32_t>(WEXITSTATUS(status));
  return std::nullopt;  // ended by a signal: no exit code
}

}  // namespace

// ---- pipes ---------------------------------------------------------------------------------

PipeReader::PipeReader(PipeReader&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

PipeReader& PipeReader::operator=(PipeReader&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

void PipeReader::close() { close_descriptor(fd_); }

std::expected<std::size_t, OsError> PipeReader::read(std::span<std::uint8_t> buffer) {
  if (fd_ < 0) return 0;
  for (;;) {
    const ssize_t n = ::read(fd_, buffer.data(), buffer.size());
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return std::unexpected(OsError::last());
  }
}

std::expected<void, OsError> read_both_to_end(PipeReader& out, PipeReader& err,
                                              const std::function<void(int, std::span<const std::uint8_t>)>& on_chunk) {
  std::uint8_t buffer[kChunk];
  PipeReader* readers[2] = {&out, &err};
  std::expected<void, OsError> result;
  while (out.is_open() || err.is_open()) {
    pollfd fds[2];
    nfds_t count = 0;
    int stream_of[2];
    for (int i = 0; i < 2; ++i) {
      if (!readers[i]->is_open()) continue;
      fds[count] = pollfd{readers[i]->fd_, POLLIN, 0};
      stream_of[count] = i;
      ++count;
    }
    const int ready = ::poll(fds, count, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      result = std::unexpected(OsError::last());
      break;
    }
    for (nfds_t j = 0; j < count; ++j) {
      if (fds[j].revents == 0) continue;
      PipeReader& reader = *readers[stream_of[j]];
      const auto n = reader.read(buffer);
      if (!n) {
        result = std::unexpected(n.error());
        break;
      }
      if (*n == 0) {
        reader.close();
        continue;
      }
      on_chunk(stream_of[j] + 1, std::span<const std::uint8_t>(buffer, *n));
    }
    if (!result) break;
  }
  out.close();
  err.close();
  return result;
}

// ---- the life of a child -------------------------------------------------------------------

bool ChildLife::signal_if_unreaped(void (*signal)(std::uint32_t)) {
  const std::lock_guard lock(mutex_);
  if (reaped_) return false;
  signal(id_);
  return true;
}

bool ChildLife::reaped() const {
  const std::lock_guard lock(mutex_);
  return reaped_;
}

std::expected<std::optional<std::uint32_t>, OsError> ChildLife::wait() {
  const auto pid = static_cast<pid_t>(id_);
  // Wait for the end without reaping: until the reap below, the number stays this child's, so a
  // group kill under the guard cannot reach anyone else.
  for (;;) {
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) == 0) break;
    if (errno == EINTR) continue;
    const int saved = errno;
    const std::lock_guard lock(mutex_);
    if (reaped_) return exit_code_;  // another waiter reaped it meanwhile
    return std::unexpected(OsError::from_errno(saved));
  }
  const std::lock_guard lock(mutex_);
  if (reaped_) return exit_code_;
  int status = 0;
  pid_t got;
  do {
    got = ::waitpid(pid, &status, 0);
  } while (got < 0 && errno == EINTR);
  if (got != pid) return std::unexpected(OsError::last());
  reaped_ = true;
  exit_code_ = exit_code_of(status);
  return exit_code_;
}

ChildLife::~ChildLife() {
  bool reaped;
  {
    const std::lock_guard lock(mutex_);
    reaped = reaped_;
  }
  if (reaped) return;
  signal_if_unreaped([](std::uint32_t id) { kill_process_group(id); });
  (void)wait();
}

// ---- starting and ending -------------------------------------------------------------------

std::expected<SpawnedChild, OsError> spawn_hidden(const ProcessRequest& request) {
  // The working folder changes before the program is looked up, so the program's path is fixed
  // against the current folder first.
  std::error_code ec;
  const auto program = request.program.is_absolute() ? request.program : std::filesystem::absolute(request.program, ec);
  if (ec) return std::unexpected(OsError::from_errno(ec.value()));

  Pipe out;
  Pipe err;
  if (auto opened = open_pipe(out); !opened) return std::unexpected(opened.error());
  if (auto opened = open_pipe(err); !opened) return std::unexpected(opened.error());

  // The descriptor passed on as 3 goes through a copy numbered above 3 that the child's file
  // actions duplicate onto 3 after the standard three are in place (a pipe end numbered 3 has
  // been duplicated onto 1 or 2 by then). The copy is never 3 itself: a duplication onto its
  // own number would leave its close-on-exec mark in place on some systems.
  Fd3Copy passed;
  if (request.descriptor_3 >= 0) {
    passed.fd = ::fcntl(request.descriptor_3, F_DUPFD_CLOEXEC, 4);
    if (passed.fd < 0) return std::unexpected(OsError::last());
  }

  FileActions actions;
  SpawnAttributes attributes;
  if (!actions.ok() || !attributes.ok()) return std::unexpected(OsError::from_errno(ENOMEM));
  int rc = ::posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
  if (rc == 0) rc = ::posix_spawn_file_actions_adddup2(actions.get(), out.write, 1);
  if (rc == 0) rc = ::posix_spawn_file_actions_adddup2(actions.get(), err.write, 2);
  if (rc == 0 && passed.fd >= 0) rc = ::posix_spawn_file_actions_adddup2(actions.get(), passed.fd, 3);
  // Nothing else above the standard three (and the passed 3) reaches the tool, whoever opened it
  // and however: a descriptor that some other part of the process opened without close-on-exec
  // (a library, a sanitizer's runtime) at the moment of the start would otherwise be inherited.
  if (rc == 0) rc = ::posix_spawn_file_actions_addclosefrom_np(actions.get(), passed.fd >= 0 ? 4 : 3);
  if (rc == 0 && !request.working_folder.empty()) {
    rc = ::posix_spawn_file_actions_addchdir_np(actions.get(), request.working_folder.c_str());
  }
  sigset_t empty_mask;
  sigset_t defaults;
  ::sigemptyset(&empty_mask);
  ::sigemptyset(&defaults);
  ::sigaddset(&defaults, SIGTERM);
  ::sigaddset(&defaults, SIGPIPE);
  if (rc == 0) rc = ::posix_spawnattr_setsigmask(attributes.get(), &empty_mask);
  if (rc == 0) rc = ::posix_spawnattr_setsigdefault(attributes.get(), &defaults);
  // A session of its own: a process group whose number is the child's own (the group kill ends
  // it with everything it starts) and no controlling terminal, even when the service runs in a
  // console.
  if (rc == 0) {
    rc = ::posix_spawnattr_setflags(attributes.get(),
                                    POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  }
  if (rc != 0) return std::unexpected(OsError::from_errno(rc));

  std::vector<std::string> texts;
  texts.reserve(request.arguments.size() + 1);
  texts.push_back(program.string());
  texts.insert(texts.end(), request.arguments.begin(), request.arguments.end());
  std::vector<char*> argv;
  argv.reserve(texts.size() + 1);
  for (auto& text : texts) argv.push_back(text.data());
  argv.push_back(nullptr);

  pid_t pid = 0;
  rc = ::posix_spawn(&pid, program.c_str(), actions.get(), attributes.get(), argv.data(), environ);
  if (rc != 0) return std::unexpected(OsError::from_errno(rc));

  SpawnedChild child;
  child.life = std::make_shared<ChildLife>(static_cast<std::uint32_t>(pid));
  child.stdout_pipe = PipeReader(std::exchange(out.read, -1));
  child.stderr_pipe = PipeReader(std::exchange(err.read, -1));
  return child;  // the write ends close here: the child holds the only copies
}

bool may_signal_process_group(std::uint32_t process_id) {
  if (process_id <= 1) return false;
  if (process_id > static_cast<std::uint32_t>(std::numeric_limits<pid_t>::max())) return false;
  const auto pid = static_cast<pid_t>(process_id);
  return pid != ::getpid() && pid != ::getpgrp();
}

bool kill_process_group(std::uint32_t process_id) {
  if (!may_signal_process_group(process_id)) return false;
  return ::kill(-static_cast<pid_t>(process_id), SIGKILL) == 0;
}

}  // namespace kavel_lib::platform
