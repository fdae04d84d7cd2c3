// The client registry file "service_ui_clients.txt" in the application data folder: the
// process numbers of the client processes that have used the service, one per line.
//
// As written: the numbers in decimal joined by "\n", no line feed after the last; an empty list
// is never written (the file is removed instead). As read: lines split at line feeds (a
// carriage return before the line feed belongs to the line end), each trimmed of white space
// and read as an unsigned 32-bit decimal number (an optional "+", one or more digits, at most
// 4294967295, leading zeros allowed); a line that does not read so is skipped. Order and
// duplicates are kept.
//
// Every failure here is silent: reading gives an empty list, writing gives up.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>
#include <vector>

namespace kavel_lib::ipc {

// app_data_dir() / "service_ui_clients.txt".
std::filesystem::path ui_clients_file_path();

// The numbers of a registry file's text (already known to be UTF-8).
std::vector<std::uint32_t> parse_ui_clients(std::string_view text);

// The numbers in the file; empty when it is missing, unreadable or not valid UTF-8.
std::vector<std::uint32_t> read_ui_clients_file();

// The numbers whose process is still alive, in their order.
std::vector<std::uint32_t> prune_dead_ui_clients(const std::vector<std::uint32_t>& pids);

// Writes the list (creating the folder), or removes the file when the list is empty.
void write_ui_clients_file(const std::vector<std::uint32_t>& pids);

// Adds the current process to the file once per process (the first call only, whether its
// write succeeds or not), dropping the numbers of processes that have ended.
void register_ui_client();

// Whether a process with this number lives and may be opened by this process.
bool process_is_alive(std::uint32_t pid);

}  // namespace kavel_lib::ipc
