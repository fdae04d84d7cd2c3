// Files that tool runs are writing for their clients and that must not outlive the service.
//
// A run registers its incomplete output file for as long as the file may be left incomplete.
// When the service stops, remove_partial_files removes every file still registered, as the
// identity that registered it, and refuses registrations from then on.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace kavel_lib::system {

class PartialFile {
 public:
  // Registers the file at `path`, to be removed as the calling thread's acting identity.
  // Nothing once the stop has begun: the caller removes its file itself.
  static std::optional<PartialFile> track(std::filesystem::path path);

  // Forgets the file: its run renamed it into place or removed it.
  ~PartialFile();
  PartialFile(PartialFile&& other) noexcept;
  PartialFile& operator=(PartialFile&& other) noexcept;
  PartialFile(const PartialFile&) = delete;
  PartialFile& operator=(const PartialFile&) = delete;

 private:
  explicit PartialFile(std::uint64_t id) : id_(id) {}
  void forget();
  std::uint64_t id_ = 0;  // 0: nothing registered
};

// The service's stop: removes every registered file and refuses later registrations.
void remove_partial_files();

}  // namespace kavel_lib::system
