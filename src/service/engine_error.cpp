#include "service/engine_error.h"

#include <fmt/format.h>

#include <iterator>

namespace kavel_lib::service {

namespace {
template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;
}  // namespace

void fmt_engine_error(const EngineError& error, std::string& sink) {
  auto out = std::back_inserter(sink);
  std::visit(Overloaded{
                 [&](const EngineError::Io& e) { fmt::format_to(out, "io error: {}", e.error.display()); },
                 [&](const EngineError::Image& e) { fmt::format_to(out, "image error: {}", e.text); },
                 [&](const EngineError::TaskNotFound& e) { fmt::format_to(out, "task not found: {}", e.text); },
                 [&](const EngineError::FileNotFound& e) { fmt::format_to(out, "file not found: {}", e.number); },
                 [&](const EngineError::InvalidSource& e) { fmt::format_to(out, "invalid source: {}", e.text); },
                 [&](const EngineError::ToolNotFound& e) { fmt::format_to(out, "tool not found: {}", e.text); },
                 [&](const EngineError::ScanCancelled&) { sink += "scan cancelled"; },
                 [&](const EngineError::Message& e) { sink += e.text; },
             },
             error.value());
}

std::string EngineError::display() const {
  std::string text;
  fmt_engine_error(*this, text);
  return text;
}

}  // namespace kavel_lib::service
