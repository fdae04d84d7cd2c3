// Stand-ins for the service in client tests: a pipe server that answers each request through
// a handler (optionally passing a descriptor along, as the service passes opened devices), and
// a service manager that counts its calls and fails on demand.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ipc/client.h"
#include "ipc/framing.h"
#include "platform/local_pipe.h"
#include "platform/service_manager.h"

namespace kavel_test {

struct TestReply {
  std::string payload;                         // the reply frame's JSON
  kavel_lib::platform::OwnedDescriptor passed; // sent along with the reply when valid
  bool hang_up = false;                        // close without replying
};

// Serves the service's pipe name in $KAVEL_PIPE_DIR (set by the caller) on its own thread.
class TestService {
 public:
  using Handler = std::function<TestReply(const std::string& request)>;

  explicit TestService(Handler handler) : handler_(std::move(handler)) {
    auto server = kavel_lib::platform::PipeServer::bind(kavel_lib::ipc::kServicePipeName);
    if (!server) {
      bind_error_ = server.error().display();
      return;
    }
    server_ = std::move(*server);
    thread_ = std::thread([this] { serve(); });
  }
  ~TestService() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  TestService(const TestService&) = delete;
  TestService& operator=(const TestService&) = delete;

  [[nodiscard]] const std::string& bind_error() const { return bind_error_; }
  [[nodiscard]] int connections() const { return connections_.load(); }
  [[nodiscard]] std::vector<std::string> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }

 private:
  void serve() {
    while (!stop_) {
      auto accepted = server_.accept_within(std::chrono::milliseconds(20));
      if (!accepted || !accepted->has_value()) continue;
      kavel_lib::platform::PipeConnection connection = std::move(**accepted);
      ++connections_;
      auto request = kavel_lib::ipc::receive_frame(connection);
      if (!request) continue;
      {
        std::lock_guard lock(mutex_);
        requests_.push_back(*request);
      }
      TestReply reply = handler_(*request);
      if (reply.hang_up) continue;
      (void)kavel_lib::ipc::send_frame(connection, reply.payload, reply.passed.valid() ? reply.passed.get() : -1);
    }
  }

  Handler handler_;
  kavel_lib::platform::PipeServer server_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
  std::string bind_error_;
};

inline constexpr const char* kStatusReply =
    R"({"status":"ok","data":{"protocolVersion":1,"serviceVersion":"1.0.0","elevated":true}})";

// A service manager whose answers the test sets and whose calls it counts.
class FakeServiceManager final : public kavel_lib::platform::ServiceManagerApi {
 public:
  using WinError = kavel_lib::platform::WinError;

  bool fail_open_manager = false;
  bool fail_open_service = false;  // "not installed"
  bool fail_query = false;
  bool fail_start = false;
  std::uint32_t state = kavel_lib::platform::SERVICE_STOPPED;
  std::function<void()> on_start;  // runs when a start is accepted

  std::atomic<int> manager_opens{0}, service_opens{0}, queries{0}, starts{0}, closes{0};

  FakeServiceManager() { previous_ = kavel_lib::platform::replace_service_manager(this); }
  ~FakeServiceManager() override { kavel_lib::platform::replace_service_manager(previous_); }

  [[nodiscard]] int calls() const { return manager_opens + service_opens + queries + starts; }
  [[nodiscard]] std::size_t open_handles() const {
    std::lock_guard lock(mutex_);
    return open_.size();
  }
  [[nodiscard]] std::vector<RawHandle> close_order() const {
    std::lock_guard lock(mutex_);
    return close_order_;
  }

  std::expected<RawHandle, WinError> open_manager(std::uint32_t access) override {
    ++manager_opens;
    if (fail_open_manager || access != kavel_lib::platform::SC_MANAGER_CONNECT) {
      return std::unexpected(WinError{kavel_lib::platform::win::ERROR_ACCESS_DENIED});
    }
    return issue(1);
  }
  std::expected<RawHandle, WinError> open_service(RawHandle manager, std::string_view name,
                                                  std::uint32_t access) override {
    ++service_opens;
    if (fail_open_service || !is_open(manager) || name != "PolvaneService" || access != 0x14) {
      return std::unexpected(WinError{kavel_lib::platform::win::ERROR_SERVICE_DOES_NOT_EXIST});
    }
    return issue(2);
  }
  std::expected<std::uint32_t, WinError> query_service_state(RawHandle service) override {
    ++queries;
    if (fail_query || !is_open(service)) return std::unexpected(WinError{kavel_lib::platform::win::ERROR_ACCESS_DENIED});
    return state;
  }
  std::expected<void, WinError> start_service(RawHandle service) override {
    ++starts;
    if (fail_start || !is_open(service)) return std::unexpected(WinError{kavel_lib::platform::win::ERROR_SERVICE_DISABLED});
    if (on_start) on_start();
    return {};
  }
  std::expected<void, WinError> close_handle(RawHandle handle) override {
    ++closes;
    std::lock_guard lock(mutex_);
    close_order_.push_back(handle);
    if (open_.erase(handle) == 0) return std::unexpected(WinError{kavel_lib::platform::win::ERROR_INVALID_HANDLE});
    return {};
  }

 private:
  RawHandle issue(RawHandle handle) {
    std::lock_guard lock(mutex_);
    open_.insert(handle);
    return handle;
  }
  bool is_open(RawHandle handle) {
    std::lock_guard lock(mutex_);
    return open_.contains(handle);
  }

  kavel_lib::platform::ServiceManagerApi* previous_ = nullptr;
  mutable std::mutex mutex_;
  std::set<RawHandle> open_;
  std::vector<RawHandle> close_order_;
};

}  // namespace kavel_test
