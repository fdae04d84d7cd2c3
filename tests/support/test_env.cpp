#include "support/test_env.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace kavel_test {

std::filesystem::path test_data_dir() { return std::filesystem::path(KAVEL_TEST_DATA_DIR); }

std::optional<std::string> test_data_missing(std::initializer_list<std::string_view> files) {
  for (const auto file : files) {
    const auto path = test_data_dir() / file;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return "missing " + path.string();
  }
  return std::nullopt;
}
std::filesystem::path binary_dir() { return std::filesystem::path(KAVEL_BINARY_DIR); }
std::filesystem::path program_path(const std::string& name) { return binary_dir() / "bin" / name; }

TempDir::TempDir() {
  const char* tmp = std::getenv("TMPDIR");
  std::filesystem::path base = (tmp && *tmp) ? tmp : "/tmp";
  std::string templ = (base / "kavel-test-XXXXXX").string();
  if (::mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = templ;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

ScopedEnv::ScopedEnv(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str())) old_ = old;
  if (value) ::setenv(name_.c_str(), value->c_str(), 1);
  else ::unsetenv(name_.c_str());
}

ScopedEnv::~ScopedEnv() {
  if (old_) ::setenv(name_.c_str(), old_->c_str(), 1);
  else ::unsetenv(name_.c_str());
}

void write_file(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::optional<std::string> root_missing() {
  if (::geteuid() != 0) return "needs root";
  return std::nullopt;
}

std::optional<std::string> program_missing(const std::string& name) {
  if (run_command("command -v " + shell_quote(name) + " >/dev/null 2>&1").status != 0) {
    return name + " is not installed";
  }
  return std::nullopt;
}

std::optional<std::string> setpriv_missing() {
  if (auto r = root_missing()) return r;
  return program_missing("setpriv");
}

std::filesystem::path real_volumes_dir() {
  if (const char* dir = std::getenv("KAVEL_REAL_VOLUMES"); dir && *dir) return dir;
  return binary_dir() / "real-volumes";
}

std::optional<std::string> real_volumes_missing() {
  const auto dir = real_volumes_dir();
  for (const char* name : {"ntfs-small.img", "fat32.img", "fat16.img", "exfat.img", "ntfs-large.img"}) {
    if (!std::filesystem::exists(dir / name)) {
      return "real test volumes are missing in " + dir.string() +
             " (scripts/test.sh makes them with scripts/make-real-volumes.sh; needs root, FUSE and a loop device)";
    }
  }
  return std::nullopt;
}

CommandResult run_command(const std::string& shell_command) {
  CommandResult result;
  FILE* pipe = ::popen(shell_command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
  const int status = ::pclose(pipe);
  result.status = (status >= 0 && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
  return result;
}

std::string shell_quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  out += "'";
  return out;
}

}  // namespace kavel_test
