// Helpers shared by the tests: where the test data lives, temporary folders, scoped
// environment variables, and the reasons a test must skip on this machine.
#pragma once

#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kavel_test {

// tests/data of the source tree: the Windows-written samples (read-only).
std::filesystem::path test_data_dir();
// Why a test cannot read the named files of tests/data (paths relative to it), or nothing.
std::optional<std::string> test_data_missing(std::initializer_list<std::string_view> files);
// The build folder (programs are in bin/).
std::filesystem::path binary_dir();
std::filesystem::path program_path(const std::string& name);

// A fresh folder under the temporary folder, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  [[nodiscard]] const std::filesystem::path& path() const { return path_; }
  [[nodiscard]] std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Sets (or with nullopt unsets) an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, std::optional<std::string> value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

void write_file(const std::filesystem::path& path, const std::string& bytes);
std::string read_file(const std::filesystem::path& path);

// Why a test that needs root cannot run here, or nothing when it can.
std::optional<std::string> root_missing();
// Why a test that must drop privileges with setpriv cannot run here.
std::optional<std::string> setpriv_missing();
// Why the real test volumes (scripts/make-real-volumes.sh) are not at hand.
std::optional<std::string> real_volumes_missing();
// The folder holding ntfs-small.img, fat32.img, ... and their manifests: $KAVEL_REAL_VOLUMES,
// else <build>/real-volumes.
std::filesystem::path real_volumes_dir();
// Why an outside program is missing from PATH, or nothing.
std::optional<std::string> program_missing(const std::string& name);

// Runs a shell command, returns its exit status and standard output.
struct CommandResult {
  int status = -1;
  std::string output;
};
CommandResult run_command(const std::string& shell_command);
// Quotes a text for a POSIX shell.
std::string shell_quote(const std::string& text);

// The unprivileged user and group a root test drops to ("nobody" / "nogroup").
inline constexpr int kUnprivilegedUid = 65534;
inline constexpr int kUnprivilegedGid = 65534;

}  // namespace kavel_test
