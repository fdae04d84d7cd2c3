#include "platform/errors.h"

#include <cerrno>
#include <utility>

#include <fmt/format.h>

namespace kavel_lib::platform {

namespace {

struct CodeMessage {
  std::uint32_t code;
  std::string_view text;
};

// Message texts of every code the backend produces, as Windows words them.
constexpr CodeMessage kMessages[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {4, "The system cannot open the file."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {13, "The data is invalid."},
    {14, "Not enough memory resources are available to complete this operation."},
    {21, "The device is not ready."},
    {23, "Data error (cyclic redundancy check)."},
    {25, "The drive cannot locate a specific area or track on the disk."},
    {29, "The system cannot write to the specified device."},
    {30, "The system cannot read from the specified device."},
    {31, "A device attached to the system is not functioning."},
    {32, "The process cannot access the file because it is being used by another process."},
    {38, "Reached the end of the file."},
    {50, "The request is not supported."},
    {80, "The file exists."},
    {87, "The parameter is incorrect."},
    {109, "The pipe has been ended."},
    {112, "There is not enough space on the disk."},
    {121, "The semaphore timeout period has expired."},
    {122, "The data area passed to a system call is too small."},
    {123, "The filename, directory name, or volume label syntax is incorrect."},
    {131, "An attempt was made to move the file pointer before the beginning of the file."},
    {145, "The directory is not empty."},
    {161, "The specified path is invalid."},
    {170, "The requested resource is in use."},
    {183, "Cannot create a file when that file already exists."},
    {206, "The filename or extension is too long."},
    {231, "All pipe instances are busy."},
    {232, "The pipe is being closed."},
    {233, "No process is on the other end of the pipe."},
    {234, "More data is available."},
    {267, "The directory name is invalid."},
    {535, "There is a process on other end of the pipe."},
    {995, "The I/O operation has been aborted because of either a thread exit or an application request."},
    {997, "Overlapped I/O operation is in progress."},
    {998, "Invalid access to memory location."},
    {1005, "The volume does not contain a recognized file system."},
    {1053, "The service did not respond to the start or control request in a timely fashion."},
    {1054, "A thread could not be created for the service."},
    {1056, "An instance of the service is already running."},
    {1058, "The service cannot be started, either because it is disabled or because it has no enabled devices associated with it."},
    {1060, "The specified service does not exist as an installed service."},
    {1063, "The service process could not connect to the service controller."},
    {1168, "Element not found."},
    {1178, "The volume change journal is being deleted."},
    {1179, "The volume change journal is not active."},
    {1181, "The journal entry has been deleted from the journal."},
    {1223, "The operation was canceled by the user."},
    {1225, "The remote computer refused the network connection."},
    {1392, "The file or directory is corrupted and unreadable."},
    {1393, "The disk structure is corrupted and unreadable."},
    {1460, "This operation returned because the timeout period expired."},
    {1784, "The supplied user buffer is not valid for the requested operation."},
};

struct ErrnoCode {
  int errno_value;
  std::uint32_t code;
};

// errno values and the Windows codes that stand for them.
constexpr ErrnoCode kErrnoCodes[] = {
    {ENOENT, win::ERROR_FILE_NOT_FOUND},
    {ENOTDIR, win::ERROR_FILE_NOT_FOUND},
    {ENXIO, win::ERROR_FILE_NOT_FOUND},
    {ENODEV, win::ERROR_FILE_NOT_FOUND},
    {EACCES, win::ERROR_ACCESS_DENIED},
    {EPERM, win::ERROR_ACCESS_DENIED},
    {EROFS, win::ERROR_ACCESS_DENIED},
    {EINVAL, win::ERROR_INVALID_PARAMETER},
    {EBADF, win::ERROR_INVALID_HANDLE},
    {EMFILE, win::ERROR_TOO_MANY_OPEN_FILES},
    {ENFILE, win::ERROR_TOO_MANY_OPEN_FILES},
    {ENOMEM, win::ERROR_NOT_ENOUGH_MEMORY},
    {EIO, win::ERROR_GEN_FAILURE},
    {EBUSY, win::ERROR_BUSY},
    {EEXIST, win::ERROR_FILE_EXISTS},
    {ENOSPC, win::ERROR_DISK_FULL},
    {EDQUOT, win::ERROR_DISK_FULL},
    {EPIPE, win::ERROR_NO_DATA},
    {ECONNRESET, win::ERROR_BROKEN_PIPE},
    {ENOTCONN, win::ERROR_PIPE_NOT_CONNECTED},
    {ECONNREFUSED, win::ERROR_CONNECTION_REFUSED},
    {EAGAIN, win::ERROR_PIPE_BUSY},
    {ETIMEDOUT, win::ERROR_SEM_TIMEOUT},
    {ENAMETOOLONG, win::ERROR_FILENAME_EXCED_RANGE},
    {ENOTEMPTY, win::ERROR_DIR_NOT_EMPTY},
    {EISDIR, win::ERROR_ACCESS_DENIED},
    {ELOOP, win::ERROR_INVALID_NAME},
    {EFAULT, win::ERROR_NOACCESS},
    {ESPIPE, win::ERROR_SEEK},
    {EOVERFLOW, win::ERROR_INVALID_PARAMETER},
    {ENOTSUP, win::ERROR_NOT_SUPPORTED},
    {ENOTTY, win::ERROR_INVALID_FUNCTION},
    {EINTR, win::ERROR_OPERATION_ABORTED},
    {ECANCELED, win::ERROR_OPERATION_ABORTED},
    {ESRCH, win::ERROR_INVALID_PARAMETER},
    {ECHILD, win::ERROR_INVALID_HANDLE},
};

}  // namespace

std::optional<std::string_view> windows_message(std::uint32_t code) {
  for (const auto& m : kMessages) {
    if (m.code == code) return m.text;
  }
  return std::nullopt;
}

std::uint32_t windows_code_from_errno(int errno_value) {
  for (const auto& e : kErrnoCodes) {
    if (e.errno_value == errno_value) return e.code;
  }
  return win::ERROR_GEN_FAILURE;
}

std::uint32_t last_windows_code() { return windows_code_from_errno(errno); }

std::uint32_t WinError::hresult() const {
  if (code == 0) return 0;
  return 0x80070000u | (code & 0xFFFFu);
}

std::string WinError::display() const {
  if (auto text = windows_message(code)) return fmt::format("{} (0x{:08X})", *text, hresult());
  return fmt::format("0x{:08X}", hresult());
}

WinError WinError::last() { return WinError{last_windows_code()}; }

OsErrorKind kind_of_windows_code(std::uint32_t code) {
  switch (code) {
    case win::ERROR_FILE_NOT_FOUND:
    case win::ERROR_PATH_NOT_FOUND:
      return OsErrorKind::NotFound;
    case win::ERROR_ACCESS_DENIED:
      return OsErrorKind::PermissionDenied;
    case win::ERROR_INVALID_PARAMETER:
    case win::ERROR_INVALID_NAME:
    case win::ERROR_BAD_PATHNAME:
      return OsErrorKind::InvalidInput;
    case win::ERROR_INVALID_DATA:
      return OsErrorKind::InvalidData;
    case win::ERROR_HANDLE_EOF:
      return OsErrorKind::UnexpectedEof;
    case win::ERROR_OPERATION_ABORTED:
      return OsErrorKind::Interrupted;
    default:
      return OsErrorKind::Other;
  }
}

std::string_view kind_name(OsErrorKind kind) {
  switch (kind) {
    case OsErrorKind::NotFound: return "NotFound";
    case OsErrorKind::PermissionDenied: return "PermissionDenied";
    case OsErrorKind::InvalidInput: return "InvalidInput";
    case OsErrorKind::InvalidData: return "InvalidData";
    case OsErrorKind::UnexpectedEof: return "UnexpectedEof";
    case OsErrorKind::WriteZero: return "WriteZero";
    case OsErrorKind::Interrupted: return "Interrupted";
    case OsErrorKind::Other: return "Other";
  }
  return "Other";
}

OsError OsError::from_code(std::uint32_t windows_code) {
  OsError e;
  e.kind_ = kind_of_windows_code(windows_code);
  e.code_ = windows_code;
  return e;
}

OsError OsError::from_errno(int errno_value) { return from_code(windows_code_from_errno(errno_value)); }

OsError OsError::last() { return from_errno(errno); }

OsError OsError::with_text(OsErrorKind kind, std::string text) {
  OsError e;
  e.kind_ = kind;
  e.text_ = std::move(text);
  return e;
}

OsError OsError::from_win(const WinError& error) { return with_text(OsErrorKind::Other, error.display()); }

OsError OsError::unexpected_eof() { return with_text(OsErrorKind::UnexpectedEof, "failed to fill whole buffer"); }

OsError OsError::write_zero() { return with_text(OsErrorKind::WriteZero, "failed to write whole buffer"); }

std::string OsError::display() const {
  if (!code_) return text_;
  auto text = windows_message(*code_);
  return fmt::format("{} (os error {})", text ? *text : std::string_view("Unknown error"), *code_);
}

}  // namespace kavel_lib::platform
