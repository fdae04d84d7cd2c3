// FSCTL_QUERY_USN_JOURNAL, FSCTL_READ_USN_JOURNAL and FSCTL_ENUM_USN_DATA.
#include <algorithm>
#include <vector>

#include "platform/posix/ntfs_model/controls.h"
#include "platform/posix/ntfs_model/index.h"
#include "platform/posix/ntfs_model/usn_record.h"

namespace kavel_lib::platform::ntfs_model {

namespace {

// USN_JOURNAL_DATA V0/V1/V2.
constexpr std::size_t kJdJournalId = 0;
constexpr std::size_t kJdFirstUsn = 8;
constexpr std::size_t kJdNextUsn = 16;
constexpr std::size_t kJdLowestValidUsn = 24;
constexpr std::size_t kJdMaxUsn = 32;
constexpr std::size_t kJdMaximumSize = 40;
constexpr std::size_t kJdAllocationDelta = 48;
constexpr std::size_t kJdMinVersion = 56;
constexpr std::size_t kJdMaxVersion = 58;
constexpr std::size_t kJdV0Size = 56;
constexpr std::size_t kJdV1Size = 64;
constexpr std::size_t kJdV2Size = 80;
constexpr std::int64_t kMaxUsn = 0x7FFFFFFFFFFF0000;

// READ_USN_JOURNAL_DATA V0/V1.
constexpr std::size_t kRdStartUsn = 0;
constexpr std::size_t kRdReasonMask = 8;
constexpr std::size_t kRdReturnOnlyOnClose = 12;
constexpr std::size_t kRdJournalId = 32;
constexpr std::size_t kRdMinVersion = 40;
constexpr std::size_t kRdMaxVersion = 42;
constexpr std::size_t kRdV0Size = 40;
constexpr std::size_t kRdV1Size = 48;

// MFT_ENUM_DATA V0/V1.
constexpr std::size_t kEnStart = 0;
constexpr std::size_t kEnLowUsn = 8;
constexpr std::size_t kEnHighUsn = 16;
constexpr std::size_t kEnMinVersion = 24;
constexpr std::size_t kEnMaxVersion = 26;
constexpr std::size_t kEnV0Size = 24;
constexpr std::size_t kEnV1Size = 32;

// $STANDARD_INFORMATION.
constexpr std::size_t kSiAttributes = 0x20;
constexpr std::size_t kSiSecurityId = 0x34;
constexpr std::size_t kSiUsn = 0x40;
constexpr std::size_t kSiV3Size = 0x48;

constexpr std::uint32_t kReasonClose = 0x80000000;
constexpr std::uint32_t kFileAttributeDirectory = 0x10;

// The first USN that can be read: the first byte of $J that is not sparse.
std::uint64_t first_usn(const Stream& j, std::uint32_t cluster) {
  for (const auto& run : j.runs) {
    if (run.lcn >= 0) return run.vcn > j.data_size / cluster ? j.data_size : std::min(run.vcn * cluster, j.data_size);
  }
  return j.data_size;
}

// When the page at `offset` lies in a sparse run: where that run ends.
std::optional<std::uint64_t> sparse_end(const Stream& j, std::uint64_t offset, std::uint32_t cluster) {
  const std::uint64_t vcn = offset / cluster;
  auto it = std::upper_bound(j.runs.begin(), j.runs.end(), vcn, [](std::uint64_t v, const Run& r) { return v < r.vcn; });
  if (it == j.runs.begin()) return std::nullopt;
  --it;
  if (it->lcn >= 0 || vcn - it->vcn >= it->length) return std::nullopt;
  // A run reaching past the stream's end (or past 2^64 bytes) ends the walk at the stream's end.
  const std::uint64_t end_vcn = it->vcn + it->length;  // decode_runs keeps this within 64 bits
  if (end_vcn > j.data_size / cluster) return j.data_size;
  return end_vcn * cluster;
}

struct VersionRange {
  std::uint16_t min = 2;
  std::uint16_t max = 2;
};

}  // namespace

Answer query_usn_journal(const Volume& volume, Output out, std::uint16_t max_version) {
  const auto& journal = volume.journal();
  if (!journal) return std::unexpected(WinError{win::ERROR_JOURNAL_NOT_ACTIVE});
  if (out.size() < kJdV0Size) return std::unexpected(WinError{win::ERROR_INSUFFICIENT_BUFFER});
  const std::size_t size = out.size() >= kJdV2Size ? kJdV2Size : out.size() >= kJdV1Size ? kJdV1Size : kJdV0Size;
  std::fill(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(size), std::uint8_t{0});
  put_u64(out, kJdJournalId, journal->journal_id);
  put_u64(out, kJdFirstUsn, first_usn(journal->j, volume.geometry().bytes_per_cluster));
  put_u64(out, kJdNextUsn, journal->j.data_size);
  put_u64(out, kJdLowestValidUsn, static_cast<std::uint64_t>(journal->lowest_valid_usn));
  put_u64(out, kJdMaxUsn, static_cast<std::uint64_t>(kMaxUsn));
  put_u64(out, kJdMaximumSize, journal->maximum_size);
  put_u64(out, kJdAllocationDelta, journal->allocation_delta);
  if (size >= kJdV1Size) {
    put_u16(out, kJdMinVersion, 2);
    put_u16(out, kJdMaxVersion, std::min<std::uint16_t>(max_version, 4));
  }
  return size;
}

Answer read_usn_journal(const Volume& volume, const Reader& reader, Bytes in, Output out, std::uint16_t cap) {
  if (in.size() < kRdV0Size) return std::unexpected(WinError{win::ERROR_INVALID_PARAMETER});
  const auto& journal = volume.journal();
  if (!journal) return std::unexpected(WinError{win::ERROR_JOURNAL_NOT_ACTIVE});
  VersionRange versions;
  if (in.size() >= kRdV1Size) versions = {u16_at(in, kRdMinVersion), u16_at(in, kRdMaxVersion)};
  if (versions.min > versions.max || versions.max < 2 || versions.min > 4 || versions.max > cap) {
    return std::unexpected(WinError{win::ERROR_INVALID_PARAMETER});
  }
  if (u64_at(in, kRdJournalId) != journal->journal_id) return std::unexpected(WinError{win::ERROR_INVALID_PARAMETER});
  if (out.size() < 8) return std::unexpected(WinError{win::ERROR_INSUFFICIENT_BUFFER});

  const std::uint32_t cluster = volume.geometry().bytes_per_cluster;
  const Stream& j = journal->j;
  const std::uint64_t first = first_usn(j, cluster);
  const std::uint64_t next_usn = j.data_size;
  const auto start_raw = static_cast<std::int64_t>(u64_at(in, kRdStartUsn));
  const std::uint32_t mask = u32_at(in, kRdReasonMask);
  const bool only_on_close = u32_at(in, kRdReturnOnlyOnClose) != 0;
  if (start_raw < 0) return std::unexpected(WinError{win::ERROR_INVALID_PARAMETER});
  std::uint64_t start = static_cast<std::uint64_t>(start_raw);
  if (start == 0) start = first;  // zero reads from the first record
  if (start < first) return std::unexpected(WinError{win::ERROR_JOURNAL_ENTRY_DELETED});
  if (start >= next_usn) {
    put_u64(out, 0, next_usn);
    return 8;
  }

  const std::uint64_t end = std::min(next_usn, j.initialized_size);
  std::vector<std::uint8_t> page(kUsnPageSize);
  std::uint64_t loaded = UINT64_MAX;
  std::size_t written = 8;
  bool full = false;
  std::uint64_t o = start & ~(kUsnPageSize - 1);  // walk from the page start to find record boundaries
  while (o < end) {
    const std::uint64_t page_start = o & ~(kUsnPageSize - 1);
    if (o == page_start) {
      if (auto skip = sparse_end(j, o, cluster)) {
        o = (*skip + kUsnPageSize - 1) & ~(kUsnPageSize - 1);
        continue;
      }
    }
    if (loaded != page_start) {
      std::fill(page.begin(), page.end(), std::uint8_t{0});
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kUsnPageSize, next_usn - page_start));
      if (!volume.read_stream(reader, j, page_start, std::span(page).first(n))) {
        return std::unexpected(WinError{win::ERROR_READ_FAULT});
      }
      loaded = page_start;
    }
    const auto at = static_cast<std::size_t>(o - page_start);
    const std::uint64_t next_page = page_start + kUsnPageSize;
    if (kUsnPageSize - at < 8) {
      o = next_page;
      continue;
    }
    const std::uint32_t length = u32_at(page, at);
    // Zero padding or damage: the rest of the page holds no record.
    if (length < 8 || length % 8 != 0 || length > kUsnPageSize - at || o + length > next_usn) {
      o = next_page;
      continue;
    }
    const std::uint64_t here = o;
    o += length;
    if (here < start) continue;  // still looking for the first boundary at or after StartUsn

