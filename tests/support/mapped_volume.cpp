#include "support/mapped_volume.h"

namespace kavel_test {

namespace {

std::filesystem::path save_into(const TempDir& dir, const SparseImage& image) {
  auto path = dir / "volume.img";
  image.save(path);
  return path;
}

}  // namespace

MappedVolume::MappedVolume(const SparseImage& image, char letter)
    : image_(save_into(dir_, image)), letter_(letter), env_("KAVEL_DRIVES", std::string(1, letter) + "=" + image_.string()) {}

MappedVolume::MappedVolume(const std::filesystem::path& image_path, char letter)
    : image_(image_path), letter_(letter), env_("KAVEL_DRIVES", std::string(1, letter) + "=" + image_path.string()) {}

std::string sha256_of_file(const std::filesystem::path& path) {
  const auto result = run_command("sha256sum " + shell_quote(path.string()));
  if (result.status != 0 || result.output.size() < 64) return {};
  return result.output.substr(0, 64);
}

}  // namespace kavel_test
