#include "platform/posix/ntfs_model/volume.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <unordered_map>

#include "platform/posix/ntfs_model/index.h"

namespace kavel_lib::platform::ntfs_model {

namespace {

// $ATTRIBUTE_LIST entry.
constexpr std::size_t kAlType = 0x00;
constexpr std::size_t kAlLength = 0x04;
constexpr std::size_t kAlNameLength = 0x06;
constexpr std::size_t kAlNameOffset = 0x07;
constexpr std::size_t kAlStartVcn = 0x08;
constexpr std::size_t kAlReference = 0x10;
constexpr std::size_t kAlId = 0x18;
constexpr std::size_t kAlMinLength = 0x1A;

// $Max value of $UsnJrnl.
constexpr std::size_t kMaxMaximumSize = 0x00;
constexpr std::size_t kMaxAllocationDelta = 0x08;
constexpr std::size_t kMaxJournalId = 0x10;
constexpr std::size_t kMaxLowestValidUsn = 0x18;
constexpr std::size_t kMaxValueSize = 0x20;

constexpr std::uint64_t kMftRecord = 0;
constexpr std::uint64_t kBitmapRecord = 6;
constexpr std::uint64_t kUpcaseRecord = 10;
constexpr std::uint64_t kExtendRecord = 11;

constexpr std::uint64_t kMaxAttributeList = 4u * 1024 * 1024;
constexpr std::size_t kMaxExtensionRecords = 4096;
constexpr std::uint64_t kUpcaseBytes = 65536 * 2;
// The MFT's bitmap is held in memory: 64 MiB covers half a billion records.
constexpr std::uint64_t kMaxMftBitmap = 64u * 1024 * 1024;

struct Extent {
  std::uint64_t start_vcn = 0;
  Attribute attribute;
  std::vector<std::uint8_t> holder;  // the extension record the attribute points into
};

}  // namespace

bool MemoryReader::read(std::uint64_t offset, std::span<std::uint8_t> out) const {
  if (!fits(data_.size(), offset, out.size())) return false;
  if (!out.empty()) std::memcpy(out.data(), data_.data() + offset, out.size());
  return true;
}

struct Volume::DirectoryCache {
  std::mutex mutex;
  std::unordered_map<std::uint64_t, std::shared_ptr<const DirectoryListing>> listings;
  std::size_t entries = 0;
  // Free clusters, counted once.
  std::optional<std::uint64_t> free_clusters;
};

// The cache holds at most this many directory entries before it starts afresh.
static constexpr std::size_t kMaxCachedEntries = 2'000'000;

std::expected<std::shared_ptr<const Volume>, WinError> Volume::load(const Reader& reader) {
  std::vector<std::uint8_t> sector(kBootSectorSize);
  if (!reader.read(0, sector)) return std::unexpected(WinError{win::ERROR_UNRECOGNIZED_VOLUME});
  auto geometry = parse_boot_sector(sector);
  if (!geometry) {
    return std::unexpected(WinError{geometry.error() == BootError::NotNtfs ? win::ERROR_INVALID_FUNCTION
                                                                           : win::ERROR_UNRECOGNIZED_VOLUME});
  }
  std::shared_ptr<Volume> volume(new Volume());
  volume->geometry_ = *geometry;
  volume->directories_ = std::make_shared<DirectoryCache>();
  std::vector<std::uint8_t> record0;
  if (!volume->load_mft(reader, record0)) return std::unexpected(WinError{win::ERROR_UNRECOGNIZED_VOLUME});
  // From here on records are read through blocks of the whole run list.
  volume->mft_cache_ = std::make_unique<MftBlockCache>();
  volume->load_upcase(reader);
  volume->load_journal(reader);
  return std::shared_ptr<const Volume>(std::move(volume));
}

bool Volume::load_mft(const Reader& reader, std::vector<std::uint8_t>& record0) {
  const auto& g = geometry_;
  const std::uint64_t volume_bytes = g.total_clusters * g.bytes_per_cluster;
  if (g.mft_lcn > UINT64_MAX / g.bytes_per_cluster) return false;
  record0.assign(g.record_size, 0);
  if (!reader.read(g.mft_lcn * g.bytes_per_cluster, record0)) return false;
  if (!apply_update_sequence(record0, "FILE")) return false;
  const auto header = record_header(record0);
  if (!header || (header->flags & kRecordInUse) == 0) return false;

  // Bootstrap: the first extent of $DATA locates the records that hold the others.
  const auto first = find_attribute(record0, kAttrData);
  if (!first || !first->non_resident || first->start_vcn != 0) return false;
  auto runs = decode_runs(first->mapping_pairs, 0);
  if (!runs || runs->empty()) return false;
  mft_.runs = std::move(*runs);
  mft_.data_size = first->data_size;
  mft_.initialized_size = std::min(first->initialized_size, first->data_size);
  if (mft_.data_size > volume_bytes || mft_.data_size < g.record_size) return false;
  record_count_ = mft_.data_size / g.record_size;

  // The whole run list, through the attribute list when there is one.
  auto data = attribute_value(reader, record0, kMftRecord, kAttrData, {});
  if (!data || data->resident) return false;
  if (data->stream.data_size > volume_bytes || data->stream.data_size < g.record_size) return false;
  mft_ = std::move(data->stream);
  record_count_ = mft_.data_size / g.record_size;

  const std::uint64_t bitmap_bytes = std::min<std::uint64_t>((record_count_ + 7) / 8, kMaxMftBitmap);
  auto bitmap = read_attribute(reader, record0, kMftRecord, kAttrBitmap, {}, bitmap_bytes);
  if (!bitmap) return false;
  bitmap_ = std::move(*bitmap);
  return true;
}

void Volume::load_upcase(const Reader& reader) {
  std::vector<std::uint8_t> record;
  if (read_record(reader, kUpcaseRecord, record) != RecordStatus::Ok) return;
  auto table = read_attribute(reader, record, kUpcaseRecord, kAttrData, {}, kUpcaseBytes);
  if (!table || table->size() != kUpcaseBytes) return;
  std::vector<char16_t> units(65536);
  for (std::size_t i = 0; i < units.size(); ++i) units[i] = static_cast<char16_t>(u16_at(*table, 2 * i));
  if (units[u'a'] != u'A' || units[u'A'] != u'A') return;  // not an upper-case table
  upcase_ = std::move(units);
}

void Volume::load_journal(const Reader& reader) {
  auto extend = directory(reader, kExtendRecord);
  if (!extend) return;
  const auto it = (*extend)->by_name.find(upcase(u"$UsnJrnl"));
  if (it == (*extend)->by_name.end()) return;
  const std::uint64_t reference = (*extend)->entries[it->second].reference;
  const std::uint64_t number = reference & kRecordNumberMask;
  std::vector<std::uint8_t> record;
  if (read_record(reader, number, record) != RecordStatus::Ok) return;
  const auto header = record_header(record);
  if (!header || (header->flags & kRecordInUse) == 0 || header->sequence != (reference >> 48)) return;
  auto max = read_attribute(reader, record, number, kAttrData, u"$Max", kMaxValueSize);
  auto j = attribute_value(reader, record, number, kAttrData, u"$J");
  if (!max || max->size() < kMaxValueSize || !j || j->resident) return;
  JournalLocation loc;
  loc.record = number;
  loc.maximum_size = u64_at(*max, kMaxMaximumSize);
  loc.allocation_delta = u64_at(*max, kMaxAllocationDelta);
  loc.journal_id = u64_at(*max, kMaxJournalId);
  loc.lowest_valid_usn = static_cast<std::int64_t>(u64_at(*max, kMaxLowestValidUsn));
  loc.j = std::move(j->stream);
  // USNs are signed: a stream that large cannot be a journal.
  if (loc.j.data_size > static_cast<std::uint64_t>(INT64_MAX)) return;
  journal_ = std::move(loc);
}

std::uint64_t Volume::free_clusters(const Reader& reader) const {
  {
    std::lock_guard lock(directories_->mutex);
    if (directories_->free_clusters) return *directories_->free_clusters;
  }
  std::uint64_t used = 0;
  std::vector<std::uint8_t> record;
  if (read_record(reader, kBitmapRecord, record) == RecordStatus::Ok) {
    if (auto value = attribute_value(reader, record, kBitmapRecord, kAttrData, {}); value && !value->resident) {
      const std::uint64_t bytes = std::min(value->stream.data_size, (geometry_.total_clusters + 7) / 8);
      std::vector<std::uint8_t> chunk(1u << 20);
      for (std::uint64_t offset = 0; offset < bytes; offset += chunk.size()) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), bytes - offset));
        if (!read_stream(reader, value->stream, offset, std::span(chunk).first(n))) break;
        for (std::size_t i = 0; i < n; ++i) {
          std::uint8_t b = chunk[i];
          const std::uint64_t first_bit = (offset + i) * 8;
          if (first_bit + 8 > geometry_.total_clusters) {
            const auto valid = geometry_.total_clusters - first_bit;
            b = static_cast<std::uint8_t>(b & ((1u << valid) - 1));
          }
          used += static_cast<std::uint64_t>(std::popcount(b));
        }
      }
    }
  }
  const std::uint64_t free = used <= geometry_.total_clusters ? geometry_.total_clusters - used : 0;
  std::lock_guard lock(directories_->mutex);
  directories_->free_clusters = free;
  return free;
}

