// Where the scanner's text goes: standard output by default, a capture in tests.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

namespace kavel_lib::scanner {

using TextSink = std::function<void(std::string_view)>;

// Writes the bytes to standard output as they are (UTF-8) and flushes.
TextSink stdout_sink();

// The progress callback handed to every phase: (step, total, text).
using ProgressFn = std::function<void(std::uint64_t, std::uint64_t, std::string_view)>;

// Prints "  [{i}/{n}] {text}\n" when i is a multiple of 5000 (0 included) or the last step.
void report_progress(const TextSink& out, std::uint64_t i, std::uint64_t n, std::string_view text);

// report_progress bound to a sink.
ProgressFn progress_to(const TextSink& out);

}  // namespace kavel_lib::scanner
