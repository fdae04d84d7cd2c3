#include "ipc/framing.h"

#include <algorithm>
#include <array>

namespace kavel_lib::ipc {

namespace {

// How much of a payload is read at a time: the buffer grows as the bytes come.
constexpr std::size_t kReadPiece = 64 * 1024;

}  // namespace

std::string FrameError::display() const {
  if (kind == Kind::PayloadTooLarge) return std::string(kPayloadTooLarge);
  return io.display();
}

std::expected<void, platform::OsError> write_all(platform::PipeConnection& pipe, std::string_view bytes,
                                                 int descriptor) {
  while (!bytes.empty()) {
    auto written = pipe.write_some(bytes, descriptor);
    if (!written) return std::unexpected(written.error());
    if (*written == 0) return std::unexpected(platform::OsError::write_zero());
    descriptor = -1;  // sent with the first piece
    bytes.remove_prefix(std::min(*written, bytes.size()));
  }
  return {};
}

std::expected<void, platform::OsError> read_exact(platform::PipeConnection& pipe, std::span<char> buffer) {
  while (!buffer.empty()) {
    auto count = pipe.read_some(buffer);
    if (!count) return std::unexpected(count.error());
    if (*count == 0) return std::unexpected(platform::OsError::unexpected_eof());
    buffer = buffer.subspan(std::min(*count, buffer.size()));
  }
  return {};
}

std::expected<void, FrameError> send_frame(platform::PipeConnection& pipe, std::string_view payload, int descriptor) {
  if (payload.size() > kMaxFramePayload) return std::unexpected(FrameError{FrameError::Kind::PayloadTooLarge, {}});
  const auto length = static_cast<std::uint32_t>(payload.size());
  const std::array<char, 4> header = {static_cast<char>(length & 0xFF), static_cast<char>((length >> 8) & 0xFF),
                                      static_cast<char>((length >> 16) & 0xFF),
                                      static_cast<char>((length >> 24) & 0xFF)};
  if (auto written = write_all(pipe, std::string_view(header.data(), header.size()), descriptor); !written) {
    return std::unexpected(FrameError{FrameError::Kind::Io, written.error()});
  }
  if (auto written = write_all(pipe, payload); !written) {
    return std::unexpected(FrameError{FrameError::Kind::Io, written.error()});
  }
  return {};
}

std::expected<std::string, FrameError> receive_frame(platform::PipeConnection& pipe) {
  std::array<char, 4> header{};
  if (auto got = read_exact(pipe, header); !got) return std::unexpected(FrameError{FrameError::Kind::Io, got.error()});
  const std::uint32_t length = static_cast<std::uint32_t>(static_cast<unsigned char>(header[0])) |
                               (static_cast<std::uint32_t>(static_cast<unsigned char>(header[1])) << 8) |
                               (static_cast<std::uint32_t>(static_cast<unsigned char>(header[2])) << 16) |
                               (static_cast<std::uint32_t>(static_cast<unsigned char>(header[3])) << 24);
  if (length > kMaxFramePayload) return std::unexpected(FrameError{FrameError::Kind::PayloadTooLarge, {}});

  std::string payload;
  payload.reserve(std::min<std::size_t>(length, kReadPiece));
  while (payload.size() < length) {
    const std::size_t have = payload.size();
    const std::size_t piece = std::min<std::size_t>(length - have, kReadPiece);
    payload.resize(have + piece);
    auto count = pipe.read_some(std::span<char>(payload.data() + have, piece));
    if (!count) return std::unexpected(FrameError{FrameError::Kind::Io, count.error()});
    if (*count == 0) return std::unexpected(FrameError{FrameError::Kind::Io, platform::OsError::unexpected_eof()});
    payload.resize(have + std::min(*count, piece));
  }
  return payload;
}

}  // namespace kavel_lib::ipc
