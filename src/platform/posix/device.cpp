#include "platform/device.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <limits>
#include <utility>

#include "platform/drive_pins.h"
#include "platform/drive_table.h"
#include "platform/posix/drive_object.h"
#include "platform/posix/drive_path_trust.h"
#include "platform/posix/driver_read.h"

namespace kavel_lib::platform {

namespace {

// For tests only: KAVEL_TEST_REFUSE_READS names one mapped device ("E", "E:",
// "PhysicalDrive0"). Plain reads of that device then fail with ERROR_READ_FAULT, while the
// emulated driver still reads beneath the handle (driver_read_exact_at) and answers its
// control codes: a volume whose own reads are refused.
thread_local bool t_driver_read = false;

bool reads_refused(const std::string& device_name) {
  if (t_driver_read || device_name.empty()) return false;
  const char* value = std::getenv("KAVEL_TEST_REFUSE_READS");
  if (value == nullptr || *value == '\0') return false;
  const auto name = canonical_device_name(value);
  return name && *name == device_name;
}

// What a drive may be mapped to: an image file or a block device.
bool is_device_node(const struct stat& st) { return S_ISREG(st.st_mode) || S_ISBLK(st.st_mode); }

constexpr int kOpenFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;

// Checks the opened descriptor (a device node, accepted by the pins, which pin an entry that has
// no pin yet) and makes its reads blocking again; the descriptor is closed on refusal.
std::expected<int, WinError> accept_opened(int fd, const DriveEntry& entry, struct stat& st) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (::fstat(fd, &st) != 0 || !is_device_node(st) ||
      !accept_drive_object(entry, posix::drive_object_of(st, fd), true) || flags < 0 ||
      ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    ::close(fd);
    return std::unexpected(WinError{win::ERROR_ACCESS_DENIED});
  }
  return fd;
}

// The open of the service program (pins on): the path is walked under the rule of
// drive_path_trust.h, and the name the walk ended on is opened in the folder the walk found it
// in, without following a link, so what is opened is what was checked; its identity is compared
// with what the walk saw all the same. A path that fails the rule is refused and reported.
std::expected<int, WinError> open_pinned(const DriveEntry& entry, uid_t service_user) {
  auto walked = posix::walk_drive_path(entry.host_path, service_user);
  if (const auto* fault = std::get_if<posix::UntrustedPlace>(&walked)) {
    report_untrusted_drive(entry.name, posix::describe(*fault));
    return std::unexpected(WinError{win::ERROR_ACCESS_DENIED});
  }
  if (std::holds_alternative<posix::NothingThere>(walked)) return std::unexpected(WinError{win::ERROR_FILE_NOT_FOUND});
  if (const auto* failed = std::get_if<posix::WalkFailed>(&walked)) {
    return std::unexpected(WinError{windows_code_from_errno(failed->error)});
  }
  const auto& reached = std::get<posix::ReachedObject>(walked);
  if (!is_device_node(reached.status)) return std::unexpected(WinError{win::ERROR_ACCESS_DENIED});
  const DriveObject seen = posix::drive_object_of(reached.status);
  if (!accept_drive_object(entry, seen, false)) return std::unexpected(WinError{win::ERROR_ACCESS_DENIED});
  int fd;
  do {
    fd = ::openat(reached.folder.get(), reached.name.c_str(), kOpenFlags | O_NOFOLLOW);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(WinError::last());
  struct stat st {};
  if (::fstat(fd, &st) != 0 || st.st_dev != reached.status.st_dev || st.st_ino != reached.status.st_ino) {
    ::close(fd);
    return std::unexpected(WinError{win::ERROR_ACCESS_DENIED});
  }
  return accept_opened(fd, entry, st);
}

// The open without pins: whatever the path leads to now.
std::expected<int, WinError> open_unpinned(const DriveEntry& entry) {
  struct stat st {};
  if (::stat(entry.host_path.c_str(), &st) != 0) return std::unexpected(WinError::last());
  if (!is_device_node(st)) return std::unexpected(WinError{win::ERROR_ACCESS_DENIED});
  int fd;
  do {
    fd = ::open(entry.host_path.c_str(), kOpenFlags);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(WinError::last());
  return accept_opened(fd, entry, st);
}

}  // namespace

std::expected<void, OsError> driver_read_exact_at(const Device& device, std::uint64_t offset,
                                                  std::span<std::uint8_t> buffer) {
  const bool outer = std::exchange(t_driver_read, true);
  auto result = device.read_exact_at(offset, buffer);
  t_driver_read = outer;
  return result;
}

std::expected<Device, WinError> Device::open(std::string_view device_path) {
  const auto name = device_name_of_path(device_path);
  if (!name) return std::unexpected(WinError{win::ERROR_FILE_NOT_FOUND});
  const auto table = DriveTable::from_environment();
  if (!table) return std::unexpected(WinError{win::ERROR_INVALID_PARAMETER});
  const auto entry = table->lookup(*name);
  if (!entry) return std::unexpected(WinError{win::ERROR_FILE_NOT_FOUND});

  // Only an image file or a block device can be a device. Anything else (a folder, a FIFO, a
  // character device, a socket) is refused before it is opened, so that no open of such a node
  // takes effect or waits (a FIFO's open waits for a writer), and again on the opened
  // descriptor, which the non-blocking open keeps from waiting should the node be swapped in
  // between.
  //
  // With drive pins on (drive_pins.h), the path must pass the rule of drive_path_trust.h, and
  // what it leads to must be the object pinned for the entry: looked at before the open, so that
  // nothing else is opened at all, and checked again on the opened descriptor, which is what
  // counts; only that check pins an entry that has no pin yet.
  const auto service_user = drive_pins_service_user();
  const auto opened = service_user ? open_pinned(*entry, static_cast<uid_t>(*service_user)) : open_unpinned(*entry);
  if (!opened) return std::unexpected(opened.error());
  const int fd = *opened;
  Device device = adopt(fd, entry->name, entry->offset);
  device.host_path_ = entry->host_path;
  return device;
}

Device Device::adopt(int descriptor, std::string device_name, std::uint64_t base_offset) {
  Device device;
  device.fd_ = descriptor;
  device.name_ = std::move(device_name);
  device.base_offset_ = base_offset;
  return device;
}

Device::Device(Device&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      name_(std::move(other.name_)),
      host_path_(std::move(other.host_path_)),
      base_offset_(other.base_offset_) {}

Device& Device::operator=(Device&& other) noexcept {
  if (this != &other) {
    close_now();
    fd_ = std::exchange(other.fd_, -1);
    name_ = std::move(other.name_);
    host_path_ = std::move(other.host_path_);
    base_offset_ = other.base_offset_;
  }
  return *this;
}

Device::~Device() { close_now(); }

void Device::close_now() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

int Device::release() { return std::exchange(fd_, -1); }

std::expected<std::size_t, OsError> Device::read_at(std::uint64_t offset, std::span<std::uint8_t> buffer) const {
  if (fd_ < 0) return std::unexpected(OsError::from_code(win::ERROR_INVALID_HANDLE));
  if (buffer.empty()) return 0;
  if (reads_refused(name_)) return std::unexpected(OsError::from_code(win::ERROR_READ_FAULT));
  constexpr auto kMaxOff = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
  if (offset > kMaxOff - base_offset_) return 0;  // past any possible end
  const std::uint64_t position = base_offset_ + offset;
  // Keep position + length within off_t.
  std::size_t length = buffer.size();
  if (length > kMaxOff - position) length = static_cast<std::size_t>(kMaxOff - position);
  if (length == 0) return 0;
  for (;;) {
    const ssize_t n = ::pread(fd_, buffer.data(), length, static_cast<off_t>(position));
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno == EINTR) continue;
    return std::unexpected(OsError::last());
  }
}

std::expected<void, OsError> Device::read_exact_at(std::uint64_t offset, std::span<std::uint8_t> buffer) const {
  std::size_t done = 0;
  while (done < buffer.size()) {
    if (offset > std::numeric_limits<std::uint64_t>::max() - done) return std::unexpected(OsError::unexpected_eof());
    auto n = read_at(offset + done, buffer.subspan(done));
    if (!n) return std::unexpected(n.error());
    if (*n == 0) return std::unexpected(OsError::unexpected_eof());
    done += *n;
  }
  return {};
}

std::expected<std::uint64_t, OsError> Device::size() const {
  if (fd_ < 0) return std::unexpected(OsError::from_code(win::ERROR_INVALID_HANDLE));
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return std::unexpected(OsError::last());
  std::uint64_t total = 0;
  if (S_ISBLK(st.st_mode)) {
    if (::ioctl(fd_, BLKGETSIZE64, &total) != 0) return std::unexpected(OsError::last());
  } else {
    total = static_cast<std::uint64_t>(st.st_size);
  }
  return total > base_offset_ ? total - base_offset_ : 0;
}

}  // namespace kavel_lib::platform
