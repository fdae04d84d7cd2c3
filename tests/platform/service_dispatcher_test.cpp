// The server half of the service manager: the dispatcher's road choice, the stop control
// (SIGTERM taken on the dispatcher's thread, never lost when it comes early) and the status
// reports as sd_notify datagrams. Dispatcher runs happen in a fresh copy of this program,
// since the dispatcher blocks SIGTERM in the process for good.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ipc/child_process.h"
#include "platform/posix/sd_notify.h"
#include "platform/service_manager.h"
#include "support/notify_socket.h"
#include "support/test_env.h"

namespace kavel_lib::platform {
namespace {

using kavel_test::NotifySocket;
using kavel_test::ScopedEnv;
using kavel_test::TempDir;
using namespace std::chrono_literals;

// A child run that hangs is killed after this many seconds.
constexpr const char* kChildLimit = "timeout -s KILL 30";

TEST(NotifySocketAddress, PathAbstractAndRefused) {
  const auto path = posix::parse_notify_socket("/run/systemd/notify");
  ASSERT_TRUE(path);
  EXPECT_FALSE(path->abstract);
  EXPECT_EQ(path->name, "/run/systemd/notify");

  const auto abstract = posix::parse_notify_socket("@/org/freedesktop/systemd1/notify/123");
  ASSERT_TRUE(abstract);
  EXPECT_TRUE(abstract->abstract);
  EXPECT_EQ(abstract->name, std::string(1, '\0') + "/org/freedesktop/systemd1/notify/123");

  EXPECT_FALSE(posix::parse_notify_socket(""));
  EXPECT_FALSE(posix::parse_notify_socket("@"));
  EXPECT_FALSE(posix::parse_notify_socket("relative/notify"));
  EXPECT_FALSE(posix::parse_notify_socket("vsock:2:1234"));
  // sun_path holds 108 bytes: a path needs one for its terminator, an abstract name does not.
  EXPECT_FALSE(posix::parse_notify_socket("/" + std::string(107, 'a')));
  EXPECT_TRUE(posix::parse_notify_socket("/" + std::string(106, 'a')));
  EXPECT_TRUE(posix::parse_notify_socket("@" + std::string(107, 'a')));
  EXPECT_FALSE(posix::parse_notify_socket("@" + std::string(108, 'a')));
}

TEST(NotifySocketSend, ReachesPathAndAbstractSockets) {
  TempDir dir;
  NotifySocket by_path(dir / "notify");
  ASSERT_TRUE(by_path.bound());
  {
    ScopedEnv env("NOTIFY_SOCKET", by_path.address());
    const auto sent = posix::notify_service_manager("READY=1");
    ASSERT_TRUE(sent) << sent.error().display();
    EXPECT_TRUE(*sent);
    EXPECT_EQ(by_path.receive(2s), "READY=1");
  }

  auto abstract = NotifySocket::abstract("kavel-notify-test-" + std::to_string(::getpid()));
  ASSERT_TRUE(abstract.bound());
  {
    ScopedEnv env("NOTIFY_SOCKET", abstract.address());
    const auto sent = posix::notify_service_manager("STOPPING=1");
    ASSERT_TRUE(sent) << sent.error().display();
    EXPECT_EQ(abstract.receive(2s), "STOPPING=1");
  }
}

TEST(NotifySocketSend, UnsetSendsNothingAndBadValuesFail) {
  {
    ScopedEnv env("NOTIFY_SOCKET", std::nullopt);
    const auto sent = posix::notify_service_manager("READY=1");
    ASSERT_TRUE(sent);
    EXPECT_FALSE(*sent);
  }
  {
    ScopedEnv env("NOTIFY_SOCKET", "not-a-socket-name");
    EXPECT_FALSE(posix::notify_service_manager("READY=1"));
  }
  {
    TempDir dir;
    ScopedEnv env("NOTIFY_SOCKET", (dir / "nobody-listens").string());
    EXPECT_FALSE(posix::notify_service_manager("READY=1"));
  }
}

TEST(ServiceDispatcher, RefusedWhenNotStartedByTheManager) {
  ScopedEnv notify("NOTIFY_SOCKET", std::nullopt);
  ScopedEnv invocation("INVOCATION_ID", std::nullopt);
  static std::atomic<int> runs{0};
  const auto result = start_service_ctrl_dispatcher("PolvaneService", [](const std::vector<std::string>&) { ++runs; });
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code, 1063u);
  EXPECT_EQ(result.error().display(),
            "The service process could not connect to the service controller. (0x80070427)");
  EXPECT_EQ(runs.load(), 0);

