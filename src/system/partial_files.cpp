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
  std::filesystem::path path;
  std::optional<platform::FileIdentity> identity;  // nothing: the service's own
};

struct PartialFileRegistry {
  std::mutex mutex;
  std::map<std::uint64_t, Registered> files;
  std::uint64_t last_id = 0;
  bool stopping = false;
};

// Never destroyed: request threads may still forget their files while the process ends.
PartialFileRegistry& registry() {
  static auto* const instance = new PartialFileRegistry;
  return *instance;
}

}  // namespace

std::optional<PartialFile> PartialFile::track(std::filesystem::path path) {
  auto identity = platform::current_acting_identity();
  auto& r = registry();
  const std::lock_guard lock(r.mutex);
  if (r.stopping) return std::nullopt;
  const std::uint64_t id = ++r.last_id;
  r.files.emplace(id, Registered{std::move(path), std::move(identity)});
  return PartialFile(id);
}

PartialFile::~PartialFile() { forget(); }

PartialFile::PartialFile(PartialFile&& other) noexcept : id_(std::exchange(other.id_, 0)) {}

PartialFile& PartialFile::operator=(PartialFile&& other) noexcept {
  if (this != &other) {
    forget();
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
    const std::lock_guard lock(r.mutex);
    r.stopping = true;
    for (auto& [id, file] : r.files) files.push_back(std::move(file));
    r.files.clear();
  }
  // Outside the lock: a removal acts as the file's client and may be slow. A file its run has
  // already renamed into place or removed is not there any more, and that failure is dropped.
  for (const auto& file : files) {
    const platform::ScopedActingIdentity acting(file.identity);
    (void)platform::remove_file(file.path);
  }
}

}  // namespace kavel_lib::system
