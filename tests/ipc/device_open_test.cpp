#include "ipc/device_open.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "ipc/child_process.h"
#include "ipc/messages.h"
#include "ipc/service_start.h"
#include "ipc/test_service.h"
#include "support/test_env.h"

namespace kavel_lib::ipc {
namespace {

using kavel_test::FakeServiceManager;
using kavel_test::ScopedEnv;
using kavel_test::TempDir;
using kavel_test::TestReply;
using kavel_test::TestService;
using platform::OsErrorKind;

constexpr std::size_t kImageSize = 8192;

std::string pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 13 + i / 251);
  return s;
}

std::string read_all(const platform::Device& device, std::uint64_t offset, std::size_t n) {
  std::vector<std::uint8_t> buffer(n);
  if (!device.read_exact_at(offset, buffer)) return "<read failed>";
  return std::string(buffer.begin(), buffer.end());
}

std::size_t open_descriptor_count() {
  return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                                std::filesystem::directory_iterator()));
}

// Answers `status` as a running service and `open_device` through `on_open`.
TestService::Handler service_handler(std::function<TestReply(const IpcRequest::OpenDevice&)> on_open) {
  return [on_open = std::move(on_open)](const std::string& bytes) {
    auto request = deserialize_ipc_request(bytes);
    if (!request) return TestReply{R"({"status":"err","code":"IPC","message":"bad"})", {}, false};
    if (const auto* open = std::get_if<IpcRequest::OpenDevice>(&request->op)) return on_open(*open);
    return TestReply{kavel_test::kStatusReply, {}, false};
  };
}

// Opens the host file like the service would (with its own drive table) and passes the
// descriptor along with {"handle":n}.
TestReply open_like_the_service(const IpcRequest::OpenDevice& request) {
  auto device = platform::Device::open(request.path);
  if (!device) {
    return TestReply{R"({"status":"err","code":"OPEN","message":")" + device.error().display() + "\"}", {}, false};
  }
  const int fd = device->release();
  return TestReply{R"({"status":"ok","data":{"handle":)" + std::to_string(fd) + "}}", platform::OwnedDescriptor(fd),
                   false};
}

class DeviceOpen : public ::testing::Test {
 protected:
  void SetUp() override {
    image_ = dir_.path() / "disk.img";
    kavel_test::write_file(image_, pattern(kImageSize));
    std::filesystem::create_directory(refused_);
    manager_.fail_open_service = true;  // never a real start
  }

  // The service hands over a descriptor of the image, whatever it is asked for.
  void serve_image() {
    serve(service_handler([this](const IpcRequest::OpenDevice&) {
      const int fd = ::open(image_.c_str(), O_RDONLY | O_CLOEXEC);
      return TestReply{R"({"status":"ok","data":{"handle":)" + std::to_string(fd) + "}}",
                       platform::OwnedDescriptor(fd), false};
    }));
  }
  void serve(TestService::Handler handler) {
    service_.reset();  // the name is free only once the previous server is gone
    service_ = std::make_unique<TestService>(std::move(handler));
    ASSERT_EQ(service_->bind_error(), "");
  }
  // The service answers its status, and `open_device` with `payload` (no descriptor).
  void serve_open_reply(std::string payload) {
    serve(service_handler([payload](const IpcRequest::OpenDevice&) { return TestReply{payload, {}, false}; }));
  }
  int connections() const { return service_ ? service_->connections() : 0; }

  TempDir dir_;
  std::filesystem::path image_;
  // A directory where a device is mapped: opening it is refused (access denied) even for root.
  std::filesystem::path refused_ = dir_.path() / "refused";
  ScopedEnv pipe_dir_{"KAVEL_PIPE_DIR", (dir_.path() / "pipe").string()};
  ScopedEnv data_dir_{"XDG_DATA_HOME", (dir_.path() / "data").string()};
  FakeServiceManager manager_;
  std::unique_ptr<TestService> service_;
};

TEST_F(DeviceOpen, DirectOpenMakesNoConnection) {
  ScopedEnv drives("KAVEL_DRIVES", "E=" + image_.string());
  serve_image();
  auto device = open_device_or_via_service("\\\\.\\E:");
  ASSERT_TRUE(device) << device.error().display();
  EXPECT_EQ(read_all(*device, 0, 16), pattern(16));
  EXPECT_EQ(connections(), 0);
  EXPECT_EQ(manager_.calls(), 0);
}

TEST_F(DeviceOpen, OtherDirectFailuresAreReturnedWithoutAskingTheService) {
  ScopedEnv drives("KAVEL_DRIVES", "E=" + image_.string());
  serve_image();
  auto missing = open_device_or_via_service("\\\\.\\G:");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind(), OsErrorKind::NotFound);
  EXPECT_EQ(missing.error().code(), 2u);
  EXPECT_FALSE(open_device_or_via_service("C:\\not\\a\\device"));
  EXPECT_EQ(connections(), 0);
}

