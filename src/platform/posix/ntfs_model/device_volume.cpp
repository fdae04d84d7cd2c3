#include "platform/posix/ntfs_model/device_volume.h"

#include <sys/stat.h>

#include <list>
#include <mutex>
#include <tuple>

#include "platform/posix/driver_read.h"

namespace kavel_lib::platform::ntfs_model {

namespace {

struct Identity {
  dev_t device = 0;
  ino_t inode = 0;
  dev_t rdev = 0;
  off_t size = 0;
  std::int64_t mtime_ns = 0;
  std::uint64_t offset = 0;
  friend bool operator==(const Identity&, const Identity&) = default;
};

struct Cached {
  Identity identity;
  std::shared_ptr<const Volume> volume;
};

constexpr std::size_t kMaxCachedVolumes = 8;

std::mutex g_mutex;
std::list<Cached> g_cache;  // most recently used first

}  // namespace

bool DeviceReader::read(std::uint64_t offset, std::span<std::uint8_t> out) const {
  // The driver reads beneath the handle: a handle whose own reads are refused still answers.
  return driver_read_exact_at(device_, offset, out).has_value();
}

std::expected<std::shared_ptr<const Volume>, WinError> volume_for_device(const Device& device) {
  if (!device.is_open()) return std::unexpected(WinError{win::ERROR_INVALID_HANDLE});
  struct stat st {};
  if (::fstat(device.native_handle(), &st) != 0) return std::unexpected(WinError::last());
  const Identity id{st.st_dev, st.st_ino, st.st_rdev, st.st_size,
                    static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec,
                    device.base_offset()};
  {
    std::lock_guard lock(g_mutex);
    for (auto it = g_cache.begin(); it != g_cache.end(); ++it) {
      if (it->identity == id) {
        g_cache.splice(g_cache.begin(), g_cache, it);
        return g_cache.front().volume;
      }
    }
  }
  auto volume = Volume::load(DeviceReader(device));
  if (!volume) return std::unexpected(volume.error());
  std::lock_guard lock(g_mutex);
  g_cache.push_front(Cached{id, *volume});
  if (g_cache.size() > kMaxCachedVolumes) g_cache.pop_back();
  return *volume;
}

void clear_volume_cache() {
  std::lock_guard lock(g_mutex);
  g_cache.clear();
}

}  // namespace kavel_lib::platform::ntfs_model
