#include "platform/service_manager.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "support/test_env.h"

namespace kavel_lib::platform {
namespace {

using kavel_test::ScopedEnv;
using kavel_test::TempDir;

// Puts a stand-in `systemctl` first on PATH: it logs its arguments, one run per line, and
// answers from the files load, active, show_rc and start_rc beside it.
class SystemctlStandIn : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto script = dir_ / "systemctl";
    kavel_test::write_file(script,
                           "#!/bin/sh\n"
                           "d=$(dirname \"$0\")\n"
                           "echo \"$*\" >> \"$d/log\"\n"
                           "case \"$*\" in\n"
                           "  show*LoadState*) cat \"$d/show_rc\" >/dev/null 2>&1 && exit $(cat \"$d/show_rc\");"
                           " echo \"LoadState=$(cat \"$d/load\")\";;\n"
                           "  show*ActiveState*) echo \"ActiveState=$(cat \"$d/active\")\";;\n"
                           "  *start*) exit $(cat \"$d/start_rc\");;\n"
                           "esac\n"
                           "exit 0\n");
    ::chmod(script.c_str(), 0755);
    set("load", "loaded");
    set("active", "inactive");
    set("start_rc", "0");
    path_ = std::make_unique<ScopedEnv>("PATH", dir_.path().string() + ":/usr/bin:/bin");
  }
  void set(const std::string& name, const std::string& value) { kavel_test::write_file(dir_ / name, value); }
  std::string log() { return kavel_test::read_file(dir_ / "log"); }

  std::expected<std::uint32_t, WinError> state_of(std::string_view name) {
    auto manager = open_sc_manager(SC_MANAGER_CONNECT);
    if (!manager) return std::unexpected(manager.error());
    auto service = open_service(*manager, name, SERVICE_QUERY_STATUS | SERVICE_START);
    if (!service) return std::unexpected(service.error());
    return query_service_state(*service);
  }

  TempDir dir_;
  std::unique_ptr<ScopedEnv> path_;
};

TEST_F(SystemctlStandIn, ActiveStatesMapToServiceStates) {
  set("active", "active");
  EXPECT_EQ(state_of("PolvaneService"), SERVICE_RUNNING);
  set("active", "activating");
  EXPECT_EQ(state_of("PolvaneService"), SERVICE_START_PENDING);
  for (const char* other : {"inactive", "failed", "deactivating", "reloading"}) {
    set("active", other);
    EXPECT_EQ(state_of("PolvaneService"), SERVICE_STOPPED) << other;
  }
  EXPECT_NE(log().find("show --property=LoadState -- PolvaneService\n"), std::string::npos) << log();
}

TEST_F(SystemctlStandIn, UnitThatIsNotFoundCannotBeOpened) {
  set("load", "not-found");
  auto manager = open_sc_manager(SC_MANAGER_CONNECT);
  ASSERT_TRUE(manager);
  auto service = open_service(*manager, "PolvaneService", SERVICE_QUERY_STATUS | SERVICE_START);
  ASSERT_FALSE(service);
  EXPECT_EQ(service.error().code, win::ERROR_SERVICE_DOES_NOT_EXIST);
}

TEST_F(SystemctlStandIn, UnreachableManagerFailsTheOpen) {
  set("show_rc", "1");  // "System has not been booted with systemd"
  EXPECT_FALSE(state_of("PolvaneService"));
}

TEST_F(SystemctlStandIn, StartIsQueuedWithoutBlockingOrPrompting) {
  auto manager = open_sc_manager(SC_MANAGER_CONNECT);
  ASSERT_TRUE(manager);
  auto service = open_service(*manager, "PolvaneService", SERVICE_QUERY_STATUS | SERVICE_START);
  ASSERT_TRUE(service);
  EXPECT_TRUE(start_service(*service));
  EXPECT_NE(log().find("--no-block --no-ask-password start PolvaneService\n"), std::string::npos) << log();
  set("start_rc", "1");
  EXPECT_FALSE(start_service(*service));
}

TEST_F(SystemctlStandIn, NamesThatCouldReadAsOptionsAreRefusedUnasked) {
  auto manager = open_sc_manager(SC_MANAGER_CONNECT);
  ASSERT_TRUE(manager);
  for (const char* name : {"--all", "", "a b", "../x", "a;b"}) {
    EXPECT_FALSE(open_service(*manager, name, SERVICE_QUERY_STATUS)) << name;
  }
  EXPECT_EQ(log(), "");
}

TEST(ServiceManager, MissingSystemctlFailsTheOpen) {
  TempDir empty;
  ScopedEnv path("PATH", empty.path().string());
  auto manager = open_sc_manager(SC_MANAGER_CONNECT);
  ASSERT_TRUE(manager);
  EXPECT_FALSE(open_service(*manager, "PolvaneService", SERVICE_QUERY_STATUS));
}

// A replacement counts the closes its handles get.
class CountingManager final : public ServiceManagerApi {
 public:
  std::expected<RawHandle, WinError> open_manager(std::uint32_t) override { return 10; }
  std::expected<RawHandle, WinError> open_service(RawHandle, std::string_view, std::uint32_t) override { return 11; }
  std::expected<std::uint32_t, WinError> query_service_state(RawHandle) override { return SERVICE_RUNNING; }
  std::expected<void, WinError> start_service(RawHandle) override { return {}; }
  std::expected<void, WinError> close_handle(RawHandle h) override {
    closed.push_back(h);
    return std::unexpected(WinError{6});  // a failed close is ignored
  }
  std::vector<RawHandle> closed;
};

TEST(ServiceManager, ReplacementTakesOverAndHandlesCloseOnce) {
  CountingManager fake;
  EXPECT_EQ(replace_service_manager(&fake), nullptr);
  EXPECT_EQ(&service_manager(), &fake);
  {
    auto manager = open_sc_manager(SC_MANAGER_CONNECT);
    ASSERT_TRUE(manager);
    auto service = open_service(*manager, "PolvaneService", SERVICE_START);
    ASSERT_TRUE(service);
    ServiceHandle moved = std::move(*service);
    EXPECT_FALSE(service->is_open());
    EXPECT_EQ(query_service_state(moved), SERVICE_RUNNING);
    EXPECT_EQ(query_service_state(*service).error().code, win::ERROR_INVALID_HANDLE);
  }
  EXPECT_EQ(fake.closed, (std::vector<ServiceManagerApi::RawHandle>{11, 10}));
  EXPECT_EQ(replace_service_manager(nullptr), &fake);
  EXPECT_NE(&service_manager(), &fake);
}

}  // namespace
}  // namespace kavel_lib::platform