bool Volume::in_use(std::uint64_t number) const {
  if (number >= record_count_ || number / 8 >= bitmap_.size()) return false;
  return (bitmap_[number / 8] & (1u << (number % 8))) != 0;
}

std::optional<std::uint64_t> Volume::in_use_at_or_below(std::uint64_t number) const {
  const std::uint64_t limit = std::min<std::uint64_t>(record_count_, bitmap_.size() * 8);
  if (limit == 0) return std::nullopt;
  std::uint64_t n = std::min(number, limit - 1);
  while (true) {
    const std::uint8_t byte = bitmap_[n / 8];
    if (byte != 0) {
      for (std::uint64_t bit = n % 8 + 1; bit-- > 0;) {
        if (byte & (1u << bit)) return (n & ~std::uint64_t{7}) | bit;
      }
    }
    if (n < 8) return std::nullopt;
    n = (n & ~std::uint64_t{7}) - 1;
  }
}

std::optional<std::uint64_t> Volume::in_use_at_or_above(std::uint64_t number) const {
  const std::uint64_t limit = std::min<std::uint64_t>(record_count_, bitmap_.size() * 8);
  for (std::uint64_t n = number; n < limit;) {
    const std::uint8_t byte = bitmap_[n / 8];
    if ((byte >> (n % 8)) == 0) {
      n = (n | 7) + 1;
      continue;
    }
    if (byte & (1u << (n % 8))) return n;
    ++n;
  }
  return std::nullopt;
}

