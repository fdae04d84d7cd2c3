#include "ipc/server_io.h"

#include <array>
#include <cstdint>

#include "ipc/framing.h"

namespace kavel_lib::ipc {

namespace {

// A failed call shows as the Windows error of its code; an error of our own shows its text.
std::string call_error_text(const platform::OsError& error) {
  if (const auto code = error.code()) return platform::WinError{*code}.display();
  return error.display();
}

}  // namespace

std::expected<void, std::string> read_exact_pipe(platform::PipeConnection& pipe, std::span<char> buffer) {
  while (!buffer.empty()) {
    auto count = pipe.read_some(buffer);
    if (!count) return std::unexpected(call_error_text(count.error()));
    if (*count == 0) return std::unexpected(std::string("unexpected EOF"));
    buffer = buffer.subspan(std::min(*count, buffer.size()));
  }
  return {};
}

std::expected<void, std::string> write_all_pipe(platform::PipeConnection& pipe, std::string_view bytes,
                                                int descriptor) {
  while (!bytes.empty()) {
    auto written = pipe.write_some(bytes, descriptor);
    if (!written) return std::unexpected(call_error_text(written.error()));
    if (*written == 0) return std::unexpected(std::string("write returned 0"));
    descriptor = -1;  // it went with the first piece
    bytes.remove_prefix(std::min(*written, bytes.size()));
  }
  return {};
}

std::expected<void, std::string> write_response(platform::PipeConnection& pipe, const IpcResponse& response,
                                                int descriptor) {
  auto encoded = serialize_ipc_response(response);
  if (!encoded) return std::unexpected(encoded.error().display());
  if (encoded->size() > kMaxFramePayload) return std::unexpected(std::string(kPayloadTooLarge));
  const auto length = static_cast<std::uint32_t>(encoded->size());
  const std::array<char, 4> header = {static_cast<char>(length & 0xFF), static_cast<char>((length >> 8) & 0xFF),
                                      static_cast<char>((length >> 16) & 0xFF),
                                      static_cast<char>((length >> 24) & 0xFF)};
  if (auto written = write_all_pipe(pipe, std::string_view(header.data(), header.size()), descriptor); !written) {
    return written;
  }
  if (auto written = write_all_pipe(pipe, *encoded); !written) return written;
  if (auto flushed = pipe.flush(); !flushed) return std::unexpected(call_error_text(flushed.error()));
  return {};
}

}  // namespace kavel_lib::ipc
