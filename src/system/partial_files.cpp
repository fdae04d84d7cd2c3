#include "system/partial_files.h"

#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/acting_identity.h"
#include "platform/file_ops.h"

namespace kavel_lib::system {

namespace {

struct Registered {
  platform::OpenedFolder folder;
  std::filesystem::path name;
  std::optional<platform::FileIdentity> identity;  // nothing: the service's own
};

struct PartialFileRegistry {
  std::mutex mutex;
  std::map<std::uint64_t, Registered> files;
  std::uint64_t last_id = 0;
  // Held shared from a reservation until its file is registered, and exclusively by the stop:
  // a file is either registered before the stop looks, or never created.
  std::shared_mutex creations;
  bool stopping = false;  // set by remove_partial_files under `creations`
};

// Never destroyed: request threads may still forget their files while the process ends.
PartialFileRegistry& registry() {
  static auto* const instance = new PartialFileRegistry;
  return *instance;
}

}  // namespace

std::optional<PartialFile> PartialFile::reserve() {
  auto& r = registry();
  std::shared_lock hold(r.creations);
  if (r.stopping) return std::nullopt;
  return PartialFile(std::move(hold));
}

void PartialFile::track(platform::OpenedFolder folder, std::filesystem::path name) {
  forget();
  auto identity = platform::current_acting_identity();
  auto& r = registry();
  {
    const std::lock_guard lock(r.mutex);
    id_ = ++r.last_id;
    r.files.emplace(id_, Registered{std::move(folder), std::move(name), std::move(identity)});
  }
  if (hold_.owns_lock()) hold_.unlock();
}

PartialFile::~PartialFile() { forget(); }

PartialFile::PartialFile(PartialFile&& other) noexcept
    : hold_(std::move(other.hold_)), id_(std::exchange(other.id_, 0)) {}

PartialFile& PartialFile::operator=(PartialFile&& other) noexcept {
  if (this != &other) {
    forget();
    hold_ = std::move(other.hold_);
    id_ = std::exchange(other.id_, 0);
  }
  return *this;
}

void PartialFile::forget() {
  if (id_ == 0) return;
  auto& r = registry();
  const std::lock_guard lock(r.mutex);
  r.files.erase(std::exchange(id_, 0));
}

void remove_partial_files() {
  std::vector<Registered> files;
  {
    auto& r = registry();
    const std::unique_lock no_creations(r.creations);  // waits for creations in progress
    r.stopping = true;
    const std::lock_guard lock(r.mutex);
    for (auto& [id, file] : r.files) files.push_back(std::move(file));
    r.files.clear();
  }
  // Outside the lock: a removal acts as the file's client and may be slow. A file its run has
  // already renamed into place or removed is not there any more, and that failure is dropped.
  for (const auto& file : files) {
    const platform::ScopedActingIdentity acting(file.identity);
    (void)file.folder.remove(file.name);
  }
}

}  // namespace kavel_lib::system