RecordStatus Volume::read_record(const Reader& reader, std::uint64_t number, std::vector<std::uint8_t>& out) const {
  if (number >= record_count_) return RecordStatus::OutOfRange;
  out.assign(geometry_.record_size, 0);
  const std::uint64_t offset = number * geometry_.record_size;
  const bool read = mft_cache_ ? mft_cache_->read(mft_.data_size, offset, out,
                                                  [&](std::uint64_t at, std::span<std::uint8_t> bytes) {
                                                    return read_stream(reader, mft_, at, bytes);
                                                  })
                               : read_stream(reader, mft_, offset, out);
  if (!read) return RecordStatus::Unreadable;
  if (!apply_update_sequence(out, "FILE")) return RecordStatus::Corrupt;
  return RecordStatus::Ok;
}

bool Volume::read_stream(const Reader& reader, const Stream& stream, std::uint64_t offset,
                         std::span<std::uint8_t> out) const {
  if (!fits(stream.data_size, offset, out.size())) return false;
  const std::uint64_t cluster = geometry_.bytes_per_cluster;
  std::size_t done = 0;
  while (done < out.size()) {
    const std::uint64_t position = offset + done;
    const std::uint64_t vcn = position / cluster;
    // The run holding vcn: the last run that starts at or before it.
    auto it = std::upper_bound(stream.runs.begin(), stream.runs.end(), vcn,
                               [](std::uint64_t v, const Run& r) { return v < r.vcn; });
    if (it == stream.runs.begin()) return false;
    --it;
    if (vcn - it->vcn >= it->length) return false;  // a hole no run describes
    if (it->vcn + it->length > UINT64_MAX / cluster) return false;
    const std::uint64_t run_end = (it->vcn + it->length) * cluster;
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(out.size() - done, run_end - position));
    auto piece = out.subspan(done, n);
    if (it->lcn < 0 || position >= stream.initialized_size) {
      std::fill(piece.begin(), piece.end(), std::uint8_t{0});
    } else {
      const auto lcn = static_cast<std::uint64_t>(it->lcn);
      if (lcn > geometry_.total_clusters || it->length > geometry_.total_clusters - lcn) return false;
      const std::uint64_t at = lcn * cluster + (position - it->vcn * cluster);
      if (!reader.read(at, piece)) return false;
      if (position + n > stream.initialized_size) {
        const auto valid = static_cast<std::size_t>(stream.initialized_size - position);
        std::fill(piece.begin() + static_cast<std::ptrdiff_t>(valid), piece.end(), std::uint8_t{0});
      }
    }
    done += n;
  }
  return true;
}