    const Bytes record = Bytes(page).subspan(at, length);
    const std::uint16_t major = u16_at(record, usn_layout::kMajorVersion);
    std::uint32_t reason = 0;
    std::size_t size = 0;
    std::optional<UsnEntry> entry;
    std::uint16_t version = 0;
    if (major == 2 || major == 3) {
      entry = parse_named_usn_record(record);
      if (!entry) continue;
      // V2 and V3 records are handed out in the highest of versions 2 and 3 the caller takes.
      version = std::min<std::uint16_t>(versions.max, 3);
      if (version < versions.min) continue;
      if (version == 2 && (entry->file_high != 0 || entry->parent_high != 0)) continue;
      reason = entry->reason;
      size = usn_record_size(*entry, version);
    } else if (major == 4) {
      if (versions.max < 4 || length < usn_layout::kV4Header) continue;
      reason = u32_at(record, usn_layout::kV4Reason);
      size = length;
    } else {
      continue;
    }
    if ((reason & mask) == 0 || (only_on_close && (reason & kReasonClose) == 0)) continue;
    if (size > out.size() - written) {
      full = true;
      o = here;
      break;
    }
    if (entry) {
      write_usn_record(*entry, version, out.subspan(written, size));
    } else {
      std::copy(record.begin(), record.end(), out.begin() + static_cast<std::ptrdiff_t>(written));
    }
    written += size;
  }
  if (full && written == 8) return std::unexpected(WinError{win::ERROR_INSUFFICIENT_BUFFER});
  put_u64(out, 0, full ? o : next_usn);
  return written;
}

