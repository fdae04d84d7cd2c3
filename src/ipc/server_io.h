// The service's pipe input and output: reading an exact number of bytes, and writing one reply
// as one frame. Errors are texts: the Windows error text of a failed call, "unexpected EOF",
// "write returned 0", "payload too large", or the JSON library's text.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "ipc/messages.h"
#include "platform/local_pipe.h"

namespace kavel_lib::ipc {

// Fills the buffer; a read of 0 bytes (the client went away) is "unexpected EOF".
std::expected<void, std::string> read_exact_pipe(platform::PipeConnection& pipe, std::span<char> buffer);

// Writes every byte; a descriptor (>= 0) travels with the first of them.
std::expected<void, std::string> write_all_pipe(platform::PipeConnection& pipe, std::string_view bytes,
                                                int descriptor = -1);

// Encodes the reply, writes it as one frame (the descriptor, if any, with its length field) and
// flushes. A reply longer than 0x1000000 bytes is "payload too large" and nothing is written.
std::expected<void, std::string> write_response(platform::PipeConnection& pipe, const IpcResponse& response,
                                                int descriptor = -1);

}  // namespace kavel_lib::ipc