std::optional<AttributeValue> Volume::attribute_value(const Reader& reader, Bytes base_record,
                                                      std::uint64_t base_number, std::uint32_t type,
                                                      std::u16string_view name) const {
  std::vector<Extent> extents;
  const auto attributes = record_attributes(base_record);
  const auto list = std::find_if(attributes.begin(), attributes.end(),
                                 [](const Attribute& a) { return a.type == kAttrAttributeList; });
  if (list == attributes.end()) {
    for (const auto& a : attributes) {
      if (a.type == type && a.name == name) extents.push_back(Extent{a.non_resident ? a.start_vcn : 0, a, {}});
    }
  } else {
    // The attribute list names the record of every extent.
    std::vector<std::uint8_t> list_bytes;
    if (!list->non_resident) {
      list_bytes.assign(list->value.begin(), list->value.end());
    } else {
      auto runs = decode_runs(list->mapping_pairs, 0);
      if (!runs || list->data_size > kMaxAttributeList) return std::nullopt;
      Stream s{std::move(*runs), list->data_size, std::min(list->initialized_size, list->data_size)};
      list_bytes.resize(static_cast<std::size_t>(list->data_size));
      if (!read_stream(reader, s, 0, list_bytes)) return std::nullopt;
    }
    const Bytes lb(list_bytes);
    std::size_t p = 0;
    while (fits(lb.size(), p, kAlMinLength) && extents.size() < kMaxExtensionRecords) {
      const std::size_t length = u16_at(lb, p + kAlLength);
      if (length < kAlMinLength || !fits(lb.size(), p, length)) break;
      const Bytes entry = lb.subspan(p, length);
      p += length;
      if (u32_at(entry, kAlType) != type) continue;
      const std::size_t name_length = entry[kAlNameLength];
      const std::size_t name_offset = entry[kAlNameOffset];
      if (!fits(entry.size(), name_offset, 2 * name_length)) continue;
      if (utf16_units(entry, name_offset, name_length) != name) continue;
      const std::uint64_t start_vcn = u64_at(entry, kAlStartVcn);
      const std::uint64_t segment = u64_at(entry, kAlReference) & kRecordNumberMask;
      const std::uint16_t id = u16_at(entry, kAlId);
      Extent extent;
      extent.start_vcn = start_vcn;
      Bytes holder = base_record;
      if (segment != base_number) {
        if (read_record(reader, segment, extent.holder) != RecordStatus::Ok) continue;
        const auto h = record_header(extent.holder);
        if (!h || (h->base_reference & kRecordNumberMask) != base_number) continue;
        holder = extent.holder;
      }
      bool found = false;
      for (auto& a : record_attributes(holder)) {
        if (a.type == type && a.name == name && a.id == id && (!a.non_resident || a.start_vcn == start_vcn)) {
          extent.attribute = std::move(a);
          found = true;
          break;
        }
      }
      if (found) extents.push_back(std::move(extent));
    }
  }
  if (extents.empty()) return std::nullopt;
  std::stable_sort(extents.begin(), extents.end(),
                   [](const Extent& a, const Extent& b) { return a.start_vcn < b.start_vcn; });

  AttributeValue out;
  const Attribute& head = extents.front().attribute;
  if (!head.non_resident) {
    out.resident = true;
    out.value.assign(head.value.begin(), head.value.end());
    return out;
  }
  if (head.start_vcn != 0) return std::nullopt;
  out.resident = false;
  out.stream.data_size = head.data_size;
  out.stream.initialized_size = std::min(head.initialized_size, head.data_size);
  std::uint64_t next_vcn = 0;
  for (const auto& e : extents) {
    const Attribute& a = e.attribute;
    if (!a.non_resident || a.start_vcn != next_vcn) return std::nullopt;
    auto runs = decode_runs(a.mapping_pairs, a.start_vcn);
    if (!runs) return std::nullopt;
    for (const auto& r : *runs) out.stream.runs.push_back(r);
    next_vcn = runs->empty() ? a.start_vcn : runs->back().vcn + runs->back().length;
  }
  return out;
}

