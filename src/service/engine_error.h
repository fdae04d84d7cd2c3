// The shared error type of the library: one variant per kind of failure, each with at most one
// payload and a display text of its own. The tool search and the tool runs return it; the
// request dispatcher turns it into the text of an error reply through its display text.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "platform/errors.h"

namespace kavel_lib::service {

class EngineError {
 public:
  // The variants, in the order of the type.
  struct Io {
    platform::OsError error;
  };
  struct Image {
    std::string text;  // the image library's own display text
  };
  struct TaskNotFound {
    std::string text;
  };
  struct FileNotFound {
    std::int64_t number = 0;
  };
  struct InvalidSource {
    std::string text;
  };
  struct ToolNotFound {
    std::string text;
  };
  struct ScanCancelled {};
  struct Message {
    std::string text;
  };
  using Value = std::variant<Io, Image, TaskNotFound, FileNotFound, InvalidSource, ToolNotFound, ScanCancelled, Message>;

  static EngineError io(platform::OsError error) { return EngineError(Io{std::move(error)}); }
  static EngineError image(std::string text) { return EngineError(Image{std::move(text)}); }
  static EngineError task_not_found(std::string text) { return EngineError(TaskNotFound{std::move(text)}); }
  static EngineError file_not_found(std::int64_t number) { return EngineError(FileNotFound{number}); }
  static EngineError invalid_source(std::string text) { return EngineError(InvalidSource{std::move(text)}); }
  static EngineError tool_not_found(std::string text) { return EngineError(ToolNotFound{std::move(text)}); }
  static EngineError scan_cancelled() { return EngineError(ScanCancelled{}); }
  static EngineError message(std::string text) { return EngineError(Message{std::move(text)}); }

  [[nodiscard]] const Value& value() const { return value_; }
  // The display text ("tool not found: {}", "scan cancelled", a Message's own text, ...).
  [[nodiscard]] std::string display() const;

 private:
  explicit EngineError(Value value) : value_(std::move(value)) {}
  Value value_;
};

// Appends the display text of `error` to `sink`.
void fmt_engine_error(const EngineError& error, std::string& sink);

}  // namespace kavel_lib::service
