#include "ipc/service_start.h"

#include <unistd.h>

#include <chrono>
#include <memory>

#include <gtest/gtest.h>

#include "ipc/child_process.h"
#include "ipc/test_service.h"
#include "ipc/ui_clients.h"
#include "support/test_env.h"

namespace kavel_lib::ipc {
namespace {

using kavel_test::FakeServiceManager;
using kavel_test::ScopedEnv;
using kavel_test::TempDir;
using kavel_test::TestReply;
using kavel_test::TestService;
using Clock = std::chrono::steady_clock;

const std::string kNotRunning(kMessageNotRunning);

class ServiceStart : public ::testing::Test {
 protected:
  void TearDown() override { set_application_exiting(false); }

  // A service that answers every request with `payload`.
  void serve(std::string payload) {
    service_ = std::make_unique<TestService>([payload](const std::string&) { return TestReply{payload, {}, false}; });
    ASSERT_EQ(service_->bind_error(), "");
  }
  int connections() const { return service_ ? service_->connections() : 0; }
  // A service that answers, but with a status that lacks `elevated`: no answer, yet every
  // probe and poll shows as a connection.
  void serve_no_answer() { serve(R"({"status":"ok","data":{"protocolVersion":1,"serviceVersion":"1.0.0"}})"); }

  TempDir dir_;
  ScopedEnv pipe_dir_{"KAVEL_PIPE_DIR", (dir_.path() / "pipe").string()};
  ScopedEnv data_dir_{"XDG_DATA_HOME", (dir_.path() / "data").string()};
  FakeServiceManager manager_;
  std::unique_ptr<TestService> service_;
};

TEST_F(ServiceStart, RunningServiceAnswersTheFirstProbe) {
  serve(kavel_test::kStatusReply);
  const auto result = ensure_service_running();
  EXPECT_EQ(result, (ServiceEnsureResult{"Polvane Service is running", true, true, false}));
  EXPECT_EQ(connections(), 1);
  EXPECT_EQ(manager_.calls(), 0);
  EXPECT_EQ(service_->requests(), std::vector<std::string>{R"({"op":"status"})"});

  // The answering process registers itself in the client registry file.
  std::string output;
  EXPECT_TRUE(kavel_test::run_child_test("ServiceStartChild.DISABLED_RegistersWhenTheServiceAnswers", output))
      << output;
}

TEST(ServiceStartChild, DISABLED_RegistersWhenTheServiceAnswers) {
  if (!kavel_test::in_child_role()) GTEST_SKIP() << "runs as a child of ServiceStart tests";
  FakeServiceManager manager;
  EXPECT_TRUE(ensure_service_running().running);
  // The parent may have registered in the same file before.
  const auto pids = read_ui_clients_file();
  ASSERT_FALSE(pids.empty());
  EXPECT_EQ(pids.back(), static_cast<std::uint32_t>(::getpid()));
  EXPECT_EQ(manager.calls(), 0);
}

TEST_F(ServiceStart, AnyStatusRecordThatDecodesCountsAsRunning) {
  serve(R"({"status":"ok","data":{"elevated":false,"protocolVersion":7,"serviceVersion":"9.9","x":[]}})");
  EXPECT_EQ(ensure_service_running(), (ServiceEnsureResult{"Polvane Service is running", true, false, false}));
}

TEST_F(ServiceStart, StoppedServiceIsStartedAndAnswersThePolls) {
  manager_.on_start = [this] { serve(kavel_test::kStatusReply); };
  const auto result = ensure_service_running();
  EXPECT_EQ(result, (ServiceEnsureResult{"Polvane Service was started", true, true, true}));
  EXPECT_EQ(manager_.starts, 1);
  EXPECT_EQ(connections(), 1);  // the first poll after the start
  EXPECT_EQ(manager_.open_handles(), 0u);
  // The service handle is closed before the manager's.
  EXPECT_EQ(manager_.close_order(), (std::vector<FakeServiceManager::RawHandle>{2, 1}));
}

TEST_F(ServiceStart, FailedStateQueryStillTriesTheStart) {
  manager_.fail_query = true;
  manager_.on_start = [this] { serve(kavel_test::kStatusReply); };
  EXPECT_EQ(ensure_service_running().message, "Polvane Service was started");
  EXPECT_EQ(manager_.starts, 1);
}

TEST_F(ServiceStart, RunningInTheManagerButSlowToAnswerIsWaitedFor) {
  manager_.state = platform::SERVICE_RUNNING;
  // Not listening at the first probe; listening by the first poll.
  std::thread late([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    serve(kavel_test::kStatusReply);
  });
  const auto result = ensure_service_running();
  late.join();
  EXPECT_EQ(result, (ServiceEnsureResult{"Polvane Service is running", true, true, false}));
  EXPECT_EQ(manager_.starts, 0);
}

TEST_F(ServiceStart, NotInstalledOrNoManagerIsNotRunningAtOnce) {
  serve_no_answer();
  manager_.fail_open_service = true;
  EXPECT_EQ(ensure_service_running(), (ServiceEnsureResult{kNotRunning, false, false, false}));
  EXPECT_EQ(connections(), 1);  // the first probe, no polls
  EXPECT_EQ(manager_.manager_opens, 1);
  EXPECT_EQ(manager_.open_handles(), 0u);  // the manager handle was closed

  manager_.fail_open_manager = true;
  EXPECT_EQ(ensure_service_running(), (ServiceEnsureResult{kNotRunning, false, false, false}));
  EXPECT_EQ(manager_.service_opens, 1);  // not tried again without a manager
}

TEST_F(ServiceStart, RefusedStartIsNotRunningWithoutPolls) {
  serve_no_answer();
  manager_.fail_start = true;
  EXPECT_EQ(ensure_service_running(), (ServiceEnsureResult{kNotRunning, false, false, false}));
  EXPECT_EQ(connections(), 1);  // the first probe, no polls
  EXPECT_EQ(manager_.starts, 1);
  EXPECT_EQ(manager_.open_handles(), 0u);
}

TEST_F(ServiceStart, StartPendingThatNeverAnswersPollsFifteenTimes) {
  // The service answers, but its status lacks `elevated`: that is no answer.
  serve_no_answer();
  manager_.state = platform::SERVICE_START_PENDING;
  const auto start = Clock::now();
  const auto result = ensure_service_running();
  EXPECT_EQ(result, (ServiceEnsureResult{kNotRunning, false, false, false}));
  EXPECT_EQ(connections(), 1 + kReadinessPolls);
  EXPECT_GE(Clock::now() - start, kReadinessPolls * kReadinessPollPause);
  EXPECT_EQ(manager_.starts, 0);
}

TEST_F(ServiceStart, RequestedStartThatNeverAnswersIsNotReadyYet) {
  const auto result = ensure_service_running();
  EXPECT_EQ(result, (ServiceEnsureResult{"Service start was requested but is not ready yet", false, false, true}));
  EXPECT_EQ(manager_.starts, 1);
}

TEST_F(ServiceStart, ExitingFlagStopsEverything) {
  serve(kavel_test::kStatusReply);
  set_application_exiting(true);
  EXPECT_EQ(ensure_service_running(), (ServiceEnsureResult{"Application is exiting", false, false, false}));
  EXPECT_EQ(connections(), 0);
  EXPECT_EQ(manager_.calls(), 0);
  // The polls stop too.
  EXPECT_EQ(wait_for_service_ready(true), (ServiceEnsureResult{"Service start was requested but is not ready yet",
                                                               false, false, true}));
  EXPECT_EQ(wait_for_service_ready(false), (ServiceEnsureResult{kNotRunning, false, false, false}));
  EXPECT_EQ(connections(), 0);
}

TEST_F(ServiceStart, ExitingDuringTheStartEndsThePolls) {
  serve_no_answer();
  manager_.on_start = [] { set_application_exiting(true); };
  EXPECT_EQ(ensure_service_running().message, "Service start was requested but is not ready yet");
  EXPECT_EQ(connections(), 1);  // the first probe, no polls
}

TEST_F(ServiceStart, ProbesEmptyTheCachedStatus) {
  set_cached_service_status(ServiceStatusData{1, "1.0.0", true});
  ASSERT_TRUE(cached_service_status().has_value());
  manager_.fail_open_service = true;
  (void)ensure_service_running();
  EXPECT_FALSE(cached_service_status().has_value());
  set_cached_service_status(std::unexpected(IpcClientError::service_unavailable()));
  clear_cached_service_status();
  EXPECT_FALSE(cached_service_status().has_value());
}

TEST_F(ServiceStart, QueryStatusReportsItsErrors) {
  EXPECT_EQ(query_service_status(kStatusProbeWait).error(), IpcClientError::service_unavailable());

  serve(R"({"status":"ok","data":{"protocolVersion":1,"serviceVersion":"1.0.0"}})");
  auto missing = query_service_status(kStatusProbeWait);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind(), IpcClientError::Kind::Protocol);
  EXPECT_EQ(missing.error().display(), "IPC protocol error: missing field `elevated`");
}

TEST_F(ServiceStart, QueryStatusPassesRemoteErrorsOn) {
  serve(R"({"status":"err","code":"IPC","message":"boom"})");
  auto result = query_service_status(kStatusProbeWait);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().display(), "IPC: boom");
}

}  // namespace
}  // namespace kavel_lib::ipc
