// Small helpers of the emulated-NTFS tests: little-endian fields, the control codes with
// their documented input structures, and an update-sequence undo written for the tests alone.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "platform/ntfs_control.h"

namespace ntfs_test {

inline std::uint64_t le(std::span<const std::uint8_t> d, std::size_t o, int width) {
  std::uint64_t v = 0;
  for (int i = 0; i < width; ++i) v |= static_cast<std::uint64_t>(d[o + i]) << (8 * i);
  return v;
}
inline std::uint16_t le16(std::span<const std::uint8_t> d, std::size_t o) { return static_cast<std::uint16_t>(le(d, o, 2)); }
inline std::uint32_t le32(std::span<const std::uint8_t> d, std::size_t o) { return static_cast<std::uint32_t>(le(d, o, 4)); }
inline std::uint64_t le64(std::span<const std::uint8_t> d, std::size_t o) { return le(d, o, 8); }
inline void put(std::vector<std::uint8_t>& d, std::size_t o, std::uint64_t v, int width) {
  for (int i = 0; i < width; ++i) d[o + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Undoes the update sequence of a FILE record copy (no checks beyond the bounds).
inline void undo_fixups(std::vector<std::uint8_t>& r) {
  const std::size_t usa = le16(r, 4), count = le16(r, 6);
  for (std::size_t i = 1; i < count && i * 512 <= r.size() && usa + 2 * i + 1 < r.size(); ++i) {
    r[i * 512 - 2] = r[usa + 2 * i];
    r[i * 512 - 1] = r[usa + 2 * i + 1];
  }
}

struct Call {
  std::vector<std::uint8_t> out;
  std::uint32_t error = 0;
  std::size_t size = 0;
};

inline Call control(const kavel_lib::platform::Device& d, std::uint32_t code, const std::vector<std::uint8_t>& in,
                    std::size_t out_size) {
  Call c;
  c.out.assign(out_size, 0xCC);
  auto r = kavel_lib::platform::device_io_control(d, code, in, c.out);
  if (r) {
    c.size = *r;
    c.out.resize(*r);
  } else {
    c.error = r.error().code;
  }
  return c;
}

inline std::vector<std::uint8_t> file_record_input(std::uint64_t reference) {
  std::vector<std::uint8_t> in(8);
  put(in, 0, reference, 8);
  return in;
}

inline std::vector<std::uint8_t> read_journal_input(std::int64_t start, std::uint64_t journal_id, std::uint16_t min_v,
                                                     std::uint16_t max_v, std::uint32_t mask = 0xFFFFFFFF) {
  std::vector<std::uint8_t> in(48);
  put(in, 0, static_cast<std::uint64_t>(start), 8);
  put(in, 8, mask, 4);
  put(in, 32, journal_id, 8);
  put(in, 40, min_v, 2);
  put(in, 42, max_v, 2);
  return in;
}

inline std::vector<std::uint8_t> enum_input(std::uint64_t start, std::int64_t low, std::int64_t high, std::uint16_t min_v,
                                             std::uint16_t max_v) {
  std::vector<std::uint8_t> in(32);
  put(in, 0, start, 8);
  put(in, 8, static_cast<std::uint64_t>(low), 8);
  put(in, 16, static_cast<std::uint64_t>(high), 8);
  put(in, 24, min_v, 2);
  put(in, 26, max_v, 2);
  return in;
}

// One USN record as the tests see it, whatever its version.
struct UsnSeen {
  std::uint16_t version = 0;
  std::uint32_t length = 0;
  std::uint64_t file = 0;
  std::uint64_t parent = 0;
  std::int64_t usn = 0;
  std::uint32_t reason = 0;
  std::u16string name;
};

inline std::vector<UsnSeen> usn_records(std::span<const std::uint8_t> data, std::size_t from) {
  std::vector<UsnSeen> out;
  std::size_t o = from;
  while (o + 8 <= data.size()) {
    const std::uint32_t len = le32(data, o);
    if (len == 0) {  // page padding
      o = (o / 4096 + 1) * 4096;
      continue;
    }
    if (len < 8 || o + len > data.size()) break;
    UsnSeen s;
    s.length = len;
    s.version = le16(data, o + 4);
    std::size_t name_len = 0, name_off = 0;
    if (s.version == 2) {
      s.file = le64(data, o + 8);
      s.parent = le64(data, o + 16);
      s.usn = static_cast<std::int64_t>(le64(data, o + 24));
      s.reason = le32(data, o + 40);
      name_len = le16(data, o + 56);
      name_off = le16(data, o + 58);
    } else if (s.version == 3) {
      s.file = le64(data, o + 8);
      s.parent = le64(data, o + 24);
      s.usn = static_cast<std::int64_t>(le64(data, o + 40));
      s.reason = le32(data, o + 56);
      name_len = le16(data, o + 72);
      name_off = le16(data, o + 74);
    } else if (s.version == 4) {
      s.file = le64(data, o + 8);
      s.parent = le64(data, o + 24);
      s.usn = static_cast<std::int64_t>(le64(data, o + 40));
      s.reason = le32(data, o + 48);
    }
    for (std::size_t i = 0; i + 1 < name_len; i += 2) s.name += static_cast<char16_t>(le16(data, o + name_off + i));
    out.push_back(s);
    o += len;
  }
  return out;
}

}  // namespace ntfs_test
