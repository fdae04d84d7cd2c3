// A builder-made image saved to a temporary folder and mapped to a drive letter through
// KAVEL_DRIVES for the life of the object, so code under test opens it as "\\.\X:".
#pragma once

#include <filesystem>
#include <string>

#include "support/sparse_image.h"
#include "support/test_env.h"

namespace kavel_test {

class MappedVolume {
 public:
  MappedVolume(const SparseImage& image, char letter = 'F');
  // Maps an existing image file (read in place).
  MappedVolume(const std::filesystem::path& image_path, char letter);

  [[nodiscard]] const std::filesystem::path& image_path() const { return image_; }
  [[nodiscard]] std::string device_path() const { return std::string("\\\\.\\") + letter_ + ":"; }
  [[nodiscard]] const TempDir& dir() const { return dir_; }

 private:
  TempDir dir_;
  std::filesystem::path image_;
  char letter_;
  ScopedEnv env_;
};

// The lower-case hexadecimal SHA-256 of a file (through sha256sum), empty when it fails.
std::string sha256_of_file(const std::filesystem::path& path);

}  // namespace kavel_test
