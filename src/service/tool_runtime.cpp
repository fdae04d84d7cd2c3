#include "service/tool_runtime.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/process.h"
#include "service/one_shot_channel.h"
#include "service/utf8_text.h"
#include "system/child_processes.h"

namespace kavel_lib::service {

namespace {

using platform::ChildLife;
using platform::OsError;
using platform::PipeReader;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kReadChunk = 8192;

[[noreturn]] void fatal_stop(const char* text) {
  std::fprintf(stderr, "%s\n", text);
  std::abort();
}

// Starts an unnamed worker thread that nobody joins; failing to start one is a fatal stop.
template <class Body>
void spawn_detached(Body&& body) {
  try {
    std::thread(std::forward<Body>(body)).detach();
  } catch (const std::system_error&) {
    fatal_stop("failed to spawn thread");
  }
}

// Keeps the last `limit` bytes of everything appended.
class TailBuffer {
 public:
  explicit TailBuffer(std::size_t limit) : limit_(limit) {}
  void append(std::span<const std::uint8_t> bytes) {
    if (bytes.size() >= limit_) {
      data_.assign(bytes.end() - static_cast<std::ptrdiff_t>(limit_), bytes.end());
      return;
    }
    data_.insert(data_.end(), bytes.begin(), bytes.end());
    if (data_.size() > 2 * limit_) trim();
  }
  Bytes take() {
    if (data_.size() > limit_) trim();
    return std::move(data_);
  }

 private:
  void trim() { data_.erase(data_.begin(), data_.end() - static_cast<std::ptrdiff_t>(limit_)); }
  std::size_t limit_;
  Bytes data_;
};

// The caller's destination as the run and its worker thread share it. The worker writes through
// it; once the run has closed it, nothing more reaches the caller's sink, so the sink is never
// touched after the run returned.
class SinkGate {
 public:
  enum class Write { Taken, Failed, Closed };
  struct Final {
    std::uint64_t written = 0;
    std::optional<OsError> error;
  };

  explicit SinkGate(OutputSink& sink) : sink_(&sink) {}

  Write write(std::span<const std::uint8_t> bytes) {
    const std::lock_guard lock(mutex_);
    if (sink_ == nullptr) return Write::Closed;
    if (error_) return Write::Failed;
    if (auto written = sink_->write_all(bytes); !written) {
      error_ = written.error();
      return Write::Failed;
    }
    written_ += bytes.size();
    return Write::Taken;
  }

  // Waits for a write in progress; afterwards every write is dropped.
  Final close() {
    const std::lock_guard lock(mutex_);
    sink_ = nullptr;
    return Final{written_, error_};
  }