TEST_F(DeviceOpen, RefusedOpenComesBackThroughTheService) {
  ScopedEnv drives("KAVEL_DRIVES", "E=" + refused_.string());
  serve_image();
  set_cached_service_status(ServiceStatusData{1, "1.0.0", true});
  auto device = open_device_or_via_service("\\\\.\\E:");
  ASSERT_TRUE(device) << device.error().display();
  EXPECT_EQ(device->device_name(), "E:");
  EXPECT_EQ(read_all(*device, 100, 200), pattern(300).substr(100));
  EXPECT_EQ(*device->size(), kImageSize);
  EXPECT_NE(::fcntl(device->native_handle(), F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_FALSE(cached_service_status().has_value());

  const auto requests = service_->requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0], R"({"op":"status"})");
  EXPECT_EQ(requests[1], R"({"op":"open_device","path":"\\\\.\\E:","client_pid":)" + std::to_string(::getpid()) + "}");
}

TEST_F(DeviceOpen, PassedDescriptorOfAnOffsetVolumeReadsFromTheVolumeStart) {
  // E lies 1024 bytes into the image; the service passes the image's own descriptor.
  ScopedEnv drives("KAVEL_DRIVES", "E=" + refused_.string() + "@1024");
  serve_image();
  auto device = open_device_or_via_service("\\\\.\\E:");
  ASSERT_TRUE(device) << device.error().display();
  EXPECT_EQ(device->base_offset(), 1024u);
  EXPECT_EQ(read_all(*device, 0, 64), pattern(1024 + 64).substr(1024));
  EXPECT_EQ(*device->size(), kImageSize - 1024);
}

TEST_F(DeviceOpen, ServiceThatCannotRunGivesTheAccessDeniedError) {
  ScopedEnv drives("KAVEL_DRIVES", "E=" + refused_.string());
  auto via = open_device_via_service("\\\\.\\E:");
  ASSERT_FALSE(via);
  EXPECT_EQ(via.error().kind(), OsErrorKind::PermissionDenied);
  EXPECT_EQ(via.error().display(), std::string(kMessageNotRunning));

  auto device = open_device_or_via_service("\\\\.\\E:");
  ASSERT_FALSE(device);
  EXPECT_EQ(device.error(), platform::OsError::from_code(5));
  EXPECT_EQ(device.error().display(), "Access is denied. (os error 5)");
}

TEST_F(DeviceOpen, RepliesWithoutAUsableHandleGiveNoHandle) {
  ScopedEnv drives("KAVEL_DRIVES", "E=" + refused_.string());
  for (const char* payload : {R"({"status":"ok","data":{"handle":-1}})", R"({"status":"ok","data":{}})",
                              R"({"status":"ok","data":"5"})", R"({"status":"ok","data":{"handle":"5"}})",
                              R"({"status":"ok","data":{"handle":1.5}})", R"({"status":"ok","data":5})",
                              R"({"status":"ok","data":null})", R"({"status":"ok","data":[5]})",
                              // A number that names no descriptor passed with the reply.
                              R"({"status":"ok","data":{"handle":7}})", R"({"status":"ok","data":{"handle":0}})"}) {
    serve_open_reply(payload);
    auto via = open_device_via_service("\\\\.\\E:");
    ASSERT_FALSE(via) << payload;
    EXPECT_EQ(via.error().kind(), OsErrorKind::Other) << payload;
    EXPECT_EQ(via.error().display(), "service returned no handle") << payload;

    auto device = open_device_or_via_service("\\\\.\\E:");
    ASSERT_FALSE(device) << payload;
    EXPECT_EQ(device.error(), platform::OsError::from_code(5)) << payload;
  }
}

TEST_F(DeviceOpen, DescriptorTheReplyDoesNotNameIsClosed) {
  ScopedEnv drives("KAVEL_DRIVES", "E=" + refused_.string());
  const auto start_service = [this] {
    serve(service_handler([this](const IpcRequest::OpenDevice&) {
      const int fd = ::open(image_.c_str(), O_RDONLY | O_CLOEXEC);
      return TestReply{R"({"status":"ok","data":{"other":1}})", platform::OwnedDescriptor(fd), false};
    }));
  };
  // Counted with the server stopped, so only the client's descriptors are seen.
  start_service();
  (void)open_device_via_service("\\\\.\\E:");  // the first call may create lasting state
  service_.reset();
  const std::size_t before = open_descriptor_count();
  start_service();
  for (int i = 0; i < 5; ++i) {
    auto via = open_device_via_service("\\\\.\\E:");
    ASSERT_FALSE(via);
    EXPECT_EQ(via.error().display(), "service returned no handle");
  }
  service_.reset();
  EXPECT_EQ(open_descriptor_count(), before);
}

