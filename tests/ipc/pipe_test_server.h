// A stand-in for the service in the ipc tests: serves the service's pipe name from a socket in
// a temporary folder, on its own thread, handing each accepted connection to a handler. It
// waits for clients only for a bounded time, so a test whose client never comes still ends.
#pragma once

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "ipc/client.h"
#include "ipc/framing.h"
#include "platform/local_pipe.h"
#include "support/test_env.h"

namespace kavel_lib::ipc::testing {

// Gives every test its own pipe folder and a watchdog that ends a hung run (not a slow one: a
// 16 MiB reply under a sanitizer on a busy machine takes more than a minute).
class PipeTest : public ::testing::Test {
 protected:
  void SetUp() override { ::alarm(240); }
  void TearDown() override { ::alarm(0); }

  kavel_test::TempDir dir_;
  kavel_test::ScopedEnv env_{"KAVEL_PIPE_DIR", dir_.path().string()};
};

class TestPipeServer {
 public:
  using Handler = std::function<void(platform::PipeConnection&)>;

  explicit TestPipeServer(Handler handler, int connections = 1,
                          int backlog = platform::PipeServer::kDefaultBacklog) {
    auto server = platform::PipeServer::bind(kServicePipeName, backlog);
    EXPECT_TRUE(server.has_value()) << server.error().display();
    if (!server) return;
    server_ = std::move(*server);
    thread_ = std::thread([this, handler = std::move(handler), connections] {
      const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      for (int served = 0; served < connections && !stop_ && std::chrono::steady_clock::now() < give_up;) {
        auto accepted = server_.accept_within(std::chrono::milliseconds(50));
        if (!accepted) break;
        if (!accepted->has_value()) continue;
        handler(**accepted);
        ++served;
      }
    });
  }

  ~TestPipeServer() { stop(); }

  // Waits until the handler has served its connections (or the server gave up).
  void wait() {
    if (thread_.joinable()) thread_.join();
  }
  void stop() {
    stop_ = true;
    wait();
  }

  platform::PipeServer& server() { return server_; }

 private:
  platform::PipeServer server_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Reads the request frame and answers with `reply` (and a descriptor when given).
inline void answer(platform::PipeConnection& pipe, std::string_view reply, int descriptor = -1) {
  auto request = receive_frame(pipe);
  EXPECT_TRUE(request.has_value());
  auto sent = send_frame(pipe, reply, descriptor);
  EXPECT_TRUE(sent.has_value());
}

}  // namespace kavel_lib::ipc::testing
