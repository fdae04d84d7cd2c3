#include "system/child_processes.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace kavel_lib::system {

namespace {

struct ChildPidRegistry {
  std::mutex mutex;
  std::vector<std::uint32_t> ids;
};

// Created on first use and never destroyed: waiter threads that outlive a run may still untrack
// while the process ends.
ChildPidRegistry& registry() {
  static auto* const instance = new ChildPidRegistry;
  return *instance;
}

}  // namespace

std::expected<platform::SpawnedChild, platform::OsError> spawn_tracked(const platform::ProcessRequest& request) {
  auto child = platform::spawn_hidden(request);
  if (child) track_child(child->life->id());
  return child;
}

void track_child(std::uint32_t process_id) {
  if (process_id == 0) return;
  auto& r = registry();
  const std::lock_guard lock(r.mutex);
  r.ids.push_back(process_id);
}

void untrack_child(std::uint32_t process_id) {
  if (process_id == 0) return;
  auto& r = registry();
  const std::lock_guard lock(r.mutex);
  std::erase(r.ids, process_id);
}

void kill_process_tree(std::uint32_t process_id) { (void)platform::kill_process_group(process_id); }

std::size_t tracked_count(std::uint32_t process_id) {
  auto& r = registry();
  const std::lock_guard lock(r.mutex);
  return static_cast<std::size_t>(std::count(r.ids.begin(), r.ids.end(), process_id));
}

}  // namespace kavel_lib::system
