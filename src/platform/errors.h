// Error values of the platform seam.
//
// OsError is the operating-system input/output error of the exporters, the device open and the
// file operations: a kind plus either a Windows error code (whose system message is shown with
// " (os error {code})") or a message text of its own.
//
// WinError is a failed Windows-style call: the Windows error code it left behind. Its display
// text is "{message} (0x{HRESULT})", the HRESULT being 0x80070000 | code, or the hexadecimal
// HRESULT alone when no message text is known for the code.
//
// The backend speaks Windows error codes everywhere above the seam; errno values are mapped to
// them in one table (windows_code_from_errno).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kavel_lib::platform {

// Windows error codes the backend produces or the engine tests for.
namespace win {
inline constexpr std::uint32_t ERROR_SUCCESS = 0;
inline constexpr std::uint32_t ERROR_INVALID_FUNCTION = 1;
inline constexpr std::uint32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr std::uint32_t ERROR_PATH_NOT_FOUND = 3;
inline constexpr std::uint32_t ERROR_TOO_MANY_OPEN_FILES = 4;
inline constexpr std::uint32_t ERROR_ACCESS_DENIED = 5;
inline constexpr std::uint32_t ERROR_INVALID_HANDLE = 6;
inline constexpr std::uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr std::uint32_t ERROR_INVALID_DATA = 13;
inline constexpr std::uint32_t ERROR_OUTOFMEMORY = 14;
inline constexpr std::uint32_t ERROR_NOT_READY = 21;
inline constexpr std::uint32_t ERROR_CRC = 23;
inline constexpr std::uint32_t ERROR_SEEK = 25;
inline constexpr std::uint32_t ERROR_WRITE_FAULT = 29;
inline constexpr std::uint32_t ERROR_READ_FAULT = 30;
inline constexpr std::uint32_t ERROR_GEN_FAILURE = 31;
inline constexpr std::uint32_t ERROR_SHARING_VIOLATION = 32;
inline constexpr std::uint32_t ERROR_HANDLE_EOF = 38;
inline constexpr std::uint32_t ERROR_NOT_SUPPORTED = 50;
inline constexpr std::uint32_t ERROR_FILE_EXISTS = 80;
inline constexpr std::uint32_t ERROR_INVALID_PARAMETER = 87;
inline constexpr std::uint32_t ERROR_BROKEN_PIPE = 109;
inline constexpr std::uint32_t ERROR_DISK_FULL = 112;
inline constexpr std::uint32_t ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr std::uint32_t ERROR_INVALID_NAME = 123;
inline constexpr std::uint32_t ERROR_NEGATIVE_SEEK = 131;
inline constexpr std::uint32_t ERROR_DIR_NOT_EMPTY = 145;
inline constexpr std::uint32_t ERROR_BAD_PATHNAME = 161;
inline constexpr std::uint32_t ERROR_BUSY = 170;
inline constexpr std::uint32_t ERROR_ALREADY_EXISTS = 183;
inline constexpr std::uint32_t ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr std::uint32_t ERROR_PIPE_BUSY = 231;
inline constexpr std::uint32_t ERROR_NO_DATA = 232;
inline constexpr std::uint32_t ERROR_PIPE_NOT_CONNECTED = 233;
inline constexpr std::uint32_t ERROR_MORE_DATA = 234;
inline constexpr std::uint32_t ERROR_DIRECTORY = 267;
inline constexpr std::uint32_t ERROR_PIPE_CONNECTED = 535;
inline constexpr std::uint32_t ERROR_OPERATION_ABORTED = 995;
inline constexpr std::uint32_t ERROR_IO_PENDING = 997;
inline constexpr std::uint32_t ERROR_NOACCESS = 998;
inline constexpr std::uint32_t ERROR_SERVICE_REQUEST_TIMEOUT = 1053;
inline constexpr std::uint32_t ERROR_SERVICE_NO_THREAD = 1054;
inline constexpr std::uint32_t ERROR_SERVICE_ALREADY_RUNNING = 1056;
inline constexpr std::uint32_t ERROR_SERVICE_DISABLED = 1058;
inline constexpr std::uint32_t ERROR_SERVICE_DOES_NOT_EXIST = 1060;
inline constexpr std::uint32_t ERROR_FAILED_SERVICE_CONTROLLER_CONNECT = 1063;
inline constexpr std::uint32_t ERROR_FILE_CORRUPT = 1392;
inline constexpr std::uint32_t ERROR_DISK_CORRUPT = 1393;
inline constexpr std::uint32_t ERROR_JOURNAL_NOT_ACTIVE = 1179;
inline constexpr std::uint32_t ERROR_JOURNAL_DELETE_IN_PROGRESS = 1178;
inline constexpr std::uint32_t ERROR_JOURNAL_ENTRY_DELETED = 1181;
inline constexpr std::uint32_t ERROR_CANCELLED = 1223;
inline constexpr std::uint32_t ERROR_INVALID_USER_BUFFER = 1784;
inline constexpr std::uint32_t ERROR_TIMEOUT = 1460;
inline constexpr std::uint32_t ERROR_NOT_FOUND = 1168;
inline constexpr std::uint32_t ERROR_UNRECOGNIZED_VOLUME = 1005;
inline constexpr std::uint32_t ERROR_SEM_TIMEOUT = 121;
inline constexpr std::uint32_t ERROR_CONNECTION_REFUSED = 1225;
}  // namespace win

