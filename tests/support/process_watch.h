// Helpers for tests that start processes: executable scripts, and whether a process is gone.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>

namespace kavel_test {

// Writes an executable "#!/bin/sh" script with the given body and gives its path.
std::filesystem::path write_script(const std::filesystem::path& path, const std::string& body);

// Whether the process has ended (no longer exists, or is a zombie nobody reaped yet).
bool process_ended(std::uint32_t pid);

// Waits up to `limit` for process_ended.
bool wait_process_ended(std::uint32_t pid, std::chrono::milliseconds limit);

// Waits up to `limit` for a file to exist and hold a line; gives its first line, or "".
std::string wait_file_line(const std::filesystem::path& path, std::chrono::milliseconds limit);

}  // namespace kavel_test

namespace kavel_test {

// What kListDescriptorsCommand prints in a tool started hidden: the standard three, plus 3,
// which the shell's own reading of the folder takes; one number a line, sorted as texts (as the
// shell sorts a glob). Nothing else of the starting process reaches the tool, whether it was
// opened with close-on-exec or not.
std::string expected_descriptor_listing();

// A shell command that prints the descriptors its shell holds, one number a line. No pipeline:
// the shell would hold the pipe's ends itself while its members run.
inline constexpr const char* kListDescriptorsCommand = "for f in /proc/$$/fd/*; do echo ${f##*/}; done";

}  // namespace kavel_test
