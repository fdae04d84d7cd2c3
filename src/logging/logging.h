// The service's log file "app.log": folder choice, size limit, line format.
#pragma once

namespace kavel_lib::logging {

// Chooses the log folder, prepares and opens "app.log" and installs the global logger. Never
// fails towards its caller: when no file can be opened, every later record is dropped.
void init_logging();

}  // namespace kavel_lib::logging
