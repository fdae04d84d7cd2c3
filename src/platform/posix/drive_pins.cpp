#include "platform/drive_pins.h"

#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <string>
#include <tuple>
#include <utility>

#include "platform/posix/drive_object.h"
#include "platform/posix/drive_path_trust.h"

namespace kavel_lib::platform {

namespace {

// An entry as the table spells it: the same name mapped to another path or offset is another
// entry, and is pinned on its own.
using PinKey = std::tuple<std::string, std::string, std::uint64_t>;

PinKey key_of(const DriveEntry& entry) { return {entry.name, entry.host_path, entry.offset}; }

// A loop device that reads nothing yet has nothing to pin: it waits, as a path that names
// nothing yet does, for an open that finds it attached.
bool pinnable(const DriveObject& object) { return !object.on_loop || object.loop.has_value(); }

struct PinState {
  std::mutex mutex;
  bool active = false;
  uid_t service_user = 0;
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
  if (a.block_device) return a.rdev == b.rdev && a.on_loop == b.on_loop && a.loop == b.loop;
  return a.device == b.device && a.inode == b.inode;
}

void pin_drive_table(DrivePinRefusal on_refused) {
  const uid_t service_user = ::geteuid();
  std::map<PinKey, PinnedDrive> pins;
  std::vector<std::pair<std::string, std::string>> untrusted;  // drive name, why
  if (const auto table = DriveTable::from_environment()) {
    for (const auto& entry : table->entries()) {
      // Links are followed: the pin is what the path leads to. Anything but an image file or a
      // block device is no device, and a path that names nothing yet has nothing to pin: such
      // an entry waits for its first successful open, as does one whose path fails the rule.
      const auto walked = posix::walk_drive_path(entry.host_path, service_user);
      if (const auto* fault = std::get_if<posix::UntrustedPlace>(&walked)) {
        untrusted.emplace_back(entry.name, posix::describe(*fault));
        continue;
      }
      const auto* reached = std::get_if<posix::ReachedObject>(&walked);
      if (reached == nullptr) continue;
      if (!S_ISREG(reached->status.st_mode) && !S_ISBLK(reached->status.st_mode)) continue;
      const DriveObject object = posix::drive_object_of(reached->status);
      if (!pinnable(object)) continue;
      pins.insert_or_assign(key_of(entry), PinnedDrive{entry, object});
    }
  }
  PinState& s = state();
  {
    const std::lock_guard lock(s.mutex);
    s.active = true;
    s.service_user = service_user;
    s.pins = std::move(pins);
    s.on_refused = on_refused;
  }
  if (on_refused) {
    for (const auto& [drive, why] : untrusted) on_refused(DriveRefusal{drive, why});
  }
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
      if (pin_if_missing && pinnable(found)) s.pins.emplace(key, PinnedDrive{entry, found});
      return true;
    }
    if (same_drive_object(it->second.object, found)) return true;
    report = s.on_refused;
  }
  // Reported outside the lock: the report may log, and other opens need not wait for it.
  if (report) report(DriveRefusal{entry.name, {}});
  return false;
}

std::optional<std::uint32_t> drive_pins_service_user() {
  PinState& s = state();
  const std::lock_guard lock(s.mutex);
  if (!s.active) return std::nullopt;
  return s.service_user;
}

void report_untrusted_drive(std::string_view drive_name, std::string_view why) {
  PinState& s = state();
  DrivePinRefusal report;
  {
    const std::lock_guard lock(s.mutex);
    report = s.on_refused;
  }
  if (report) report(DriveRefusal{drive_name, why});
}

std::optional<DriveObject> drive_object_now(const DriveEntry& entry) {
  if (const auto service_user = drive_pins_service_user()) {
    const auto walked = posix::walk_drive_path(entry.host_path, *service_user);
    const auto* reached = std::get_if<posix::ReachedObject>(&walked);
    if (reached == nullptr) return std::nullopt;
    return posix::drive_object_of(reached->status);
  }
  struct stat st {};
  if (::stat(entry.host_path.c_str(), &st) != 0) return std::nullopt;
  return posix::drive_object_of(st);
}

void clear_drive_pins() {
  PinState& s = state();
  const std::lock_guard lock(s.mutex);
  s.active = false;
  s.pins.clear();
  s.on_refused = nullptr;
}

}  // namespace kavel_lib::platform