  // Empty values count as unset.
  ScopedEnv empty_notify("NOTIFY_SOCKET", "");
  ScopedEnv empty_invocation("INVOCATION_ID", "");
  EXPECT_FALSE(start_service_ctrl_dispatcher("PolvaneService", [](const std::vector<std::string>&) { ++runs; }));
  EXPECT_EQ(runs.load(), 0);
}

TEST(ServiceDispatcher, RegistrationAndReportsNeedARunningDispatcher) {
  const auto handle = register_service_ctrl_handler_ex(
      "PolvaneService", [](std::uint32_t, std::uint32_t, void*, void*) -> std::uint32_t { return 0; }, nullptr);
  ASSERT_FALSE(handle);
  EXPECT_EQ(handle.error().code, 1083u);
  ServiceStatus status;
  status.current_state = SERVICE_RUNNING;
  EXPECT_EQ(set_service_status(0, status).error().code, win::ERROR_INVALID_HANDLE);
  EXPECT_EQ(set_service_status(1, status).error().code, win::ERROR_INVALID_HANDLE);
}

// ---- dispatcher runs, in a fresh process ---------------------------------------------------

struct ChildEvents {
  std::mutex mutex;
  std::vector<std::string> events;
  ServiceStatusHandle handle = 0;
  pthread_t dispatcher_thread{};
  std::atomic<bool> stopped{false};
  void add(std::string e) {
    std::lock_guard lock(mutex);
    events.push_back(std::move(e));
  }
};
ChildEvents& child_events() {
  static ChildEvents events;
  return events;
}

std::uint32_t child_handler(std::uint32_t control, std::uint32_t, void*, void*) {
  ChildEvents& e = child_events();
  e.add(::pthread_equal(::pthread_self(), e.dispatcher_thread) ? "control " + std::to_string(control) + " on dispatcher"
                                                               : "control on another thread");
  e.stopped = true;
  return 0;
}

ServiceStatus state_record(std::uint32_t state) {
  ServiceStatus status;
  status.service_type = SERVICE_WIN32_OWN_PROCESS;
  status.current_state = state;
  return status;
}

// The SIGTERM comes before the service has reported running: it must wait and then be taken.
void early_stop_service_main(const std::vector<std::string>& arguments) {
  ChildEvents& e = child_events();
  e.add("main " + (arguments.empty() ? std::string() : arguments[0]));
  auto handle = register_service_ctrl_handler_ex("KavelTestService", child_handler, nullptr);
  if (!handle) return;
  e.handle = *handle;
  ::kill(::getpid(), SIGTERM);  // the whole process: every thread blocks it
  std::this_thread::sleep_for(300ms);
  e.add(e.stopped ? "stop before running" : "no stop before running");
  (void)set_service_status(*handle, state_record(SERVICE_RUNNING));
  for (int i = 0; i < 500 && !e.stopped; ++i) std::this_thread::sleep_for(10ms);
  (void)set_service_status(*handle, state_record(SERVICE_STOPPED));
  e.add("main returns");
}

TEST(ServiceDispatcherChild, DISABLED_EarlyStopIsTakenOnceRunning) {
  if (!kavel_test::in_child_role()) GTEST_SKIP() << "runs only as a child of its test";
  ChildEvents& e = child_events();
  e.dispatcher_thread = ::pthread_self();
  const auto result = start_service_ctrl_dispatcher("KavelTestService", early_stop_service_main);
  ASSERT_TRUE(result) << result.error().display();
  const std::vector<std::string> expected{"main KavelTestService", "no stop before running", "control 1 on dispatcher",
                                          "main returns"};
  EXPECT_EQ(e.events, expected);
  // The run's handle is dead once the dispatcher has returned.
  EXPECT_FALSE(set_service_status(e.handle, state_record(SERVICE_STOPPED)));
}

TEST(ServiceDispatcher, EarlyStopIsTakenOnceRunning) {
  TempDir dir;
  NotifySocket notify(dir / "notify");
  ASSERT_TRUE(notify.bound());
  ScopedEnv notify_env("NOTIFY_SOCKET", notify.address());
  std::string output;
  EXPECT_TRUE(kavel_test::run_child_test("ServiceDispatcherChild.DISABLED_EarlyStopIsTakenOnceRunning", output,
                                         kChildLimit))
      << output;
  EXPECT_EQ(notify.receive(5s), "READY=1");
  EXPECT_EQ(notify.receive(5s), "STOPPING=1");
  EXPECT_EQ(notify.receive(200ms), std::nullopt);
}

void silent_service_main(const std::vector<std::string>&) { child_events().add("main ran"); }

TEST(ServiceDispatcherChild, DISABLED_ReturnsWhenTheServiceEndsWithoutReporting) {
  if (!kavel_test::in_child_role()) GTEST_SKIP() << "runs only as a child of its test";
  const auto result = start_service_ctrl_dispatcher("KavelTestService", silent_service_main);
  ASSERT_TRUE(result) << result.error().display();
  EXPECT_EQ(child_events().events, std::vector<std::string>{"main ran"});
  // A second run in the same process works too, and a second dispatcher at once is refused.
  static std::atomic<int> nested{-1};
  const auto again = start_service_ctrl_dispatcher("KavelTestService", [](const std::vector<std::string>&) {
    nested = static_cast<int>(
        start_service_ctrl_dispatcher("Other", [](const std::vector<std::string>&) {}).error().code);
  });
  ASSERT_TRUE(again);
  EXPECT_EQ(nested.load(), 1056);
}

TEST(ServiceDispatcher, ReturnsWhenTheServiceEndsWithoutReporting) {
  ScopedEnv invocation("INVOCATION_ID", "0123456789abcdef");
  ScopedEnv notify("NOTIFY_SOCKET", std::nullopt);
  std::string output;
  EXPECT_TRUE(
      kavel_test::run_child_test("ServiceDispatcherChild.DISABLED_ReturnsWhenTheServiceEndsWithoutReporting", output,
                                 kChildLimit))
      << output;
}

}  // namespace
}  // namespace kavel_lib::platform