std::optional<std::vector<std::uint8_t>> Volume::read_attribute(const Reader& reader, Bytes base_record,
                                                                std::uint64_t base_number, std::uint32_t type,
                                                                std::u16string_view name, std::uint64_t limit) const {
  auto value = attribute_value(reader, base_record, base_number, type, name);
  if (!value) return std::nullopt;
  if (value->resident) {
    if (value->value.size() > limit) value->value.resize(static_cast<std::size_t>(limit));
    return std::move(value->value);
  }
  std::vector<std::uint8_t> out(static_cast<std::size_t>(std::min(value->stream.data_size, limit)));
  if (!read_stream(reader, value->stream, 0, out)) return std::nullopt;
  return out;
}

char16_t simple_upcase(char16_t c) {
  if (c < 0x80) return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 0x20) : c;
  if ((c >= 0xE0 && c <= 0xFE && c != 0xF7) || (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) ||
      (c >= 0x430 && c <= 0x44F) || (c >= 0xFF41 && c <= 0xFF5A)) {
    return static_cast<char16_t>(c - 0x20);
  }
  if (c == 0xFF) return 0x178;
  if (c == 0x3C2) return 0x3A3;
  if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
  // Latin Extended-A and Cyrillic pairs: the odd unit is the lower case of the even one.
  if (((c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177) || (c >= 0x460 && c <= 0x4BF)) && (c & 1)) {
    return static_cast<char16_t>(c - 1);
  }
  if (((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) && !(c & 1)) return static_cast<char16_t>(c - 1);
  return c;
}

char16_t Volume::upcase(char16_t unit) const { return upcase_.empty() ? simple_upcase(unit) : upcase_[unit]; }

std::u16string Volume::upcase(std::u16string_view text) const {
  std::u16string out(text);
  for (auto& c : out) c = upcase(c);
  return out;
}

std::expected<std::shared_ptr<const DirectoryListing>, WinError> Volume::directory(const Reader& reader,
                                                                                    std::uint64_t number) const {
  {
    std::lock_guard lock(directories_->mutex);
    if (auto it = directories_->listings.find(number); it != directories_->listings.end()) return it->second;
  }
  std::vector<std::uint8_t> record;
  if (read_record(reader, number, record) != RecordStatus::Ok) return std::unexpected(WinError{win::ERROR_FILE_CORRUPT});
  const auto header = record_header(record);
  if (!header || (header->flags & kRecordInUse) == 0 || header->base_reference != 0) {
    return std::unexpected(WinError{win::ERROR_PATH_NOT_FOUND});
  }
  if ((header->flags & kRecordIsDirectory) == 0) return std::unexpected(WinError{win::ERROR_DIRECTORY});
  auto listing = read_directory_index(*this, reader, record, number);
  if (!listing) return std::unexpected(listing.error());
  listing->reference = number | (static_cast<std::uint64_t>(header->sequence) << 48);
  auto shared = std::make_shared<const DirectoryListing>(std::move(*listing));
  std::lock_guard lock(directories_->mutex);
  if (directories_->entries + shared->entries.size() > kMaxCachedEntries) {
    directories_->listings.clear();
    directories_->entries = 0;
  }
  directories_->entries += shared->entries.size();
  directories_->listings[number] = shared;
  return shared;
}

}  // namespace kavel_lib::platform::ntfs_model
