#include "ipc/client.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ipc/framing.h"
#include "ipc/pipe_test_server.h"
#include "platform/device.h"

namespace kavel_lib::ipc {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::answer;
using testing::PipeTest;
using testing::TestPipeServer;

constexpr std::string_view kUnavailable = "Polvane Service is not available (is it installed and running?)";

std::size_t open_descriptor_count() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

std::string call_error(const IpcRequest& request, std::chrono::nanoseconds wait = 3s) {
  auto result = ipc_call(request, wait);
  if (result) return "ok: " + result->data.dump();
  return result.error().display();
}

// ---- errors and their classification -----------------------------------------------------

TEST(IpcClientErrors, DisplayTexts) {
  EXPECT_EQ(IpcClientError::service_unavailable().display(), kUnavailable);
  EXPECT_EQ(IpcClientError::io("x").display(), "IPC I/O error: x");
  EXPECT_EQ(IpcClientError::protocol("y").display(), "IPC protocol error: y");
  EXPECT_EQ(IpcClientError::remote("OPEN: z").display(), "OPEN: z");
}

TEST(IpcClientErrors, ClassifiedByCodeOrKind) {
  using platform::OsError;
  using platform::OsErrorKind;
  for (const std::uint32_t code : {2u, 3u, 15u, 53u, 67u, 10054u, 10061u}) {
    EXPECT_EQ(classify_client_io_error(OsError::from_code(code)), IpcClientError::service_unavailable()) << code;
  }
  EXPECT_EQ(classify_client_io_error(OsError::from_code(5)), IpcClientError::io("Access is denied. (os error 5)"));
  EXPECT_EQ(classify_client_io_error(OsError::from_code(232)),
            IpcClientError::io("The pipe is being closed. (os error 232)"));
  EXPECT_EQ(classify_client_io_error(OsError::with_text(OsErrorKind::NotFound, "gone")),
            IpcClientError::service_unavailable());
  EXPECT_EQ(classify_client_io_error(OsError::with_text(OsErrorKind::PermissionDenied, "no")), IpcClientError::io("no"));
  EXPECT_EQ(classify_client_io_error(OsError::unexpected_eof()), IpcClientError::io("failed to fill whole buffer"));
  EXPECT_EQ(classify_client_io_error(OsError::write_zero()), IpcClientError::io("failed to write whole buffer"));
}

// ---- calls ---------------------------------------------------------------------------------

using ClientCall = PipeTest;

TEST_F(ClientCall, OkReplyGivesItsData) {
  std::string request;
  TestPipeServer server([&](platform::PipeConnection& pipe) {
    auto frame = receive_frame(pipe);
    if (frame) request = *frame;
    EXPECT_TRUE(send_frame(pipe, R"({"status":"ok","data":{"pong":true,"protocolVersion":1}})").has_value());
  });
  auto result = ipc_call_default(IpcRequest::Ping{});
  ASSERT_TRUE(result.has_value()) << result.error().display();
  EXPECT_EQ(result->data, nlohmann::json::parse(R"({"pong":true,"protocolVersion":1})"));
  EXPECT_FALSE(result->handle.valid());
  server.wait();
  EXPECT_EQ(request, R"({"op":"ping"})");
}

TEST_F(ClientCall, ErrReplyIsRemoteWithCodeAndMessage) {
  TestPipeServer server([](platform::PipeConnection& pipe) {
    answer(pipe, R"({"status":"err","code":"OPEN","message":"device path not allowed: C:\\x"})");
  });
  auto result = ipc_call(IpcRequest::OpenDevice{"C:\\x", 1}, 1s);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), IpcClientError::Kind::Remote);
  EXPECT_EQ(result.error().display(), "OPEN: device path not allowed: C:\\x");
}

TEST_F(ClientCall, NoServiceIsUnavailableAtOnce) {
  const auto start = Clock::now();
  auto result = ipc_call_default(IpcRequest::Status{});
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), IpcClientError::Kind::ServiceUnavailable);
  EXPECT_EQ(result.error().display(), kUnavailable);
  EXPECT_LT(Clock::now() - start, 2s);  // not after the 3-second wait
}

TEST_F(ClientCall, StaleSocketIsUnavailableAtOnce) {
  {
    // A server that went away without removing its socket.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const auto path = *platform::pipe_socket_path(kServicePipeName);
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ::close(fd);
    ASSERT_TRUE(std::filesystem::exists(path));
  }
  const auto start = Clock::now();
  EXPECT_EQ(call_error(IpcRequest::Ping{}, 10s), kUnavailable);
  EXPECT_LT(Clock::now() - start, 2s);
}