 private:
  std::mutex mutex_;
  OutputSink* sink_;
  std::uint64_t written_ = 0;
  std::optional<OsError> error_;
};

EngineError message(std::string text) { return EngineError::message(std::move(text)); }

struct StartedTool {
  std::shared_ptr<ChildLife> life;
  PipeReader out;
  PipeReader err;
};

// Starts the tool hidden, in its own folder, with both outputs piped; its number is recorded in
// the child-process registry.
std::expected<StartedTool, EngineError> start_tool(const LocatedTool& tool, std::span<const std::string> arguments,
                                                   int descriptor_3 = -1) {
  platform::ProcessRequest request;
  request.program = tool.path;
  request.arguments.assign(arguments.begin(), arguments.end());
  request.working_folder = tool.path.parent_path();
  request.descriptor_3 = descriptor_3;
  auto child = system::spawn_tracked(request);
  if (!child) return std::unexpected(message(fmt::format("failed to start {}: {}", tool.label, child.error().display())));
  return StartedTool{std::move(child->life), std::move(child->stdout_pipe), std::move(child->stderr_pipe)};
}

// Ends the tool's process tree while its number is still its own, and forgets the number.
void end_tree(ChildLife& life) {
  if (life.id() == 0) return;
  life.signal_if_unreaped(&system::kill_process_tree);
  system::untrack_child(life.id());
}

// Reads the pipe in chunks of 8192 bytes until max_bytes are taken or the pipe ends (a read
// error ends it too), handing each piece, cut to the cap, to take(); take() false stops early.
template <class Take>
void read_capped(PipeReader& pipe, std::uint64_t max_bytes, Take&& take) {
  std::array<std::uint8_t, kReadChunk> chunk;
  std::uint64_t total = 0;
  while (total < max_bytes) {
    const auto n = pipe.read(chunk);
    if (!n || *n == 0) break;
    const auto keep = static_cast<std::size_t>(std::min<std::uint64_t>(*n, max_bytes - total));
    if (!take(std::span<const std::uint8_t>(chunk.data(), keep))) break;
    total += keep;
  }
  pipe.close();
}

void pipe_reader_thread(OneShotSender<Bytes> sender, std::uint64_t max_bytes, PipeReader pipe) {
  Bytes buffer;
  read_capped(pipe, max_bytes, [&](std::span<const std::uint8_t> bytes) {
    buffer.insert(buffer.end(), bytes.begin(), bytes.end());
    return true;
  });
  sender.send(std::move(buffer));
}

// The preview reader of a file-writing run: the bytes go through the gate; the value sent only
// says that reading is over.
void pipe_to_file_thread(OneShotSender<bool> sender, std::uint64_t max_bytes, PipeReader pipe,
                         std::shared_ptr<SinkGate> gate) {
  read_capped(pipe, max_bytes,
              [&](std::span<const std::uint8_t> bytes) { return gate->write(bytes) == SinkGate::Write::Taken; });
  sender.send(true);
}

// The preview's wait: the reader's value, the time-out (then the tree is ended and the reader
// gets a short grace), or the reader gone. Afterwards the tree is ended, the child reaped and
// its number forgotten, whatever happened.
template <class T>
std::optional<T> await_preview(OneShotReceiver<T>& receiver, ChildLife& life, std::chrono::nanoseconds timeout) {
  std::optional<T> value;
  switch (receiver.receive_for(timeout, value)) {
    case Received::Value:
      break;
    case Received::TimedOut:
      end_tree(life);
      (void)receiver.receive_for(kPreviewGrace, value);
      break;
    case Received::Disconnected:
      end_tree(life);
      break;
  }
  end_tree(life);
  (void)life.wait();
  system::untrack_child(life.id());
  return value;
}

using WaitOutcome = std::expected<ToolOutput, OsError>;

// Reads both pipes to their ends (standard output into memory, or through the gate when there
// is one), then reaps the child: only after both pipes ended, or the group was killed, so the
// time-out road never signals a number that was already given back.
void child_waiter_thread(OneShotSender<WaitOutcome> sender, std::shared_ptr<ChildLife> life, PipeReader out,
                         PipeReader err, std::shared_ptr<SinkGate> gate) {
  ToolOutput output;
  TailBuffer err_tail(kStderrKept);
  bool killed = false;
  const auto drained = platform::read_both_to_end(out, err, [&](int stream, std::span<const std::uint8_t> bytes) {
    if (stream == 2) {
      err_tail.append(bytes);
    } else if (!gate) {
      output.stdout.insert(output.stdout.end(), bytes.begin(), bytes.end());
    } else if (gate->write(bytes) == SinkGate::Write::Failed && !killed) {
      // The destination refuses more: stop the tool rather than let it run on for nothing.
      killed = life->signal_if_unreaped(&system::kill_process_tree);
    }
  });
  if (!drained) life->signal_if_unreaped(&system::kill_process_tree);
  const auto code = life->wait();
  system::untrack_child(life->id());
  if (!drained) return sender.send(std::unexpected(drained.error()));
  if (!code) return sender.send(std::unexpected(code.error()));
  output.status = *code;
  output.stderr = err_tail.take();
  sender.send(std::move(output));
}

// Starts the tool and its waiter, and waits for the waiter's outcome within the time-out.
// Nothing in the result: the error is set.
std::optional<ToolOutput> await_checked(const LocatedTool& tool, std::span<const std::string> arguments,
                                        std::chrono::nanoseconds timeout, std::shared_ptr<SinkGate> gate,
                                        std::optional<EngineError>& error, int descriptor_3 = -1) {
  auto started = start_tool(tool, arguments, descriptor_3);
  if (!started) {
    error = started.error();
    return std::nullopt;
  }
  auto [sender, receiver] = one_shot_channel<WaitOutcome>();
  spawn_detached([sender = std::move(sender), life = started->life, out = std::move(started->out),
                  err = std::move(started->err), gate = std::move(gate)]() mutable {
    child_waiter_thread(std::move(sender), std::move(life), std::move(out), std::move(err), std::move(gate));
  });
  std::optional<WaitOutcome> outcome;
  switch (receiver.receive_for(timeout, outcome)) {
    case Received::Value:
      if (!*outcome) {
        error = message(fmt::format("{} failed: {}", tool.label, outcome->error().display()));
        return std::nullopt;
      }
      return std::move(**outcome);
    case Received::TimedOut:
      end_tree(*started->life);
      error = message(fmt::format("{} timed out", tool.label));
      return std::nullopt;
    case Received::Disconnected:
      end_tree(*started->life);
      error = message(fmt::format("{} worker disconnected", tool.label));
      return std::nullopt;
  }
  return std::nullopt;
}

// "{} failed (code {}): {}": the code as Some(n) with n read as signed 32-bit, or None when a
// signal ended the tool; standard error decoded as UTF-8 and trimmed.
EngineError checked_failure(const LocatedTool& tool, std::optional<std::uint32_t> status, const Bytes& err) {
  const std::string code = status ? fmt::format("Some({})", static_cast<std::int32_t>(*status)) : std::string("None");
  const std::string text = utf8_lossy(std::string_view(reinterpret_cast<const char*>(err.data()), err.size()));
  return message(fmt::format("{} failed (code {}): {}", tool.label, code, trim_unicode_whitespace(text)));
}

}  // namespace

std::string ToolFileError::display() const {
  if (const auto* engine = std::get_if<EngineError>(&cause)) return engine->display();
  return std::get<OsError>(cause).display();
}

std::expected<Bytes, EngineError> run_tool_preview(const LocatedTool& tool, std::span<const std::string> arguments,
                                                   std::uint64_t max_bytes, std::chrono::nanoseconds timeout) {
  auto started = start_tool(tool, arguments);
  if (!started) return std::unexpected(started.error());
  auto [sender, receiver] = one_shot_channel<Bytes>();
  spawn_detached([sender = std::move(sender), max_bytes, pipe = std::move(started->out)]() mutable {
    pipe_reader_thread(std::move(sender), max_bytes, std::move(pipe));
  });
  auto bytes = await_preview(receiver, *started->life, timeout).value_or(Bytes{});
  if (bytes.empty()) return std::unexpected(message(fmt::format("{} produced no preview data", tool.label)));
  return bytes;
}

std::expected<ToolOutput, EngineError> run_tool_output(const LocatedTool& tool, std::span<const std::string> arguments,
                                                       std::chrono::nanoseconds timeout) {
  std::optional<EngineError> error;
  auto output = await_checked(tool, arguments, timeout, nullptr, error);
  if (!output) return std::unexpected(*std::move(error));
  return *std::move(output);
}

std::expected<ToolOutput, EngineError> run_tool_checked(const LocatedTool& tool, std::span<const std::string> arguments,
                                                        std::chrono::nanoseconds timeout) {
  auto output = run_tool_output(tool, arguments, timeout);
  if (!output) return output;
  if (output->status != std::optional<std::uint32_t>(0)) {
    return std::unexpected(checked_failure(tool, output->status, output->stderr));
  }
  return output;
}

std::expected<std::uint64_t, ToolFileError> run_tool_preview_to_file(const LocatedTool& tool,
                                                                     std::span<const std::string> arguments,
                                                                     std::uint64_t max_bytes,
                                                                     std::chrono::nanoseconds timeout,
                                                                     OutputSink& sink, int descriptor_3) {
  auto started = start_tool(tool, arguments, descriptor_3);
  if (!started) return std::unexpected(ToolFileError{started.error()});
  auto gate = std::make_shared<SinkGate>(sink);
  auto [sender, receiver] = one_shot_channel<bool>();
  spawn_detached([sender = std::move(sender), max_bytes, pipe = std::move(started->out), gate]() mutable {
    pipe_to_file_thread(std::move(sender), max_bytes, std::move(pipe), std::move(gate));
  });
  (void)await_preview(receiver, *started->life, timeout);
  const auto final = gate->close();
  if (final.error) return std::unexpected(ToolFileError{*final.error});
  if (final.written == 0) {
    return std::unexpected(ToolFileError{message(fmt::format("{} produced no preview data", tool.label))});
  }
  return final.written;
}

std::expected<ToolFileOutput, ToolFileError> run_tool_checked_to_file(const LocatedTool& tool,
                                                                      std::span<const std::string> arguments,
                                                                      std::chrono::nanoseconds timeout,
                                                                      OutputSink& sink, int descriptor_3) {
  auto gate = std::make_shared<SinkGate>(sink);
  std::optional<EngineError> error;
  auto output = await_checked(tool, arguments, timeout, gate, error, descriptor_3);
  const auto final = gate->close();
  // A refused write is the cause of whatever followed (the tool was ended because of it).
  if (final.error) return std::unexpected(ToolFileError{*final.error});
  if (!output) return std::unexpected(ToolFileError{*std::move(error)});
  if (output->status != std::optional<std::uint32_t>(0)) {
    return std::unexpected(ToolFileError{checked_failure(tool, output->status, output->stderr)});
  }
  return ToolFileOutput{output->status, final.written, std::move(output->stderr)};
}

}  // namespace kavel_lib::service
