// Runs of one outside tool, hidden, with its output captured, ended within a time-out.
//
// Preview mode keeps at most `max_bytes` bytes of the tool's standard output and ends the tool's
// whole process tree as soon as it has them, or when the time-out passes. Checked mode lets the
// tool run to its end (within the time-out), captures its output and turns a non-zero exit code,
// or an end by a signal, into an error.
//
// Each mode also has a variant that writes standard output into a file the caller opened
// (OutputSink) instead of memory, so that a run's memory does not grow with the tool's output.
// Standard error is kept only to its last 64 KiB (it serves the failure message).
//
// Every error is an EngineError of variant Message whose text is formatted in full:
// "failed to start {}: {}", "{} produced no preview data", "{} failed: {}", "{} timed out",
// "{} worker disconnected", "{} failed (code {}): {}" with the tool's label first.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "platform/errors.h"
#include "service/engine_error.h"
#include "service/tool_config.h"

namespace kavel_lib::service {

// How much of standard error a run keeps: its last bytes.
inline constexpr std::size_t kStderrKept = 64 * 1024;
// The grace read of the preview after its time-out has ended the tool.
inline constexpr std::chrono::nanoseconds kPreviewGrace{800'000'000};

struct ToolOutput {
  std::optional<std::uint32_t> status;  // the exit code; nothing when a signal ended the tool
  std::vector<std::uint8_t> stdout;     // all of standard output
  std::vector<std::uint8_t> stderr;     // the last kStderrKept bytes of standard error
};

// The result of a checked run that wrote standard output into a file.
struct ToolFileOutput {
  std::optional<std::uint32_t> status;
  std::uint64_t stdout_length = 0;   // bytes written to the file
  std::vector<std::uint8_t> stderr;  // the last kStderrKept bytes of standard error
};

// Where a file-writing run puts standard output: the destination the caller opened. write_all
// takes every byte or fails. It is called from the run's worker thread, never after the run
// returned.
class OutputSink {
 public:
  virtual ~OutputSink() = default;
  virtual std::expected<void, platform::OsError> write_all(std::span<const std::uint8_t> bytes) = 0;
};

// Why a file-writing run failed: the tool's failure, or the destination's write error. Its
// display text is the EngineError's display text, or the write error's own display text.
struct ToolFileError {
  std::variant<EngineError, platform::OsError> cause;
  [[nodiscard]] std::string display() const;
};

// The first bytes of the tool's standard output, at most max_bytes of them (never empty).
std::expected<std::vector<std::uint8_t>, EngineError> run_tool_preview(const LocatedTool& tool,
                                                                       std::span<const std::string> arguments,
                                                                       std::uint64_t max_bytes,
                                                                       std::chrono::nanoseconds timeout);

// The finished run whatever its exit code.
std::expected<ToolOutput, EngineError> run_tool_output(const LocatedTool& tool, std::span<const std::string> arguments,
                                                       std::chrono::nanoseconds timeout);

// The finished run with exit code 0.
std::expected<ToolOutput, EngineError> run_tool_checked(const LocatedTool& tool, std::span<const std::string> arguments,
                                                        std::chrono::nanoseconds timeout);

// run_tool_preview writing the bytes into `sink`: gives how many it wrote (never 0). A write
// failure ends the tool and comes back as the write error; what was written stays written.
// `descriptor_3`, when not -1, is a descriptor the tool gets as its descriptor 3 ("/dev/fd/3").
std::expected<std::uint64_t, ToolFileError> run_tool_preview_to_file(const LocatedTool& tool,
                                                                     std::span<const std::string> arguments,
                                                                     std::uint64_t max_bytes,
                                                                     std::chrono::nanoseconds timeout,
                                                                     OutputSink& sink, int descriptor_3 = -1);

// run_tool_checked writing standard output into `sink`. A write failure ends the tool and comes
// back as the write error; what was written stays written. `descriptor_3` as above.
std::expected<ToolFileOutput, ToolFileError> run_tool_checked_to_file(const LocatedTool& tool,
                                                                      std::span<const std::string> arguments,
                                                                      std::chrono::nanoseconds timeout,
                                                                      OutputSink& sink, int descriptor_3 = -1);

}  // namespace kavel_lib::service
