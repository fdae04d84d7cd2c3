// Little-endian field access on byte spans, every read checked against the bytes held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kavel_lib::platform::ntfs_model {

using Bytes = std::span<const std::uint8_t>;

// True when [offset, offset + length) lies inside a buffer of `size` bytes (no overflow).
constexpr bool fits(std::size_t size, std::uint64_t offset, std::uint64_t length) {
  return offset <= size && length <= size - offset;
}

template <typename T>
std::optional<T> read_le(Bytes data, std::uint64_t offset) {
  if (!fits(data.size(), offset, sizeof(T))) return std::nullopt;
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) v |= static_cast<std::uint64_t>(data[offset + i]) << (8 * i);
  return static_cast<T>(v);
}

// Unchecked reads for offsets already proved to lie inside the buffer.
inline std::uint16_t u16_at(Bytes d, std::size_t o) { return static_cast<std::uint16_t>(d[o] | (d[o + 1] << 8)); }
inline std::uint32_t u32_at(Bytes d, std::size_t o) {
  return static_cast<std::uint32_t>(d[o]) | (static_cast<std::uint32_t>(d[o + 1]) << 8) |
         (static_cast<std::uint32_t>(d[o + 2]) << 16) | (static_cast<std::uint32_t>(d[o + 3]) << 24);
}
inline std::uint64_t u64_at(Bytes d, std::size_t o) {
  return static_cast<std::uint64_t>(u32_at(d, o)) | (static_cast<std::uint64_t>(u32_at(d, o + 4)) << 32);
}

// Writers into an output span; the caller has checked the room.
inline void put_u16(std::span<std::uint8_t> d, std::size_t o, std::uint16_t v) {
  d[o] = static_cast<std::uint8_t>(v);
  d[o + 1] = static_cast<std::uint8_t>(v >> 8);
}
inline void put_u32(std::span<std::uint8_t> d, std::size_t o, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) d[o + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void put_u64(std::span<std::uint8_t> d, std::size_t o, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) d[o + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

inline constexpr std::uint64_t kRecordNumberMask = 0x0000FFFFFFFFFFFFull;

// UTF-16LE units to UTF-8; unpaired surrogates become U+FFFD.
std::string utf16_to_utf8(std::u16string_view units);
// UTF-8 to UTF-16; nothing when the text is not valid UTF-8.
std::optional<std::u16string> utf8_to_utf16(std::string_view text);
// The UTF-16 units stored little-endian at data[offset, offset + 2 * count).
std::u16string utf16_units(Bytes data, std::size_t offset, std::size_t count);

}  // namespace kavel_lib::platform::ntfs_model
