#include "platform/drive_pins.h"

#include <sys/stat.h>

#include <map>
#include <mutex>
#include <string>
#include <tuple>
#include <utility>

#include "platform/posix/drive_object.h"

namespace kavel_lib::platform {

namespace {

// An entry as the table spells it: the same name mapped to another path or offset is another
// entry, and is pinned on its own.
using PinKey = std::tuple<std::string, std::string, std::uint64_t>;

PinKey key_of(const DriveEntry& entry) { return {entry.name, entry.host_path, entry.offset}; }

struct PinState {
  std::mutex mutex;
  bool active = false;
  std::map<PinKey, PinnedDrive> pins;
  DrivePinRefusal on_refused;
};

// Never destroyed: request threads may open devices while the process ends.
PinState& state() {
  static auto* const instance = new PinState;
  return *instance;
}

}  // namespace

bool same_drive_object(const DriveObject& a, const DriveObject& b) {
  if (a.block_device != b.block_device) return false;
  if (a.block_device) return a.rdev == b.rdev;
  return a.device == b.device && a.inode == b.inode;
}

void pin_drive_table(DrivePinRefusal on_refused) {
  std::map<PinKey, PinnedDrive> pins;
  if (const auto table = DriveTable::from_environment()) {
    for (const auto& entry : table->entries()) {
      // Links are followed: the pin is what the path leads to. Anything but an image file or a
      // block device is no device; such an entry waits for its first successful open.
      struct stat st {};
      if (::stat(entry.host_path.c_str(), &st) != 0) continue;
      if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) continue;
      pins.insert_or_assign(key_of(entry), PinnedDrive{entry, posix::drive_object_of(st)});
    }
  }
  PinState& s = state();
  const std::lock_guard lock(s.mutex);
  s.active = true;
  s.pins = std::move(pins);
  s.on_refused = std::move(on_refused);
}

bool drive_pins_active() {
  PinState& s = state();
  const std::lock_guard lock(s.mutex);
  return s.active;
}

std::vector<PinnedDrive> pinned_drives() {
  PinState& s = state();
  const std::lock_guard lock(s.mutex);
  std::vector<PinnedDrive> pinned;
  pinned.reserve(s.pins.size());
  for (const auto& [key, pin] : s.pins) pinned.push_back(pin);
  return pinned;
}

bool accept_drive_object(const DriveEntry& entry, const DriveObject& found, bool pin_if_missing) {
  PinState& s = state();
  DrivePinRefusal report;
  {
    const std::lock_guard lock(s.mutex);
    if (!s.active) return true;
    const auto key = key_of(entry);
    const auto it = s.pins.find(key);
    if (it == s.pins.end()) {
      if (pin_if_missing) s.pins.emplace(key, PinnedDrive{entry, found});
      return true;
    }
    if (same_drive_object(it->second.object, found)) return true;
    report = s.on_refused;
  }
  // Reported outside the lock: the report may log, and other opens need not wait for it.
  if (report) report(entry.name);
  return false;
}

void clear_drive_pins() {
  PinState& s = state();
  const std::lock_guard lock(s.mutex);
  s.active = false;
  s.pins.clear();
  s.on_refused = nullptr;
}

}  // namespace kavel_lib::platform
