// Loop devices and mounts made by tests (root only), undone when their objects go.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>

namespace kavel_test {

// A descriptor closed with the object.
struct Closer {
  explicit Closer(int descriptor) : fd(descriptor) {}
  Closer(const Closer&) = delete;
  Closer& operator=(const Closer&) = delete;
  ~Closer();
  int fd;
};

// How a loop device reads its file.
struct LoopSetup {
  std::uint64_t offset = 0;
  std::uint64_t size_limit = 0;  // 0: to the file's end
  bool read_only = false;        // the file opened read-only, the device read-only (losetup -r)
};

// A loop device over a file (or a block device node), set to clear itself at its last close and
// to scan its partition table; detached with the object.
class LoopDevice {
 public:
  static std::expected<LoopDevice, std::string> attach(const std::filesystem::path& file, std::uint64_t offset);
  static std::expected<LoopDevice, std::string> attach(const std::filesystem::path& file, const LoopSetup& setup);
  LoopDevice(LoopDevice&& other) noexcept;
  LoopDevice& operator=(LoopDevice&&) = delete;
  ~LoopDevice();

  // "/dev/loopN".
  [[nodiscard]] const std::string& node() const { return node_; }
  // The descriptor the device was set up through (held until the object goes).
  [[nodiscard]] int descriptor() const { return fd_; }

  // Makes partition 1 (from byte `start`, `length` bytes) known, when the kernel's scan of the
  // table did not (a kernel without the table's parser), and a node for it in `folder`.
  std::expected<std::filesystem::path, std::string> partition_node(std::uint64_t start, std::uint64_t length,
                                                                   const std::filesystem::path& folder);

 private:
  LoopDevice() = default;
  std::string node_;
  int fd_ = -1;
  bool partition_ = false;
};

// A file system mounted for the life of the object.
class Mounted {
 public:
  Mounted(const std::string& source, std::filesystem::path target, const char* type);
  // With mount flags and options; the target must exist (a file, for a file's bind mount).
  Mounted(const std::string& source, std::filesystem::path target, const char* type, unsigned long flags,
          const std::string& data);
  // Mounted by a program (ntfs-3g); unmounted here all the same.
  Mounted(std::filesystem::path target, bool mounted);
  Mounted(const Mounted&) = delete;
  Mounted& operator=(const Mounted&) = delete;
  ~Mounted();
  void unmount();
  [[nodiscard]] bool mounted() const { return mounted_; }

 private:
  std::filesystem::path target_;
  bool mounted_ = false;
};

}  // namespace kavel_test
