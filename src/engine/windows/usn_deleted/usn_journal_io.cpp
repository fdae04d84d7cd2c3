// FSCTL_QUERY_USN_JOURNAL, the FSCTL_READ_USN_JOURNAL loop and the FSCTL_ENUM_USN_DATA loop.
#include "engine/windows/usn_deleted/usn_journal_io.h"

#include <algorithm>
#include <limits>

#include <fmt/format.h>

#include "platform/ntfs_control.h"

namespace kavel_lib::engine::windows {

namespace {

using platform::OsError;
using platform::OsErrorKind;
using platform::WinError;

std::uint64_t load_le(std::span<const std::uint8_t> bytes, std::size_t at, int width) {
  std::uint64_t value = 0;
  for (int i = 0; i < width; ++i) {
    const std::size_t p = at + static_cast<std::size_t>(i);
    if (p < bytes.size()) value |= static_cast<std::uint64_t>(bytes[p]) << (8 * i);
  }
  return value;
}
void store_le(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint64_t value, int width) {
  for (int i = 0; i < width; ++i) bytes[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
}

constexpr std::uint16_t kMinMajorVersion = 2;
constexpr std::uint16_t kMaxMajorVersion = 4;
constexpr std::uint64_t kEnumBelow = 4096;
constexpr std::uint64_t kEnumAbove = 0x8000;
constexpr std::size_t kPositionBytes = 8;

OsError control_error(std::string_view what, const WinError& error) {
  return OsError::with_text(OsErrorKind::Other, fmt::format("{}: {}", what, error.display()));
}

}  // namespace

UsnJournalData parse_journal_data(std::span<const std::uint8_t> bytes) {
  UsnJournalData d;
  d.journal_id = load_le(bytes, 0, 8);
  d.first_usn = static_cast<std::int64_t>(load_le(bytes, 8, 8));
  d.next_usn = static_cast<std::int64_t>(load_le(bytes, 16, 8));
  d.lowest_valid_usn = static_cast<std::int64_t>(load_le(bytes, 24, 8));
  d.max_usn = static_cast<std::int64_t>(load_le(bytes, 32, 8));
  d.maximum_size = load_le(bytes, 40, 8);
  d.allocation_delta = load_le(bytes, 48, 8);
  d.min_supported_version = static_cast<std::uint16_t>(load_le(bytes, 56, 2));
  d.max_supported_version = static_cast<std::uint16_t>(load_le(bytes, 58, 2));
  return d;
}

std::vector<std::uint8_t> read_journal_input(std::int64_t start_usn, std::uint64_t journal_id,
                                             std::uint16_t max_version) {
  std::vector<std::uint8_t> in(usn_io_layout::kReadInputSize, 0);
  store_le(in, 0, static_cast<std::uint64_t>(start_usn), 8);  // StartUsn
  store_le(in, 8, 0xFFFFFFFF, 4);                              // ReasonMask
  // ReturnOnlyOnClose, Timeout and BytesToWaitFor stay 0.
  store_le(in, 32, journal_id, 8);
  store_le(in, 40, kMinMajorVersion, 2);
  store_le(in, 42, max_version, 2);
  return in;
}

std::vector<std::uint8_t> enum_usn_input(std::uint64_t start_reference) {
  std::vector<std::uint8_t> in(usn_io_layout::kEnumInputSize, 0);
  store_le(in, 0, start_reference, 8);  // LowUsn and HighUsn stay 0
  store_le(in, 24, kMinMajorVersion, 2);
  store_le(in, 26, kMaxMajorVersion, 2);
  return in;
}

std::expected<UsnJournalData, platform::OsError> query_usn_journal(const JournalControl& control) {
  std::vector<std::uint8_t> out(usn_io_layout::kJournalDataSize, 0);
  auto r = control(platform::ctl::FSCTL_QUERY_USN_JOURNAL, {}, out);
  if (!r) {
    if (r.error().code != 0) return std::unexpected(control_error("QUERY_USN_JOURNAL", r.error()));
    std::fill(out.begin(), out.end(), std::uint8_t{0});
  }
  return parse_journal_data(out);
}

std::optional<std::int64_t> usn_window_start(const UsnJournalData& journal) {
  if (journal.next_usn < std::numeric_limits<std::int64_t>::min() + kUsnReadWindow) return std::nullopt;
  return std::max(journal.next_usn - kUsnReadWindow, journal.first_usn);
}

std::expected<void, platform::OsError> read_journal_loop(
    const JournalControl& control, const UsnJournalData& journal, std::int64_t start,
    const std::function<void(std::span<const std::uint8_t>)>& on_records) {
  if (journal.first_usn >= journal.next_usn || start >= journal.next_usn) return {};
  std::int64_t position = std::max(start, journal.first_usn);
  std::vector<std::uint8_t> buffer(kUsnBufferSize);
  std::uint16_t max_version = kMaxMajorVersion;
  bool first_try = true;
  bool restarted = false;

  while (position < journal.next_usn) {
    const auto input = read_journal_input(position, journal.journal_id, max_version);
    auto r = control(platform::ctl::FSCTL_READ_USN_JOURNAL, input, buffer);
    if (!r) {
      const std::uint32_t code = r.error().code;
      if (code == platform::win::ERROR_INVALID_PARAMETER) {
        if (first_try) {
          // The volume does not serve V3/V4 records: ask for V2 only.
          first_try = false;
          max_version = kMinMajorVersion;
          continue;
        }
        if (position == journal.first_usn || restarted) break;
        restarted = true;
        position = journal.first_usn;
        continue;
      }
      if (code == platform::win::ERROR_HANDLE_EOF) break;
      return std::unexpected(control_error("READ_USN_JOURNAL", r.error()));
    }
    const std::size_t got = std::min(*r, buffer.size());
    if (got < kPositionBytes) break;
    const auto next = static_cast<std::int64_t>(load_le(buffer, 0, 8));
    on_records(std::span<const std::uint8_t>(buffer).subspan(kPositionBytes, got - kPositionBytes));
    if (next <= position) break;
    position = next;
  }
  return {};
}

std::expected<std::uint64_t, platform::OsError> read_usn_journal_range(const JournalControl& control,
                                                                      const UsnWalkContext& context,
                                                                      const UsnJournalData& journal,
                                                                      std::int64_t start, UsnFindings& findings,
                                                                      std::unordered_set<std::uint64_t>& unpaired_frns) {
  const std::size_t before = findings.candidates.size();
  std::unordered_set<std::uint64_t> local_unpaired;
  auto loop = read_journal_loop(control, journal, start, [&](std::span<const std::uint8_t> records) {
    walk_usn_buffer(records, context, findings, local_unpaired);
  });
  if (!loop) return std::unexpected(loop.error());
  unpaired_frns.insert(local_unpaired.begin(), local_unpaired.end());
  return static_cast<std::uint64_t>(findings.candidates.size() - before);
}

EnumStepOutcome run_enum_step(const JournalControl& control, const UsnWalkContext& context, UsnFindings& findings) {
  EnumStepOutcome outcome;
  const std::size_t before = findings.candidates.size();
  std::uint64_t start = 0;
  std::uint64_t limit = std::numeric_limits<std::uint64_t>::max();
  if (!context.full) {
    start = context.dir_frn >= kEnumBelow ? context.dir_frn - kEnumBelow : 0;
    limit = context.dir_frn > limit - kEnumAbove ? limit : context.dir_frn + kEnumAbove;
  }
  std::vector<std::uint8_t> buffer(kUsnBufferSize);
  std::unordered_set<std::uint64_t> step_unpaired;
  for (;;) {
    const auto input = enum_usn_input(start);
    auto r = control(platform::ctl::FSCTL_ENUM_USN_DATA, input, buffer);
    if (!r) {
      if (r.error().code != platform::win::ERROR_HANDLE_EOF) {
        outcome.error = control_error("ENUM_USN_DATA", r.error()).display();
      }
      break;
    }
    const std::size_t got = std::min(*r, buffer.size());
    if (got < kPositionBytes) break;
    const std::uint64_t next = load_le(buffer, 0, 8);
    walk_usn_buffer(std::span<const std::uint8_t>(buffer).subspan(kPositionBytes, got - kPositionBytes), context,
                    findings, step_unpaired);
    // A next start that does not move forward ends the step, so a confused answer cannot
    // keep it going round.
    if (next == 0 || next == start || (next & kFrnMask) < (start & kFrnMask)) break;
    if (!context.full && (next & kFrnMask) > limit) break;
    start = next;
  }
  outcome.added = static_cast<std::uint64_t>(findings.candidates.size() - before);
  return outcome;
}

}  // namespace kavel_lib::engine::windows
