// The program's console window: opening one and setting its title (AllocConsole,
// SetConsoleTitleW).
//
// On Linux a program started from a shell already writes to its terminal, so opening a
// console does nothing; the title is the terminal's window title, set with the xterm escape
// "ESC ] 0 ; title BEL" on standard output, and only when standard output is a terminal (a
// file or pipe never gets the escape).
#pragma once

#include <expected>
#include <functional>
#include <string_view>

#include "platform/errors.h"

namespace kavel_lib::platform {

// Gives the process a console; on Linux there is nothing to open and it succeeds.
std::expected<void, WinError> alloc_console();

// Sets the console window's title. Fails with 6 (invalid handle) when standard output is not a
// terminal. Control characters of the title are left out of the escape.
std::expected<void, WinError> set_console_title(std::string_view title);

// The console's end (SetConsoleCtrlHandler's Ctrl+C, close and shut-down events): on Linux
// SIGTERM, SIGINT and SIGHUP. They are blocked in the calling thread, so every thread it starts
// afterwards inherits the block, and a thread of their own waits for them; the first one that
// comes runs `before_end` on that thread and then ends the process by the same signal, as its
// default action would have. Call it before any other thread is started. Fails with 1054 when
// the waiting thread cannot be started (the signals are then left as they were).
std::expected<void, WinError> end_console_after(std::function<void()> before_end);

}  // namespace kavel_lib::platform
