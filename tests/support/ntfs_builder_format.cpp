#include "support/ntfs_builder_format.h"

#include <algorithm>

namespace kavel_test::ntfs::format {

std::u16string utf16(std::string_view text) {
  std::u16string out;
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::uint32_t cp = 0xFFFD;
    std::size_t n = 1;
    if (c < 0x80) {
      cp = c;
    } else if ((c >> 5) == 6 && i + 1 < text.size()) {
      cp = ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(text[i + 1]) & 0x3Fu);
      n = 2;
    } else if ((c >> 4) == 14 && i + 2 < text.size()) {
      cp = ((c & 0x0Fu) << 12) | ((static_cast<unsigned char>(text[i + 1]) & 0x3Fu) << 6) |
           (static_cast<unsigned char>(text[i + 2]) & 0x3Fu);
      n = 3;
    } else if ((c >> 3) == 30 && i + 3 < text.size()) {
      cp = ((c & 0x07u) << 18) | ((static_cast<unsigned char>(text[i + 1]) & 0x3Fu) << 12) |
           ((static_cast<unsigned char>(text[i + 2]) & 0x3Fu) << 6) | (static_cast<unsigned char>(text[i + 3]) & 0x3Fu);
      n = 4;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 | (cp >> 10));
      out += static_cast<char16_t>(0xDC00 | (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
    i += n;
  }
  return out;
}

char16_t upper(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 32);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 32);  // Latin-1 letters
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x17F && c != 0x130 && c != 0x131 && c != 0x138 && c != 0x149 && c != 0x17F) {
    // Latin Extended-A alternates upper and lower case; the parity flips at 0x139 and 0x179.
    const bool lower = ((c >= 0x139 && c <= 0x148) || c >= 0x179) ? (c % 2 == 0) : (c % 2 == 1);
    return lower ? static_cast<char16_t>(c - 1) : c;
  }
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return static_cast<char16_t>(c - 32);  // Greek
  if (c == 0x3C2) return 0x3A3;
  if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 32);  // Cyrillic
  if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 80);
  if (c >= 0xFF41 && c <= 0xFF5A) return static_cast<char16_t>(c - 32);  // full-width Latin
  return c;
}

bool collates_before(const std::u16string& a, const std::u16string& b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const char16_t x = upper(a[i]), y = upper(b[i]);
    if (x != y) return x < y;
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

bool is_short_name(const std::u16string& name) {
  const auto dot = name.find(u'.');
  const std::size_t base = dot == std::u16string::npos ? name.size() : dot;
  const std::size_t ext = dot == std::u16string::npos ? 0 : name.size() - dot - 1;
  if (base == 0 || base > 8 || ext > 3 || (dot != std::u16string::npos && ext == 0)) return false;
  if (dot != std::u16string::npos && name.find(u'.', dot + 1) != std::u16string::npos) return false;
  for (char16_t c : name) {
    if (c == u'.') continue;
    const bool ok = (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || std::u16string_view(u"$%'-_@~`!(){}^#&").find(c) != std::u16string_view::npos;
    if (!ok) return false;
  }
  return true;
}

void protect(Bytes& block, std::size_t usa_offset, std::uint16_t sequence_number) {
  const std::size_t strides = block.size() / 512;
  w16(block, 4, static_cast<std::uint16_t>(usa_offset));
  w16(block, 6, static_cast<std::uint16_t>(strides + 1));
  w16(block, usa_offset, sequence_number);
  for (std::size_t i = 0; i < strides; ++i) {
    const std::size_t end = (i + 1) * 512 - 2;
    block.at(usa_offset + 2 + 2 * i) = block[end];
    block.at(usa_offset + 3 + 2 * i) = block[end + 1];
    w16(block, end, sequence_number);
  }
}

Bytes mapping_pairs(const std::vector<Run>& runs) {
  Bytes out;
  std::int64_t previous = 0;
  auto width_unsigned = [](std::uint64_t v) {
    int n = 1;
    while (n < 8 && (v >> (8 * n)) != 0) ++n;
    return n;
  };
  auto width_signed = [](std::int64_t v) {
    int n = 1;
    while (n < 8) {
      const std::int64_t lo = -(std::int64_t{1} << (8 * n - 1)), hi = (std::int64_t{1} << (8 * n - 1)) - 1;
      if (v >= lo && v <= hi) break;
      ++n;
    }
    return n;
  };
  for (const auto& r : runs) {
    const int lw = width_unsigned(r.length);
    if (r.lcn < 0) {
      out.push_back(static_cast<std::uint8_t>(lw));
      for (int i = 0; i < lw; ++i) out.push_back(static_cast<std::uint8_t>(r.length >> (8 * i)));
      continue;
    }
    const std::int64_t delta = r.lcn - previous;
    const int ow = width_signed(delta);
    out.push_back(static_cast<std::uint8_t>(lw | (ow << 4)));
    for (int i = 0; i < lw; ++i) out.push_back(static_cast<std::uint8_t>(r.length >> (8 * i)));
    for (int i = 0; i < ow; ++i) out.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(delta) >> (8 * i)));
    previous = r.lcn;
  }
  out.push_back(0);
  return out;
}