TEST_F(DeviceOpen, BadHandleValueWithADescriptorIsNoHandle) {
  ScopedEnv drives("KAVEL_DRIVES", "E=" + refused_.string());
  for (const char* data : {R"({"status":"ok","data":{"handle":-1}})", R"({"status":"ok","data":{"handle":"x"}})",
                           R"({"status":"ok","data":{"handle":1.5}})", R"({"status":"ok","data":{"handle":null}})"}) {
    serve(service_handler([this, data](const IpcRequest::OpenDevice&) {
      const int fd = ::open(image_.c_str(), O_RDONLY | O_CLOEXEC);
      return TestReply{data, platform::OwnedDescriptor(fd), false};
    }));
    auto via = open_device_via_service("\\\\.\\E:");
    ASSERT_FALSE(via) << data;
    EXPECT_EQ(via.error().display(), "service returned no handle") << data;
    service_.reset();
  }
}

TEST_F(DeviceOpen, FailedCallsGiveTheCallErrorText) {
  ScopedEnv drives("KAVEL_DRIVES", "E=" + refused_.string());
  serve_open_reply(R"({"status":"err","code":"OPEN","message":"device path not allowed: \\\\.\\E:"})");
  auto remote = open_device_via_service("\\\\.\\E:");
  ASSERT_FALSE(remote);
  EXPECT_EQ(remote.error().kind(), OsErrorKind::Other);
  EXPECT_EQ(remote.error().display(), "OPEN: device path not allowed: \\\\.\\E:");
  EXPECT_EQ(open_device_or_via_service("\\\\.\\E:").error(), platform::OsError::from_code(5));

  serve(service_handler([](const IpcRequest::OpenDevice&) { return TestReply{"", {}, true}; }));
  auto hung_up = open_device_via_service("\\\\.\\E:");
  ASSERT_FALSE(hung_up);
  EXPECT_EQ(hung_up.error().kind(), OsErrorKind::Other);
  EXPECT_EQ(hung_up.error().display(), "IPC I/O error: failed to fill whole buffer");
  EXPECT_EQ(open_device_or_via_service("\\\\.\\E:").error(), platform::OsError::from_code(5));
}

TEST_F(DeviceOpen, PathThatIsNotUtf8IsSentWithReplacementCharacters) {
  serve_open_reply(R"({"status":"err","code":"OPEN","message":"no"})");
  (void)open_device_via_service("\\\\.\\\xFF:");
  const auto requests = service_->requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1], R"({"op":"open_device","path":"\\\\.\\)"
                         "\xEF\xBF\xBD"
                         R"(:","client_pid":)" +
                             std::to_string(::getpid()) + "}");
}

// An unprivileged process cannot read a root-only image; the service (this test process, as
// root) opens it with the same drive table and passes the descriptor.
TEST_F(DeviceOpen, UnprivilegedProcessGetsTheDeviceFromTheService) {
  if (auto why = kavel_test::setpriv_missing()) GTEST_SKIP() << *why;
  std::filesystem::permissions(image_, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  std::filesystem::permissions(dir_.path(), std::filesystem::perms::owner_all | std::filesystem::perms::group_exec |
                                                std::filesystem::perms::others_exec);
  ScopedEnv drives("KAVEL_DRIVES", "PhysicalDrive0=" + image_.string() + ";E=" + image_.string() + "@1024");
  serve(service_handler(open_like_the_service));

  std::string output;
  EXPECT_TRUE(kavel_test::run_child_test("DeviceOpenChild.DISABLED_OpensThroughTheServiceWithoutRights", output,
                                         "setpriv --reuid=" + std::to_string(kavel_test::kUnprivilegedUid) +
                                             " --regid=" + std::to_string(kavel_test::kUnprivilegedGid) +
                                             " --clear-groups"))
      << output;
  const auto requests = service_->requests();
  ASSERT_EQ(requests.size(), 2u) << output;
  EXPECT_TRUE(requests[1].starts_with(R"({"op":"open_device","path":"\\\\.\\E:","client_pid":)")) << requests[1];
}

TEST(DeviceOpenChild, DISABLED_OpensThroughTheServiceWithoutRights) {
  if (!kavel_test::in_child_role()) GTEST_SKIP() << "runs as a child of DeviceOpen tests";
  FakeServiceManager manager;
  manager.fail_open_service = true;
  ASSERT_NE(::geteuid(), 0u);
  auto direct = platform::Device::open("\\\\.\\E:");
  ASSERT_FALSE(direct);
  EXPECT_EQ(direct.error().code, 5u);

  auto device = open_device_or_via_service("\\\\.\\E:");
  ASSERT_TRUE(device) << device.error().display();
  EXPECT_EQ(read_all(*device, 0, 256), pattern(1024 + 256).substr(1024));
  EXPECT_EQ(*device->size(), kImageSize - 1024);
  EXPECT_EQ(manager.calls(), 0);
}

}  // namespace
}  // namespace kavel_lib::ipc
