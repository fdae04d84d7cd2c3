// The service program's logic in this process: switch parsing, the printed texts, the status
// record, the control handler's answers, and the stop's work against the real listener.
#include "service/service_control.h"

#include <chrono>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "ipc/server.h"
#include "support/test_env.h"

namespace kavel_lib::service {
namespace {

using kavel_test::ScopedEnv;
using kavel_test::TempDir;
using namespace std::chrono_literals;

std::vector<std::string> args(std::initializer_list<const char*> list) { return {list.begin(), list.end()}; }

// Runs the listener on a detached thread: a listener that never returns fails its test
// instead of holding it up.
std::future<bool> start_listener(std::shared_ptr<std::atomic<bool>> running) {
  std::packaged_task<bool()> task([running] { return ipc::serve(*running).has_value(); });
  auto result = task.get_future();
  std::thread(std::move(task)).detach();
  return result;
}

TEST(ProgramSwitches, WholeExactArgumentsAnywhere) {
  auto s = parse_switches(args({"PolvaneService"}));
  EXPECT_FALSE(s.console);
  EXPECT_FALSE(s.elevated_console);

  s = parse_switches(args({"PolvaneService", "x", "--console"}));
  EXPECT_TRUE(s.console);
  EXPECT_FALSE(s.elevated_console);

  s = parse_switches(args({"PolvaneService", "--elevated-console", "--console"}));
  EXPECT_TRUE(s.console);
  EXPECT_TRUE(s.elevated_console);

  // Another case, a suffix, a prefix, an '=' form: none is a switch.
  s = parse_switches(args({"PolvaneService", "--Console", "--console2", "-console", "--console=1",
                           "--elevated-console ", "--ELEVATED-CONSOLE"}));
  EXPECT_FALSE(s.console);
  EXPECT_FALSE(s.elevated_console);
}

TEST(ProgramTexts, ExactLines) {
  EXPECT_EQ(fallback_line("boom (0x80070427)"),
            "Not started as Windows Service (boom (0x80070427)); running IPC server in console mode.\n");
  EXPECT_EQ(elevation_failed_line("x"), "UAC elevation failed: x\n");
  EXPECT_EQ(running_banner(true),
            "Polvane Service is running (elevated=true). Keep this window open while using the app.\n");
  EXPECT_EQ(running_banner(false),
            "Polvane Service is running (elevated=false). Keep this window open while using the app.\n");
}

TEST(ServiceStatusRecord, RunningAndStopped) {
  const auto running = service_status_record(platform::SERVICE_RUNNING, platform::SERVICE_ACCEPT_STOP);
  EXPECT_EQ(running.service_type, 0x10u);
  EXPECT_EQ(running.current_state, 4u);
  EXPECT_EQ(running.controls_accepted, 1u);
  EXPECT_EQ(running.win32_exit_code, 0u);
  EXPECT_EQ(running.service_specific_exit_code, 0u);
  EXPECT_EQ(running.check_point, 0u);
  EXPECT_EQ(running.wait_hint, 5000u);

  const auto stopped = service_status_record(platform::SERVICE_STOPPED, 0);
  EXPECT_EQ(stopped.current_state, 1u);
  EXPECT_EQ(stopped.controls_accepted, 0u);
  EXPECT_EQ(stopped.wait_hint, 0u);
}

class ControlHandler : public ::testing::Test {
 protected:
  void SetUp() override { clear_service_control_state(); }
  void TearDown() override { clear_service_control_state(); }
  TempDir dir_;
  ScopedEnv pipe_dir_{"KAVEL_PIPE_DIR", (dir_ / "pipe").string()};
};

TEST_F(ControlHandler, InterrogateAndOtherControlsLeaveTheFlag) {
  auto running = std::make_shared<std::atomic<bool>>(true);
  store_service_control_state(running, 7);
  EXPECT_EQ(service_control_handler(platform::SERVICE_CONTROL_INTERROGATE, 0, nullptr, nullptr), 0u);
  EXPECT_EQ(service_control_handler(platform::SERVICE_CONTROL_PAUSE, 0, nullptr, nullptr), 1281u);
  EXPECT_EQ(service_control_handler(0x80, 0, nullptr, nullptr), 1281u);
  EXPECT_TRUE(running->load());
}

TEST_F(ControlHandler, StopWithNobodyListeningClearsTheFlagAndReturnsAtOnce) {
  auto running = std::make_shared<std::atomic<bool>>(true);
  store_service_control_state(running, 7);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(service_control_handler(platform::SERVICE_CONTROL_STOP, 0, nullptr, nullptr), 0u);
  // No socket yet: the wake-up ping fails at once instead of waiting its 3 seconds.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_FALSE(running->load());
}

TEST_F(ControlHandler, StopWithNothingStoredDoesNothingHarmful) {
  const auto woke = stop_and_wake_listener();
  ASSERT_FALSE(woke);
  EXPECT_EQ(woke.error().kind(), ipc::IpcClientError::Kind::ServiceUnavailable);
}

TEST_F(ControlHandler, LaterStoreReplacesAndReleasesTheEarlierFlag) {
  auto first = std::make_shared<std::atomic<bool>>(true);
  auto second = std::make_shared<std::atomic<bool>>(true);
  store_service_control_state(first, 1);
  EXPECT_EQ(first.use_count(), 2);
  store_service_control_state(second, 2);
  EXPECT_EQ(first.use_count(), 1);
  (void)stop_and_wake_listener();
  EXPECT_TRUE(first->load());
  EXPECT_FALSE(second->load());
}

TEST_F(ControlHandler, StopWakesTheListenerWhichAnswersThePing) {
  auto running = std::make_shared<std::atomic<bool>>(true);
  store_service_control_state(running, 7);
  auto listener = start_listener(running);
  // Wait for the listener's socket: it is put in place once the listener listens.
  const auto socket = dir_ / "pipe" / "PolvaneService";
  for (int i = 0; i < 6000 && !std::filesystem::exists(socket); ++i) std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(std::filesystem::exists(socket));

  // The ping is answered, or, should the listener see the cleared flag at the end of an accept
  // slice before the ping connects, it finds the listener gone: either way the listener ends.
  const auto woke = stop_and_wake_listener();
  if (woke) {
    EXPECT_EQ(woke->data, nlohmann::json::parse(R"({"pong":true,"protocolVersion":1})"));
  } else {
    EXPECT_EQ(woke.error().kind(), ipc::IpcClientError::Kind::ServiceUnavailable) << woke.error().display();
  }
  ASSERT_EQ(listener.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(listener.get());
}

TEST_F(ControlHandler, ListenerStartedAfterTheStopReturnsAtOnce) {
  auto running = std::make_shared<std::atomic<bool>>(true);
  store_service_control_state(running, 7);
  (void)stop_and_wake_listener();
  auto listener = start_listener(running);
  ASSERT_EQ(listener.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(listener.get());
}

}  // namespace
}  // namespace kavel_lib::service
