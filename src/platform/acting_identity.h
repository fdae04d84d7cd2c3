// The file-system identity a thread acts as when it creates, opens, renames or removes
// destination files (file_ops.h).
//
// A privileged service writes files for its clients. So that a client can make it write only
// where the client itself may, a request's thread names the client's identity here for the
// length of the request; the calls of file_ops.h then take on that identity while they run and
// give the service's own back before they return. Nothing else takes it on: device opens,
// tool starts, configuration reads and logging always act as the service.
//
// A switch that does not take makes the file operation fail with ERROR_ACCESS_DENIED; a
// failure to give the service's identity back stops the program (the thread could otherwise
// go on with a mix of both).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace kavel_lib::platform {

struct FileIdentity {
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  std::vector<std::uint32_t> groups;  // supplementary groups
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// The process's own identity: effective user, effective group and supplementary groups.
FileIdentity process_identity();

// Whether two identities name the same user, group and set of supplementary groups (their
// order and repeats aside).
bool same_identity(const FileIdentity& a, const FileIdentity& b);

// The identity this thread's file operations act as; nothing: the process's own.
std::optional<FileIdentity> current_acting_identity();

// Names the identity this thread's file operations act as, for the life of the object; the
// previous one comes back when it ends. Nothing: the process's own.
class ScopedActingIdentity {
 public:
  explicit ScopedActingIdentity(std::optional<FileIdentity> identity);
  ~ScopedActingIdentity();
  ScopedActingIdentity(const ScopedActingIdentity&) = delete;
  ScopedActingIdentity& operator=(const ScopedActingIdentity&) = delete;

 private:
  std::optional<FileIdentity> previous_;
};

// The file-creation mask of the client this thread serves: new files made by create
// (file_ops.h) take exactly 0666 less it and new folders 0777 less it, whatever the service's
// own umask, as the client's own new files would. Nothing (no client named): the process's
// umask applies, as to any program's files.
std::optional<std::uint32_t> current_creation_mask();

// Names the creation mask of this thread's file operations for the life of the object; the
// previous one comes back when it ends.
class ScopedCreationMask {
 public:
  explicit ScopedCreationMask(std::optional<std::uint32_t> mask);
  ~ScopedCreationMask();
  ScopedCreationMask(const ScopedCreationMask&) = delete;
  ScopedCreationMask& operator=(const ScopedCreationMask&) = delete;

 private:
  std::optional<std::uint32_t> previous_;
};

}  // namespace kavel_lib::platform
