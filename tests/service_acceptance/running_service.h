// The built PolvaneService, started in console mode as root on a socket in a temporary folder,
// with the real test volumes mapped to drive letters, and what the tests ask of it: calls
// through the library's client, the count of its open descriptors, the text of its log.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "ipc/client.h"
#include "ipc/messages.h"
#include "service/program_runner.h"
#include "support/test_env.h"

namespace kavel_test::service_acceptance {

// Drive letters of the real test volumes inside the service.
inline constexpr char kNtfsLetter = 'N';
inline constexpr char kFat16Letter = 'F';
inline constexpr char kFat32Letter = 'G';
inline constexpr char kExfatLetter = 'X';

inline std::string device_path(char letter) { return std::string("\\\\.\\") + letter + ":"; }

// Why the service cannot be run against the real volumes here, or nothing.
inline std::optional<std::string> service_run_missing() {
  if (auto why = root_missing()) return *why + " (the service opens the volumes as root)";
  if (auto why = real_volumes_missing()) return why;
  if (!std::filesystem::exists(program_path("PolvaneService"))) return "PolvaneService is not built";
  return std::nullopt;
}

// The drive table that maps the real volumes, as KAVEL_DRIVES text.
inline std::string real_volume_drives() {
  const auto dir = real_volumes_dir();
  return std::string(1, kNtfsLetter) + "=" + (dir / "ntfs-small.img").string() + ";" + kFat16Letter + "=" +
         (dir / "fat16.img").string() + ";" + kFat32Letter + "=" + (dir / "fat32.img").string() + ";" + kExfatLetter +
         "=" + (dir / "exfat.img").string();
}

// One running service. The test process's KAVEL_PIPE_DIR names the service's socket folder for
// the object's life, so the library's client reaches this service and no other.
class RunningService {
 public:
  // `drives`: the service's KAVEL_DRIVES; `extra_env`: more of its environment.
  explicit RunningService(const std::string& drives = real_volume_drives(),
                          const std::vector<std::string>& extra_env = {})
      : pipe_env_("KAVEL_PIPE_DIR", pipe_dir().string()) {
    // Open to every user: unprivileged clients reach the socket in here.
    std::filesystem::permissions(dir_.path(), std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                                  std::filesystem::perms::group_exec |
                                                  std::filesystem::perms::others_read |
                                                  std::filesystem::perms::others_exec);
    std::filesystem::create_directories(data_dir());
    std::vector<std::string> env = extra_env;
    env.push_back("KAVEL_PIPE_DIR=" + pipe_dir().string());
    env.push_back("XDG_DATA_HOME=" + data_dir().string());
    env.push_back("KAVEL_DRIVES=" + drives);
    run_ = std::make_unique<ProgramRun>(std::vector<std::string>{program_path("PolvaneService").string(), "--console"},
                                        env, dir_ / "output");
  }
  RunningService(const RunningService&) = delete;
  RunningService& operator=(const RunningService&) = delete;

  // Whether the service answers a ping within `limit`, and then holds no connection any more
  // (the thread that answered closes its end just after the reply has been read), so that a
  // test counting the service's descriptors starts from its idle state.
  [[nodiscard]] bool ready(std::chrono::milliseconds limit = std::chrono::seconds(10)) const {
    if (!run_->started()) return false;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    do {
      const auto reply = kavel_lib::ipc::ipc_call(kavel_lib::ipc::IpcRequest{kavel_lib::ipc::IpcRequest::Ping{}},
                                                  std::chrono::milliseconds(200));
      if (reply) return idle();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
  }

  // The count of the service's open sockets: its listener's and one per open connection;
  // nothing when /proc cannot tell.
  [[nodiscard]] std::optional<std::size_t> socket_count() const {
    std::error_code ec;
    std::size_t count = 0;
    for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid()) + "/fd", ec), end; !ec && it != end;
         it.increment(ec)) {
      std::error_code link_ec;
      if (std::filesystem::read_symlink(it->path(), link_ec).string().starts_with("socket:")) ++count;
    }
    if (ec) return std::nullopt;
    return count;
  }

  // Waits until the service's only socket is its listener's: every connection made so far has
  // been closed. Gives whether that came within `limit` (which bounds only a failing run).
  [[nodiscard]] bool idle(std::chrono::milliseconds limit = std::chrono::seconds(60)) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (socket_count() != std::optional<std::size_t>(1)) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }

  [[nodiscard]] ProgramRun& program() { return *run_; }
  [[nodiscard]] pid_t pid() const { return run_->pid(); }
  [[nodiscard]] std::string output() const { return run_->output(); }
  [[nodiscard]] const std::filesystem::path& dir() const { return dir_.path(); }
  [[nodiscard]] std::filesystem::path pipe_dir() const { return dir_ / "pipe"; }
  [[nodiscard]] std::filesystem::path data_dir() const { return dir_ / "data"; }
  [[nodiscard]] std::string log_text() const { return read_file(data_dir() / "Polvane" / "log" / "app.log"); }

  // Whether the process still runs (not ended, not a zombie).
  [[nodiscard]] bool alive() { return !run_->wait(std::chrono::milliseconds(0)).has_value(); }

  // The count of the service's open descriptors; nothing when /proc cannot tell.
  [[nodiscard]] std::optional<std::size_t> descriptor_count() const {
    std::error_code ec;
    std::size_t count = 0;
    for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid()) + "/fd", ec), end; !ec && it != end;
         it.increment(ec)) {
      ++count;
    }
    if (ec) return std::nullopt;
    return count;
  }

  // Waits until the service holds `count` descriptors again (its connection threads close their
  // ends just after the client has read the reply); gives the last count seen.
  [[nodiscard]] std::optional<std::size_t> descriptors_settle_at(std::size_t count,
                                                                 std::chrono::milliseconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::optional<std::size_t> seen = descriptor_count();
    while (seen != count && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      seen = descriptor_count();
    }
    return seen;
  }

 private:
  TempDir dir_;
  ScopedEnv pipe_env_;
  std::unique_ptr<ProgramRun> run_;
};

// The reply's data as compact JSON, or "error: " and the client error's display text.
inline std::string call_text(const kavel_lib::ipc::IpcRequest& request,
                             std::chrono::milliseconds wait = std::chrono::seconds(3)) {
  auto reply = kavel_lib::ipc::ipc_call(request, wait);
  if (!reply) return "error: " + reply.error().display();
  return reply->data.dump();
}

inline constexpr const char* kOk = R"({"ok":true})";
inline constexpr const char* kPong = R"({"pong":true,"protocolVersion":1})";
inline constexpr const char* kStatusElevated = R"({"elevated":true,"protocolVersion":1,"serviceVersion":"1.0.0"})";

}  // namespace kavel_test::service_acceptance
