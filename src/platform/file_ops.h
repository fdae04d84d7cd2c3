// Destination files: the one place where the exporters (and later the service's other writers)
// create folders and files on the host.
//
// Every call here that creates, opens, renames or removes acts as the calling thread's acting
// identity (acting_identity.h), so a service thread serving a client does these things as that
// client; when the identity cannot be taken on, the call fails with ERROR_ACCESS_DENIED and
// does nothing. None of them follows a final symbolic link, and an existing destination is
// accepted only when it is a regular file.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <span>

#include "platform/errors.h"

namespace kavel_lib::platform {

// Creates the folder and every missing folder above it. An existing folder (or a link to one)
// is fine; anything else in the way gives ERROR_ALREADY_EXISTS. No folder is made inside a
// folder that a destination may not be in (see DestinationFile). A new folder gets mode 0777
// less the thread's creation mask (acting_identity.h), else less the process's umask.
std::expected<void, OsError> create_folders(const std::filesystem::path& folder);

// Creates the parent folder of a destination and every missing folder above it; a path
// without a parent folder needs nothing.
std::expected<void, OsError> create_parent_folders(const std::filesystem::path& destination);

// A destination file open for writing; owns its descriptor and closes it when released.
//
// Every open first opens the destination's folder (links in the folder path are followed, but
// never a magic link of /proc such as /proc/PID/root or /proc/PID/fd/N, refused with "export
// destination cannot be a device path") and refuses, with the same text, a folder of the
// kernel's own file systems (proc, sysfs, devpts, cgroup, debugfs, tracefs, securityfs) or one
// that resolves to a place under /dev, /proc or /sys; the file is then opened inside that very
// folder. The evidence is never written: a folder whose file system is stored on what the drive
// table maps (traced, as the service, from the folder's mount down through partitions, loop
// devices and device-mapper or md to block devices and image files, an image file through the
// file system it lies in, an overlay through its upper and work folders: a mapped block device,
// a partition of a mapped disk, a disk holding a mapped partition, a mapped image under any
// offset), a file that is the image or block device behind any drive-table entry (the same
// file under any name, hard links included), and a file that is a mount of its own stored on
// the evidence, are refused before anything is changed. Where what a folder or such a file is
// stored on cannot be told (its mount is in the service's mount table neither by ID nor by
// device number, an overlay folder does not open, the trace's bounds are passed) it is refused
// with "cannot tell what the export destination is stored on". A file system that keeps its
// data nowhere below (tmpfs, network) is not refused for it.
class DestinationFile {
 public:
  // Opens the path for writing: creates the file, or truncates an existing one after checking
  // it is a regular file. A final symbolic link is never followed (the open fails), a folder,
  // device or pipe in its place is refused with ERROR_ACCESS_DENIED, and the open never
  // blocks on a pipe. A new file gets mode 0666 less the thread's creation mask
  // (acting_identity.h), else less the process's umask; an existing one keeps its mode.
  static std::expected<DestinationFile, OsError> create(const std::filesystem::path& path);

  // Opens an existing destination for writing as create does, but neither creates nor
  // truncates it; nothing at the path gives ERROR_FILE_NOT_FOUND.
  static std::expected<DestinationFile, OsError> open_existing(const std::filesystem::path& path);

  // Creates a new file at the path for reading and writing, readable by its owner only (a
  // working file); anything already there (a link included) makes it fail with
  // ERROR_FILE_EXISTS.
  static std::expected<DestinationFile, OsError> create_new(const std::filesystem::path& path);

  DestinationFile() = default;
  DestinationFile(DestinationFile&& other) noexcept;
  DestinationFile& operator=(DestinationFile&& other) noexcept;
  DestinationFile(const DestinationFile&) = delete;
  DestinationFile& operator=(const DestinationFile&) = delete;
  ~DestinationFile();

  [[nodiscard]] bool is_open() const { return fd_ >= 0; }

  // Writes every byte: interrupted writes are repeated, partial writes continued; a write
  // that takes no bytes fails with WriteZero ("failed to write whole buffer").
  std::expected<void, OsError> write_all(std::span<const std::uint8_t> bytes);

  // Moves the write position `bytes` forward without writing: the bytes passed over read as
  // zeros and, on a file system that keeps holes, take no space. A position past the largest
  // file offset fails with ERROR_DISK_FULL.
  std::expected<void, OsError> skip(std::uint64_t bytes);

  // Sets the file's length; bytes added past the last write read as zeros and take no space
  // where holes are kept. A length past the largest file offset fails as skip does.
  std::expected<void, OsError> set_length(std::uint64_t length);

  // Makes this file's content the whole content of the source file, read from its start; the
  // file keeps its inode and mode.
  std::expected<void, OsError> replace_content_from(const DestinationFile& source);

  // Closes the file now and reports a failed close (buffered data that could not be stored).
  std::expected<void, OsError> close();

 private:
  friend class OpenedFolder;
  explicit DestinationFile(int fd) : fd_(fd) {}
  int fd_ = -1;
};

// Renames a file or folder; the target is replaced when the system allows it. Links are
// renamed themselves, never followed.
std::expected<void, OsError> rename_path(const std::filesystem::path& from, const std::filesystem::path& to);

// The length of the regular file at the path, taken from the file itself once it is open
// (a final link is not followed); anything but a regular file gives ERROR_ACCESS_DENIED.
std::expected<std::uint64_t, OsError> regular_file_length(const std::filesystem::path& path);

// A folder opened once, as the acting identity (links in its path are followed), in which
// working files are created and from which they are removed again: whatever becomes of the
// folder's path meanwhile (renamed, replaced by a link to another folder), both happen in the
// folder that was opened. Copies share the folder's descriptor, which closes with the last.
class OpenedFolder {
 public:
  static std::expected<OpenedFolder, OsError> open(const std::filesystem::path& folder);

  OpenedFolder() = default;
  [[nodiscard]] bool is_open() const { return folder_ != nullptr; }

  // Creates the new file `name` (one path component) in the folder, as
  // DestinationFile::create_new would create it there, with every check of a destination.
  [[nodiscard]] std::expected<DestinationFile, OsError> create_new(const std::filesystem::path& name) const;

  // Removes the file `name` (one path component; a link is removed itself, folders are
  // refused) from the folder, as the acting identity.
  [[nodiscard]] std::expected<void, OsError> remove(const std::filesystem::path& name) const;

 private:
  struct Descriptor;
  std::shared_ptr<const Descriptor> folder_;
};

}  // namespace kavel_lib::platform