Bytes serialize(const Attribute& a, std::uint16_t id) {
  const std::size_t name_bytes = 2 * a.name.size();
  Bytes out;
  if (a.resident) {
    const std::size_t name_at = 0x18;
    const std::size_t value_at = round8(name_at + name_bytes);
    out.assign(round8(value_at + a.value.size()), 0);
    w32(out, 0x10, static_cast<std::uint32_t>(a.value.size()));
    w16(out, 0x14, static_cast<std::uint16_t>(value_at));
    w8(out, 0x16, a.indexed ? 1 : 0);
    std::copy(a.value.begin(), a.value.end(), out.begin() + static_cast<std::ptrdiff_t>(value_at));
    w16(out, 0x0A, static_cast<std::uint16_t>(name_at));
  } else {
    // Sparse (and compressed) attributes carry the compressed size: a longer header.
    const bool sparse = (a.flags & 0x8000) != 0;
    const std::size_t name_at = sparse ? 0x48 : 0x40;
    const Bytes pairs = mapping_pairs(a.runs);
    const std::size_t pairs_at = round8(name_at + name_bytes);
    out.assign(round8(pairs_at + pairs.size()), 0);
    std::uint64_t clusters = 0, allocated = 0;
    for (const auto& r : a.runs) {
      clusters += r.length;
      if (r.lcn >= 0) allocated += r.length;
    }
    w64(out, 0x10, 0);
    w64(out, 0x18, clusters == 0 ? ~std::uint64_t{0} : clusters - 1);
    w16(out, 0x20, static_cast<std::uint16_t>(pairs_at));
    w64(out, 0x30, a.data_size);
    w64(out, 0x38, a.initialized_size);
    std::copy(pairs.begin(), pairs.end(), out.begin() + static_cast<std::ptrdiff_t>(pairs_at));
    w16(out, 0x0A, static_cast<std::uint16_t>(name_at));
    out[0x08] = 1;
    // The allocated size counts every cluster the runs cover; the compressed size of a sparse
    // attribute only those on disk.
    w64(out, 0x28, clusters * a.cluster_size);
    if (sparse) w64(out, 0x40, allocated * a.cluster_size);
  }
  w32(out, 0x00, a.type);
  w32(out, 0x04, static_cast<std::uint32_t>(out.size()));
  w8(out, 0x09, static_cast<std::uint8_t>(a.name.size()));
  w16(out, 0x0C, a.flags);
  w16(out, 0x0E, id);
  const std::size_t name_at = out[0x0A] | (out[0x0B] << 8);
  for (std::size_t i = 0; i < a.name.size(); ++i) w16(out, name_at + 2 * i, a.name[i]);
  return out;
}

namespace {
std::size_t first_attribute_offset(std::uint32_t record_size) { return round8(0x30 + 2 * (record_size / 512 + 1)); }

std::vector<const Attribute*> ordered(const std::vector<Attribute>& attributes) {
  std::vector<const Attribute*> out;
  for (const auto& a : attributes) out.push_back(&a);
  std::stable_sort(out.begin(), out.end(), [](const Attribute* x, const Attribute* y) {
    if (x->type != y->type) return x->type < y->type;
    return x->name < y->name;
  });
  return out;
}
}  // namespace

std::size_t record_bytes(std::uint32_t record_size, const std::vector<Attribute>& attributes) {
  std::size_t n = first_attribute_offset(record_size);
  for (const auto& a : attributes) n += serialize(a, 0).size();
  return n + 8;
}

std::optional<Bytes> serialize_record(const RecordSpec& desc) {
  Bytes r(desc.record_size, 0);
  r[0] = 'F';
  r[1] = 'I';
  r[2] = 'L';
  r[3] = 'E';
  const std::size_t first = first_attribute_offset(desc.record_size);
  w16(r, 0x10, desc.sequence);
  w16(r, 0x12, desc.link_count);
  w16(r, 0x14, static_cast<std::uint16_t>(first));
  w16(r, 0x16, desc.flags);
  w32(r, 0x1C, desc.record_size);
  w32(r, 0x2C, static_cast<std::uint32_t>(desc.number));
  std::size_t at = first;
  std::uint16_t id = 0;
  for (const Attribute* a : ordered(desc.attributes)) {
    const Bytes bytes = serialize(*a, id++);
    if (at + bytes.size() + 8 > r.size()) return std::nullopt;
    std::copy(bytes.begin(), bytes.end(), r.begin() + static_cast<std::ptrdiff_t>(at));
    at += bytes.size();
  }
  w32(r, at, 0xFFFFFFFF);
  w32(r, 0x18, static_cast<std::uint32_t>(at + 8));
  w16(r, 0x28, id);
  protect(r, 0x30, 1);
  return r;
}

Bytes standard_information(std::uint64_t time, std::uint32_t attributes, std::uint64_t usn) {
  Bytes v(0x48, 0);
  for (int i = 0; i < 4; ++i) w64(v, 8 * static_cast<std::size_t>(i), time);
  w32(v, 0x20, attributes);
  w32(v, 0x34, 0x100);  // security id
  w64(v, 0x40, usn);
  return v;
}

Bytes file_name(std::uint64_t parent, const std::u16string& name, std::uint8_t name_space, std::uint32_t attributes,
                std::uint64_t allocated, std::uint64_t size, std::uint64_t time, std::uint32_t reparse_tag) {
  Bytes v(0x42 + 2 * name.size(), 0);
  w64(v, 0x00, parent);
  for (int i = 0; i < 4; ++i) w64(v, 8 + 8 * static_cast<std::size_t>(i), time);
  w64(v, 0x28, allocated);
  w64(v, 0x30, size);
  w32(v, 0x38, attributes);
  w32(v, 0x3C, reparse_tag);
  w8(v, 0x40, static_cast<std::uint8_t>(name.size()));
  w8(v, 0x41, name_space);
  for (std::size_t i = 0; i < name.size(); ++i) w16(v, 0x42 + 2 * i, name[i]);
  return v;
}

}  // namespace kavel_test::ntfs::format
