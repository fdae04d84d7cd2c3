// The drive table: which host file stands behind each Windows device name.
//
// Read from the environment variable KAVEL_DRIVES: entries "NAME=PATH" separated by ";".
// NAME is a drive ("E" or "E:"), a disk ("PhysicalDrive0") or a volume ("Volume{...}"),
// compared without regard to case. PATH is an image file or a block device; "PATH@N" maps a
// volume that starts N bytes into the file. A name that is not in the table does not exist.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kavel_lib::platform {

struct DriveEntry {
  std::string name;         // canonical spelling: "E:", "PhysicalDrive0", "Volume{...}"
  std::string host_path;    // the image file or block device
  std::uint64_t offset = 0; // byte offset of the device inside host_path
};

class DriveTable {
 public:
  // Parses the table text; a malformed entry is an error whose text names the entry.
  static std::expected<DriveTable, std::string> parse(std::string_view text);
  // The table of KAVEL_DRIVES (empty when unset).
  static std::expected<DriveTable, std::string> from_environment();

  // The entry of a device name ("E:", "e", "physicaldrive0", ...), when mapped.
  [[nodiscard]] std::optional<DriveEntry> lookup(std::string_view device_name) const;
  [[nodiscard]] const std::vector<DriveEntry>& entries() const { return entries_; }

 private:
  std::vector<DriveEntry> entries_;
};

// The canonical device name of a name as written in the table or in a device path:
// "e" and "E:" give "E:", "physicaldrive3" gives "PhysicalDrive3", "volume{abc}" gives
// "Volume{abc}". Anything else is not a device name.
std::optional<std::string> canonical_device_name(std::string_view name);

// The device name of a device path "\\.\NAME" when NAME is one of the three device forms;
// no other text ever names a device.
std::optional<std::string> device_name_of_path(std::string_view device_path);

}  // namespace kavel_lib::platform
