// IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS from the drive table: a volume whose host file is also
// mapped as a disk (PhysicalDriveN) lies on that disk at the difference of their offsets. A disk
// mapped to a loop device that reads its whole file counts as that file: the service hands a
// client such a loop device as its file.
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "platform/drive_table.h"
#include "platform/posix/loop_device.h"
#include "platform/posix/ntfs_model/bytes.h"
#include "platform/posix/ntfs_model/disk_extents.h"

namespace kavel_lib::platform::ntfs_model {

namespace {

// VOLUME_DISK_EXTENTS with one DISK_EXTENT.
constexpr std::size_t kNumberOfExtents = 0;
constexpr std::size_t kDiskNumber = 8;
constexpr std::size_t kStartingOffset = 16;
constexpr std::size_t kExtentLength = 24;
constexpr std::size_t kOneExtentSize = 32;

// Partition tables, 512-byte sectors.
constexpr std::size_t kSector = 512;
constexpr std::size_t kMbrEntries = 446;
constexpr std::uint8_t kGptProtective = 0xEE;
constexpr std::size_t kGptEntriesLba = 72;
constexpr std::size_t kGptEntryCount = 80;
constexpr std::size_t kGptEntrySize = 84;
constexpr std::size_t kGptFirstLba = 32;
constexpr std::size_t kGptLastLba = 40;
constexpr std::uint32_t kMaxGptEntries = 1024;

std::optional<std::uint32_t> disk_number(const std::string& name) {
  constexpr std::string_view kDisk = "PhysicalDrive";
  if (!name.starts_with(kDisk)) return std::nullopt;
  std::uint64_t n = 0;
  for (char c : name.substr(kDisk.size())) n = n * 10 + static_cast<std::uint64_t>(c - '0');
  if (n > UINT32_MAX) return std::nullopt;
  return static_cast<std::uint32_t>(n);
}

// Whether the disk entry's host file is the file `own` describes: the same file, or a loop
// device that reads all of that file from its start (its file found by the name sysfs gives,
// and checked by device and inode).
bool same_host_file(const DriveEntry& entry, const struct stat& own) {
  struct stat st {};
  if (::stat(entry.host_path.c_str(), &st) != 0) return false;
  if (st.st_dev == own.st_dev && st.st_ino == own.st_ino) return true;
  if (!S_ISBLK(st.st_mode) || !S_ISREG(own.st_mode) || !posix::is_loop_device(st.st_rdev)) return false;
  const std::string loop = posix::block_sysfs_folder(st.st_rdev) + "/loop/";
  if (posix::read_sysfs_attribute(loop + "offset") != "0" || posix::read_sysfs_attribute(loop + "sizelimit") != "0") {
    return false;
  }
  const auto name = posix::loop_backing_file_name(st.st_rdev);
  struct stat backing {};
  return name && ::stat(name->c_str(), &backing) == 0 && backing.st_dev == own.st_dev &&
         backing.st_ino == own.st_ino;
}

bool read_at(const Device& disk, std::uint64_t offset, std::span<std::uint8_t> out) {
  return disk.read_exact_at(offset, out).has_value();
}

// The length of the partition that starts `start` bytes into the disk, from its MBR or GPT.
std::optional<std::uint64_t> partition_length(const Device& disk, std::uint64_t start) {
  std::vector<std::uint8_t> mbr(kSector);
  if (!read_at(disk, 0, mbr) || mbr[510] != 0x55 || mbr[511] != 0xAA) return std::nullopt;
  bool gpt = false;
  for (std::size_t i = 0; i < 4; ++i) {
    const Bytes e = Bytes(mbr).subspan(kMbrEntries + 16 * i, 16);
    if (e[4] == 0) continue;
    if (e[4] == kGptProtective) gpt = true;
    if (std::uint64_t{u32_at(e, 8)} * kSector == start) return std::uint64_t{u32_at(e, 12)} * kSector;
  }
  if (!gpt) return std::nullopt;
  std::vector<std::uint8_t> header(kSector);
  if (!read_at(disk, kSector, header) || std::memcmp(header.data(), "EFI PART", 8) != 0) return std::nullopt;
  const std::uint64_t entries_lba = u64_at(header, kGptEntriesLba);
  const std::uint32_t count = std::min(u32_at(header, kGptEntryCount), kMaxGptEntries);
  const std::uint32_t size = u32_at(header, kGptEntrySize);
  if (size < 128 || size > 4096 || entries_lba > UINT64_MAX / kSector) return std::nullopt;
  std::vector<std::uint8_t> entry(size);
  for (std::uint32_t i = 0; i < count; ++i) {
    if (!read_at(disk, entries_lba * kSector + std::uint64_t{i} * size, entry)) return std::nullopt;
    const std::uint64_t first = u64_at(entry, kGptFirstLba);
    const std::uint64_t last = u64_at(entry, kGptLastLba);
    if (first != 0 && last >= first && first <= UINT64_MAX / kSector && first * kSector == start &&
        last - first < UINT64_MAX / kSector) {
      return (last - first + 1) * kSector;
    }
  }
  return std::nullopt;
}

}  // namespace

std::expected<std::size_t, WinError> volume_disk_extents(const Device& volume, std::span<std::uint8_t> out) {
  if (!volume.is_open()) return std::unexpected(WinError{win::ERROR_INVALID_HANDLE});
  if (disk_number(volume.device_name())) return std::unexpected(WinError{win::ERROR_INVALID_FUNCTION});
  struct stat own {};
  if (::fstat(volume.native_handle(), &own) != 0) return std::unexpected(WinError::last());
  const auto table = DriveTable::from_environment();
  if (!table) return std::unexpected(WinError{win::ERROR_INVALID_FUNCTION});

  // The disk entry over the same file that starts at or before the volume, nearest first.
  std::optional<DriveEntry> disk;
  for (const auto& e : table->entries()) {
    if (!disk_number(e.name) || e.offset > volume.base_offset()) continue;
    if (!same_host_file(e, own)) continue;
    if (!disk || e.offset > disk->offset) disk = e;
  }
  if (!disk) return std::unexpected(WinError{win::ERROR_INVALID_FUNCTION});
  if (out.size() < kOneExtentSize) return std::unexpected(WinError{win::ERROR_INSUFFICIENT_BUFFER});

  const std::uint64_t start = volume.base_offset() - disk->offset;
  std::optional<std::uint64_t> length;
  if (auto opened = Device::open("\\\\.\\" + disk->name)) length = partition_length(*opened, start);
  if (!length) {
    const auto size = volume.size();
    length = size ? *size : 0;
  }
  std::fill(out.begin(), out.begin() + kOneExtentSize, std::uint8_t{0});
  put_u32(out, kNumberOfExtents, 1);
  put_u32(out, kDiskNumber, *disk_number(disk->name));
  put_u64(out, kStartingOffset, start);
  put_u64(out, kExtentLength, *length);
  return kOneExtentSize;
}

}  // namespace kavel_lib::platform::ntfs_model
