// Starting outside tools and ending them.
//
// A tool starts hidden: standard input from the null device, standard output and standard
// error each into a pipe whose read end the caller keeps, in a session and process group of its
// own (no controlling terminal), in the working folder asked for, with an empty signal mask and the default handling of SIGTERM and
// SIGPIPE whatever the caller blocks or ignores. Every descriptor opened here is close-on-exec,
// and the tool is started with every descriptor above the standard three closed, so nothing of
// the caller (a pipe of a run that another thread starts at the same moment included) leaks into
// it; the one exception is a descriptor the request passes on as descriptor 3.
//
// The process number of a child stays reserved for it until it is reaped. ChildLife keeps
// track of that, so a signal sent through it can never reach a process that later got the same
// number.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/errors.h"

namespace kavel_lib::platform {

struct ProcessRequest {
  std::filesystem::path program;        // a relative path is taken from the current folder
  std::vector<std::string> arguments;   // each passed unchanged, in order
  std::filesystem::path working_folder;  // empty: the caller's current folder
  // A descriptor of the caller's that the tool gets as its descriptor 3 ("/dev/fd/3"), the only
  // one above the standard three; -1: none. The caller keeps its own and closes it.
  int descriptor_3 = -1;
};

// The read end of a child's output pipe; one owner.
class PipeReader {
 public:
  PipeReader() = default;
  explicit PipeReader(int descriptor) : fd_(descriptor) {}
  ~PipeReader() { close(); }
  PipeReader(PipeReader&& other) noexcept;
  PipeReader& operator=(PipeReader&& other) noexcept;
  PipeReader(const PipeReader&) = delete;
  PipeReader& operator=(const PipeReader&) = delete;

  [[nodiscard]] bool is_open() const { return fd_ >= 0; }
  // Waits for bytes: the count read, 0 at end of file (or when the reader is closed).
  std::expected<std::size_t, OsError> read(std::span<std::uint8_t> buffer);
  void close();

 private:
  friend std::expected<void, OsError> read_both_to_end(
      PipeReader&, PipeReader&, const std::function<void(int, std::span<const std::uint8_t>)>&);
  int fd_ = -1;
};

// Reads two pipes at the same time until both reach end of file, so that neither can fill up
// and block the child; each chunk goes to on_chunk(1, bytes) for `out` or on_chunk(2, bytes) for
// `err`. Both readers are closed when it returns.
std::expected<void, OsError> read_both_to_end(PipeReader& out, PipeReader& err,
                                              const std::function<void(int, std::span<const std::uint8_t>)>& on_chunk);

// A started child as long as it may be signalled: shared by whoever may end it and whoever
// waits for it.
class ChildLife {
 public:
  explicit ChildLife(std::uint32_t process_id) : id_(process_id) {}
  // A child that nobody reaped is ended with its group and reaped here.
  ~ChildLife();
  ChildLife(const ChildLife&) = delete;
  ChildLife& operator=(const ChildLife&) = delete;

  [[nodiscard]] std::uint32_t id() const { return id_; }
  // Calls signal(id) while the child is known not to be reaped (the reaping waits meanwhile);
  // gives whether it did.
  bool signal_if_unreaped(void (*signal)(std::uint32_t));
  // Waits until the child has ended, without reaping it, then reaps it under the guard. Gives
  // its exit code, or nothing when a signal ended it. A second call gives the same result.
  std::expected<std::optional<std::uint32_t>, OsError> wait();
  [[nodiscard]] bool reaped() const;

 private:
  std::uint32_t id_;
  mutable std::mutex mutex_;
  bool reaped_ = false;
  std::optional<std::uint32_t> exit_code_;
};

struct SpawnedChild {
  std::shared_ptr<ChildLife> life;
  PipeReader stdout_pipe;
  PipeReader stderr_pipe;
};

// Starts the program as described at the top. A failure to start (the program missing or not
// executable, the working folder missing) is returned; nothing is left running.
std::expected<SpawnedChild, OsError> spawn_hidden(const ProcessRequest& request);

// Whether a number may be signalled as a process group: not 0 (the caller's own group), not 1
// (kill(-1) reaches every process), not beyond the largest process number (it would turn
// negative), and not the caller's own process or group.
bool may_signal_process_group(std::uint32_t process_id);

// Sends SIGKILL to the process group led by `process_id`; gives false when the number is refused
// (above) or the signal could not be sent.
bool kill_process_group(std::uint32_t process_id);

}  // namespace kavel_lib::platform
