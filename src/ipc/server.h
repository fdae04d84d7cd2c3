// The server half of the service pipe: the listener and the connection handling.
#pragma once

#include <atomic>
#include <expected>
#include <string>

namespace kavel_lib::ipc {

// Listens on the service pipe and answers one request per connection on a thread of its own,
// until the running flag is found false. The pipe's socket exists before the flag is first
// tested, so a stop that comes early still reaches the listener. Gives an error text when the
// listener cannot be set up.
std::expected<void, std::string> serve(std::atomic<bool>& running);

}  // namespace kavel_lib::ipc
