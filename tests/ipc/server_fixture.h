// The real service listener, run inside the test process on a socket in a temporary folder,
// and clients that talk to it byte by byte.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <expected>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "ipc/child_process.h"
#include "ipc/client.h"
#include "ipc/framing.h"
#include "ipc/server.h"
#include "logging/logging.h"
#include "platform/local_pipe.h"
#include "support/test_env.h"

namespace kavel_lib::ipc::server_testing {

// The log of this test process: installed once, in a folder that lives as long as the process.
inline const std::filesystem::path& test_log_path() {
  static const std::filesystem::path path = [] {
    const auto data = std::filesystem::temp_directory_path() / ("kavel-server-test-log-" + std::to_string(::getpid()));
    std::filesystem::create_directories(data);
    ::setenv("XDG_DATA_HOME", data.c_str(), 1);
    logging::init_logging();
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(std::filesystem::temp_directory_path() /
                                      ("kavel-server-test-log-" + std::to_string(::getpid())),
                                  ec);
    });
    return data / "Polvane" / "log" / "app.log";
  }();
  return path;
}

inline std::string read_text(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// How many descriptors of this process have a target (as /proc/self/fd names it) that `keep`
// accepts. Counting only what a test is about leaves out descriptors that the sanitizers' own
// helpers open for a moment.
template <typename Keep>
std::size_t count_descriptors(Keep keep) {
  std::size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    const auto target = std::filesystem::read_symlink(entry.path(), ec);
    if (!ec && keep(target.string())) ++count;
  }
  return count;
}

// The sockets this process holds open: both ends of every pipe connection it makes or serves.
inline std::size_t open_socket_count() {
  return count_descriptors([](const std::string& target) { return target.starts_with("socket:"); });
}

// The descriptors of this process open on `file`.
inline std::size_t descriptors_open_on(const std::filesystem::path& file) {
  const auto wanted = std::filesystem::weakly_canonical(file).string();
  return count_descriptors([&](const std::string& target) { return target == wanted; });
}

// How long a test's client waits for a free place in the listener's queue: long enough for the
// busiest machine, since it bounds only a failing run.
inline constexpr std::chrono::seconds kConnectWait{60};

// Sends one frame with the payload and reads the reply frame's payload; an error's text
// (prefixed "error: ") when either fails.
inline std::string call_raw(std::string_view payload, platform::OwnedDescriptor* passed = nullptr,
                            std::chrono::milliseconds wait = kConnectWait) {
  auto pipe = connect_pipe(wait);
  if (!pipe) return "error: " + pipe.error().display();
  if (auto sent = send_frame(*pipe, payload); !sent) return "error: " + sent.error().display();
  auto reply = receive_frame(*pipe);
  if (!reply) return "error: " + reply.error().display();
  if (passed != nullptr) *passed = pipe->take_received_descriptor();
  return *reply;
}

