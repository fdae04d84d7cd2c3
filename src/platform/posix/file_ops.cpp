#include "platform/file_ops.h"

#include "platform/acting_identity.h"
#include "platform/drive_pins.h"
#include "platform/drive_table.h"
#include "platform/posix/identity_guard.h"
#include "platform/posix/kernel_file_systems.h"
#include "platform/posix/owned_fd.h"
#include "platform/posix/storage_trace.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

namespace kavel_lib::platform {

namespace {

void close_descriptor(int fd) {
  if (fd >= 0) ::close(fd);
}

using posix::Fd;

// The file or block device behind one drive-table entry, and what it is stored on.
struct MappedFile {
  dev_t device = 0;
  ino_t inode = 0;
  std::string name;
  // A block device: the devices, files and disks below it; an image file: the file itself.
  posix::Storage evidence;
};

MappedFile mapped_file(const DriveObject& object, const std::string& name) {
  const auto device = static_cast<dev_t>(object.device);
  const auto inode = static_cast<ino_t>(object.inode);
  return MappedFile{device, inode, name,
                    object.block_device ? posix::trace_block_device(static_cast<dev_t>(object.rdev))
                                        : posix::file_storage(device, inode)};
}

// What every drive-table entry's path names now, following links, taken as the service (the
// client may not be allowed to see the images, yet must not reach them under another name),
// each traced once for all the checks of one request. An entry whose path names nothing has
// nothing to protect.
std::expected<std::vector<MappedFile>, OsError> mapped_files() {
  const auto table = DriveTable::from_environment();
  if (!table) return std::unexpected(OsError::with_text(OsErrorKind::InvalidInput, table.error()));
  std::vector<MappedFile> files;
  // The objects the drives are pinned to stay protected whatever their paths lead to now.
  for (const auto& pin : pinned_drives()) files.push_back(mapped_file(pin.object, pin.entry.name));
  // A path that another user may change (drive_pins.h) leads to nothing the service opens, and
  // is not followed: that user could point it at any disk to have exports onto it refused.
  for (const auto& entry : table->entries()) {
    if (const auto object = drive_object_now(entry)) files.push_back(mapped_file(*object, entry.name));
  }
  return files;
}

OsError device_destination() {
  return OsError::with_text(OsErrorKind::PermissionDenied, "export destination cannot be a device path");
}

OsError storage_unknown() {
  return OsError::with_text(OsErrorKind::PermissionDenied, "cannot tell what the export destination is stored on");
}

// The failure of open_client_path for a path that runs through a magic link (no errno value).
constexpr int kThroughMagicLink = -1;

int open_with_resolve(int at, const char* path, int flags, std::uint64_t resolve) {
  open_how how{};
  how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC);
  how.resolve = resolve;
  long fd;
  do {
    fd = ::syscall(SYS_openat2, at, path, &how, sizeof how);
  } while (fd < 0 && errno == EINTR);
  return static_cast<int>(fd);
}

// Opens a path a client gave (relative to `at`), links followed, but never through a magic
// link of /proc (/proc/PID/root, /proc/PID/cwd, /proc/PID/fd/N: another process's mount
// namespace or open files, which the service's mount table does not show). Where the kernel
// has no openat2 the path is opened as before; any other failure of openat2 (EPERM from a
// system-call filter included) is a failure. On failure the error is errno, or
// kThroughMagicLink.
std::expected<Fd, int> open_client_path(int at, const char* path, int flags) {
  int fd = open_with_resolve(at, path, flags, RESOLVE_NO_MAGICLINKS);
  if (fd >= 0) return Fd(fd);
  if (errno == ENOSYS) {
    do {
      fd = ::openat(at, path, flags | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return std::unexpected(errno);
    return Fd(fd);
  }
  if (errno != ELOOP) return std::unexpected(errno);
  // ELOOP is also a loop of ordinary links (or too many of them): the same open without the
  // rule tells the two apart. What it opens is only looked at, never used.
  const Fd again(open_with_resolve(at, path, flags | O_PATH, 0));
  if (again.get() >= 0 || errno != ELOOP) return std::unexpected(kThroughMagicLink);
  return std::unexpected(ELOOP);
}

OsError client_path_error(int error) {
  return error == kThroughMagicLink ? device_destination() : OsError::from_errno(error);
}

bool lies_under(std::string_view path, std::string_view tree) {
  return path.starts_with(tree) && (path.size() == tree.size() || path[tree.size()] == '/');
}

OsError on_mapped_device(const MappedFile& file) {
  return OsError::with_text(OsErrorKind::PermissionDenied,
                            fmt::format("export destination is on the device mapped as {}", file.name));
}

// Refuses what `fd` lies in when its file system is stored on the evidence, or when what it is
// stored on cannot be told.
std::expected<void, OsError> check_storage(int fd, const std::vector<MappedFile>& mapped) {
  if (mapped.empty()) return {};
  const auto storage = posix::trace_file_system(fd);
  if (!storage) return std::unexpected(storage_unknown());
  for (const auto& file : mapped) {
    if (posix::stored_on(*storage, file.evidence)) return std::unexpected(on_mapped_device(file));
  }
  return {};
}

// Refuses a folder that something may not be written into: a folder of the kernel's own file
// systems, one that resolves to /dev, /proc or /sys (devtmpfs reports the type of tmpfs, so
// /dev is known by its place), or one whose file system is stored on the evidence: on a mapped
// block device, a partition of a mapped disk, a disk holding a mapped partition, or a mapped
// image (through a loop device or as a FUSE mount's source, whatever offset either uses).
std::expected<void, OsError> check_folder(int folder, const std::vector<MappedFile>& mapped) {
  struct statfs fs {};
  if (::fstatfs(folder, &fs) != 0) return std::unexpected(OsError::last());
  if (posix::is_kernel_file_system(fs.f_type)) return std::unexpected(device_destination());

  // The folder's place as the kernel resolved it; when that cannot be read, nothing is written.
  const std::string link = fmt::format("/proc/self/fd/{}", folder);
  std::array<char, 4096> target{};
  const ssize_t length = ::readlink(link.c_str(), target.data(), target.size());
  if (length < 0) return std::unexpected(OsError::last());
  if (static_cast<std::size_t>(length) >= target.size()) {
    return std::unexpected(OsError::from_code(win::ERROR_FILENAME_EXCED_RANGE));
  }
  const std::string_view resolved(target.data(), static_cast<std::size_t>(length));
  if (lies_under(resolved, "/dev") || lies_under(resolved, "/proc") || lies_under(resolved, "/sys")) {
    return std::unexpected(device_destination());
  }

  return check_storage(folder, mapped);
}

// Refuses an opened destination file that lies on a mount of its own (a file bind-mounted over
// the name) whose file system is stored on the evidence, as check_folder does for a folder.
std::expected<void, OsError> check_file_mount(int folder, int file, const std::vector<MappedFile>& mapped) {
  if (mapped.empty()) return {};
  struct statx folder_sx {};
  struct statx file_sx {};
  const auto mount_of = [](int fd, struct statx& sx) {
    return ::statx(fd, "", AT_EMPTY_PATH | AT_STATX_SYNC_AS_STAT, STATX_MNT_ID, &sx) == 0 &&
           (sx.stx_mask & STATX_MNT_ID) != 0;
  };
  if (mount_of(folder, folder_sx) && mount_of(file, file_sx) && folder_sx.stx_mnt_id == file_sx.stx_mnt_id) return {};
  return check_storage(file, mapped);
}

// Refuses an opened destination that is the image or block device behind a mapped drive,
// under whatever name it was reached, or the image file a mapped block device stands on (a
// loop device's file, under device-mapper or not).
std::expected<void, OsError> check_not_mapped(const struct stat& st, const std::vector<MappedFile>& mapped) {
  const auto destination = posix::file_storage(st.st_dev, st.st_ino);
  for (const auto& file : mapped) {
    if ((st.st_dev == file.device && st.st_ino == file.inode) || posix::stored_on(destination, file.evidence)) {
      return std::unexpected(
          OsError::with_text(OsErrorKind::PermissionDenied,
                             fmt::format("export destination is the image or device mapped as {}", file.name)));
    }
  }
  return {};
}

// Gives a file or folder made just now exactly `mode` (the process's umask may have narrowed it
// at creation, never widened it). A folder that inherited the set-group-ID bit of the folder
// above keeps it where the system allows that; otherwise the mode wins.
bool set_new_mode(int fd, mode_t mode) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  if ((st.st_mode & 0777) == mode) return true;
  // Through /proc: the folder's descriptor is a path-only one, which fchmod does not take.
  const std::string self = fmt::format("/proc/self/fd/{}", fd);
  const mode_t inherited = st.st_mode & S_ISGID;
  if (::chmod(self.c_str(), mode | inherited) == 0) return true;
  return inherited != 0 && ::chmod(self.c_str(), mode) == 0;
}

// Opens the file in the folder. With O_CREAT and a `new_file_mode`, an existing file is opened
// as it is, or a new one made and given exactly that mode; a file made or removed between the
// two attempts makes them start again, a few times.
int open_in_folder(int folder, const std::filesystem::path& name, int flags, mode_t mode,
                   std::optional<mode_t> new_file_mode) {
  constexpr int kAttempts = 8;
  const auto open_at = [&](int how, mode_t with) {
    int fd;
    do {
      fd = ::openat(folder, name.c_str(), how | O_NOFOLLOW | O_CLOEXEC, with);
    } while (fd < 0 && errno == EINTR);
    return fd;
  };
  if (!new_file_mode || (flags & O_CREAT) == 0) return open_at(flags, mode);
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if ((flags & O_EXCL) == 0) {
      const int existing = open_at(flags & ~O_CREAT, 0);
      if (existing >= 0 || errno != ENOENT) return existing;
    }
    const int made = open_at(flags | O_EXCL, *new_file_mode);
    if (made < 0 && errno == EEXIST && (flags & O_EXCL) == 0) continue;
    if (made < 0) return made;
    if (!set_new_mode(made, *new_file_mode)) {
      const int err = errno;
      ::close(made);
      errno = err;
      return -1;
    }
    return made;
  }
  errno = EEXIST;
  return -1;
}

// Checks the opened folder, and opens the file `name` in it with the given flags, never
// through a final link. Only a regular file that is not behind a mapped drive, nor on a mount
// of its own stored on the evidence, is accepted. Nothing is truncated here.
std::expected<Fd, OsError> open_in_checked_folder(int folder, const std::filesystem::path& name, int flags,
                                                  mode_t mode, const std::vector<MappedFile>& mapped,
                                                  std::optional<mode_t> new_file_mode = std::nullopt) {
  if (auto checked = check_folder(folder, mapped); !checked) return std::unexpected(checked.error());
  const int fd = open_in_folder(folder, name, flags, mode, new_file_mode);
  // ENXIO: a pipe without a reader (or a device without its driver) is in the file's place.
  if (fd < 0 && errno == ENXIO) return std::unexpected(OsError::from_code(win::ERROR_ACCESS_DENIED));
  if (fd < 0) return std::unexpected(OsError::last());
  Fd file(fd);
  struct stat st {};
  if (::fstat(file.get(), &st) != 0) return std::unexpected(OsError::last());
  if (!S_ISREG(st.st_mode)) return std::unexpected(OsError::from_code(win::ERROR_ACCESS_DENIED));
  if (auto checked = check_not_mapped(st, mapped); !checked) return std::unexpected(checked.error());
  if (auto checked = check_file_mount(folder, file.get(), mapped); !checked) return std::unexpected(checked.error());
  return file;
}

// Opens the destination's folder (following links, as the acting identity, never a magic
// link), checks it, and opens the file in that very folder (open_in_checked_folder).
std::expected<Fd, OsError> open_destination(const std::filesystem::path& path, int flags, mode_t mode,
                                            const std::vector<MappedFile>& mapped,
                                            std::optional<mode_t> new_file_mode = std::nullopt) {
  const auto name = path.filename();
  if (name.empty()) return std::unexpected(OsError::from_errno(EISDIR));
  auto folder_path = path.parent_path();
  if (folder_path.empty()) folder_path = ".";
  const auto folder = open_client_path(AT_FDCWD, folder_path.c_str(), O_PATH | O_DIRECTORY);
  if (!folder) return std::unexpected(client_path_error(folder.error()));
  return open_in_checked_folder(folder->get(), name, flags, mode, mapped, new_file_mode);
}

std::expected<void, OsError> truncate_descriptor(int fd) {
  while (::ftruncate(fd, 0) != 0) {
    if (errno != EINTR) return std::unexpected(OsError::last());
  }
  return {};
}

// Opens an existing destination, or creates it with `create`, and turns off the non-blocking
// mode that kept a pipe in its place from stalling the open.
std::expected<Fd, OsError> open_for_writing(const std::filesystem::path& path, bool create) {
  const auto mapped = mapped_files();
  if (!mapped) return std::unexpected(mapped.error());
  const posix::IdentityGuard guard;
  if (guard.failure()) return std::unexpected(*guard.failure());
  // A client's new file gets 0666 less the client's umask; otherwise the process's umask applies.
  std::optional<mode_t> new_file_mode;
  if (const auto mask = current_creation_mask()) new_file_mode = static_cast<mode_t>(0666 & ~*mask);
  auto file = open_destination(path, O_WRONLY | O_NONBLOCK | (create ? O_CREAT : 0), 0666, *mapped, new_file_mode);
  if (!file) return std::unexpected(file.error());
  const int flags = ::fcntl(file->get(), F_GETFL);
  if (flags < 0 || ::fcntl(file->get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return std::unexpected(OsError::last());
  return file;
}

}  // namespace

std::expected<void, OsError> create_folders(const std::filesystem::path& folder) {
  const auto mapped = mapped_files();
  if (!mapped) return std::unexpected(mapped.error());
  const posix::IdentityGuard guard;
  if (guard.failure()) return std::unexpected(*guard.failure());
  // Each level is opened from the one above (links to folders are followed, as a folder path
  // may hold them), and a folder is checked before anything is made inside it.
  Fd current(::open(folder.has_root_directory() ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (current.get() < 0) return std::unexpected(OsError::last());
  const auto open_level = [&](const std::filesystem::path& part) {
    return open_client_path(current.get(), part.c_str(), O_PATH | O_DIRECTORY);
  };
  // A client's new folder gets exactly 0777 less the client's umask; otherwise the process's
  // umask applies.
  const auto mask = current_creation_mask();
  const auto folder_mode = static_cast<mode_t>(0777 & ~mask.value_or(0));
  // The new level, or the errno (or kThroughMagicLink) of opening it.
  const auto make_level = [&](const std::filesystem::path& part) -> std::expected<std::expected<Fd, int>, OsError> {
    if (::mkdirat(current.get(), part.c_str(), folder_mode) != 0) {
      if (errno == EEXIST) return open_level(part);
      return std::unexpected(OsError::last());
    }
    if (!mask) return open_level(part);
    Fd made(::openat(current.get(), part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (made.get() < 0) return std::unexpected(OsError::last());
    if (!set_new_mode(made.get(), folder_mode)) return std::unexpected(OsError::last());
    return std::expected<Fd, int>(std::move(made));
  };
  for (const auto& part : folder.relative_path()) {
    if (part.empty()) continue;  // a trailing separator
    auto level = [&]() -> std::expected<std::expected<Fd, int>, OsError> {
      auto opened = open_level(part);
      if (opened || opened.error() != ENOENT) return opened;
      if (auto checked = check_folder(current.get(), *mapped); !checked) return std::unexpected(checked.error());
      auto made = make_level(part);
      if (!made) return std::unexpected(made.error());
      // Still nothing to open: a dangling link is in the way.
      if (!*made && made->error() == ENOENT) return std::unexpected(OsError::from_code(win::ERROR_ALREADY_EXISTS));
      return std::move(*made);
    }();
    if (!level) return std::unexpected(level.error());
    auto& next = *level;
    if (!next) {
      // Something that is no folder (nor a link to one) is in the way.
      if (next.error() == ENOTDIR || next.error() == ELOOP) {
        return std::unexpected(OsError::from_code(win::ERROR_ALREADY_EXISTS));
      }
      return std::unexpected(client_path_error(next.error()));
    }
    current.reset(next->release());
  }
  return {};
}

std::expected<void, OsError> create_parent_folders(const std::filesystem::path& destination) {
  const auto parent = destination.parent_path();
  if (parent.empty() || parent == destination.root_path()) return {};
  return create_folders(parent);
}

std::expected<DestinationFile, OsError> DestinationFile::create(const std::filesystem::path& path) {
  // No O_TRUNC: an existing file is truncated only after it proved to be a regular file that
  // is not behind a mapped drive.
  auto file = open_for_writing(path, true);
  if (!file) return std::unexpected(file.error());
  if (auto truncated = truncate_descriptor(file->get()); !truncated) return std::unexpected(truncated.error());
  return DestinationFile(file->release());
}

std::expected<DestinationFile, OsError> DestinationFile::open_existing(const std::filesystem::path& path) {
  auto file = open_for_writing(path, false);
  if (!file) return std::unexpected(file.error());
  return DestinationFile(file->release());
}

std::expected<DestinationFile, OsError> DestinationFile::create_new(const std::filesystem::path& path) {
  const auto mapped = mapped_files();
  if (!mapped) return std::unexpected(mapped.error());
  const posix::IdentityGuard guard;
  if (guard.failure()) return std::unexpected(*guard.failure());
  // O_EXCL fails with EEXIST whatever is in the way, a link included.
  auto file = open_destination(path, O_RDWR | O_CREAT | O_EXCL, 0600, *mapped);
  if (!file) return std::unexpected(file.error());
  return DestinationFile(file->release());
}

DestinationFile::DestinationFile(DestinationFile&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

DestinationFile& DestinationFile::operator=(DestinationFile&& other) noexcept {
  if (this != &other) {
    close_descriptor(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

DestinationFile::~DestinationFile() { close_descriptor(fd_); }

std::expected<void, OsError> DestinationFile::write_all(std::span<const std::uint8_t> bytes) {
  if (fd_ < 0) return std::unexpected(OsError::from_code(win::ERROR_INVALID_HANDLE));
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(OsError::last());
    }
    if (n == 0) return std::unexpected(OsError::write_zero());
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return {};
}

std::expected<void, OsError> DestinationFile::skip(std::uint64_t bytes) {
  if (fd_ < 0) return std::unexpected(OsError::from_code(win::ERROR_INVALID_HANDLE));
  const off_t at = ::lseek(fd_, 0, SEEK_CUR);
  if (at < 0) return std::unexpected(OsError::last());
  if (bytes > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max() - at)) {
    return std::unexpected(OsError::from_code(win::ERROR_DISK_FULL));
  }
  if (::lseek(fd_, static_cast<off_t>(bytes), SEEK_CUR) < 0) return std::unexpected(OsError::last());
  return {};
}

std::expected<void, OsError> DestinationFile::set_length(std::uint64_t length) {
  if (fd_ < 0) return std::unexpected(OsError::from_code(win::ERROR_INVALID_HANDLE));
  if (length > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
    return std::unexpected(OsError::from_code(win::ERROR_DISK_FULL));
  }
  while (::ftruncate(fd_, static_cast<off_t>(length)) != 0) {
    if (errno == EFBIG) return std::unexpected(OsError::from_code(win::ERROR_DISK_FULL));
    if (errno != EINTR) return std::unexpected(OsError::last());
  }
  return {};
}

std::expected<void, OsError> DestinationFile::replace_content_from(const DestinationFile& source) {
  if (fd_ < 0 || source.fd_ < 0) return std::unexpected(OsError::from_code(win::ERROR_INVALID_HANDLE));
  if (auto truncated = truncate_descriptor(fd_); !truncated) return truncated;
  if (::lseek(fd_, 0, SEEK_SET) < 0) return std::unexpected(OsError::last());
  off_t in = 0;
  // In the kernel where the file systems allow it; otherwise through a buffer.
  for (;;) {
    const ssize_t n = ::copy_file_range(source.fd_, &in, fd_, nullptr, std::size_t{1} << 30, 0);
    if (n == 0) return {};
    if (n > 0) continue;
    if (errno == EINTR) continue;
    if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
      return std::unexpected(OsError::last());
    }
    break;
  }
  std::vector<std::uint8_t> buffer(std::size_t{1} << 16);
  for (;;) {
    const ssize_t n = ::pread(source.fd_, buffer.data(), buffer.size(), in);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(OsError::last());
    }
    if (n == 0) return {};
    if (auto written = write_all(std::span(buffer.data(), static_cast<std::size_t>(n))); !written) return written;
    in += n;
  }
}

std::expected<void, OsError> DestinationFile::close() {
  const int fd = std::exchange(fd_, -1);
  if (fd < 0) return {};
  // Linux releases the descriptor even when close reports an error, so it is never retried.
  if (::close(fd) != 0 && errno != EINTR) return std::unexpected(OsError::last());
  return {};
}
std::expected<void, OsError> rename_path(const std::filesystem::path& from, const std::filesystem::path& to) {
  const posix::IdentityGuard guard;
  if (guard.failure()) return std::unexpected(*guard.failure());
  if (::rename(from.c_str(), to.c_str()) != 0) return std::unexpected(OsError::last());
  return {};
}

std::expected<std::uint64_t, OsError> regular_file_length(const std::filesystem::path& path) {
  const posix::IdentityGuard guard;
  if (guard.failure()) return std::unexpected(*guard.failure());
  // A path-only descriptor: nothing of the file is opened for reading, no device or pipe is
  // touched, and a final link is taken as the link itself.
  int fd;
  do {
    fd = ::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(OsError::last());
  struct stat st {};
  const int got = ::fstat(fd, &st);
  const int err = errno;
  ::close(fd);
  if (got != 0) return std::unexpected(OsError::from_errno(err));
  if (!S_ISREG(st.st_mode)) return std::unexpected(OsError::from_code(win::ERROR_ACCESS_DENIED));
  return static_cast<std::uint64_t>(st.st_size);
}

// ---- working files in an opened folder ------------------------------------------------------

struct OpenedFolder::Descriptor {
  explicit Descriptor(int descriptor) : fd(descriptor) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() { close_descriptor(fd); }
  int fd;
};

namespace {

// A name that stays inside the folder: one component, not "." or "..".
bool is_single_name(const std::filesystem::path& name) {
  const std::string text = name.string();
  return !text.empty() && text != "." && text != ".." && text.find('/') == std::string::npos;
}

}  // namespace

std::expected<OpenedFolder, OsError> OpenedFolder::open(const std::filesystem::path& folder) {
  const posix::IdentityGuard guard;
  if (guard.failure()) return std::unexpected(*guard.failure());
  auto fd = open_client_path(AT_FDCWD, folder.empty() ? "." : folder.c_str(), O_PATH | O_DIRECTORY);
  if (!fd) return std::unexpected(client_path_error(fd.error()));
  OpenedFolder opened;
  opened.folder_ = std::make_shared<const Descriptor>(fd->release());
  return opened;
}

std::expected<DestinationFile, OsError> OpenedFolder::create_new(const std::filesystem::path& name) const {
  if (!folder_) return std::unexpected(OsError::from_code(win::ERROR_INVALID_HANDLE));
  if (!is_single_name(name)) return std::unexpected(OsError::from_code(win::ERROR_INVALID_NAME));
  const auto mapped = mapped_files();
  if (!mapped) return std::unexpected(mapped.error());
  const posix::IdentityGuard guard;
  if (guard.failure()) return std::unexpected(*guard.failure());
  // Made through the folder's own descriptor, with every check of DestinationFile::create_new.
  auto file = open_in_checked_folder(folder_->fd, name, O_RDWR | O_CREAT | O_EXCL, 0600, *mapped);
  if (!file) return std::unexpected(file.error());
  return DestinationFile(file->release());
}

std::expected<void, OsError> OpenedFolder::remove(const std::filesystem::path& name) const {
  if (!folder_) return std::unexpected(OsError::from_code(win::ERROR_INVALID_HANDLE));
  if (!is_single_name(name)) return std::unexpected(OsError::from_code(win::ERROR_INVALID_NAME));
  const posix::IdentityGuard guard;
  if (guard.failure()) return std::unexpected(*guard.failure());
  if (::unlinkat(folder_->fd, name.c_str(), 0) != 0) return std::unexpected(OsError::last());
  return {};
}

}  // namespace kavel_lib::platform
