// Hand-built FILE records and small volume images for the record reader tests. Written from
// the published on-disk format, independently of the readers under test.
#pragma once

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace kavel_test::mft {

using Bytes = std::vector<std::uint8_t>;

// memcpy that accepts empty sources (whose data() may be null).
inline void copy_bytes(std::uint8_t* to, const std::uint8_t* from, std::size_t n) {
  if (n != 0) std::memcpy(to, from, n);
}

inline void put(Bytes& b, std::size_t off, std::uint64_t v, std::size_t width) {
  if (b.size() < off + width) b.resize(off + width, 0);
  for (std::size_t i = 0; i < width; ++i) b[off + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline std::uint64_t get(const Bytes& b, std::size_t off, std::size_t width) {
  std::uint64_t v = 0;
  for (std::size_t i = width; i > 0; --i) v = (v << 8) | b[off + i - 1];
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

// A $FILE_NAME value.
inline Bytes file_name_value(std::uint64_t parent_ref, const std::u16string& name, std::uint8_t name_space = 1,
                             std::uint64_t allocated = 0, std::uint64_t modified = 0) {
  Bytes v(0x42, 0);
  put(v, 0x00, parent_ref, 8);
  put(v, 0x08, modified, 8);
  put(v, 0x10, modified, 8);
  put(v, 0x28, allocated, 8);
  put(v, 0x30, allocated, 8);
  v[0x40] = static_cast<std::uint8_t>(name.size());
  v[0x41] = name_space;
  Bytes n = utf16(name);
  v.insert(v.end(), n.begin(), n.end());
  return v;
}

// One index entry with a $FILE_NAME key (or no key), 8-aligned.
inline Bytes index_entry(std::uint64_t reference, const Bytes& key, std::uint8_t flags = 0) {
  std::size_t length = (16 + key.size() + 7) & ~std::size_t{7};
  Bytes e(length, 0);
  put(e, 0, reference, 8);
  put(e, 8, length, 2);
  put(e, 10, key.size(), 2);
  e[12] = flags;
  copy_bytes(e.data() + 16, key.data(), key.size());
  return e;
}

// An $INDEX_ROOT value: 16-byte root header, 16-byte node header, the entries.
inline Bytes index_root_value(const std::vector<Bytes>& entries) {
  Bytes v(32, 0);
  put(v, 0, 0x30, 4);      // indexed attribute type
  put(v, 4, 1, 4);         // collation
  put(v, 8, 4096, 4);      // index record size
  v[12] = 1;
  std::size_t total = 16;
  for (const auto& e : entries) total += e.size();
  put(v, 16, 16, 4);       // entries offset (from node header)
  put(v, 20, total, 4);
  put(v, 24, total, 4);
  for (const auto& e : entries) v.insert(v.end(), e.begin(), e.end());
  return v;
}

class RecordBuilder {
 public:
  explicit RecordBuilder(std::size_t size = 1024, std::uint16_t flags = 1, std::uint16_t sequence = 1)
      : size_(size), bytes_(0x38, 0) {
    std::memcpy(bytes_.data(), "FILE", 4);
    usa_count_ = static_cast<std::uint16_t>(size / 512 + 1);
    put(bytes_, 0x04, 0x30, 2);
    put(bytes_, 0x06, usa_count_, 2);
    put(bytes_, 0x10, sequence, 2);
    put(bytes_, 0x12, 1, 2);
    put(bytes_, 0x16, flags, 2);
    put(bytes_, 0x1C, size, 4);
    first_ = (0x30 + 2 * usa_count_ + 7) & ~std::size_t{7};
    put(bytes_, 0x14, first_, 2);
    bytes_.resize(first_, 0);
  }

  RecordBuilder& resident(std::uint32_t type, const Bytes& value, const std::u16string& name = u"") {
    const std::size_t name_off = 0x18;
    const std::size_t value_off = (name_off + 2 * name.size() + 7) & ~std::size_t{7};
    const std::size_t length = (value_off + value.size() + 7) & ~std::size_t{7};
    Bytes a(length, 0);
    put(a, 0, type, 4);
    put(a, 4, length, 4);
    a[8] = 0;
    a[9] = static_cast<std::uint8_t>(name.size());
    put(a, 0x0A, name_off, 2);
    put(a, 0x0E, next_id_++, 2);
    put(a, 0x10, value.size(), 4);
    put(a, 0x14, value_off, 2);
    Bytes n = utf16(name);
    copy_bytes(a.data() + name_off, n.data(), n.size());
    copy_bytes(a.data() + value_off, value.data(), value.size());
    bytes_.insert(bytes_.end(), a.begin(), a.end());
    return *this;
  }

  RecordBuilder& non_resident(std::uint32_t type, std::uint64_t real_size, const Bytes& pairs,
                              std::uint64_t lowest_vcn = 0, const std::u16string& name = u"") {
    const std::size_t name_off = 0x40;
    const std::size_t pairs_off = (name_off + 2 * name.size() + 7) & ~std::size_t{7};
    const std::size_t length = (pairs_off + pairs.size() + 1 + 7) & ~std::size_t{7};
    Bytes a(length, 0);
    put(a, 0, type, 4);
    put(a, 4, length, 4);
    a[8] = 1;
    a[9] = static_cast<std::uint8_t>(name.size());
    put(a, 0x0A, name_off, 2);
    put(a, 0x0E, next_id_++, 2);
    put(a, 0x10, lowest_vcn, 8);
    put(a, 0x20, pairs_off, 2);
    put(a, 0x28, real_size, 8);
    put(a, 0x30, real_size, 8);
    put(a, 0x38, real_size, 8);
    Bytes n = utf16(name);
    copy_bytes(a.data() + name_off, n.data(), n.size());
    copy_bytes(a.data() + pairs_off, pairs.data(), pairs.size());
    bytes_.insert(bytes_.end(), a.begin(), a.end());
    return *this;
  }

  RecordBuilder& file_name(std::uint64_t parent_ref, const std::u16string& name, std::uint8_t name_space = 1,
                           std::uint64_t allocated = 0, std::uint64_t modified = 0) {
    return resident(0x30, file_name_value(parent_ref, name, name_space, allocated, modified));
  }

  RecordBuilder& raw_attribute(const Bytes& a) {
    bytes_.insert(bytes_.end(), a.begin(), a.end());
    return *this;
  }

  // The finished record as it lies on disk: end marker, and the last two bytes of every
  // 512-byte stride replaced by the update sequence number (the originals kept in the array).
  Bytes on_disk(std::uint16_t usn = 0x0A0B) const {
    Bytes b = bytes_;
    put(b, b.size(), 0xFFFFFFFF, 4);
    put(b, b.size(), 0, 4);
    put(b, 0x18, b.size(), 4);
    b.resize(size_, 0);
    put(b, 0x30, usn, 2);
    for (std::size_t i = 0; i + 1 < usa_count_; ++i) {
      const std::size_t end = 512 * i + 510;
      b[0x32 + 2 * i] = b[end];
      b[0x33 + 2 * i] = b[end + 1];
      put(b, end, usn, 2);
    }
    return b;
  }
  // The same record with its strides restored (what the readers hand out).
  Bytes fixed() const {
    Bytes b = on_disk();
    for (std::size_t i = 0; i + 1 < usa_count_; ++i) {
      b[512 * i + 510] = b[0x32 + 2 * i];
      b[512 * i + 511] = b[0x33 + 2 * i];
    }
    return b;
  }

 private:
  std::size_t size_;
  Bytes bytes_;
  std::uint16_t usa_count_ = 0;
  std::size_t first_ = 0;
  std::uint16_t next_id_ = 0;
};

// Mapping pairs for (lcn, length) runs; lcn < 0 writes a sparse run.
inline Bytes mapping_pairs(const std::vector<std::pair<std::int64_t, std::uint64_t>>& runs) {
  Bytes out;
  std::int64_t prev = 0;
  auto width_unsigned = [](std::uint64_t v) {
    std::size_t w = 1;
    while (w < 8 && (v >> (8 * w)) != 0) ++w;
    return w;
  };
  auto width_signed = [](std::int64_t v) {
    std::size_t w = 1;
    while (w < 8) {
      const std::int64_t lo = -(std::int64_t{1} << (8 * w - 1));
      const std::int64_t hi = (std::int64_t{1} << (8 * w - 1)) - 1;
      if (v >= lo && v <= hi) break;
      ++w;
    }
    return w;
  };
  for (auto [lcn, length] : runs) {
    const std::size_t lw = width_unsigned(length);
    if (lcn < 0) {
      out.push_back(static_cast<std::uint8_t>(lw));
      for (std::size_t i = 0; i < lw; ++i) out.push_back(static_cast<std::uint8_t>(length >> (8 * i)));
      continue;
    }
    const std::int64_t delta = lcn - prev;
    const std::size_t ow = width_signed(delta);
    out.push_back(static_cast<std::uint8_t>(lw | (ow << 4)));
    for (std::size_t i = 0; i < lw; ++i) out.push_back(static_cast<std::uint8_t>(length >> (8 * i)));
    for (std::size_t i = 0; i < ow; ++i) out.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(delta) >> (8 * i)));
    prev = lcn;
  }
  out.push_back(0);
  return out;
}

// A small volume image whose MFT lies in the given runs of clusters: record n is written at
// its place in that stream. Other bytes can be set with put_at.
class VolumeImage {
 public:
  VolumeImage(std::uint64_t cluster, std::uint32_t record_size, std::vector<std::pair<std::int64_t, std::uint64_t>> mft_runs,
              std::uint64_t total_clusters)
      : cluster_(cluster), record_size_(record_size), runs_(std::move(mft_runs)), bytes_(cluster * total_clusters, 0) {}

  std::uint64_t mft_start_lcn() const { return static_cast<std::uint64_t>(runs_.front().first); }
  std::uint64_t mft_clusters() const {
    std::uint64_t n = 0;
    for (auto& r : runs_) n += r.second;
    return n;
  }
  // Byte position of stream byte `offset` of the MFT.
  std::uint64_t position_of(std::uint64_t offset) const {
    std::uint64_t vcn = offset / cluster_;
    for (auto [lcn, len] : runs_) {
      if (vcn < len) return (static_cast<std::uint64_t>(lcn) + vcn) * cluster_ + offset % cluster_;
      vcn -= len;
    }
    return UINT64_MAX;
  }
  void put_record(std::uint64_t n, const Bytes& record) {
    for (std::size_t i = 0; i < record.size(); ++i) bytes_[position_of(n * record_size_ + i)] = record[i];
  }
  void put_at(std::uint64_t position, const Bytes& b) { copy_bytes(bytes_.data() + position, b.data(), b.size()); }
  // Record 0 describing the MFT itself with `records` records and the given bitmap attribute.
  RecordBuilder mft_record(std::uint64_t records) const {
    RecordBuilder r(record_size_, 1, 1);
    r.file_name(5, u"$MFT", 3);
    r.non_resident(0x80, records * record_size_, mapping_pairs(runs_));
    return r;
  }
  void save(const std::filesystem::path& path) const {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes_.data()), static_cast<std::streamsize>(bytes_.size()));
  }
  const Bytes& bytes() const { return bytes_; }

 private:
  std::uint64_t cluster_;
  std::uint32_t record_size_;
  std::vector<std::pair<std::int64_t, std::uint64_t>> runs_;
  Bytes bytes_;
};

}  // namespace kavel_test::mft
