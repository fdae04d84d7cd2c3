// Reason words of USN records and the test for a record that describes a deletion.
#pragma once

#include <cstdint>

namespace kavel_lib::engine::windows {

inline constexpr std::uint32_t USN_REASON_FILE_DELETE = 0x00000200;
inline constexpr std::uint32_t USN_REASON_RENAME_OLD_NAME = 0x00001000;
inline constexpr std::uint32_t USN_REASON_RENAME_NEW_NAME = 0x00002000;
inline constexpr std::uint32_t USN_REASON_CLOSE = 0x80000000;

// Deletion, or a name that a rename took away or gave.
inline constexpr std::uint32_t kDeleteReasonBits =
    USN_REASON_FILE_DELETE | USN_REASON_RENAME_OLD_NAME | USN_REASON_RENAME_NEW_NAME;
// Every reason bit but the close bit and the three above.
inline constexpr std::uint32_t kOtherReasonBits = 0x7FFFCDFF;

// A reason counts as a deletion when it has one of the delete or rename bits, or when it
// closes the file after any other change. A bare close is not a deletion.
constexpr bool is_delete_reason(std::uint32_t reason) {
  if ((reason & kDeleteReasonBits) != 0) return true;
  return (reason & USN_REASON_CLOSE) != 0 && (reason & kOtherReasonBits) != 0;
}

// Whether the record says the file itself was deleted (not merely renamed or changed).
constexpr bool has_file_delete(std::uint32_t reason) { return (reason & USN_REASON_FILE_DELETE) != 0; }

}  // namespace kavel_lib::engine::windows
