// Files that tool runs are writing for their clients and that must not outlive the service.
//
// A run reserves a place before it creates its incomplete output file and registers the file
// for as long as it may be left incomplete. When the service stops, remove_partial_files waits
// for creations in progress, removes every file still registered, as the identity that
// registered it, and refuses reservations from then on.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <shared_mutex>

#include "platform/file_ops.h"

namespace kavel_lib::system {

class PartialFile {
 public:
  // Holds the stop off while the caller creates its file; nothing once the stop has begun (the
  // caller then creates nothing).
  static std::optional<PartialFile> reserve();

  // Registers the created file `name` in `folder`, to be removed from that folder (whatever
  // its path has become) as the calling thread's acting identity, and lets the stop go on.
  void track(platform::OpenedFolder folder, std::filesystem::path name);

  // Lets the stop go on, and forgets the file: its run renamed it into place or removed it.
  ~PartialFile();
  PartialFile(PartialFile&& other) noexcept;
  PartialFile& operator=(PartialFile&& other) noexcept;
  PartialFile(const PartialFile&) = delete;
  PartialFile& operator=(const PartialFile&) = delete;

 private:
  explicit PartialFile(std::shared_lock<std::shared_mutex> hold) : hold_(std::move(hold)) {}
  void forget();
  std::shared_lock<std::shared_mutex> hold_;  // owned from reserve until track
  std::uint64_t id_ = 0;                      // 0: nothing registered
};

// The service's stop: removes every registered file and refuses later registrations.
void remove_partial_files();

}  // namespace kavel_lib::system
