#include "support/ntfs_record_edits.h"

#include <algorithm>
#include <map>

namespace kavel_test::ntfs {

using format::Bytes;
using format::w16;
using format::w32;
using format::w64;

namespace {

constexpr std::size_t kUsaOffset = 0x30;

std::string marker(std::string_view tag, std::uint64_t index) {
  return std::string(tag) + "#" + std::to_string(index) + ";";
}

Bytes serialize_attribute(const ComposedAttribute& c, std::uint16_t id, std::uint32_t cluster_size) {
  format::Attribute a;
  a.type = c.type;
  a.name = c.name;
  a.flags = c.flags;
  a.resident = c.resident;
  a.indexed = c.resident && c.type == 0x30;
  a.value = c.value;
  a.runs = c.runs;
  a.data_size = c.data_size;
  a.initialized_size = c.initialized_size.value_or(c.data_size);
  a.cluster_size = cluster_size;
  Bytes bytes = format::serialize(a, id);
  if (!c.resident) {
    std::uint64_t clusters = 0;
    for (const auto& r : c.runs) clusters += r.length;
    w64(bytes, 0x10, c.lowest_vcn);
    w64(bytes, 0x18, c.lowest_vcn + clusters - 1);
    if (c.allocated_size) w64(bytes, 0x28, *c.allocated_size);
  }
  return bytes;
}

}  // namespace

std::uint64_t reserve_clusters(VolumeBuilder& builder, std::string_view tag, std::uint64_t clusters,
                               std::uint32_t cluster_size) {
  std::string data(clusters * cluster_size, '.');
  for (std::uint64_t i = 0; i < clusters; ++i) {
    const std::string m = marker(tag, i);
    std::copy(m.begin(), m.end(), data.begin() + static_cast<std::ptrdiff_t>(i * cluster_size));
  }
  return builder.add_file(VolumeBuilder::root(), "reserve-" + std::string(tag), std::move(data),
                          {.residency = Residency::NonResident, .deleted = true});
}

std::optional<Bytes> compose_record(const ComposedRecord& desc) {
  const std::uint32_t size = desc.record_size;
  const std::size_t strides = size / 512;
  Bytes r(size, 0);
  std::copy_n("FILE", 4, r.begin());
  const std::size_t first = format::round8(kUsaOffset + 2 * (strides + 1));
  w16(r, 0x10, desc.sequence);
  w16(r, 0x12, 1);
  w16(r, 0x14, static_cast<std::uint16_t>(first));
  w16(r, 0x16, desc.flags);
  w32(r, 0x1C, size);
  w64(r, 0x20, desc.base_reference);
  w32(r, 0x2C, static_cast<std::uint32_t>(desc.number));
  std::size_t at = first;
  std::uint16_t id = 0;
  for (const auto& a : desc.attributes) {
    const Bytes bytes = serialize_attribute(a, id++, desc.cluster_size);
    if (at + bytes.size() + 8 > r.size()) return std::nullopt;
    std::copy(bytes.begin(), bytes.end(), r.begin() + static_cast<std::ptrdiff_t>(at));
    at += bytes.size();
  }
  w32(r, at, 0xFFFFFFFF);
  w32(r, 0x18, static_cast<std::uint32_t>(at + 8));
  w16(r, 0x28, id);
  format::protect(r, kUsaOffset, 1);
  return r;
}

Bytes attribute_list_entry(std::uint32_t type, std::u16string_view name, std::uint64_t lowest_vcn,
                           std::uint64_t record_reference, std::uint16_t attribute_id) {
  Bytes e(format::round8(0x1A + 2 * name.size()), 0);
  w32(e, 0x00, type);
  w16(e, 0x04, static_cast<std::uint16_t>(e.size()));
  e[0x06] = static_cast<std::uint8_t>(name.size());
  e[0x07] = 0x1A;
  w64(e, 0x08, lowest_vcn);
  w64(e, 0x10, record_reference);
  w16(e, 0x18, attribute_id);
  for (std::size_t i = 0; i < name.size(); ++i) w16(e, 0x1A + 2 * i, name[i]);
  return e;
}

std::vector<ComposedAttribute> file_head(std::uint64_t parent_reference, std::string_view name, std::uint64_t size) {
  constexpr std::uint32_t kArchive = 0x20;
  std::vector<ComposedAttribute> head;
  head.push_back({.type = 0x10, .value = format::standard_information(kDefaultTime, kArchive, 0)});
  const std::uint64_t allocated = (size + 4095) / 4096 * 4096;
  head.push_back({.type = 0x30,
                  .value = format::file_name(parent_reference, format::utf16(name), 1, kArchive, allocated, size,
                                             kDefaultTime)});
  return head;
}

ImageEdits::ImageEdits(std::vector<std::uint8_t>& image, const Options& options,
                       std::vector<std::pair<std::uint64_t, std::uint64_t>> mft_extents)
    : image_(image), options_(options), mft_extents_(std::move(mft_extents)) {}

std::uint64_t ImageEdits::cluster_offset(std::uint64_t lcn) const {
  return options_.disk_offset + lcn * options_.cluster_size;
}

std::optional<std::uint64_t> ImageEdits::record_offset(std::uint64_t n) const {
  std::uint64_t within = n * options_.record_size;
  for (const auto& [lcn, count] : mft_extents_) {
    const std::uint64_t bytes = count * options_.cluster_size;
    if (within < bytes) return cluster_offset(lcn) + within;
    within -= bytes;
  }
  return std::nullopt;
}

std::optional<std::vector<std::uint64_t>> ImageEdits::find_reserved(std::string_view tag, std::uint64_t count) const {
  std::map<std::string, std::uint64_t> found;
  const std::uint64_t clusters = (image_.size() - options_.disk_offset) / options_.cluster_size;
  const std::string prefix = std::string(tag) + "#";
  for (std::uint64_t lcn = 0; lcn < clusters; ++lcn) {
    const std::uint64_t at = cluster_offset(lcn);
    if (!std::equal(prefix.begin(), prefix.end(), image_.begin() + static_cast<std::ptrdiff_t>(at))) continue;
    const auto end = std::find(image_.begin() + static_cast<std::ptrdiff_t>(at),
                               image_.begin() + static_cast<std::ptrdiff_t>(at + 32), ';');
    found.emplace(std::string(image_.begin() + static_cast<std::ptrdiff_t>(at), end + 1), lcn);
  }
  std::vector<std::uint64_t> lcns;
  for (std::uint64_t i = 0; i < count; ++i) {
    const auto it = found.find(marker(tag, i));
    if (it == found.end()) return std::nullopt;
    lcns.push_back(it->second);
  }
  return lcns;
}

void ImageEdits::write_cluster(std::uint64_t lcn, const Bytes& bytes) {
  std::copy(bytes.begin(), bytes.end(), image_.begin() + static_cast<std::ptrdiff_t>(cluster_offset(lcn)));
}

bool ImageEdits::put_record(std::uint64_t n, const Bytes& record) {
  const auto at = record_offset(n);
  if (!at || record.size() != options_.record_size) return false;
  std::copy(record.begin(), record.end(), image_.begin() + static_cast<std::ptrdiff_t>(*at));
  return true;
}

std::optional<Bytes> ImageEdits::record(std::uint64_t n) const {
  const auto at = record_offset(n);
  if (!at) return std::nullopt;
  return Bytes(image_.begin() + static_cast<std::ptrdiff_t>(*at),
               image_.begin() + static_cast<std::ptrdiff_t>(*at + options_.record_size));
}

void ImageEdits::write_volume(std::uint64_t offset, const Bytes& bytes) {
  std::copy(bytes.begin(), bytes.end(), image_.begin() + static_cast<std::ptrdiff_t>(options_.disk_offset + offset));
}

bool ImageEdits::set_signature(std::uint64_t n, std::string_view signature) {
  const auto at = record_offset(n);
  if (!at || signature.size() != 4) return false;
  std::copy(signature.begin(), signature.end(), image_.begin() + static_cast<std::ptrdiff_t>(*at));
  return true;
}

}  // namespace kavel_test::ntfs
