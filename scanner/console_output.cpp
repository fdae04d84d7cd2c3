#include "scanner/console_output.h"

#include <cstdio>

#include <fmt/format.h>

namespace kavel_lib::scanner {

TextSink stdout_sink() {
  return [](std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  };
}

void report_progress(const TextSink& out, std::uint64_t i, std::uint64_t n, std::string_view text) {
  if (i % 5000 == 0 || (n > 0 && i == n - 1)) out(fmt::format("  [{}/{}] {}\n", i, n, text));
}

ProgressFn progress_to(const TextSink& out) {
  return [out](std::uint64_t i, std::uint64_t n, std::string_view text) { report_progress(out, i, n, text); };
}

}  // namespace kavel_lib::scanner
