#include "support/windows_testdata.h"

#include <unistd.h>

#include <mutex>

#include "support/test_env.h"

namespace kavel_test {

std::optional<std::filesystem::path> windows_ntfs_raw(std::string* why) {
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  const auto archive = test_data_dir() / "windows-ntfs" / "ntfs.tgz";
  const auto cache = binary_dir() / "testdata-cache" / "windows-ntfs";
  const auto image = cache / "ntfs.raw";
  std::error_code ec;
  if (std::filesystem::exists(image, ec)) return image;
  if (!std::filesystem::exists(archive, ec)) {
    if (why) *why = "missing " + archive.string();
    return std::nullopt;
  }
  std::filesystem::create_directories(cache, ec);
  // Unpack into a private folder and rename, so that test programs running side by side never
  // see half an image.
  const auto staging = cache / ("staging-" + std::to_string(::getpid()));
  std::filesystem::remove_all(staging, ec);
  std::filesystem::create_directories(staging, ec);
  const auto result = run_command("tar -xzSf " + shell_quote(archive.string()) + " -C " + shell_quote(staging.string()) +
                                  " ntfs.raw 2>&1");
  if (result.status != 0 || !std::filesystem::exists(staging / "ntfs.raw", ec)) {
    if (why) *why = "cannot unpack " + archive.string() + ": " + result.output;
    std::filesystem::remove_all(staging, ec);
    return std::nullopt;
  }
  std::filesystem::rename(staging / "ntfs.raw", image, ec);
  std::filesystem::remove_all(staging, ec);
  if (!std::filesystem::exists(image)) {
    if (why) *why = "cannot place " + image.string();
    return std::nullopt;
  }
  return image;
}

}  // namespace kavel_test
