// The service started with a low soft limit of open descriptors (as a service manager commonly
// starts programs) raises it to its hard limit, so that many idle connections at once do not
// leave it unable to accept the next client.
#include <sys/resource.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ipc/client.h"
#include "service_acceptance/running_service.h"
#include "support/test_env.h"

namespace kavel_test::service_acceptance {
namespace {

using namespace std::chrono_literals;

// The soft and hard "Max open files" of a process, from /proc/<pid>/limits.
std::optional<std::pair<std::string, std::string>> open_files_limits(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/limits");
  for (std::string line; std::getline(in, line);) {
    if (!line.starts_with("Max open files")) continue;
    std::istringstream fields(line.substr(std::string("Max open files").size()));
    std::string soft, hard;
    fields >> soft >> hard;
    return std::pair{soft, hard};
  }
  return std::nullopt;
}

// Sets this process's soft descriptor limit for the object's life (children inherit it).
class ScopedSoftLimit {
 public:
  explicit ScopedSoftLimit(rlim_t soft) {
    ok_ = ::getrlimit(RLIMIT_NOFILE, &old_) == 0;
    rlimit lowered = old_;
    lowered.rlim_cur = soft;
    ok_ = ok_ && ::setrlimit(RLIMIT_NOFILE, &lowered) == 0;
  }
  ~ScopedSoftLimit() { (void)::setrlimit(RLIMIT_NOFILE, &old_); }
  ScopedSoftLimit(const ScopedSoftLimit&) = delete;
  ScopedSoftLimit& operator=(const ScopedSoftLimit&) = delete;
  [[nodiscard]] bool ok() const { return ok_; }

 private:
  rlimit old_{};
  bool ok_ = false;
};

constexpr rlim_t kLowSoftLimit = 256;
constexpr int kIdleClients = 400;

TEST(ServiceDescriptorLimit, LowSoftLimitIsRaisedAndManyIdleClientsDoNotBlockTheNext) {
  if (auto why = service_run_missing()) GTEST_SKIP() << *why;
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < 2 * kIdleClients) {
    GTEST_SKIP() << "the hard descriptor limit " << limit.rlim_max << " is too low for " << kIdleClients
                 << " idle clients";
  }
  std::unique_ptr<RunningService> service;
  {
    ScopedSoftLimit low(kLowSoftLimit);
    ASSERT_TRUE(low.ok());
    service = std::make_unique<RunningService>();
  }
  ASSERT_TRUE(service->ready()) << service->output();
  const auto limits = open_files_limits(service->pid());
  ASSERT_TRUE(limits);
  EXPECT_EQ(limits->first, limits->second);
  EXPECT_NE(limits->first, std::to_string(kLowSoftLimit));

  // More idle clients than the soft limit it was started with.
  std::vector<kavel_lib::platform::PipeConnection> idle;
  for (int i = 0; i < kIdleClients; ++i) {
    auto pipe = kavel_lib::ipc::connect_pipe(3s);
    ASSERT_TRUE(pipe) << i << ": " << pipe.error().display();
    idle.push_back(std::move(*pipe));
  }
  // Answered before the idle ones' 10-second window ends: they hold nobody up.
  const auto asked = std::chrono::steady_clock::now();
  EXPECT_EQ(call_text(kavel_lib::ipc::IpcRequest::Ping{}), kPong);
  EXPECT_EQ(call_text(kavel_lib::ipc::IpcRequest::Status{}), kStatusElevated);
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 9s);
  idle.clear();
  EXPECT_TRUE(service->alive());
}

}  // namespace
}  // namespace kavel_test::service_acceptance
