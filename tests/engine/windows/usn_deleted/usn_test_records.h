// Journal records written byte by byte for the journal tests (from the published
// USN_RECORD_V2/V3/V4 layouts, independent of the parser), and a scripted stand-in for the
// journal's control codes.
#pragma once

#include <cstdint>
#include <deque>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "engine/windows/usn_deleted/usn_journal_io.h"
#include "platform/errors.h"
#include "platform/ntfs_control.h"

namespace usn_test {

using Bytes = std::vector<std::uint8_t>;

inline void put(Bytes& b, std::size_t at, std::uint64_t v, int width) {
  for (int i = 0; i < width; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline std::uint64_t get(std::span<const std::uint8_t> b, std::size_t at, int width) {
  std::uint64_t v = 0;
  for (int i = 0; i < width; ++i) v |= static_cast<std::uint64_t>(b[at + static_cast<std::size_t>(i)]) << (8 * i);
  return v;
}

inline Bytes utf16(const std::u16string& s) {
  Bytes out;
  for (char16_t c : s) {
    out.push_back(static_cast<std::uint8_t>(c & 0xFF));
    out.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  return out;
}

struct Rec {
  std::uint16_t version = 2;
  std::uint64_t file = 0;    // full 64-bit reference
  std::uint64_t parent = 0;  // full 64-bit reference
  std::uint32_t reason = 0;
  Bytes name;                // UTF-16LE bytes (V2/V3)
};

// A record laid out as Windows writes it: header, the name at the header's end, the length
// rounded up to 8. V4 records are 80 bytes with one extent.
inline Bytes make(const Rec& r) {
  if (r.version == 4) {
    Bytes b(80, 0);
    put(b, 0, 80, 4);
    put(b, 4, 4, 2);
    put(b, 8, r.file, 8);
    put(b, 24, r.parent, 8);
    put(b, 48, r.reason, 4);
    put(b, 56, 1, 2);  // NumberOfExtents
    put(b, 60, 16, 2);
    return b;
  }
  const std::size_t header = r.version == 2 ? 60 : 76;
  const std::size_t length = (header + r.name.size() + 7) & ~std::size_t{7};
  Bytes b(length, 0);
  put(b, 0, length, 4);
  put(b, 4, r.version, 2);
  put(b, 8, r.file, 8);
  if (r.version == 2) {
    put(b, 16, r.parent, 8);
    put(b, 40, r.reason, 4);
    put(b, 56, r.name.size(), 2);
    put(b, 58, header, 2);
  } else {
    put(b, 24, r.parent, 8);
    put(b, 56, r.reason, 4);
    put(b, 72, r.name.size(), 2);
    put(b, 74, header, 2);
  }
  std::copy(r.name.begin(), r.name.end(), b.begin() + static_cast<std::ptrdiff_t>(header));
  return b;
}

inline Bytes v2(std::uint64_t file, std::uint64_t parent, std::uint32_t reason, const std::u16string& name) {
  return make({2, file, parent, reason, utf16(name)});
}
inline Bytes v3(std::uint64_t file, std::uint64_t parent, std::uint32_t reason, const std::u16string& name) {
  return make({3, file, parent, reason, utf16(name)});
}
inline Bytes v4(std::uint64_t file, std::uint64_t parent, std::uint32_t reason) {
  return make({4, file, parent, reason, {}});
}

inline Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// An answer of a read or enumeration call: the 8-byte next position, then records.
inline Bytes answer(std::uint64_t next, const Bytes& records) {
  Bytes out(8, 0);
  put(out, 0, next, 8);
  out.insert(out.end(), records.begin(), records.end());
  return out;
}

// USN_JOURNAL_DATA_V1.
inline Bytes journal_data(std::uint64_t id, std::int64_t first, std::int64_t next) {
  Bytes out(64, 0);
  put(out, 0, id, 8);
  put(out, 8, static_cast<std::uint64_t>(first), 8);
  put(out, 16, static_cast<std::uint64_t>(next), 8);
  return out;
}

// One scripted reply: bytes, or a Windows error code.
struct Reply {
  Bytes bytes;
  std::uint32_t error = 0;
};
inline Reply ok(Bytes b) { return {std::move(b), 0}; }
inline Reply fail(std::uint32_t code) { return {{}, code}; }

struct CallSeen {
  std::uint32_t code = 0;
  Bytes input;
};

// Replies per control code in order; a code whose replies ran out answers error 38.
struct ScriptedVolume {
  std::deque<Reply> query, read, enumerate;
  std::vector<CallSeen> calls;

  kavel_lib::engine::windows::JournalControl control() {
    return [this](std::uint32_t code, std::span<const std::uint8_t> in, std::span<std::uint8_t> out)
               -> std::expected<std::size_t, kavel_lib::platform::WinError> {
      calls.push_back({code, Bytes(in.begin(), in.end())});
      namespace ctl = kavel_lib::platform::ctl;
      std::deque<Reply>* queue = code == ctl::FSCTL_QUERY_USN_JOURNAL ? &query
                                 : code == ctl::FSCTL_READ_USN_JOURNAL ? &read
                                                                       : &enumerate;
      if (queue->empty()) return std::unexpected(kavel_lib::platform::WinError{38});
      Reply r = std::move(queue->front());
      queue->pop_front();
      if (r.error != 0) return std::unexpected(kavel_lib::platform::WinError{r.error});
      const std::size_t n = std::min(r.bytes.size(), out.size());
      std::copy_n(r.bytes.begin(), n, out.begin());
      return n;
    };
  }

  std::vector<CallSeen> calls_of(std::uint32_t code) const {
    std::vector<CallSeen> out;
    for (const auto& c : calls) {
      if (c.code == code) out.push_back(c);
    }
    return out;
  }
};

}  // namespace usn_test
