// Noise-name filter: decides from a file name alone whether a deleted-file candidate is worth
// showing, dropping the short-lived files of compilers, build tools and caches.
#pragma once

#include <string_view>

namespace kavel_lib::engine::windows {

// True for a plausible user file name, false for noise. `relaxed` selects the shorter rule set.
// Pure and lock-free: safe on any thread.
bool is_plausible_file_name(std::string_view name, bool relaxed);

}  // namespace kavel_lib::engine::windows