TEST_F(ClientCall, ServerThatClosesAfterTheLengthIsEndOfData) {
  // After reading the request: the reply ends after its length field.
  {
    TestPipeServer server([&](platform::PipeConnection& pipe) {
      (void)receive_frame(pipe);
      EXPECT_TRUE(write_all(pipe, std::string("\x20\x00\x00\x00", 4)).has_value());
    });
    EXPECT_EQ(call_error(IpcRequest::Ping{}, 1s), "IPC I/O error: failed to fill whole buffer");
  }
  // Without reading it, the server may close before, between or after the client's two writes
  // (length, then body): the write then finds the pipe closed or reset, or the read finds the
  // reply cut short. Each is a failed call, never a reply.
  const std::set<std::string> outcomes{"IPC I/O error: failed to fill whole buffer",
                                       "IPC I/O error: The pipe is being closed. (os error 232)",
                                       std::string(kUnavailable)};
  TestPipeServer server([&](platform::PipeConnection& pipe) {
    EXPECT_TRUE(write_all(pipe, std::string("\x20\x00\x00\x00", 4)).has_value());
  });
  const std::string error = call_error(IpcRequest::Ping{}, 1s);
  EXPECT_TRUE(outcomes.contains(error)) << error;
}

TEST_F(ClientCall, ReplyFramesThatAreTooLargeOrNotAReply) {
  const std::pair<std::string, std::string> cases[] = {
      {std::string("\x01\x00\x00\x01", 4), "IPC protocol error: payload too large"},
      {std::string("\x00\x00\x00\x00", 4), "IPC protocol error: EOF while parsing a value at line 1 column 0"},
  };
  for (const auto& [bytes, expected] : cases) {
    TestPipeServer server([&](platform::PipeConnection& pipe) {
      (void)receive_frame(pipe);
      EXPECT_TRUE(write_all(pipe, bytes).has_value());
    });
    EXPECT_EQ(call_error(IpcRequest::Ping{}, 1s), expected);
  }
  for (const auto& [reply, expected] : std::vector<std::pair<std::string, std::string>>{
           {R"({"status":"fine"})", "IPC protocol error: unknown variant `fine`, expected `ok` or `err` at line 1 column 16"},
           {R"({"status":"ok"} x)", "IPC protocol error: trailing characters at line 1 column 17"},
           {R"({"status":"ok"})", "IPC protocol error: missing field `data` at line 1 column 15"}}) {
    TestPipeServer server([&](platform::PipeConnection& pipe) { answer(pipe, reply); });
    EXPECT_EQ(call_error(IpcRequest::Ping{}, 1s), expected);
  }
}

TEST_F(ClientCall, LargestReplyIsAccepted) {
  const std::string prefix = R"({"status":"ok","data":")";
  std::string reply = prefix + std::string(kMaxFramePayload - prefix.size() - 2, 'v') + "\"}";
  ASSERT_EQ(reply.size(), kMaxFramePayload);
  TestPipeServer server([&](platform::PipeConnection& pipe) { answer(pipe, reply); });
  auto result = ipc_call(IpcRequest::Status{}, 1s);
  ASSERT_TRUE(result.has_value()) << result.error().display();
  EXPECT_EQ(result->data.get_ref<const std::string&>().size(), kMaxFramePayload - prefix.size() - 2);
}

TEST_F(ClientCall, RequestTooLargeIsRefusedBeforeWriting) {
  std::size_t bytes_seen = 99;
  TestPipeServer server([&](platform::PipeConnection& pipe) {
    char buffer[8];
    auto count = pipe.read_some(buffer);
    bytes_seen = count ? *count : 99;
  });
  EXPECT_EQ(call_error(IpcRequest::OpenDevice{std::string(kMaxFramePayload, 'p'), 1}, 1s),
            "IPC protocol error: payload too large");
  server.wait();
  EXPECT_EQ(bytes_seen, 0u);
}

// ---- the connection wait -------------------------------------------------------------------

TEST_F(ClientCall, WaitOfZeroMakesNoAttempt) {
  auto server = platform::PipeServer::bind(kServicePipeName);
  ASSERT_TRUE(server.has_value());
  auto pipe = connect_pipe(0ns);
  ASSERT_FALSE(pipe.has_value());
  EXPECT_EQ(pipe.error(), IpcClientError::service_unavailable());
  auto accepted = server->accept_within(100ms);
  ASSERT_TRUE(accepted.has_value());
  EXPECT_FALSE(accepted->has_value()) << "a client connected";
  // A positive wait connects.
  EXPECT_TRUE(connect_pipe(1s).has_value());
}

TEST_F(ClientCall, FullQueueIsRetriedUntilTheDeadline) {
  auto server = platform::PipeServer::bind(kServicePipeName, 0);
  ASSERT_TRUE(server.has_value());
  std::vector<platform::PipeConnection> queued;
  for (int i = 0; i < 64; ++i) {
    auto client = platform::PipeConnection::connect(kServicePipeName);
    if (!client) {
      ASSERT_EQ(client.error().code, platform::win::ERROR_PIPE_BUSY);
      break;
    }
    queued.push_back(std::move(*client));
  }
  ASSERT_FALSE(queued.empty());

  const auto start = Clock::now();
  auto refused = connect_pipe(300ms);
  const auto waited = Clock::now() - start;
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error(), IpcClientError::service_unavailable());
  EXPECT_GE(waited, 290ms);

  // When the server takes a client off the queue during the wait, the call gets in.
  auto taker = std::async(std::launch::async, [&] {
    std::this_thread::sleep_for(150ms);
    return server->accept_within(5s);
  });
  auto admitted = connect_pipe(5s);
  EXPECT_TRUE(admitted.has_value());
  EXPECT_TRUE(taker.get().has_value());
}

