#include "support/process_watch.h"

#include <cstdio>
#include <fstream>
#include <thread>

#include "support/test_env.h"

namespace kavel_test {

std::filesystem::path write_script(const std::filesystem::path& path, const std::string& body) {
  write_file(path, "#!/bin/sh\n" + body + "\n");
  std::filesystem::permissions(path, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                         std::filesystem::perms::group_exec);
  return path;
}

bool process_ended(std::uint32_t pid) {
  // stdio, not a stream: a read that fails because the process vanished meanwhile (ESRCH) makes
  // the stream library throw.
  std::FILE* stat = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "re");
  if (stat == nullptr) return true;
  char buffer[1024];
  const std::size_t n = std::fread(buffer, 1, sizeof buffer, stat);
  std::fclose(stat);
  const std::string content(buffer, n);
  const auto close = content.rfind(')');
  if (close == std::string::npos || close + 2 >= content.size()) return true;
  const char state = content[close + 2];
  return state == 'Z' || state == 'X';
}

bool wait_process_ended(std::uint32_t pid, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!process_ended(pid)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

std::string wait_file_line(const std::filesystem::path& path, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    std::ifstream in(path);
    std::string line;
    if (in && std::getline(in, line) && !line.empty() && in.good()) return line;
    if (std::chrono::steady_clock::now() > deadline) return "";
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::string expected_descriptor_listing() { return "0\n1\n2\n3\n"; }

}  // namespace kavel_test