Answer enum_usn_data(const Volume& volume, const Reader& reader, Bytes in, Output out) {
  if (in.size() < kEnV0Size) return std::unexpected(WinError{win::ERROR_INVALID_PARAMETER});
  VersionRange versions;
  if (in.size() >= kEnV1Size) versions = {u16_at(in, kEnMinVersion), u16_at(in, kEnMaxVersion)};
  if (versions.min > versions.max || versions.max < 2 || versions.min > 3) {
    return std::unexpected(WinError{win::ERROR_INVALID_PARAMETER});
  }
  const std::uint16_t version = versions.max >= 3 ? 3 : 2;
  if (out.size() < 8) return std::unexpected(WinError{win::ERROR_INSUFFICIENT_BUFFER});
  const std::uint64_t start = u64_at(in, kEnStart) & kRecordNumberMask;
  const auto low = static_cast<std::int64_t>(u64_at(in, kEnLowUsn));
  const auto high = static_cast<std::int64_t>(u64_at(in, kEnHighUsn));

  std::size_t written = 8;
  std::uint64_t next = start;
  std::vector<std::uint8_t> record;
  for (auto n = volume.in_use_at_or_above(start); n; n = volume.in_use_at_or_above(*n + 1)) {
    next = *n + 1;
    if (volume.read_record(reader, *n, record) != RecordStatus::Ok) continue;
    const auto header = record_header(record);
    if (!header || (header->flags & kRecordInUse) == 0 || header->base_reference != 0) continue;
    std::optional<Attribute> si;
    std::optional<FileName> best;
    int best_rank = -1;
    for (const auto& a : record_attributes(record)) {
      if (a.non_resident) continue;
      if (a.type == kAttrStandardInformation && !si) si = a;
      if (a.type == kAttrFileName) {
        auto name = parse_file_name(a.value);
        if (!name) continue;
        // The long name first, then the POSIX one, the short name last.
        const int rank = name->name_space == kNamespaceDos ? 0 : name->name_space == kNamespacePosix ? 1 : 2;
        if (rank > best_rank) {
          best_rank = rank;
          best = std::move(name);
        }
      }
    }
    if (!best) continue;
    UsnEntry e;
    std::int64_t usn = 0;
    if (si && si->value.size() >= kSiV3Size) {
      usn = static_cast<std::int64_t>(u64_at(si->value, kSiUsn));
      e.security_id = u32_at(si->value, kSiSecurityId);
    }
    if (usn < low || usn > high) continue;
    if (si && si->value.size() >= kSiAttributes + 4) e.attributes = u32_at(si->value, kSiAttributes);
    if (header->flags & kRecordIsDirectory) e.attributes |= kFileAttributeDirectory;
    e.file_low = *n | (static_cast<std::uint64_t>(header->sequence) << 48);
    e.parent_low = best->parent;
    e.usn = usn;
    e.name = std::move(best->name);
    const std::size_t size = usn_record_size(e, version);
    if (size > out.size() - written) {
      if (written == 8) return std::unexpected(WinError{win::ERROR_INSUFFICIENT_BUFFER});
      next = *n;
      break;
    }
    write_usn_record(e, version, out.subspan(written, size));
    written += size;
  }
  if (written == 8) return std::unexpected(WinError{win::ERROR_HANDLE_EOF});
  put_u64(out, 0, next);
  return written;
}

}  // namespace kavel_lib::platform::ntfs_model