// ---- descriptor hand-over -----------------------------------------------------------------

TEST_F(ClientCall, DescriptorNamedByTheReplyIsTheCallersHandle) {
  kavel_test::write_file(dir_ / "volume.img", "raw volume bytes");
  TestPipeServer server([&](platform::PipeConnection& pipe) {
    platform::OwnedDescriptor file(::open((dir_ / "volume.img").c_str(), O_RDONLY | O_CLOEXEC));
    answer(pipe, R"({"status":"ok","data":{"handle":1234}})", file.get());
  });
  auto result = ipc_call(IpcRequest::OpenDevice{"\\\\.\\E:", 1}, 1s);
  ASSERT_TRUE(result.has_value()) << result.error().display();
  ASSERT_TRUE(result->handle.valid());
  EXPECT_EQ(result->data["handle"].get<std::uint64_t>(), static_cast<std::uint64_t>(result->handle.get()));

  // The caller owns it: it can become a device and be read.
  auto device = platform::Device::adopt(result->handle.release(), "E:");
  std::vector<std::uint8_t> bytes(16);
  ASSERT_TRUE(device.read_exact_at(0, bytes).has_value());
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "raw volume bytes");
}

TEST_F(ClientCall, DescriptorTheReplyDoesNotNameIsClosed) {
  kavel_test::write_file(dir_ / "f", "x");
  const std::pair<std::string, std::string> replies[] = {
      {R"({"status":"ok","data":{"ok":true}})", R"({"ok":true})"},
      {R"({"status":"ok","data":[1]})", "[1]"},
      {R"({"status":"err","code":"OPEN","message":"m"})", ""},
  };
  for (const auto& [reply, data] : replies) {
    TestPipeServer server([&](platform::PipeConnection& pipe) {
      platform::OwnedDescriptor file(::open((dir_ / "f").c_str(), O_RDONLY | O_CLOEXEC));
      answer(pipe, reply, file.get());
    });
    std::this_thread::sleep_for(20ms);
    const std::size_t before = open_descriptor_count();
    {
      auto result = ipc_call(IpcRequest::Ping{}, 1s);
      if (!data.empty()) {
        ASSERT_TRUE(result.has_value());
        EXPECT_EQ(result->data.dump(), data);
        EXPECT_FALSE(result->handle.valid());
      } else {
        EXPECT_FALSE(result.has_value());
      }
    }
    server.wait();
    EXPECT_EQ(open_descriptor_count(), before) << reply;
  }
}

TEST_F(ClientCall, HandleWithoutADescriptorIsNoHandle) {
  TestPipeServer server([](platform::PipeConnection& pipe) {
    answer(pipe, R"({"status":"ok","data":{"handle":0,"other":1}})");
  });
  auto result = ipc_call(IpcRequest::OpenDevice{"\\\\.\\E:", 1}, 1s);
  ASSERT_TRUE(result.has_value());
  EXPECT_FALSE(result->handle.valid());
  EXPECT_EQ(result->data, nlohmann::json::parse(R"({"other":1})"));
}

TEST_F(ClientCall, ParallelCallsEachGetTheirOwnReply) {
  constexpr int kCalls = 6;
  TestPipeServer server(
      [](platform::PipeConnection& pipe) {
        auto request = receive_frame(pipe);
        ASSERT_TRUE(request.has_value());
        auto decoded = deserialize_ipc_request(*request);
        ASSERT_TRUE(decoded.has_value());
        const auto& open = std::get<IpcRequest::OpenDevice>(decoded->op);
        const auto reply = serialize_ipc_response(IpcResponse::Ok{nlohmann::json{{"pid", open.client_pid}}});
        EXPECT_TRUE(send_frame(pipe, *reply).has_value());
      },
      kCalls);
  std::vector<std::future<std::expected<IpcReplyData, IpcClientError>>> calls;
  for (std::uint32_t i = 0; i < kCalls; ++i) {
    calls.push_back(std::async(std::launch::async, [i] { return ipc_call(IpcRequest::OpenDevice{"p", i}, 5s); }));
  }
  for (std::uint32_t i = 0; i < kCalls; ++i) {
    auto result = calls[i].get();
    ASSERT_TRUE(result.has_value()) << result.error().display();
    EXPECT_EQ(result->data["pid"].get<std::uint32_t>(), i);
  }
}

}  // namespace
}  // namespace kavel_lib::ipc