// A JSON string literal of a text (for building requests and expected replies).
inline std::string json_text(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    if (static_cast<unsigned char>(c) < 0x20) {
      constexpr char kHex[] = "0123456789abcdef";
      out += "\\u00";
      out.push_back(kHex[(c >> 4) & 0xF]);
      out.push_back(kHex[c & 0xF]);
      continue;
    }
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

inline std::string err_reply(std::string_view code, std::string_view message) {
  return "{\"status\":\"err\",\"code\":" + json_text(code) + ",\"message\":" + json_text(message) + "}";
}
inline const std::string kOkReply = R"({"status":"ok","data":{"ok":true}})";
inline const std::string kPongReply = R"({"status":"ok","data":{"pong":true,"protocolVersion":1}})";

// The descriptor numbers that a child test of these suites finds its pipes at.
inline constexpr int kChildReplyDescriptor = 3;
inline constexpr int kChildHoldDescriptor = 4;

// Sends `payload` as call_raw does, but from a fresh process of the unprivileged user (or of
// `uid`, with the unprivileged group), with `umask` when given; the reply comes back exactly as
// call_raw gives it there. "child failed" when the child could not be started, could not drop
// its rights or did not end well. The child is this program running
// ServerChild.DISABLED_CallsAndWritesTheReply.
inline std::string call_raw_as_user(const std::string& payload, uid_t uid = kavel_test::kUnprivilegedUid,
                                    std::optional<mode_t> umask = std::nullopt) {
  int reply[2];
  if (::pipe2(reply, O_CLOEXEC) != 0) return "child failed: pipe";
  const pid_t child = kavel_test::start_child_test_as(
      {.test = "ServerChild.DISABLED_CallsAndWritesTheReply",
       .env = {{"KAVEL_TEST_PAYLOAD", payload}, {"KAVEL_TEST_REPLY_FD", std::to_string(kChildReplyDescriptor)}},
       .descriptors = {{reply[1], kChildReplyDescriptor}},
       .uid = uid,
       .gid = static_cast<gid_t>(kavel_test::kUnprivilegedGid),
       .umask = umask});
  ::close(reply[1]);
  if (child < 0) {
    ::close(reply[0]);
    return "child failed: cannot start";
  }
  // The child cannot hang on a lock taken before the fork, and it ends by its own time limit
  // at the latest: reading to the end returns.
  std::string result = kavel_test::read_to_end(reply[0]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "child failed: status " + std::to_string(status);
  return result;
}

// How long a test waits for the listener to reach a state: it bounds only a failing run.
inline constexpr std::chrono::seconds kSettleLimit{60};

// Waits until every connection made so far has been served and closed: a ping is accepted
// after all of them, and then no connection holds a place, the ping's own included (its thread
// gives its place back just after the reply has been read).
inline void wait_for_idle_server() {
  EXPECT_EQ(call_raw(R"({"op":"ping"})"), kPongReply);
  EXPECT_TRUE(wait_for_open_connection_count(0, kSettleLimit)) << open_connection_count();
}

// Each test gets its own pipe folder with the listener running in it; the listener is stopped
// as the service program stops it: the flag cleared, then a ping to wake it.
class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::alarm(240);
    (void)test_log_path();
    // What the service needs: other users may enter and connect, only the owner may write.
    std::filesystem::permissions(pipe_dir_.path(), std::filesystem::perms::owner_all |
                                                       std::filesystem::perms::group_read |
                                                       std::filesystem::perms::group_exec |
                                                       std::filesystem::perms::others_read |
                                                       std::filesystem::perms::others_exec);
    start();
  }
  void TearDown() override {
    stop();
    ::alarm(0);
  }

  // Ready means a ping was answered, and the thread that answered it has given its place back:
  // the socket's name alone does not say that it is served, and a test that counts places
  // finds them all free.
  void start() {
    running_ = true;
    thread_ = std::thread([this] { result_ = serve(running_, limits_); });
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::string reply;
    while (std::chrono::steady_clock::now() < give_up) {
      reply = call_raw(R"({"op":"ping"})", nullptr, std::chrono::milliseconds(200));
      if (reply == kPongReply) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(reply, kPongReply);
    wait_for_idle_server();
  }

  void stop() {
    if (!thread_.joinable()) return;
    running_ = false;
    (void)ipc_call_default(IpcRequest::Ping{});
    thread_.join();
    EXPECT_TRUE(result_.has_value());
  }

  // Runs the listener again with other limits.
  void restart(const ListenerLimits& limits) {
    stop();
    limits_ = limits;
    start();
  }

  // The log's text written since `mark` (a size taken earlier).
  static std::string log_since(std::size_t mark) {
    const std::string text = read_text(test_log_path());
    return mark <= text.size() ? text.substr(mark) : text;
  }
  static std::size_t log_mark() { return read_text(test_log_path()).size(); }

  kavel_test::TempDir pipe_dir_;
  kavel_test::ScopedEnv pipe_env_{"KAVEL_PIPE_DIR", pipe_dir_.path().string()};
  // The service's limits, but with a request window that no run comes near, however busy the
  // machine: a 16 MiB request may take longer than 10 seconds to deliver there. The test of the
  // window sets its own.
  ListenerLimits limits_{.request_window = std::chrono::minutes(5)};
  std::atomic<bool> running_{false};
  std::thread thread_;
  std::expected<void, std::string> result_;
};

}  // namespace kavel_lib::ipc::server_testing