// The Windows message text of a code, as FormatMessage gives it (without the trailing line
// break); nothing for a code the backend never produces.
std::optional<std::string_view> windows_message(std::uint32_t code);

// The Windows error code that stands for an errno value (ENOENT 2, EACCES 5, EINVAL 87, ...).
std::uint32_t windows_code_from_errno(int errno_value);

// The Windows error code of the calling thread's current errno.
std::uint32_t last_windows_code();

struct WinError {
  std::uint32_t code = 0;

  // 0x80070000 | (code & 0xFFFF), as HRESULT_FROM_WIN32 makes it (0 stays 0).
  [[nodiscard]] std::uint32_t hresult() const;
  // "{message} (0x{HRESULT:08X})", or "0x{HRESULT:08X}" when the code has no known message.
  [[nodiscard]] std::string display() const;

  // The error of the calling thread's current errno.
  static WinError last();
  friend bool operator==(const WinError&, const WinError&) = default;
};

enum class OsErrorKind {
  NotFound,
  PermissionDenied,
  InvalidInput,
  InvalidData,
  UnexpectedEof,
  WriteZero,
  Interrupted,
  Other,
};

// The kind that a Windows error code falls under (2 and 3 NotFound, 5 PermissionDenied, ...).
OsErrorKind kind_of_windows_code(std::uint32_t code);
std::string_view kind_name(OsErrorKind kind);

class OsError {
 public:
  // A system error: kind from the code, display "{system message} (os error {code})".
  static OsError from_code(std::uint32_t windows_code);
  // A system error from an errno value (mapped to its Windows code).
  static OsError from_errno(int errno_value);
  // The calling thread's errno as a system error.
  static OsError last();
  // An error with a message text of its own.
  static OsError with_text(OsErrorKind kind, std::string text);
  // Kind Other, the Windows error's display text as message.
  static OsError from_win(const WinError& error);

  // The two read/write loop errors.
  static OsError unexpected_eof();  // "failed to fill whole buffer"
  static OsError write_zero();      // "failed to write whole buffer"

  [[nodiscard]] OsErrorKind kind() const { return kind_; }
  [[nodiscard]] std::optional<std::uint32_t> code() const { return code_; }
  [[nodiscard]] std::string display() const;

  friend bool operator==(const OsError&, const OsError&) = default;

 private:
  OsErrorKind kind_ = OsErrorKind::Other;
  std::optional<std::uint32_t> code_;
  std::string text_;
};

}  // namespace kavel_lib::platform
