#include "system/child_processes.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

namespace kavel_lib::system {

namespace {

// One started child: its number, and its life while somebody holds it (nothing for a number
// recorded by track_child alone).
struct Entry {
  std::uint32_t id;
  std::weak_ptr<platform::ChildLife> life;
};

struct ChildPidRegistry {
  std::mutex mutex;
  std::vector<Entry> entries;
  // Held shared by every start from before its spawn until its recording, and exclusively by
  // the stop: a child is either recorded before the stop looks, or never started.
  std::shared_mutex starts;
  bool stopping = false;  // set by end_tracked_children under `starts`: no child starts afterwards
};

// Created on first use and never destroyed: waiter threads that outlive a run may still untrack
// while the process ends.
ChildPidRegistry& registry() {
  static auto* const instance = new ChildPidRegistry;
  return *instance;
}

void record(std::uint32_t process_id, std::weak_ptr<platform::ChildLife> life) {
  if (process_id == 0) return;
  auto& r = registry();
  const std::lock_guard lock(r.mutex);
  r.entries.push_back(Entry{process_id, std::move(life)});
}

}  // namespace

std::expected<platform::SpawnedChild, platform::OsError> spawn_tracked(const platform::ProcessRequest& request) {
  auto& r = registry();
  const std::shared_lock start(r.starts);
  if (r.stopping) return std::unexpected(platform::OsError::from_code(platform::win::ERROR_OPERATION_ABORTED));
  auto child = platform::spawn_hidden(request);
  if (child) record(child->life->id(), child->life);
  return child;
}

void track_child(std::uint32_t process_id) { record(process_id, {}); }

void untrack_child(std::uint32_t process_id) {
  if (process_id == 0) return;
  auto& r = registry();
  const std::lock_guard lock(r.mutex);
  std::erase_if(r.entries, [process_id](const Entry& entry) { return entry.id == process_id; });
}

void end_tracked_children() {
  std::vector<std::shared_ptr<platform::ChildLife>> lives;
  {
    auto& r = registry();
    const std::unique_lock no_starts(r.starts);  // waits for starts in progress to be recorded
    r.stopping = true;
    const std::lock_guard lock(r.mutex);
    for (const auto& entry : r.entries) {
      if (auto life = entry.life.lock()) lives.push_back(std::move(life));
    }
  }
  // Outside the lock: each group is signalled only while its leader is known not to be reaped,
  // so a number that was given back and reused is never reached.
  for (const auto& life : lives) life->signal_if_unreaped(&kill_process_tree);
}

void kill_process_tree(std::uint32_t process_id) { (void)platform::kill_process_group(process_id); }

std::size_t tracked_count(std::uint32_t process_id) {
  auto& r = registry();
  const std::lock_guard lock(r.mutex);
  return static_cast<std::size_t>(
      std::count_if(r.entries.begin(), r.entries.end(), [process_id](const Entry& entry) { return entry.id == process_id; }));
}

}  // namespace kavel_lib::system
