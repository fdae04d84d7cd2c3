// The journal's control codes on an open volume: FSCTL_QUERY_USN_JOURNAL for the journal's
// bounds, the FSCTL_READ_USN_JOURNAL loop over a USN window with its version fallback, and
// the FSCTL_ENUM_USN_DATA loop over a range of record numbers.
//
// The calls go through a JournalControl so that the loops run the same over a volume handle
// and over a test's scripted answers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine/windows/usn_deleted/usn_walk.h"
#include "platform/errors.h"

namespace kavel_lib::engine::windows {

// One DeviceIoControl call: the bytes written into output, or the Windows error.
using JournalControl = std::function<std::expected<std::size_t, platform::WinError>(
    std::uint32_t code, std::span<const std::uint8_t> input, std::span<std::uint8_t> output)>;

// Output buffer of each read and enumeration call.
inline constexpr std::size_t kUsnBufferSize = 0x40000;
// The journal is read over its last 8,000,000 bytes of USN space at most.
inline constexpr std::int64_t kUsnReadWindow = 8'000'000;

// USN_JOURNAL_DATA_V1 (64 bytes).
struct UsnJournalData {
  std::uint64_t journal_id = 0;
  std::int64_t first_usn = 0;
  std::int64_t next_usn = 0;
  std::int64_t lowest_valid_usn = 0;
  std::int64_t max_usn = 0;
  std::uint64_t maximum_size = 0;
  std::uint64_t allocation_delta = 0;
  std::uint16_t min_supported_version = 0;
  std::uint16_t max_supported_version = 0;
};

namespace usn_io_layout {
inline constexpr std::size_t kJournalDataSize = 64;
inline constexpr std::size_t kReadInputSize = 48;  // READ_USN_JOURNAL_DATA_V1
inline constexpr std::size_t kEnumInputSize = 32;  // MFT_ENUM_DATA_V1
}  // namespace usn_io_layout

// USN_JOURNAL_DATA_V1 decoded from its 64 bytes (zeroes past the bytes given).
UsnJournalData parse_journal_data(std::span<const std::uint8_t> bytes);
// READ_USN_JOURNAL_DATA_V1: every reason, no waiting, versions 2..max_version.
std::vector<std::uint8_t> read_journal_input(std::int64_t start_usn, std::uint64_t journal_id,
                                             std::uint16_t max_version);
// MFT_ENUM_DATA_V1: LowUsn = HighUsn = 0, versions 2..4.
std::vector<std::uint8_t> enum_usn_input(std::uint64_t start_reference);

// The journal's bounds. A failure with an error code is "QUERY_USN_JOURNAL: {}"; one without
// a code gives the zeroed data.
std::expected<UsnJournalData, platform::OsError> query_usn_journal(const JournalControl& control);

// Where the read window of the journal starts: max(NextUsn - 8,000,000, FirstUsn), or nothing
// when the subtraction overflows.
std::optional<std::int64_t> usn_window_start(const UsnJournalData& journal);

// The read loop from start (at least FirstUsn) up to NextUsn; on_records gets the records of
// each answer (the bytes after its 8-byte next USN). Error 87 first retries at the same
// position with versions 2..2, then once from FirstUsn, then ends the loop; error 38, an
// answer under 8 bytes or a next USN that does not move ends it; any other failure is
// "READ_USN_JOURNAL: {}".
std::expected<void, platform::OsError> read_journal_loop(
    const JournalControl& control, const UsnJournalData& journal, std::int64_t start,
    const std::function<void(std::span<const std::uint8_t>)>& on_records);

// read_journal_loop with each answer walked into findings, using a local unpaired set whose
// members join unpaired_frns at the end. Returns the number of candidates added.
std::expected<std::uint64_t, platform::OsError> read_usn_journal_range(const JournalControl& control,
                                                                      const UsnWalkContext& context,
                                                                      const UsnJournalData& journal,
                                                                      std::int64_t start, UsnFindings& findings,
                                                                      std::unordered_set<std::uint64_t>& unpaired_frns);

// The enumeration step: FSCTL_ENUM_USN_DATA from dir_frn - 4096 up to dir_frn + 32,768 in
// near mode (from 0 to the end in full mode), each answer walked into findings with an
// unpaired set of the step's own.
struct EnumStepOutcome {
  std::uint64_t added = 0;
  std::optional<std::string> error;  // "ENUM_USN_DATA: {}"
};
EnumStepOutcome run_enum_step(const JournalControl& control, const UsnWalkContext& context, UsnFindings& findings);

}  // namespace kavel_lib::engine::windows
