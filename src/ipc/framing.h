// The frame that carries each message on the service pipe, both ways:
//
//   offset 0, 4 bytes  payload length N, unsigned, little-endian, at most 0x1000000 (16 MiB)
//   offset 4, N bytes  the payload (UTF-8 JSON of one message)
//
// The writer refuses a longer payload before writing anything and writes the length and then
// the payload, each until all its bytes are taken. The reader refuses a larger N before
// reading on and collects the payload in pieces as the bytes arrive, so a length field alone
// never makes it reserve the whole 16 MiB.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "platform/errors.h"
#include "platform/local_pipe.h"

namespace kavel_lib::ipc {

inline constexpr std::uint32_t kMaxFramePayload = 0x1000000;
inline constexpr std::string_view kPayloadTooLarge = "payload too large";

struct FrameError {
  enum class Kind { PayloadTooLarge, Io };
  Kind kind = Kind::Io;
  platform::OsError io;  // the failure, for Io

  // "payload too large", or the I/O error's display text.
  [[nodiscard]] std::string display() const;
};

// Writes all bytes; a write that takes nothing fails with "failed to write whole buffer". A
// descriptor (>= 0) travels with the first bytes written.
std::expected<void, platform::OsError> write_all(platform::PipeConnection& pipe, std::string_view bytes,
                                                 int descriptor = -1);

// Fills the buffer; an early end of the data fails with "failed to fill whole buffer".
std::expected<void, platform::OsError> read_exact(platform::PipeConnection& pipe, std::span<char> buffer);

// Writes one frame. A descriptor (>= 0) travels with the length bytes; the caller keeps it.
std::expected<void, FrameError> send_frame(platform::PipeConnection& pipe, std::string_view payload,
                                           int descriptor = -1);

// Reads one frame's payload. A descriptor that came with it waits in the connection
// (PipeConnection::take_received_descriptor).
std::expected<std::string, FrameError> receive_frame(platform::PipeConnection& pipe);

}  // namespace kavel_lib::ipc
